#!/usr/bin/env bash
# Runs every fuzz target of a WLINK_FUZZ build for a while, each on a scratch copy of
# its seed corpus, so that tests/fuzz/corpus stays as committed.
#
#   tests/fuzz/run_fuzzers.sh BUILD_DIR [SECONDS_PER_TARGET] [TARGET...]
#
# The build comes from
#   CC=clang CXX=clang++ cmake -S . -B BUILD_DIR -G Ninja -DWLINK_FUZZ=ON -DWLINK_SANITIZE=ON
#   ninja -C BUILD_DIR fuzzers
# SECONDS_PER_TARGET defaults to 30. Every input that breaks a property (crash, leak,
# timeout, out of memory) is copied to tests/fuzz/regressions/<target>/, where the
# replay tests pick it up, and the script exits with status 1. Set WLINK_FUZZ_KEEP=1
# to keep the scratch folder (grown corpus, logs) for a look afterwards.
set -u

here=$(cd "$(dirname "$0")" && pwd)
all_targets=(fuzz_frames fuzz_datagram fuzz_dispatch fuzz_profile fuzz_dhcp_cfg)

if [ $# -lt 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
    sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi
build=$(cd "$1" && pwd) || exit 2
seconds=${2:-30}
shift $(( $# >= 2 ? 2 : 1 ))
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")
case "$seconds" in
    ''|*[!0-9]*) echo "seconds must be a whole number: $seconds" >&2; exit 2 ;;
esac

scratch=$(mktemp -d "${TMPDIR:-/tmp}/wlinkfuzz-run.XXXXXX")
if [ "${WLINK_FUZZ_KEEP:-0}" = "1" ]; then
    echo "scratch folder kept: $scratch"
else
    trap 'rm -rf "$scratch"' EXIT
fi

failed=0
printf '%-14s %10s %10s %8s %6s  %s\n' target runs exec/s cov corpus result
for t in "${targets[@]}"; do
    bin="$build/tests/fuzz/$t"
    if [ ! -x "$bin" ]; then
        echo "$t: $bin not built (configure with -DWLINK_FUZZ=ON -DWLINK_SANITIZE=ON and build 'fuzzers')" >&2
        failed=1
        continue
    fi
    work="$scratch/$t"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp -pR "$here/corpus/$t/." "$work/corpus/"
    # Earlier finds seed the run too: a fix is only good if they stay quiet.
    find "$here/regressions/$t" -maxdepth 1 -type f ! -name '.*' -exec cp -p {} "$work/corpus/" \; 2>/dev/null
    args=(-max_total_time="$seconds" -close_fd_mask=1 -rss_limit_mb=2048 -timeout=30
          -print_final_stats=1 -artifact_prefix="$work/artifacts/")
    [ -f "$here/dict/$t.dict" ] && args+=(-dict="$here/dict/$t.dict")

    "$bin" "${args[@]}" "$work/corpus" >"$work/log" 2>&1
    rc=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)
    cov=$(grep -oE 'cov: [0-9]+' "$work/log" | tail -1 | cut -d' ' -f2)
    units=$(find "$work/corpus" -type f | wc -l)

    found=()
    for f in "$work"/artifacts/*; do
        [ -f "$f" ] || continue
        mkdir -p "$here/regressions/$t"
        cp -p "$f" "$here/regressions/$t/"
        found+=("$(basename "$f")")
    done

    if [ $rc -ne 0 ] || [ ${#found[@]} -gt 0 ]; then
        failed=1
        printf '%-14s %10s %10s %8s %6s  %s\n' "$t" "${runs:--}" "${rate:--}" "${cov:--}" "$units" "FAILED (status $rc)"
        for f in "${found[@]}"; do echo "    saved tests/fuzz/regressions/$t/$f"; done
        echo "    ---- last lines of the log ----"
        grep -v '^stat::' "$work/log" | tail -40 | sed 's/^/    /'
    else
        printf '%-14s %10s %10s %8s %6s  %s\n' "$t" "${runs:--}" "${rate:--}" "${cov:--}" "$units" ok
    fi
done

if [ $failed -ne 0 ]; then
    echo "some fuzz targets failed; reproduce with BUILD_DIR/tests/fuzz/<target> <saved input>"
    exit 1
fi
echo "all fuzz targets ran clean"
