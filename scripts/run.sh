#!/usr/bin/env bash
# The client doing its job, with no real driver: installs what is needed, builds, then
#   1. starts a WireGuard server (wireguard-go) in a network namespace of its own,
#   2. writes a client configuration for it,
#   3. runs `lorrivan-client run -config ... -log-level all` under Wine in that namespace,
#      with the demonstration's tundrel.dll (build/windows/demo/), which runs on the
#      simulated host: an application of that host pings the server through the tunnel,
#   4. shows the handshake, the echo requests and replies, the tunnel's statistics and
#      the server's view, stops the client as Ctrl+C does (SIGINT) and checks that it
#      stopped the tunnel cleanly and left the host as it was,
# and removes everything it set up. Needs root (network namespaces). Exit code 0 when
# every step worked.
#
#   run.sh [--dual] [--built DEMO_DIR]
#   --dual             the dual tunnel: `lorrivan-client run -lac ...` on a simulated host
#                      that has the virtual adapter driver as well; the host routes the
#                      echo requests into the virtual adapter
#   --built DEMO_DIR   no set-up and no build: the programs in DEMO_DIR are used as they
#                      are (the test suite runs it so); exit code 77 where no network
#                      namespace can be made
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dual=no
demo="$top/build/windows/demo"
built=no
while [ $# -gt 0 ]; do
    case $1 in
    --dual) dual=yes ;;
    --built) built=yes; demo=$(cd "${2:?--built needs a folder}" && pwd); shift ;;
    *) echo "usage: run.sh [--dual] [--built DEMO_DIR]" >&2; exit 2 ;;
    esac
    shift
done
cannot=1
if [ "$built" = no ]; then
    bash "$top/scripts/setup.sh"
    bash "$top/scripts/build.sh" --windows-only
else
    cannot=77
fi

if [ "$(id -u)" != 0 ]; then
    echo "run.sh: the WireGuard server runs in a network namespace of its own, which needs root" >&2
    exit "$cannot"
fi
. "$top/scripts/wg-namespace.sh"

prefix="$demo/wineprefix"
scratch=$(mktemp -d "$demo/run-XXXXXX")
client_pid=""
tail_pid=""

step() {
    printf '\n==== %s\n' "$*"
}

cleanup() {
    local rc=$?
    set +e
    [ -n "$client_pid" ] && wgns_alive "$client_pid" && kill -KILL "$client_pid" 2>/dev/null
    [ -n "$tail_pid" ] && kill "$tail_pid" 2>/dev/null && wait "$tail_pid" 2>/dev/null
    if [ -n "$wgns_name" ]; then
        WINEPREFIX="$prefix" wgns_exec wineserver -k </dev/null >/dev/null 2>&1
        wgns_remove
        echo "removed: the network namespace with wireguard-go, the Wine server, $scratch"
    fi
    rm -rf "$scratch"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step "1. WireGuard server: wireguard-go in a network namespace of its own"
wgns_create lorrivan-demo "$scratch" || { echo "$wgns_failure"; exit "$cannot"; }
wgns_start_server 51820 10.9.0.1/24 10.9.0.2 || { echo "$wgns_failure"; exit 1; }
echo "namespace $wgns_name: wireguard-go on 127.0.0.1:51820, tunnel interface $wgns_interface 10.9.0.1/24"

step "2. Client configuration"
# The simulated wire carries the tunnel's datagrams from 127.0.0.1:51821 to the server.
# The dual tunnel gives the virtual adapter a DNS server as well.
dns=""
[ "$dual" = yes ] && dns="DNS = 10.9.0.1"
cat >"$scratch/demo.conf" <<CONF
[Interface]
PrivateKey = $wgns_client_private
Address = 10.9.0.2/24
$dns

[Peer]
PublicKey = $wgns_server_public
AllowedIPs = 10.9.0.0/24
Endpoint = 127.0.0.1:51821
PersistentKeepalive = 25
CONF
echo "$scratch/demo.conf:"
sed 's/^PrivateKey = .*/PrivateKey = (a fresh key)/' "$scratch/demo.conf"

step "3. Wine prefix (made once in $prefix), its server inside the namespace"
export WINEPREFIX="$prefix" WINEDEBUG=-all
wgns_exec bash "$top/scripts/wine-prefix.sh" start "$prefix"
# The program's manifest declares Windows 10; Wine 8 also has to say so to it.
wgns_exec wine reg add 'HKCU\Software\Wine\AppDefaults\lorrivan-client.exe' /v Version /d win10 /f \
    </dev/null >/dev/null 2>&1

lac=()
demo_dual=0
if [ "$dual" = yes ]; then
    lac=(-lac)
    demo_dual=1
fi
step "4. lorrivan-client run -config ... -log-level all ${lac[*]}, with tundrel.dll on the simulated host"
config_path="Z:$(echo "$scratch/demo.conf" | tr / '\\')"
: >"$scratch/client.out"
(
    cd "$scratch"
    exec ip netns exec "$wgns_name" env LORRIVAN_DEMO_SERVER=127.0.0.1:51820 LORRIVAN_DEMO_ENDPOINT_PORT=51821 \
        LORRIVAN_DEMO_PING=10.9.0.1 LORRIVAN_DEMO_DUAL=$demo_dual \
        wine "$demo/lorrivan-client.exe" run -config "$config_path" -log-level all "${lac[@]}"
) </dev/null >"$scratch/client.out" 2>&1 &
client_pid=$!
# Shows the client's output as it comes, until the client ends.
tail -n +1 -f --pid="$client_pid" "$scratch/client.out" | sed -u 's/\r$//' &
tail_pid=$!

for _ in $(seq 1 600); do
    grep -q "^demo: done" "$scratch/client.out" && break
    wgns_alive "$client_pid" || break
    sleep 0.1
done
ok=yes
grep -q "^demo: done" "$scratch/client.out" || { echo "run.sh: the demonstration did not finish"; ok=no; }
grep -q "^demo: 3 of 3 echo requests answered" "$scratch/client.out" || ok=no
if [ "$dual" = yes ]; then
    grep -q "^demo: the virtual adapter .* sees it: activated" "$scratch/client.out" || ok=no
    grep -q "^demo: application: ICMP echo request .* through the virtual adapter" "$scratch/client.out" || ok=no
fi

step "5. Clean stop: SIGINT to the client, as Ctrl+C"
wgns_alive "$client_pid" && kill -INT "$client_pid"
rc=0
wait "$client_pid" || rc=$?
client_pid=""
wait "$tail_pid" 2>/dev/null || true
tail_pid=""
echo "lorrivan-client exited with $rc"
[ "$rc" = 0 ] || ok=no
grep -q "Wireguard tunnel has been stopped." "$scratch/client.out" || { echo "run.sh: no clean stop"; ok=no; }
grep -q "^demo: after the client's exit the simulated host is as it was before" "$scratch/client.out" ||
    { echo "run.sh: the host is not as it was"; ok=no; }

step "6. The server's view (wg show in the namespace)"
wgns_exec wg show "$wgns_interface" | sed 's/^/  /'

if [ "$ok" = yes ]; then
    step "The client worked: handshake, echo requests and replies through the tunnel, statistics, clean stop"
    exit 0
fi
step "Something did not work (see above)"
exit 1
