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
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Wait until the prefix answers a trivial command.
    for _ in $(seq 1 60); do
        if wine cmd /c exit 0 </dev/null >/dev/null 2>&1; then exit 0; fi
        sleep 1
    done
    echo "wine prefix $WINEPREFIX did not come up" >&2
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
