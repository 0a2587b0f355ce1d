#!/bin/sh
# test_install.sh tree BUILD_DIR | init BUILD_DIR STANDIN
#   tree: cmake --install with DESTDIR and a prefix lays out what the module needs.
#   init: the installed init script under busybox, with a stand-in daemon of the same
#         name under a temporary root: start, status, a second start, restart, stop.
set -u
mode=$1 build=$2
dest=$(mktemp -d /tmp/wltinstall.XXXXXX)
trap 'for p in $(pgrep -f "$dest/usr/bin/wlinkcmd"); do kill -9 $p; done; rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
DESTDIR=$dest cmake --install "$build" --prefix /usr --component module >/dev/null || fail "install"

if [ "$mode" = tree ]; then
    [ -x "$dest/usr/bin/wlinkcmd" ] && [ -x "$dest/etc/init.d/wlinkcmd" ] || fail "programs not executable"
    cmp -s "$dest/etc/wireless/mt7628/mt7628.dat" "$(dirname "$0")/../../sim/factory/mt7628.dat" || fail "factory profile"
    grep -q '^start' "$dest/etc/udhcpd.conf" || fail "DHCP configuration"
    grep -qx '::respawn:/etc/init.d/wlinkcmd run' "$dest/usr/share/wlinkcmd/inittab" || fail "inittab line"
    grep -q '^DAEMON=${WLINKCMD_DAEMON:-/usr/bin/wlinkcmd}$' "$dest/etc/init.d/wlinkcmd" || fail "daemon path"
    echo "install tree ok"
    exit 0
fi

command -v busybox >/dev/null || { echo "no busybox"; exit 77; }
mkdir -p "$dest/bin" && ln -s "$(command -v busybox)" "$dest/bin/start-stop-daemon"
cp "$3" "$dest/usr/bin/wlinkcmd"
export PATH="$dest/bin:$PATH" WLINKCMD_ROOT=$dest WLINKCMD_DAEMON=$dest/usr/bin/wlinkcmd
init() { busybox sh "$dest/etc/init.d/wlinkcmd" "$@"; }
count() { pgrep -fx "$dest/usr/bin/wlinkcmd" | wc -l; }
pid() { cat "$dest/var/run/wlinkcmd.pid" 2>/dev/null; }

init status >/dev/null; [ $? -eq 3 ] || fail "status before start is not 3"
init start | grep -q started && sleep 0.3 && [ "$(count)" -eq 1 ] && kill -0 "$(pid)" || fail "start"
cmp -s "$dest/config/mt7628.dat" "$dest/etc/wireless/mt7628/mt7628.dat" || fail "profile not made from the factory copy"
first=$(pid)
init start | grep -q "already running (pid $first)" || fail "second start"
[ "$(count)" -eq 1 ] || fail "a second daemon"
init status | grep -q "running (pid $first)" || fail "status while running"
init restart >/dev/null || fail "restart"
sleep 0.3
[ "$(count)" -eq 1 ] && [ "$(pid)" != "$first" ] && kill -0 "$(pid)" || fail "restart did not replace the daemon"
init stop | grep -q stopped || fail "stop"
[ "$(count)" -eq 0 ] && [ ! -e "$dest/var/run/wlinkcmd.pid" ] || fail "left behind after stop"
init status | grep -q stopped && init stop | grep -q "not running" || fail "status or stop after stop"
echo "init script ok"
