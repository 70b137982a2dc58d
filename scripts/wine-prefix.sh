#!/usr/bin/env bash
# Start or stop the Wine prefix that a test run uses.
#   wine-prefix.sh start PREFIX   create the prefix if needed, start a persistent wineserver
#   wine-prefix.sh stop PREFIX    stop that wineserver
# Wine's helpers must not inherit the caller's pipes, or CTest waits for them: every
# standard stream is closed here.
set -euo pipefail
action=$1
export WINEPREFIX=$2
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The services.exe processes of this prefix (not those left over from an earlier prefix
# of the same path that was deleted).
service_managers() {
    local pid count=0
    for pid in $(pgrep -f 'system32.services\.exe' || true); do
        case "$(readlink "/proc/$pid/cwd" 2>/dev/null)" in *" (deleted)") continue ;; esac
        if { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            count=$((count + 1))
        fi
    done
    echo "$count"
}

# Ends every Wine process of this prefix that outlived its server (a run that was killed
# can leave its services.exe behind, which the count above would take for a second one).
end_orphans() {
    local pid
    for pid in $(pgrep -f '\.exe' || true); do
        [ "$pid" = "$$" ] && continue
        if { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
            kill -9 "$pid" 2>/dev/null || true
        fi
    done
}

case "$action" in
start)
    mkdir -p "$WINEPREFIX"
    # wineboot --init on a prefix that is already starting leaves two services.exe,
    # each with its own service database: the prefix is initialised once, then its
    # server is restarted as a persistent one without wineboot.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i </dev/null >/dev/null 2>&1 || true
        wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    # A slow start can still end with a second services.exe, and a prefix with two
    # service control managers hangs the tests that meet the wrong one: the server is
    # started again until the prefix has exactly one.
    for _ in 1 2 3; do
        wineserver -k </dev/null >/dev/null 2>&1 || true
        timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
        end_orphans
        wineserver -p </dev/null >/dev/null 2>&1 || true
        # Wait until the prefix answers a trivial command.
        up=no
        for _ in $(seq 1 60); do
            if wine cmd /c exit 0 </dev/null >/dev/null 2>&1; then up=yes; break; fi
            sleep 1
        done
        if [ "$up" = yes ]; then
            sleep 2
            [ "$(service_managers)" -eq 1 ] && exit 0
        fi
    done
    echo "wine prefix $WINEPREFIX did not come up with one service control manager" >&2
    exit 1
    ;;
stop)
    # The server is gone before this returns, so that nothing of it outlives the run.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    timeout 30 wineserver -w </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
