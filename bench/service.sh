#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Load on tachora-service, with SQLite and with PostgreSQL (a temporary cluster):
#   1. requests per second and latency of 100 concurrent clients on keep-alive connections
#      (70 % syncs, 20 % problem reports, 5 % crash records, 5 % bad reports);
#   2. nothing lost: the rows stored against the answers 200;
#   3. the same with 1000 idle connections held open: the service's memory, and the
#      latency of the working clients meanwhile;
#   4. under attack, on SQLite with the service's default limits: one well-behaved client's
#      p50 and p99 (20 syncs a second from 127.0.0.1) while other loopback addresses stream
#      requests answered 429 (1, 4 and 16 connections), hold 10,200 idle connections from
#      340 addresses, or hold 9,600 connections with 60 KB of a 64 KB body each; and the
#      service's memory during and after;
#   5. the bytes of unfinished requests shared by address: the same client while 34
#      addresses hold 32 connections each with 63,000 bytes of a 64 KB body, and 50 more
#      every 200 ms (about 70 MB in all, past the pool's 64 MiB);
#   6. budgets by network: one IPv6 /48, as 16 /64s, storing 63 KB crash records behind
#      --proxy with a 40 MB storage budget: what it stores, and whether a new address
#      elsewhere still can.
# Usage: bench/service.sh [SECONDS]   (each run lasts SECONDS, default 10)
#        THREADS=N bench/service.sh   gives the service N workers instead of 8
#        ATTACKS_ONLY=1 bench/service.sh   only the runs under attack
#        SERVICE=path bench/service.sh     another build of the service, to compare
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}

bash scripts/install-deps.sh --bench
cmake --preset default >/dev/null
cmake --build --preset default --target tachora-service service-load >/dev/null
service=${SERVICE:-$PWD/build/tools/service/tachora-service}
load=$PWD/build/bench/service-load
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)

work=$(mktemp -d)
chmod 755 "$work"
service_pid=
owner=()
cleanup() {
    [ -n "$service_pid" ] && kill "$service_pid" 2>/dev/null || true
    if [ -f "$work/pg/data/postmaster.pid" ]; then
        "${owner[@]}" "$pgbin/pg_ctl" stop -D "$work/pg/data" -m immediate >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$service" keygen --key "$work/key" >/dev/null 2>&1

# The runs under attack use SQLite only.
if [ -z "${ATTACKS_ONLY:-}" ]; then
    # PostgreSQL refuses to run as root: then the cluster is the postgres user's.
    mkdir "$work/pg"
    if [ "$(id -u)" -eq 0 ]; then
        chown postgres: "$work/pg"
        owner=(runuser -u postgres --)
    fi
    "${owner[@]}" "$pgbin/initdb" -D "$work/pg/data" -U tachora -A trust -E UTF8 --locale=C >/dev/null
    "${owner[@]}" "$pgbin/pg_ctl" start -w -D "$work/pg/data" -l "$work/pg/log" \
        -o "-k $work/pg -c listen_addresses=''" >/dev/null
    pg_url="postgresql:///postgres?host=$work/pg&user=tachora"
fi

# count <db> <table>: the rows of a table.
count() {
    case $1 in
    postgresql:*) psql "$1" -tAc "SELECT count(*) FROM $2" ;;
    *) sqlite3 "$1" "SELECT count(*) FROM $2" ;;
    esac
}

# start_service <db> [serve options...]: sets service_pid and port, once the service has
# printed its port (up to 20 s: a loaded machine may take more than a few seconds to open
# the database).
start_service() {
    local db=$1
    shift
    "$service" serve --key "$work/key" --listen 127.0.0.1:0 --db "$db" "$@" \
        >"$work/service.out" 2>"$work/service.err" &
    service_pid=$!
    for _ in $(seq 400); do
        [ -s "$work/service.out" ] && break
        sleep 0.05
    done
    port=$(sed -n 's/^port //p' "$work/service.out")
}

stop_service() {
    kill "$service_pid"
    wait "$service_pid" 2>/dev/null || true
    service_pid=
}

# run <label> <db> <idle connections>
run() {
    local label=$1 db=$2 idle=$3
    start_service "$db" --limit-address 0 --limit-device 0 --max-address-connections 0 \
        --timeout 60 ${THREADS:+--threads $THREADS}
    echo "== $label, $idle idle connections"
    "$load" "$port" --clients 100 --seconds "$seconds" --idle "$idle" --pid "$service_pid" | tee "$work/load.out"
    stop_service
    local answered_reports answered_crashes rows_reports rows_crashes
    answered_reports=$(awk -F'[ ,]+' '/^status 200:/ {print $6}' "$work/load.out")
    answered_crashes=$(awk -F'[ ,]+' '/^status 200:/ {print $8}' "$work/load.out")
    rows_reports=$(count "$db" reports)
    rows_crashes=$(count "$db" crashes)
    if [ "$rows_reports" = "$answered_reports" ] && [ "$rows_crashes" = "$answered_crashes" ]; then
        echo "nothing lost: $rows_reports reports and $rows_crashes crash records stored, as many as answered 200"
    else
        echo "MISMATCH: $rows_reports report rows for $answered_reports answers 200, $rows_crashes crash rows for $answered_crashes" >&2
        exit 1
    fi
    echo
}

# A schema per run keeps the PostgreSQL runs apart.
schema() {
    psql "$pg_url" -qc "CREATE SCHEMA $1"
    echo "$pg_url&options=-csearch_path%3D$1"
}

# attack <kind> <attacker connections> [per address] [body bytes] [trickle]: the service
# with its default limits, on SQLite.
attack() {
    local kind=$1 attackers=$2
    start_service "$work/attack-$kind-$attackers.db"
    echo "== under attack: $kind"
    "$load" "$port" --attack "$kind" --attackers "$attackers" --per-address "${3:-30}" \
        --body-bytes "${4:-60000}" --trickle "${5:-0}" --seconds "$seconds" --pid "$service_pid"
    stop_service
    echo "service log lines: $(wc -l <"$work/service.err")"
    echo
}

if [ -z "${ATTACKS_ONLY:-}" ]; then
    run "SQLite" "$work/busy.db" 0
    run "PostgreSQL $("$pgbin/postgres" --version | awk '{print $3}')" "$(schema busy)" 0
    run "SQLite" "$work/idle.db" 1000
    run "PostgreSQL" "$(schema idle)" 1000
fi
attack none 0
attack refused 1
attack refused 4
attack refused 16
attack idle 10200
attack slow-bodies 9600
attack slow-bodies 1088 32 63000 50

echo "== budgets by network"
start_service "$work/network.db" --proxy --storage-budget 41943040
"$load" "$port" --attack network --seconds "$((seconds * 2))"
stop_service
echo "stored in the database: $(sqlite3 "$work/network.db" \
    "SELECT count(*) || ' crash records, ' || round(sum(length(CAST(stack AS BLOB))) / 1e6, 1) || ' MB of stacks' FROM crashes")"
echo
echo "(on $(nproc) cores, shared with the clients; PostgreSQL with its default durability: fsync at every commit)"
