#!/bin/sh
# Stand-in for the module's switch tool: "switch reg read 80" prints the port register
# (ports 1 and 2 linked unless /var/run/switch-reg80 holds another two-digit value).
# Every call is recorded in /var/run/switch.
echo "$*" >>/var/run/switch
if [ "$*" = "reg read 80" ]; then
    v=06
    [ -f /var/run/switch-reg80 ] && v=$(cat /var/run/switch-reg80)
    echo "switch reg 0x80 value=$v"
    exit 0
fi
echo "switch: $*: not supported on this board" >&2
exit 1
