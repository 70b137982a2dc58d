#!/bin/sh
# lorrivan-client.exe in the foreground, against a stand-in library whose tunnel comes
# up: an interrupt (what Ctrl+C sends) stops the tunnel, and the program ends with 0.
#   console_stop_test.sh FOLDER   (FOLDER holds the program and the stand-in tundrel.dll)
# Runs under the WINEPREFIX of the environment.
set -u
folder=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for family in "" "-lac"; do
    : >"$out"
    wine "$folder/lorrivan-client.exe" run -config stand-in.conf -log-level debug $family \
        </dev/null >"$out" 2>&1 &
    pid=$!
    started=no
    for _ in $(seq 1 200); do
        if grep -q "Wireguard tunnel has been started." "$out"; then started=yes; break; fi
        sleep 0.1
    done
    if [ "$started" != yes ]; then
        echo "the tunnel did not start ($family):"; cat "$out"
        kill -KILL "$pid" 2>/dev/null
        exit 1
    fi
    kill -INT "$pid"
    wait "$pid"
    rc=$?
    tr -d '\r' <"$out" | sed 's/^[0-9-]* [0-9:]* //' >"$out.lines"
    fail=no
    [ "$rc" = 0 ] || { echo "exit code $rc ($family)"; fail=yes; }
    prefix=tdl
    [ -n "$family" ] && prefix=tdlp
    tail -n 4 "$out.lines" >"$out.tail"
    printf '%s\n' "Stopping Wireguard tunnel..." "[FAKE]: ${prefix}_stop_tunnel" \
        "Wireguard tunnel has been stopped." >"$out.expected"
    tail -n 3 "$out.lines" | cmp -s - "$out.expected" || { echo "wrong end of the run ($family)"; fail=yes; }
    grep -q "_drop_tunnel" "$out.lines" && { echo "the tunnel was dropped ($family)"; fail=yes; }
    if [ "$fail" = yes ]; then cat "$out"; rm -f "$out".*; exit 1; fi
    rm -f "$out".*
done
echo "console stop: tunnel stopped, exit 0, both families"
