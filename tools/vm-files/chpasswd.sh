#!/bin/sh
# chpasswd for the board: reads "user:password" lines and sets each password in
# /etc/shadow with busybox's mkpasswd. Fails (status 1) on a line it cannot apply.
rc=0
while IFS= read -r line || [ -n "$line" ]; do
    user=${line%%:*}
    pass=${line#*:}
    [ "$user" != "$line" ] && [ -n "$user" ] && grep -q "^$user:" /etc/shadow || { echo "chpasswd: bad line" >&2; rc=1; continue; }
    hash=$(mkpasswd -m sha512 "$pass") || { rc=1; continue; }
    sed "s|^$user:[^:]*:|$user:$hash:|" /etc/shadow >/etc/shadow.new && sync &&
        mv /etc/shadow.new /etc/shadow && sync || rc=1
done
exit $rc
