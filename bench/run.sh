#!/bin/sh
# Builds the benchmarks (if needed) and runs them, then the footprint figures and the
# virtual module's (bench/board.sh).
#   bench/run.sh [BUILD_DIR]     default: build-bench at the top of the tree,
#                                configured as Release without the tests
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build-bench}
if [ ! -f "$dir/CMakeCache.txt" ]; then
  gen=
  command -v ninja >/dev/null 2>&1 && gen="-G Ninja"
  # shellcheck disable=SC2086
  cmake -S "$top" -B "$dir" $gen -DCMAKE_BUILD_TYPE=Release -DWLINK_TESTS=OFF >/dev/null
fi
cmake --build "$dir" --target bench_udp bench_serial bench_upgrade bench_flood wlinkcmd-sim wlinkctl >/dev/null
rc=0
# The simulated module (this machine's CPU).
for b in bench_udp bench_serial bench_upgrade bench_flood; do
  echo "== $b"
  "$dir/bench/$b" || rc=1
  echo
done
echo "== bench_udp --spread"
"$dir/bench/bench_udp" --spread | sed -n '2p;4,$p' || rc=1
echo
echo "== system calls per command (strace)"
"$top/bench/syscalls.sh" "$dir" || rc=1
echo
"$top/bench/footprint.sh" "$dir" || rc=1
echo
"$top/bench/board.sh" "$dir" || rc=1
exit $rc
