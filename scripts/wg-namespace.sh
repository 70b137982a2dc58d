# A WireGuard server (Debian's wireguard-go) in a network namespace of its own, for the
# end-to-end tests and the demonstration runs. Sourced, not run:
#
#   . scripts/wg-namespace.sh
#   wgns_create PREFIX DIR           namespace PREFIX-<pid of this shell>, loopback up;
#                                    DIR holds keys and logs
#   wgns_start_server PORT ADDRESS/PREFIXLEN CLIENT_ADDRESS
#                                    wireguard-go on 127.0.0.1:PORT inside the namespace,
#                                    with a fresh server key and a fresh client key pair;
#                                    the client's peer entry allows CLIENT_ADDRESS/32
#   wgns_exec COMMAND...             runs a command inside the namespace
#   wgns_background LOG COMMAND...   starts one there in the background (pid in wgns_pid)
#   wgns_remove                      ends every process in the namespace (by pid) and
#                                    deletes the namespace
#
# Results: wgns_name, wgns_interface, wgns_server_public, wgns_client_private,
# wgns_client_public, wgns_failure (why the last function failed).
#
# Nothing outside the namespace is changed; wgns_create first removes namespaces of the
# same PREFIX whose creating shell is gone (left by a run that was killed).

wgns_name=""
wgns_interface=""
wgns_dir=""
wgns_failure=""
wgns_pids=()

wgns_create() {
    local prefix=$1
    wgns_dir=$2
    mkdir -p "$wgns_dir"
    wgns_remove_stale "$prefix"
    wgns_name="$prefix-$$"
    wgns_interface="wgl$$"
    if ! ip netns add "$wgns_name" 2>"$wgns_dir/netns.err"; then
        wgns_failure="cannot create a network namespace here: $(cat "$wgns_dir/netns.err")"
        wgns_name=""
        return 1
    fi
    ip -n "$wgns_name" link set lo up
}

wgns_remove_stale() {
    local prefix=$1 name owner pid
    [ -d /var/run/netns ] || return 0
    for name in $(ls /var/run/netns 2>/dev/null); do
        case $name in "$prefix"-*) ;; *) continue ;; esac
        owner=${name##*-}
        case $owner in '' | *[!0-9]*) continue ;; esac
        kill -0 "$owner" 2>/dev/null && continue
        for pid in $(ip netns pids "$name" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
        ip netns del "$name" 2>/dev/null
        rm -f "/var/run/wireguard/wgl$owner.sock"
    done
}

wgns_exec() {
    ip netns exec "$wgns_name" "$@"
}

wgns_background() {
    local log=$1
    shift
    ip netns exec "$wgns_name" "$@" </dev/null >"$log" 2>&1 &
    wgns_pid=$!
    wgns_pids+=("$wgns_pid")
}

wgns_start_server() {
    local port=$1 address=$2 client_address=$3 i
    umask 077
    wg genkey >"$wgns_dir/server.key"
    wg genkey >"$wgns_dir/client.key"
    wgns_server_public=$(wg pubkey <"$wgns_dir/server.key")
    wgns_client_private=$(cat "$wgns_dir/client.key")
    wgns_client_public=$(wg pubkey <"$wgns_dir/client.key")
    wgns_background "$wgns_dir/wireguard-go.log" wireguard-go -f "$wgns_interface"
    # wireguard-go opens its control socket once it is ready.
    for i in $(seq 1 500); do
        [ -S "/var/run/wireguard/$wgns_interface.sock" ] && break
        sleep 0.01
    done
    if [ ! -S "/var/run/wireguard/$wgns_interface.sock" ]; then
        wgns_failure="wireguard-go did not come up: $(cat "$wgns_dir/wireguard-go.log")"
        return 1
    fi
    if ! wgns_exec wg set "$wgns_interface" listen-port "$port" private-key "$wgns_dir/server.key" \
            peer "$wgns_client_public" allowed-ips "$client_address/32" 2>"$wgns_dir/wg.err" ||
        ! ip -n "$wgns_name" addr add "$address" dev "$wgns_interface" 2>>"$wgns_dir/wg.err" ||
        ! ip -n "$wgns_name" link set "$wgns_interface" up 2>>"$wgns_dir/wg.err"; then
        wgns_failure="cannot set up $wgns_interface: $(cat "$wgns_dir/wg.err")"
        return 1
    fi
}

# True while process $1 runs (a zombie does not count).
wgns_alive() {
    kill -0 "$1" 2>/dev/null || return 1
    [ "$(sed -n 's/^[0-9]* (.*) \([A-Za-z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# Ends the processes started here (SIGTERM, then SIGKILL after 2 s), then every other
# process left in the namespace, and deletes it.
wgns_remove() {
    local pid i
    for pid in "${wgns_pids[@]}"; do
        wgns_alive "$pid" && kill -TERM "$pid" 2>/dev/null
    done
    for pid in "${wgns_pids[@]}"; do
        for i in $(seq 1 200); do
            wgns_alive "$pid" || break
            sleep 0.01
        done
        wgns_alive "$pid" && kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    wgns_pids=()
    if [ -n "$wgns_name" ]; then
        for pid in $(ip netns pids "$wgns_name" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
        ip netns del "$wgns_name" 2>/dev/null
        rm -f "/var/run/wireguard/$wgns_interface.sock"
        wgns_name=""
    fi
}
