#!/bin/sh
# Brings the virtual module up: file systems, the flash partitions, the network.
# Each step's time since the kernel started goes to the console ("board: STEP SECONDS").
stamp() { read -r up _ </proc/uptime; echo "board: $1 $up" >/dev/console; }
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mount -t tmpfs -o size=16m tmpfs /tmp
mount -t tmpfs -o size=2m tmpfs /var
mkdir -p /var/run /var/log /var/lock
stamp init
m=/lib/modules
# Flash: phram over RAM the kernel was told to keep away from (mem=): mtd0 the whole
# chip, then the module's partitions as devices of their own over its parts, made by
# one insmod. The start comes from the kernel command line.
set -- $(cat /proc/cmdline)
for a; do case $a in board.flash=*) flash=${a#board.flash=} ;; esac; done
[ -n "$flash" ] || echo "board: no flash address (board.flash=) on the kernel command line" >/dev/console
flash=$((${flash:-0x8000000}))
part() { printf ' phram=%s,0x%x,%s,0x10000' "$1" $((flash + $2)) "$3"; }
insmod $m/phram.ko $(part flash 0 0x1000000) $(part u-boot 0 0x30000) $(part factory 0x30000 0x10000) \
    $(part config 0x40000 0x100000) $(part overlay 0x140000 0x100000) \
    $(part kernel 0x240000 0x600000) $(part rootfs 0x840000 0x600000)
insmod $m/jffs2.ko
mkdir -p /config /overlay
mount -t jffs2 mtd3 /config || echo "board: /config not mounted" >/dev/console
# /etc keeps its changes (the DHCP configuration, passwords) on flash.
insmod $m/overlay.ko
if mount -t jffs2 mtd4 /overlay; then
    mkdir -p /overlay/etc /overlay/work
    mount -t overlay overlay -o lowerdir=/etc,upperdir=/overlay/etc,workdir=/overlay/work /etc ||
        echo "board: /etc not on flash" >/dev/console
fi
stamp flash
# The host link (qemu's user network) and the LAN bridge with ra0, made by the
# stand-in wireless driver (its state under /proc/ra0).
insmod $m/mii.ko && insmod $m/pcnet32.ko
for k in llc stp bridge; do insmod $m/$k.ko; done
insmod $m/wlinkdrv.ko || echo "board: no wireless driver" >/dev/console
ip link set lo up
ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2
ip link add br0 type bridge
ip link set ra0 master br0
# The LAN address the profile holds, as the module's own start-up sets it.
lan=$(sed -n 's/^LanIpaddr=//p' /config/mt7628.dat 2>/dev/null)
ip addr add "${lan:-192.168.1.1}/24" dev br0 || ip addr add 192.168.1.1/24 dev br0
ip link set ra0 up && ip link set br0 up
hostname module
/etc/init.d/dhcp start
[ -x /usr/bin/udp-echo ] && udp-echo &
stamp network
# The log port (virtio) that init gives the daemon as its standard output.
for k in virtio virtio_ring virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console; do
    insmod $m/$k.ko
done
n=0
while [ ! -c /dev/vport0p1 ] && [ $n -lt 100 ]; do sleep 0.01; n=$((n + 1)); done
[ -c /dev/vport0p1 ] || echo "board: no log port" >/dev/console
stamp log
