#!/usr/bin/env bash
# Figures of the virtual module (tools/vm): launch to first heartbeat and where the time
# goes, UDP round trips beside a bare echo in the same guest (a station query through the
# stand-in driver among them), a 5 MiB upgrade, the daemon's resident memory in the guest
# and how soon init starts it again.
#   bench/board.sh [BUILD_DIR]   BUILD_DIR holds bench_udp (default build-bench)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-bench}
ctl=$top/build/host/wlinkctl
ms() { date +%s%3N; }

echo "== board (tools/vm: the mipsel daemon under a real kernel in qemu)"
cmake --build "$dir" --target bench_udp >/dev/null
work=$(mktemp -d /tmp/wlink-board.XXXXXX)
port=$(shuf -i 20000-60000 -n 1)
udp=$port up=$((port + 1)) shp=$((port + 2)) echo_port=$((port + 3))
"$top/tools/vm" "$work/board" --udp-port $udp --upgrade-port $up --shell-port $shp --echo-port $echo_port \
  2>"$work/vm.err" &
vm=$!
trap 'kill $vm 2>/dev/null; wait $vm 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 3000); do
  grep -q 'ready' "$work/vm.err" && break
  kill -0 $vm 2>/dev/null || { cat "$work/vm.err" >&2; exit 1; }
  sleep 0.1
done
# The board's shell: one command line, its output.
board() {
  exec 3<>"/dev/tcp/127.0.0.1/$shp"
  printf '%s; exit\n' "$1" >&3
  cat <&3
  exec 3<&-
}

log=$work/board/vm.log
total=$(sed -n 's/^first heartbeat \([0-9]*\) ms after launch.*/\1/p' "$log")
board_up=$(sed -n 's/.*board up at \([0-9]*\) ms.*/\1/p' "$log")
up() { awk -v s="board: $1" 'index($0, s) == 1 { printf "%d", $3 * 1000 }' "$log"; }
echo "launch to first heartbeat on the serial line: $total ms, of which"
echo "  qemu's start and the kernel's early set-up, before its clock runs: $((board_up - $(up log))) ms"
echo "  kernel from its clock's start to init: $(up init) ms"
echo "  init: flash partitions and file systems $(($(up flash) - $(up init))) ms, network and DHCP server" \
  "$(($(up network) - $(up flash))) ms, the daemon's log port $(($(up log) - $(up network))) ms"
echo "  daemon: init's start of it to its first answer on the serial line: $((total - board_up)) ms"

"$ctl" --serial "$work/board/tty" AT+UIP=10.0.2.2 >/dev/null
# Two associated stations for AT+CNUM (the stand-in driver's /proc/ra0/stations).
board "printf 'AA:BB:CC:00:00:01 -45 -50 -60 HT40 150 100 200 25\naa:bb:cc:00:00:02 -70 -72 -80 HT20 65 300 1000 130\n' >/proc/ra0/stations" >/dev/null
# The figures of a settled board: for its first 10 to 20 s a query takes up to twice as
# long (qemu maps the guest's memory as it is first touched, and translates code again
# where the guest reuses the pages of the start-up's programs).
sleep 20
"$dir/bench/bench_udp" -n 300 --udp $udp --echo $echo_port | sed -n '/^"/,$p'

# The daemon's read and write calls (its /proc/PID/io in the guest, where socket calls are
# not counted) over N heartbeats, then N queries, on the UDP link.
n=200
io() { board 'cat /proc/$(pidof wlinkcmd)/io' | awk '/^syscr:/ { r = $2 } /^syscw:/ { w = $2 } END { print r, w }'; }
per() { awk -v a="$1" -v b="$2" -v n=$n 'BEGIN { printf "%.2f", (b - a) / n }'; }
read -r r0 w0 < <(io)
for _ in $(seq $n); do echo AT+; done | "$ctl" --udp 127.0.0.1:$udp >/dev/null
read -r r1 w1 < <(io)
for _ in $(seq $n); do echo AT+SSID; done | "$ctl" --udp 127.0.0.1:$udp >/dev/null
read -r r2 w2 < <(io)
echo "daemon's read and write calls per UDP command, over $n each (/proc/PID/io):" \
  "AT+ $(per "$r0" "$r1") reads, $(per "$w0" "$w1") writes; AT+SSID $(per "$r1" "$r2") reads, $(per "$w1" "$w2") writes"

head -c 2600000 /dev/urandom >"$work/kernel"
head -c 2642700 /dev/urandom >"$work/app"
"$ctl" pack --image "$work/kernel" --app "$work/app" --version 9.1 -o "$work/pkg" >/dev/null
t0=$(ms)
"$ctl" upgrade --udp 127.0.0.1:$udp --port $up "$work/pkg" >/dev/null || echo "(the upgrade failed: status $?)"
echo "5 MiB upgrade ($(stat -c %s "$work/pkg") bytes), command to result: $(($(ms) - t0)) ms; then $("$ctl" --udp 127.0.0.1:$udp AT+VER)"
echo "daemon in the guest: $(board 'grep -E "^Vm(RSS|HWM)" /proc/$(pidof wlinkcmd)/status' | tr -s '\t\n ' ' ')"

t0=$(ms)
board 'kill -9 $(pidof wlinkcmd)' >/dev/null
until [ "$("$ctl" --serial "$work/board/tty" --timeout 200 AT+ 2>/dev/null)" = "+OK" ]; do :; done
echo "kill -9 of the daemon to its next heartbeat (busybox init respawn): $(($(ms) - t0)) ms"
echo "host load average: $(cut -d' ' -f1-3 /proc/loadavg)"
