#!/usr/bin/env bash
# A throw-away PostgreSQL server for the shared-ledger tests and benchmarks:
# its data and its Unix socket in one folder, no TCP port, trust for the
# superuser "tagsmith" and password authentication for every other role.
# The server refuses to run as root, so as root it runs as "nobody".
#
#   pg-test-server.sh start DIR [--durable] [--tcp]   make (if new) and start; prints the URL
#   pg-test-server.sh stop DIR [fast|immediate]
#   pg-test-server.sh url DIR
#   pg-test-server.sh ctest-start STATE [--tcp]   a fresh server in a new folder under /tmp,
#                                                 whose path goes into the file STATE
#   pg-test-server.sh ctest-stop STATE    stops it and removes its folder
#
# With --tcp the server also listens on 127.0.0.1, on a free port written
# into DIR/port (the same rules for the roles): the Windows build's client
# reaches it over TCP only.
#
# Without --durable the server does not wait for the disk (tests only).
# Exit status 3: no PostgreSQL server is installed here (ctest-start then
# writes "unavailable: REASON" into STATE and succeeds, so that the tests
# skip with that line).
set -euo pipefail

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || {
    echo "usage: $0 start|stop|url DIR" >&2
    exit 2
}

bindir=""
for d in /usr/lib/postgresql/*/bin; do
    [ -x "$d/initdb" ] && [ -x "$d/pg_ctl" ] && bindir=$d
done

as_owner() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u nobody -- "$@"
    else
        "$@"
    fi
}

# The Unix socket's name carries the port the server uses.
url() {
    if [ -s "$dir/port" ]; then
        echo "postgresql://tagsmith@/postgres?host=$dir/run&port=$(cat "$dir/port")"
    else
        echo "postgresql://tagsmith@/postgres?host=$dir/run"
    fi
}

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
        2>/dev/null || echo $((20000 + RANDOM % 40000))
}

# The server folder lives under /tmp: "nobody" must reach it through every
# parent, and a Unix socket's path is limited to about 100 bytes.
if [ "$cmd" = ctest-start ] || [ "$cmd" = ctest-stop ]; then
    state=$dir
    if [ -s "$state" ] && old=$(cat "$state") && [ -d "$old/data" ]; then
        bash "$0" stop "$old" immediate
        rm -rf "$old"
    fi
    rm -f "$state"
    [ "$cmd" = ctest-stop ] && exit 0
    if [ -z "$bindir" ]; then
        echo "unavailable: no PostgreSQL server installed (apt-get install postgresql)" >"$state"
        echo "no PostgreSQL server installed: the shared-ledger tests will skip"
        exit 0
    fi
    new=$(mktemp -d /tmp/tagsmith-pg.XXXXXX)
    bash "$0" start "$new" ${3:-} >/dev/null
    echo "$new" >"$state"
    exit 0
fi

case "$cmd" in
start)
    if [ -z "$bindir" ]; then
        echo "no PostgreSQL server installed (apt-get install postgresql)" >&2
        exit 3
    fi
    durable=0
    tcp=0
    for o in "${@:3}"; do
        case "$o" in
        --durable) durable=1 ;;
        --tcp) tcp=1 ;;
        esac
    done
    mkdir -p "$dir"
    dir=$(cd "$dir" && pwd)
    if [ "$(id -u)" -eq 0 ]; then
        # nobody must reach the folder through every parent.
        chmod o+x "$dir"
        chown nobody "$dir"
    fi
    if [ ! -s "$dir/data/PG_VERSION" ]; then
        as_owner mkdir -p "$dir/data" "$dir/run"
        as_owner "$bindir/initdb" -D "$dir/data" -U tagsmith -A trust -E UTF8 \
            --locale=C.UTF-8 --no-sync >"$dir/initdb.log" 2>&1 || {
            cat "$dir/initdb.log" >&2
            exit 1
        }
        cat >"$dir/pg_hba.conf.new" <<'EOF'
local all tagsmith trust
local all all scram-sha-256
host all tagsmith 127.0.0.1/32 trust
host all all 127.0.0.1/32 scram-sha-256
EOF
        as_owner cp "$dir/pg_hba.conf.new" "$dir/data/pg_hba.conf"
        rm -f "$dir/pg_hba.conf.new"
    fi
    opts="-c unix_socket_directories='$dir/run' -c max_connections=200"
    if [ "$durable" -eq 0 ]; then
        opts="$opts -c fsync=off -c synchronous_commit=off -c full_page_writes=off"
    fi
    # A port another program takes between the choice and the start is
    # chosen again.
    for _ in 1 2 3 4 5; do
        if [ "$tcp" -eq 1 ]; then
            port=$(free_port)
            listen="-c listen_addresses='127.0.0.1' -c port=$port"
        else
            listen="-c listen_addresses=''"
        fi
        if as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
            -o "$opts $listen" start >/dev/null; then
            if [ "$tcp" -eq 1 ]; then echo "$port" >"$dir/port"; else rm -f "$dir/port"; fi
            url
            exit 0
        fi
        [ "$tcp" -eq 1 ] || break
    done
    cat "$dir/server.log" >&2
    exit 1
    ;;
stop)
    mode=${3:-fast}
    if [ -n "$bindir" ] && [ -f "$dir/data/postmaster.pid" ]; then
        as_owner "$bindir/pg_ctl" -D "$dir/data" -m "$mode" -w -t 60 stop >/dev/null || true
    fi
    ;;
url)
    dir=$(cd "$dir" && pwd)
    url
    ;;
*)
    echo "usage: $0 start|stop|url DIR" >&2
    exit 2
    ;;
esac
