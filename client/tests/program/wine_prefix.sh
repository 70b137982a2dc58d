#!/bin/sh
# The Wine prefix of the client's program tests: a prefix of their own, so that the
# services they install never meet the rest of the test run.
#   wine_prefix.sh start PREFIX | stop PREFIX
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
    exec bash "$scripts/wine-prefix.sh" start "$prefix"
    ;;
stop)
    exec bash "$scripts/wine-prefix.sh" stop "$prefix"
    ;;
*)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
