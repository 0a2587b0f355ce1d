#!/bin/sh
# Orderly end of the virtual module: flash file systems left clean.
killall udhcpd dropbear 2>/dev/null
sync
umount /etc 2>/dev/null
umount /overlay /config 2>/dev/null
