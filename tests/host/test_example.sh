#!/bin/sh
# test_example.sh BUILD EXAMPLE.c SIM WLINKCTL [CFLAGS]
# Installs BUILD's host side into a temporary prefix, builds the example against it
# with pkg-config (shared library) and against libwlink.a, and runs both against the
# simulated module: the SSID read over the serial line, an upgrade accepted.
set -u
build=$1 src=$2 sim=$3 ctl=$4 cflags=${5:-}
tmp=$(mktemp -d /tmp/wlinkexample.XXXXXX)
sim_pid=
trap '[ -n "$sim_pid" ] && kill "$sim_pid" && wait "$sim_pid"; rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; cat "$tmp"/*.out "$tmp"/sim.err 2>/dev/null; exit 1; }
cmake --install "$build" --prefix "$tmp/usr" --component host >/dev/null || fail "install"
for f in include/wlink.h lib/libwlink.so lib/libwlink.a lib/pkgconfig/wlink.pc bin/wlinkctl share/man/man1/wlinkctl.1; do
    [ -e "$tmp/usr/$f" ] || fail "$f not installed"
done
[ ! -e "$tmp/usr/bin/wlinkcmd" ] || fail "the daemon installed with the host side"
export PKG_CONFIG_PATH="$tmp/usr/lib/pkgconfig"
cc -std=c99 -Wall -Wextra -Werror $cflags "$src" $(pkg-config --cflags --libs wlink) -o "$tmp/shared" || fail "build"
cc -std=c99 -Wall -Wextra -Werror $cflags "$src" $(pkg-config --cflags wlink) "$tmp/usr/lib/libwlink.a" \
    -o "$tmp/static" || fail "build against libwlink.a"

ports=$(python3 -c 'import socket
for t in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, t); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
udp=$(echo $ports | cut -d' ' -f1) up=$(echo $ports | cut -d' ' -f2)
"$sim" --root "$tmp/root" --bind 127.0.0.1 --udp-port "$udp" --upgrade-port "$up" --time-scale 1 \
    >"$tmp/sim.log" 2>"$tmp/sim.err" &
sim_pid=$!
for _ in $(seq 100); do grep -q ' ready ' "$tmp/sim.err" && break; sleep 0.1; done
head -c 3000 /dev/zero > "$tmp/image" && head -c 500 /dev/zero > "$tmp/app"
"$ctl" pack --image "$tmp/image" --app "$tmp/app" --version 7.3 -o "$tmp/pkg" >/dev/null || fail "pack"
for kind in shared static; do
    LD_LIBRARY_PATH="$tmp/usr/lib" "$tmp/$kind" "$tmp/root/sim/tty" 127.0.0.1 "$tmp/pkg" "$up" >"$tmp/$kind.out" 2>&1 \
        || fail "$kind run"
    grep -qx 'SSID: QEL_NVR_AP' "$tmp/$kind.out" && grep -q '^upgraded after' "$tmp/$kind.out" || fail "$kind output"
done
[ "$("$ctl" --serial "$tmp/root/sim/tty" AT+VER)" = "+OK=V7.3" ] || fail "version after the upgrade"
echo "example ok"
