#!/bin/sh
# The LAN's DHCP server: busybox udhcpd on /etc/udhcpd.conf.
PIDFILE=/var/run/udhcpd.pid
case "$1" in
start)
    touch /tmp/udhcpd.leases
    udhcpd /etc/udhcpd.conf
    ;;
stop)
    [ -f $PIDFILE ] && kill "$(cat $PIDFILE)" 2>/dev/null
    killall udhcpd 2>/dev/null
    n=0
    while pidof udhcpd >/dev/null && [ $n -lt 50 ]; do usleep 20000; n=$((n + 1)); done
    rm -f $PIDFILE
    ;;
restart) "$0" stop; "$0" start ;;
*) echo "usage: $0 start|stop|restart" >&2; exit 2 ;;
esac
exit 0
