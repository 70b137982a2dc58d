#!/bin/sh
# lorrivan-client.exe in the foreground, against a stand-in library: an interrupt (what
# Ctrl+C sends) stops the tunnel, and the program ends with 0 at once; so too while a
# creation that then fails is under way (the worker would otherwise give up).
#   console_stop_test.sh FOLDER   (FOLDER holds the program and the stand-in tundrel.dll)
# Runs under the WINEPREFIX of the environment.
set -u
folder=$1
out=$(mktemp)
trap 'rm -f "$out" "$out".*' EXIT

# interrupt CONFIG FAMILY WAIT-FOR-LINE: runs the program, interrupts it once the line
# is out, and checks the end of the run.
interrupt() {
    config=$1 family=$2 line=$3
    : >"$out"
    wine "$folder/lorrivan-client.exe" run -config "$config" -log-level debug $family \
        </dev/null >"$out" 2>&1 &
    pid=$!
    seen=no
    for _ in $(seq 1 200); do
        if grep -q "$line" "$out"; then seen=yes; break; fi
        sleep 0.1
    done
    if [ "$seen" != yes ]; then
        echo "no \"$line\" ($config $family):"; cat "$out"
        kill -KILL "$pid" 2>/dev/null
        exit 1
    fi
    kill -INT "$pid"
    interrupted=$(date +%s%N)
    wait "$pid"
    rc=$?
    elapsed_ms=$(( ($(date +%s%N) - interrupted) / 1000000 ))
    tr -d '\r' <"$out" | sed 's/^[0-9-]* [0-9:]* //' >"$out.lines"
    fail=no
    [ "$rc" = 0 ] || { echo "exit code $rc ($config $family)"; fail=yes; }
    # A creation in progress takes up to two seconds more; the stop itself is quick.
    [ "$elapsed_ms" -lt 5000 ] || { echo "the stop took $elapsed_ms ms ($config $family)"; fail=yes; }
    prefix=tdl
    [ -n "$family" ] && prefix=tdlp
    printf '%s\n' "Stopping Wireguard tunnel..." "[FAKE]: ${prefix}_stop_tunnel" \
        "Wireguard tunnel has been stopped." >"$out.expected"
    tail -n 3 "$out.lines" | cmp -s - "$out.expected" || { echo "wrong end of the run ($config $family)"; fail=yes; }
    grep -q "_drop_tunnel" "$out.lines" && { echo "the tunnel was dropped ($config $family)"; fail=yes; }
    if [ "$fail" = yes ]; then cat "$out"; exit 1; fi
}

for family in "" "-lac"; do
    interrupt stand-in.conf "$family" "Wireguard tunnel has been started."
done
interrupt failing.conf "" "create_tunnel_from_file_w"
echo "console stop: tunnel stopped, exit 0, both families, also during a failing creation"
