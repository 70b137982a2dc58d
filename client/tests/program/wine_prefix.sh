#!/bin/sh
# The Wine prefix of the client's program tests: a prefix of their own, so that the
# services they install never meet the rest of the test run.
#   wine_prefix.sh start PREFIX | stop PREFIX
# Wine 8 runs two services.exe when wineboot --init meets a starting prefix (which
# scripts/wine-prefix.sh does at every start). Each keeps its own service database and
# they take turns at answering, so every other call of the service control manager
# fails as if the service did not exist. Here the prefix is created once through
# scripts/wine-prefix.sh, its server stopped, and then started without wineboot: one
# services.exe.
set -eu
action=${1:-}
prefix=${2:-}
[ -n "$action" ] && [ -n "$prefix" ] || { echo "usage: $0 start|stop PREFIX" >&2; exit 2; }
scripts=$(cd "$(dirname "$0")/../../../scripts" && pwd)
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$action" in
start)
    if [ ! -f "$prefix/system.reg" ]; then
        bash "$scripts/wine-prefix.sh" start "$prefix"
    fi
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    wineserver -p </dev/null >/dev/null 2>&1 || true
    for _ in $(seq 1 60); do
        if wine cmd /c exit 0 </dev/null >/dev/null 2>&1; then exit 0; fi
        sleep 1
    done
    echo "wine prefix $prefix did not come up" >&2
    exit 1
    ;;
stop)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
