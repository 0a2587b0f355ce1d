#!/bin/sh
# test_example.sh symbols BUILD
#   BUILD's host side installed into a temporary prefix: libwlink.a and libwlink.so
#   define exactly the functions the installed wlink.h declares (no C++ name, no
#   internal helper), need nothing from the C++ library, and the shared one is ABI 2.
# test_example.sh example BUILD EXAMPLES_DIR SIM WLINKCTL [CFLAGS]
#   Builds the example against that prefix with pkg-config (shared library and
#   libwlink.a) and with CMake's find_package(wlink 2) (wlink::wlink and
#   wlink::wlink_static), and runs each against the simulated module: the SSID read
#   over the serial line, an upgrade accepted.
set -u
mode=$1 build=$2
tmp=$(mktemp -d /tmp/wlinkexample.XXXXXX)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" && wait "$sim_pid"; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; cat "$tmp"/*.out "$tmp"/sim.err 2>/dev/null; exit 1; }
cmake --install "$build" --prefix "$tmp/usr" --component host >/dev/null || fail "install"
lib=$tmp/usr/lib

if [ "$mode" = symbols ]; then
    # The header's functions, read by the preprocessor (which drops the comments).
    cc -E -P -x c "$tmp/usr/include/wlink.h" | tr -s ' \t\n' ' ' | grep -oE '(^|[^A-Za-z0-9_])wlink_[a-z0-9_]+ ?\(' \
        | grep -oE 'wlink_[a-z0-9_]+' | sort -u >"$tmp/declared"
    [ "$(wc -l <"$tmp/declared")" -gt 40 ] || fail "too few functions read from wlink.h"
    nm -g --defined-only "$lib/libwlink.a" | awk 'NF == 3 { print $3 }' | sort >"$tmp/static"
    nm -D --defined-only --without-symbol-versions "$lib/libwlink.so" | awk 'NF == 3 && $3 != "WLINK_2" { print $3 }' \
        | sort >"$tmp/shared"
    bad=0
    for kind in static shared; do
        for s in $(comm -23 "$tmp/$kind" "$tmp/declared"); do echo "libwlink ($kind) exports $s"; bad=1; done
        for s in $(comm -13 "$tmp/$kind" "$tmp/declared"); do echo "libwlink ($kind) lacks $s"; bad=1; done
    done
    nm -u "$lib/libwlink.a" | grep -E ' U (_Z|__cxa|__gxx)' && { echo "libwlink.a needs the C++ library"; bad=1; }
    readelf -d "$lib/libwlink.so" | grep -q 'SONAME.*\[libwlink\.so\.2\]' || { echo "SONAME is not libwlink.so.2"; bad=1; }
    [ -e "$lib/libwlink.so.2.1.0" ] || { echo "no libwlink.so.2.1.0"; bad=1; }
    nm -D --defined-only "$lib/libwlink.so" | grep ' T ' | grep -v '@@WLINK_2$' && { echo "not in node WLINK_2"; bad=1; }
    [ $bad -eq 0 ] || fail "exported symbols"
    echo "symbols ok: $(wc -l <"$tmp/declared") functions, nothing else"
    exit 0
fi

examples=$3 sim=$4 ctl=$5 cflags=${6:-}
for f in include/wlink.h lib/libwlink.so lib/libwlink.a lib/pkgconfig/wlink.pc lib/cmake/wlink/wlinkConfig.cmake \
         lib/cmake/wlink/wlinkConfigVersion.cmake lib/python3/dist-packages/wlink.py bin/wlinkctl \
         share/man/man1/wlinkctl.1; do
    [ -e "$tmp/usr/$f" ] || fail "$f not installed"
done
[ ! -e "$tmp/usr/bin/wlinkcmd" ] || fail "the daemon installed with the host side"
export PKG_CONFIG_PATH="$lib/pkgconfig"
[ "$(pkg-config --modversion wlink)" = 2.1.0 ] || fail "wlink.pc's version"
src=$examples/wlink_example.c
cc -std=c99 -Wall -Wextra -Werror $cflags "$src" $(pkg-config --cflags --libs wlink) -o "$tmp/shared" || fail "build"
cc -std=c99 -Wall -Wextra -Werror $cflags "$src" $(pkg-config --cflags wlink) "$lib/libwlink.a" \
    -o "$tmp/static" || fail "build against libwlink.a"
cmake -S "$examples" -B "$tmp/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/usr" -DCMAKE_C_FLAGS="$cflags" \
    >"$tmp/cmake.out" 2>&1 && ninja -C "$tmp/cmake" >>"$tmp/cmake.out" 2>&1 || fail "build with find_package"
readelf -d "$tmp/cmake/wlink_example" | grep -q 'NEEDED.*\[libwlink\.so\.2\]' || fail "find_package: not the shared one"
readelf -d "$tmp/cmake/wlink_example_static" | grep -q 'libwlink' && fail "find_package: wlink_static is shared"
rm "$tmp/cmake.out"

ports=$(python3 -c 'import socket
for t in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, t); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
udp=$(echo $ports | cut -d' ' -f1) up=$(echo $ports | cut -d' ' -f2)
"$sim" --root "$tmp/root" --bind 127.0.0.1 --udp-port "$udp" --upgrade-port "$up" --time-scale 1 \
    >"$tmp/sim.log" 2>"$tmp/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q ' ready ' "$tmp/sim.err" && break; sleep 0.1; done
head -c 3000 /dev/zero > "$tmp/image" && head -c 500 /dev/zero > "$tmp/app"
minor=0
for kind in shared static cmake/wlink_example cmake/wlink_example_static; do
    minor=$((minor + 1))
    "$ctl" pack --image "$tmp/image" --app "$tmp/app" --version 7.$minor -o "$tmp/pkg" >/dev/null || fail "pack"
    out=$tmp/$(basename $kind).out
    LD_LIBRARY_PATH="$lib" "$tmp/$kind" "$tmp/root/sim/tty" 127.0.0.1 "$tmp/pkg" "$up" >"$out" 2>&1 || fail "$kind run"
    grep -qx 'SSID: QEL_NVR_AP' "$out" && grep -q '^upgraded after' "$out" || fail "$kind output"
    [ "$("$ctl" --serial "$tmp/root/sim/tty" AT+VER)" = "+OK=V7.$minor" ] || fail "version after $kind's upgrade"
done
echo "example ok"
