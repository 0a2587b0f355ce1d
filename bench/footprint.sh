#!/bin/sh
# The daemon's footprint: the stripped size of the module's own build (32-bit MIPS) and
# what it needs at run time, and on this machine the idle daemon's resident memory and
# its wake-ups over 10 idle seconds, measured on the simulated module.
#   bench/footprint.sh [BUILD_DIR]   BUILD_DIR holds wlinkcmd-sim (default build-bench)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-bench}
mips=$top/build-mipsel

echo "== footprint"
if command -v mipsel-linux-gnu-g++ >/dev/null 2>&1; then
  "$top/tools/mipsel-libs" >/dev/null
  [ -f "$mips/CMakeCache.txt" ] || cmake -S "$top" -B "$mips" -G Ninja -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DWLINK_TESTS=OFF -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mipsel-linux-gnu.cmake" >/dev/null
  cmake --build "$mips" --target wlinkcmd >/dev/null
  mipsel-linux-gnu-strip -o "$mips/wlinkcmd.stripped" "$mips/src/wlinkcmd"
  size=$(stat -c %s "$mips/wlinkcmd.stripped")
  needs=$(mipsel-linux-gnu-readelf -d "$mips/src/wlinkcmd" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  echo "mipsel wlinkcmd stripped: $size bytes (budget 163840), needs: $needs"
  # libsodium's part: the code and data of its sections the link kept, from the link map
  # (a section's name and its size may stand on two lines).
  crypto=$(awk '
    function hex(s,   i, n) { n = 0; s = tolower(substr(s, 3))
      for (i = 1; i <= length(s); i++) n = n * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
      return n }
    /^Linker script and memory map/ { on = 1; next }
    !on { next }
    /^ \.(text|rodata|data|sdata|sbss|bss)/ {
      if (NF >= 4) { if ($4 ~ /libsodium\.a\(/) t += hex($3); pend = 0 } else pend = 1; next }
    pend && NF >= 3 && $1 ~ /^0x/ { if ($3 ~ /libsodium\.a\(/) t += hex($2); pend = 0; next }
    { pend = 0 }
    END { print t + 0 }' "$mips/src/wlinkcmd.map")
  echo "of it libsodium (Ed25519 verification, SHA-512, HMAC-SHA256, SHA-256, constant-time helpers):" \
    "$crypto bytes of code and data"
else
  echo "mipsel wlinkcmd: no mipsel-linux-gnu-g++ here (tools/deps.sh installs it)"
fi

cmake --build "$dir" --target wlinkcmd-sim >/dev/null
root=$(mktemp -d /tmp/wlink-idle.XXXXXX)
port=$(shuf -i 20000-60000 -n 1)
"$dir/sim/wlinkcmd-sim" --root "$root" --udp-port "$port" --upgrade-port "$((port + 1))" >/dev/null 2>"$root.err" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$root" "$root.err"' EXIT
# The daemon is the sim's child with three threads (the other one carries the serial line).
daemon=
for _ in $(seq 100); do
  for c in $(cat /proc/$sim/task/$sim/children 2>/dev/null); do
    [ "$(sed -n 's/^Threads:\s*//p' /proc/$c/status 2>/dev/null)" = 3 ] && daemon=$c
  done
  [ -n "$daemon" ] && grep -q ready "$root.err" && break
  sleep 0.1
done
[ -n "$daemon" ] || { echo "idle daemon: the simulated module did not come up"; cat "$root.err"; exit 1; }
sleep 1
switches() { cat /proc/$daemon/task/*/status | awk '/ctxt_switches/ { n += $2 } END { print n }'; }
before=$(switches)
sleep 10
after=$(switches)
echo "idle daemon (simulated module, $(uname -m)): $(sed -n 's/^VmRSS:\s*//p' /proc/$daemon/status) resident," \
  "$((after - before)) wake-ups in 10 s (reference: 1, the main thread's 10-second sleep)"
