#!/bin/sh
# System calls the daemon makes per command, on the simulated module under strace:
# N heartbeats "AT+" and N queries "AT+SSID", on the UDP link and on the serial link.
#   bench/syscalls.sh BUILD_DIR [N]      (BUILD_DIR holds sim/wlinkcmd-sim and host/wlinkctl)
# A command's calls run from the link thread's wait for it to the next wait: on UDP
# from one recvfrom to the next, on the serial line from one 100 ms pass pause to the
# next. Each line gives the calls of the most common such run, how many of the N had
# exactly those, and the mean over all N.
set -eu
dir=$1
n=${2:-20}
command -v strace >/dev/null 2>&1 || { echo "strace not installed: system calls not counted"; exit 0; }
work=$(mktemp -d "${TMPDIR:-/tmp}/wlink-syscalls.XXXXXX")
sim_pid=
stop_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
  wait 2>/dev/null || true  # strace ends with the simulator
  sim_pid=
}
cleanup() {
  stop_sim
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
port=$((20000 + $$ % 20000))
# The shell that records its process number becomes the simulator.
strace -ff -o "$work/t" sh -c 'echo $$ >"$1/pid"; shift; exec "$@"' sh "$work" "$dir/sim/wlinkcmd-sim" \
  --root "$work/root" --udp-port "$port" --upgrade-port $((port + 1)) >"$work/log" 2>"$work/err" &
for _ in $(seq 100); do grep -q ready "$work/err" 2>/dev/null && break; sleep 0.1; done
sim_pid=$(cat "$work/pid")
grep -q ready "$work/err" || { echo "simulator did not start:"; cat "$work/err"; exit 1; }

ctl="$dir/host/wlinkctl"
tty=$work/root/sim/tty
repeat() { i=0; while [ $i -lt "$1" ]; do printf '%s\n' "$2"; i=$((i + 1)); done; }
"$ctl" --serial "$tty" AT+UIP=127.0.0.1 >/dev/null
# One command more after each set of N closes the last one's run.
{ repeat "$n" AT+; repeat "$n" AT+SSID; echo AT+; } | "$ctl" --udp "127.0.0.1:$port" >/dev/null
{ repeat "$n" AT+; repeat "$n" AT+SSID; echo AT+; } | "$ctl" --serial "$tty" >/dev/null
stop_sim

# The link threads: the one that receives datagrams, the one that pauses 100 ms a pass.
udp=$(grep -l '^recvfrom(' "$work"/t.* | head -1)
serial=$(grep -l 'tv_nsec=100000000}' "$work"/t.* | head -1)

# report FILE MARKER SKIP LINK: runs SKIP+1..SKIP+N are heartbeats, the next N queries.
report() {
  awk -v marker="$2" -v skip="$3" -v n="$n" -v link="$4" '
    { name = $0; sub(/\(.*/, "", name) }
    $0 ~ marker { run++ }
    run > skip && run <= skip + 2 * n { calls[run] = calls[run] (calls[run] == "" ? "" : " ") name; count[run]++ }
    END {
      for (k = 0; k < 2; k++) {
        delete seen; best = ""; total = 0
        for (r = skip + k * n + 1; r <= skip + (k + 1) * n; r++) {
          seen[calls[r]]++; total += count[r]
          if (best == "" || seen[calls[r]] > seen[best]) best = calls[r]
        }
        split(best, w, " ")
        printf "%-6s %-8s %2d calls (%d of %d): %s; mean %.1f\n", link, k ? "AT+SSID" : "AT+", length(w), seen[best], n, best, total / n
      }
    }' "$1"
}
# UDP: the first datagram is the first heartbeat. Serial: the first pass took AT+UIP=.
report "$udp" '^recvfrom[(]' 0 UDP
report "$serial" 'tv_nsec=100000000[}]' 1 serial
