#!/usr/bin/env bash
# The end-to-end tests: the library, through the exported functions of either family on
# the simulated host, against a real WireGuard server.
#
#   run_e2e.sh TEST_EXE WORK_DIR [gtest arguments...]
#
# Creates a network namespace of its own (removed at the end, whatever happens) and in
# it: loopback; wireguard-go on 127.0.0.1:51820 with the tunnel interface 10.9.0.1/24 and
# one peer, the client 10.9.0.2; the server's own programs (e2e_server.py: a capture of
# the tunnel interface, a DNS responder on 10.9.0.1:53, a TCP listener on 10.9.0.1:8080,
# a UDP echo on 127.0.0.1:7007 for traffic outside the tunnel);
# dante-server as a SOCKS5 proxy on 127.0.0.1:1080 that relays from 127.0.0.2; and a
# Wine prefix's wineserver (Winsock sockets live in the wineserver, so it must run in
# the namespace). Then the test program runs in the namespace under Wine.
#
# Exit code: the test program's; 77 (skipped) where no namespace can be made.
set -uo pipefail
test_exe=$(readlink -f "$1")
work=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../../.." && pwd)
. "$top/scripts/wg-namespace.sh"

skip() {
    echo "SKIPPED: $*"
    exit 77
}

[ "$(id -u)" = 0 ] || skip "network namespaces need root; this runs as uid $(id -u)"
for tool in ip wg wireguard-go danted tshark wine wineserver; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)"; exit 1; }
done
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3

mkdir -p "$work"
work=$(cd "$work" && pwd)
prefix="$work/wineprefix"
run="$work/run-$$"
# Folders of earlier runs that are gone (kept after a failure) are removed.
for old in "$work"/run-*; do
    [ -d "$old" ] && ! kill -0 "${old##*-}" 2>/dev/null && rm -rf "$old"
done
mkdir -p "$run"

cleanup() {
    local rc=$?
    if [ -n "$wgns_name" ]; then
        WINEPREFIX="$prefix" wgns_exec wineserver -k </dev/null >/dev/null 2>&1
    fi
    if [ -f "$run/danted.pid" ]; then
        pid=$(cat "$run/danted.pid")
        [ -n "$pid" ] && wgns_alive "$pid" && kill -TERM "$pid" 2>/dev/null
    fi
    wgns_remove
    if [ "$rc" = 0 ] && [ -z "${LORRIVAN_E2E_KEEP:-}" ]; then
        rm -rf "$run"
    else
        echo "end-to-end files kept in $run"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wgns_create lorrivan-e2e "$run" || skip "$wgns_failure"
wgns_start_server 51820 10.9.0.1/24 10.9.0.2 || { echo "$wgns_failure"; exit 1; }

wgns_background "$run/e2e_server.log" "$python" "$here/e2e_server.py" "$wgns_interface" 10.9.0.1 "$run"
for _ in $(seq 1 500); do
    [ -f "$run/server.ready" ] && break
    wgns_alive "$wgns_pid" || break
    sleep 0.01
done
[ -f "$run/server.ready" ] || { echo "the server's programs did not start:"; cat "$run/e2e_server.log"; exit 1; }

cat >"$run/danted.conf" <<CONF
logoutput: $run/danted.log
internal: 127.0.0.1 port=1080
external: 127.0.0.2
socksmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: udpassociate udpreply }
CONF
wgns_exec danted -D -f "$run/danted.conf" -p "$run/danted.pid" </dev/null >/dev/null 2>&1
for _ in $(seq 1 100); do
    [ -n "$(wgns_exec ss -Hltn 'sport = :1080' 2>/dev/null)" ] && break
    sleep 0.05
done
[ -n "$(wgns_exec ss -Hltn 'sport = :1080' 2>/dev/null)" ] || { echo "dante did not start:"; cat "$run/danted.log"; exit 1; }

# The prefix is made once and kept in the build folder; its wineserver runs in the
# namespace for this run only.
wgns_exec bash "$top/scripts/wine-prefix.sh" start "$prefix" || { echo "the Wine prefix did not start"; exit 1; }

cd "$run"
wgns_exec env WINEPREFIX="$prefix" WINEDEBUG=-all \
    LORRIVAN_E2E_SERVER_PUBLIC="$wgns_server_public" \
    LORRIVAN_E2E_CLIENT_PRIVATE="$wgns_client_private" \
    LORRIVAN_E2E_SERVER_PORT=51820 \
    LORRIVAN_E2E_SOCKS5_PORT=1080 \
    LORRIVAN_E2E_DIR="$run" \
    wine "$test_exe" --gtest_color=no "$@" </dev/null
rc=$?
if [ "$rc" != 0 ]; then
    echo "---- wireguard-go"; cat "$run/wireguard-go.log"
    echo "---- server"; cat "$run/e2e_server.log"
    echo "---- dante"; cat "$run/danted.log" 2>/dev/null
    echo "---- wg show"; wgns_exec wg show
fi
exit "$rc"
