#!/bin/sh
# lorrivan-client.exe in the foreground on a console (Wine's console on a pseudo-terminal,
# whose code page is not UTF-8): a log line with a path beyond ASCII shows the path's
# characters, as the terminal then receives them in UTF-8.
#   console_text_test.sh FOLDER   (FOLDER holds the program and tundrel.dll)
# Runs under the WINEPREFIX of the environment.
set -u
folder=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
name="café€Ж.conf"
# The configuration does not exist: the run logs its start and gives up.
script -qec "wine '$folder/lorrivan-client.exe' run -config '$name' -log-level debug" /dev/null \
    </dev/null >"$out" 2>&1
# Wine's console draws with escape sequences, blanks among them: keep the characters.
if sed 's/\x1b\[[?0-9;]*[A-Za-z]//g' "$out" | tr -d ' \r\n' |
    grep -q "startingusing${name}WireGuardclientconfiguration"; then
    echo "console text: the log line shows $name"
else
    echo "the log line does not show $name:"
    cat -v "$out"
    exit 1
fi
