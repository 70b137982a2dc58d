#!/bin/sh
# lorrivan-client.exe (in FOLDER) on a console whose code page is not UTF-8: a log line
# with a path beyond ASCII shows the path's characters.
set -u
folder=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
name="café€Ж.conf"
script -qec "wine '$folder/lorrivan-client.exe' run -config '$name' -log-level debug" /dev/null \
    </dev/null >"$out" 2>&1
if sed 's/\x1b\[[?0-9;]*[A-Za-z]//g' "$out" | tr -d ' \r\n' |
    grep -q "startingusing${name}WireGuardclientconfiguration"; then
    echo "console text: the log line shows $name"
else
    echo "the log line does not show $name:"
    cat -v "$out"
    exit 1
fi
