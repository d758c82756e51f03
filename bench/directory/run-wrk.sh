#!/bin/sh
# Requests per second and 99th-percentile latency of halvdir for "lookupid"
# (reads) and "updateip" (committed writes, each with a password check),
# measured with wrk: 2 threads, 50 connections. Builds halvdir in Release in
# its own folder unless HALVDIR names a binary.
#
#   bench/directory/run-wrk.sh [seconds per run, default 10]
set -eu

. "$(dirname "$0")/release-halvdir.sh"

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

port=${HALVDIR_BENCH_PORT:-18480}
"$HALVDIR" serve --listen "127.0.0.1:$port" --db "$work/directory.db" >"$work/requests.log" 2>&1 &
pid=$!
i=0
until curl -s -o /dev/null "http://127.0.0.1:$port/cgi-bin/lookupid?nobody%40example.org"; do
    i=$((i + 1))
    [ $i -lt 100 ] || { echo "halvdir did not start" >&2; cat "$work/requests.log" >&2; exit 1; }
    sleep 0.1
done

# Seed the users over one kept-alive connection.
n=0
: >"$work/seed.curl"
while [ $n -lt "$users" ]; do
    {
        echo "url = \"http://127.0.0.1:$port/cgi-bin/registerid\""
        echo "output = \"/dev/null\""
        echo "url = \"http://127.0.0.1:$port/cgi-bin/updateinfo?$((n + 1))+User%20$n+user$n%40example.org+pw$n\""
        echo "output = \"/dev/null\""
    } >>"$work/seed.curl"
    n=$((n + 1))
done
curl -s -K "$work/seed.curl"
seeded=$(curl -s "http://127.0.0.1:$port/cgi-bin/lookupid?user$((users - 1))%40example.org")
echo "seeded $users users ($seeded)"

for query in lookupid updateip; do
    out=$(wrk -t2 -c50 -d"${seconds}s" --latency -s "$here/$query.lua" "http://127.0.0.1:$port/")
    rps=$(echo "$out" | awk '/^Requests\/sec:/ {print $2}')
    p99=$(echo "$out" | awk '$1 == "99%" {print $2}')
    errors=$(echo "$out" | awk '/Non-2xx|Socket errors/ {print}')
    echo "$query: $rps requests/s, p99 $p99 ${errors:+($errors)}"
done
# A refused password is answered "Result: 2" with status 200, which wrk
# counts as success: the user of every thread's first request must have
# moved off 0.0.0.0.
moved=$(curl -s "http://127.0.0.1:$port/cgi-bin/lookupip?2")
echo "user 2 after the updates: $moved"
[ "$moved" != "IP: 0.0.0.0" ] || { echo "updateip was refused" >&2; exit 1; }
echo "log lines: $(wc -l <"$work/requests.log")"
