#!/bin/sh
# Lookups and address updates measured with wrk in one run, on each way of
# running the directory, beside nginx answering a fixed "return 200" as the
# yardstick of what this machine's loopback and wrk allow:
#
#   nginx return 200
#   SQLite, one halvdir
#   PostgreSQL, one halvdir
#   PostgreSQL, one and two halvdir behind nginx as the load balancer
#
# Needs wrk, nginx and PostgreSQL's server binaries (scripts/install-deps);
# the PostgreSQL rows are skipped, with a note, without them. Builds halvdir
# in Release unless HALVDIR names a binary. Run as root it starts PostgreSQL as
# the postgres user. Uses fixed loopback ports from 18480 up: run it alone,
# or inside "unshare -n" after "ip link set lo up".
#
#   bench/directory/compare-setups.sh [seconds per run, default 10]
set -eu

. "$(dirname "$0")/release-halvdir.sh"

work=$(mktemp -d)
chmod 755 "$work"
cd "$work"
pids=""
pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)
pgdata=$work/pg
as_postgres() {
    if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}
cleanup() {
    for pid in $pids; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in $pids; do wait "$pid" 2>/dev/null || true; done
    if [ -f "$pgdata/postmaster.pid" ]; then
        as_postgres "$pgbin/pg_ctl" -D "$pgdata" -m fast stop >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

wait_for() { # URL
    i=0
    until curl -s -o /dev/null "$1"; do
        i=$((i + 1))
        [ $i -lt 200 ] || { echo "nothing answers $1" >&2; exit 1; }
        sleep 0.1
    done
}

start_halvdir() { # PORT DB LOG
    "$HALVDIR" serve --listen "127.0.0.1:$1" --db "$2" >"$3" 2>&1 &
    pids="$pids $!"
    wait_for "http://127.0.0.1:$1/cgi-bin/lookupid?nobody%40example.org"
}

# The users over one kept-alive connection: each gets an ID and a profile
# with a password, as run-wrk.sh stores them.
seed() { # PORT
    n=0
    : >"$work/seed.curl"
    while [ $n -lt "$users" ]; do
        {
            echo "url = \"http://127.0.0.1:$1/cgi-bin/registerid\""
            echo "output = \"/dev/null\""
            echo "url = \"http://127.0.0.1:$1/cgi-bin/updateinfo?$((n + 1))+User%20$n+user$n%40example.org+pw$n\""
            echo "output = \"/dev/null\""
        } >>"$work/seed.curl"
        n=$((n + 1))
    done
    curl -s -K "$work/seed.curl"
}

measure() { # LABEL PORT QUERY...
    label=$1
    port=$2
    shift 2
    for query in "$@"; do
        script=
        [ "$query" = fixed ] || script="-s $here/$query.lua"
        # shellcheck disable=SC2086
        out=$(wrk -t2 -c50 -d"${seconds}s" --latency $script "http://127.0.0.1:$port/")
        rps=$(echo "$out" | awk '/^Requests\/sec:/ {print $2}')
        p99=$(echo "$out" | awk '$1 == "99%" {print $2}')
        errors=$(echo "$out" | awk '/Non-2xx|Socket errors/ {printf "%s ", $0}')
        printf '%-38s %-9s %10s req/s  p99 %s %s\n' "$label" "$query" "$rps" "$p99" "$errors"
    done
}

# The yardstick, and later the load balancer: one nginx worker.
nginx_conf() { # FILE SERVER-BLOCKS
    cat >"$1" <<CONF
worker_processes 1;
daemon off;
error_log $work/nginx-error.log;
pid $1.pid;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work; proxy_temp_path $work; fastcgi_temp_path $work;
  uwsgi_temp_path $work; scgi_temp_path $work;
$2
}
CONF
}

nginx_conf "$work/fixed.conf" "  server { listen 127.0.0.1:18490; location / { return 200 \"ok\n\"; } }"
nginx -c "$work/fixed.conf" -p "$work" &
pids="$pids $!"
wait_for "http://127.0.0.1:18490/"
start_halvdir 18480 "$work/directory.db" "$work/sqlite.log"
seed 18480
# The yardstick just before and just after the lookups it is compared with,
# as the machine's load moves both.
measure "nginx return 200" 18490 fixed
before=$rps
measure "SQLite, one halvdir" 18480 lookupid
lookups=$rps
measure "nginx return 200, again" 18490 fixed
echo "$lookups $before $rps" | awk '{printf "SQLite lookups: %.0f%% of nginx (mean of before and after)\n", 200 * $1 / ($2 + $3)}'
measure "SQLite, one halvdir" 18480 updateip

if [ -z "$pgbin" ] || [ ! -x "$pgbin/initdb" ]; then
    echo "PostgreSQL rows skipped: no server binaries under /usr/lib/postgresql"
    exit 0
fi
mkdir -p "$pgdata"
[ "$(id -u)" -ne 0 ] || chown postgres "$pgdata"
as_postgres "$pgbin/initdb" -D "$pgdata" -A trust -U halvdir >/dev/null
as_postgres "$pgbin/pg_ctl" -D "$pgdata" -l "$pgdata/server.log" -w \
    -o "-p 18495 -k $pgdata -c listen_addresses=127.0.0.1 -c max_connections=300" \
    start >/dev/null
database="postgresql://halvdir@127.0.0.1:18495/postgres"

start_halvdir 18481 "$database" "$work/pg1.log"
seed 18481
stored=$(as_postgres "$pgbin/psql" -h 127.0.0.1 -p 18495 -U halvdir -d postgres -tAc \
    "SELECT count(*) FROM users" 2>/dev/null || true)
if [ "$stored" != "$users" ]; then
    echo "PostgreSQL rows skipped: halvdir did not store the users in PostgreSQL ($stored)"
    exit 0
fi
measure "PostgreSQL, one halvdir" 18481 lookupid updateip

# The example configuration of packaging/, pointed at this run's ports; first
# with the second instance left out, to tell the balancer's cost from the
# second instance's gain.
balancer() { # PORT FILTER
    nginx_conf "$work/balancer$1.conf" "$(sed -e 's/127.0.0.1:8081/127.0.0.1:18481/' \
        -e 's/127.0.0.1:8082/127.0.0.1:18482/' -e "s/listen 80;/listen 127.0.0.1:$1;/" \
        -e "$2" "$root/packaging/halvdir-nginx.conf")"
    nginx -c "$work/balancer$1.conf" -p "$work" &
    pids="$pids $!"
    wait_for "http://127.0.0.1:$1/cgi-bin/lookupid?nobody%40example.org"
}
balancer 18483 '/127.0.0.1:18482/d'
measure "PostgreSQL, one halvdir behind nginx" 18483 lookupid updateip

start_halvdir 18482 "$database" "$work/pg2.log"
balancer 18484 ''
measure "PostgreSQL, two halvdir behind nginx" 18484 lookupid updateip
