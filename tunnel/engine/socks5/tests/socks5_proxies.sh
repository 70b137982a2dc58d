#!/bin/sh
# Starts and stops the SOCKS5 proxies that the engine tests talk to, all on loopback:
#   danted_none      dante-server, no authentication
#   danted_username  dante-server, user name and password
#   microsocks_none  microsocks without authentication (no UDP ASSOCIATE)
#   microsocks_username  microsocks with user name and password
# Usage: socks5_proxies.sh start DIR | stop DIR
# start writes DIR/proxies.txt ("name port" lines, plus the credentials) and a pid file
# per proxy; stop ends the proxies named by the pid files.
#
# dante checks user names against the system's password database. Its username
# instance runs in a mount namespace of its own in which /etc/passwd and /etc/shadow
# are replaced by copies that hold one extra, throwaway user: the machine's own files
# stay untouched, and the user is gone when the namespace ends with the proxy.
set -u
action=${1:-}
dir=${2:-}
[ -n "$action" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }

danted_user=lorrivan-socks
danted_password=Relay-4bV9-pass
microsocks_user=lorrivan
microsocks_password=Micro-7cQ2-pass

# True while process $1 runs (a zombie that waits for its reaper does not count).
alive() {
    kill -0 "$1" 2>/dev/null || return 1
    state=$(sed -n 's/^[0-9]* (.*) \([A-Za-z]\).*/\1/p' "/proc/$1/stat" 2>/dev/null)
    [ "$state" != Z ]
}

stop_all() {
    for pidfile in "$dir"/*.pid; do
        [ -f "$pidfile" ] || continue
        pid=$(cat "$pidfile" 2>/dev/null)
        if [ -n "$pid" ] && alive "$pid"; then
            kill "$pid" 2>/dev/null
            i=0
            while alive "$pid" && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
            alive "$pid" && kill -9 "$pid" 2>/dev/null
        fi
        rm -f "$pidfile"
    done
}

# The pid of the process listening on loopback TCP port $1 under the name $2, if any.
listener_pid() {
    ss -Hltnp "sport = :$1" 2>/dev/null | grep "\"$2\"" | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n 1
}

port_in_use() {
    [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]
}

random_port() {
    echo $(( 20000 + $(od -An -N2 -tu2 /dev/urandom | tr -d ' ') % 40000 ))
}

# wait_listening PORT NAME: up to 5 s for NAME to listen on PORT; prints its pid.
wait_listening() {
    i=0
    while [ $i -lt 50 ]; do
        pid=$(listener_pid "$1" "$2")
        [ -n "$pid" ] && { echo "$pid"; return 0; }
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

danted_config() { # PORT METHOD
    cat <<CONF
logoutput: $dir/danted-$2.log
internal: 127.0.0.1 port=$1
external: lo
socksmethod: $2
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: udpassociate udpreply }
CONF
}

# start_proxy NAME: starts it on a free port (a few tries); prints the port.
start_proxy() {
    name=$1
    tries=0
    while [ $tries -lt 20 ]; do
        tries=$((tries + 1))
        port=$(random_port)
        port_in_use "$port" && continue
        case $name in
        danted_none)
            danted_config "$port" none > "$dir/danted_none.conf"
            danted -D -f "$dir/danted_none.conf" -p "$dir/danted_none.daemon" </dev/null >/dev/null 2>&1
            process=danted ;;
        danted_username)
            danted_config "$port" username > "$dir/danted_username.conf"
            cp /etc/passwd "$dir/passwd"
            : > "$dir/shadow"
            [ -r /etc/shadow ] && cp /etc/shadow "$dir/shadow"
            grep -v "^$danted_user:" "$dir/passwd" > "$dir/passwd.new"; mv "$dir/passwd.new" "$dir/passwd"
            grep -v "^$danted_user:" "$dir/shadow" > "$dir/shadow.new"; mv "$dir/shadow.new" "$dir/shadow"
            echo "$danted_user:x:64999:64999:lorrivan test:/nonexistent:/usr/sbin/nologin" >> "$dir/passwd"
            hash=$(perl -e 'print crypt($ARGV[0], "\$6\$lorrivan\$")' "$danted_password")
            echo "$danted_user:$hash:19000:0:99999:7:::" >> "$dir/shadow"
            chmod 600 "$dir/shadow"
            unshare -m sh -c "mount --make-rprivate / && mount --bind '$dir/passwd' /etc/passwd &&
                mount --bind '$dir/shadow' /etc/shadow &&
                exec danted -D -f '$dir/danted_username.conf' -p '$dir/danted_username.daemon'" \
                </dev/null >/dev/null 2>&1
            process=danted ;;
        microsocks_none)
            microsocks -i 127.0.0.1 -p "$port" </dev/null >/dev/null 2>&1 &
            process=microsocks ;;
        microsocks_username)
            microsocks -i 127.0.0.1 -p "$port" -u "$microsocks_user" -P "$microsocks_password" \
                </dev/null >/dev/null 2>&1 &
            process=microsocks ;;
        esac
        if pid=$(wait_listening "$port" "$process"); then
            echo "$pid" > "$dir/$name.pid"
            echo "$port"
            return 0
        fi
        # Someone else took the port first, or the proxy did not come up: try again.
        [ -f "$dir/$name.daemon" ] && kill "$(cat "$dir/$name.daemon")" 2>/dev/null
    done
    echo "socks5_proxies: $name did not start" >&2
    return 1
}

case $action in
start)
    mkdir -p "$dir"
    stop_all
    rm -f "$dir/proxies.txt"
    for tool in danted microsocks ss unshare perl; do
        command -v $tool >/dev/null || { echo "socks5_proxies: $tool is missing" >&2; exit 1; }
    done
    {
        for name in danted_none danted_username microsocks_none microsocks_username; do
            port=$(start_proxy $name) || { stop_all; exit 1; }
            echo "$name $port"
        done
        echo "danted_user $danted_user"
        echo "danted_password $danted_password"
        echo "microsocks_user $microsocks_user"
        echo "microsocks_password $microsocks_password"
    } > "$dir/proxies.tmp" || exit 1
    mv "$dir/proxies.tmp" "$dir/proxies.txt"
    cat "$dir/proxies.txt"
    ;;
stop)
    stop_all
    rm -f "$dir/proxies.txt" "$dir/passwd" "$dir/shadow"
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2 ;;
esac
