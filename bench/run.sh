#!/usr/bin/env bash
# Measures the speed-test engine (through tachora-cli) against tachora-speedserver on
# loopback, next to curl on the same server:
#   1. download and upload rates, engine vs curl, over HTTP and HTTPS. On loopback the
#      five production steps (1.255 GB) go by in under 0.4 s, which the engine reports as
#      no measurement, so this part asks for ten steps of 800 MB instead.
#   1b. HTTP/1.1 against HTTP/2, against nginx over TLS (our server speaks HTTP/1.1 only)
#   2. CPU seconds the engine process spends per GB moved
#   3. the engine process's peak RSS during a full-size test
#   4. the rates reported when the server holds the link to 50, 200 and 800 Mbit/s
#   5. the cost of one read of the preferences store
# Usage: bench/run.sh            (takes about two minutes)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --bench
cmake --preset default >/dev/null
cmake --build --preset default --target tachora-cli tachora-speedserver >/dev/null

cli=$PWD/build/app/cli/tachora-cli
server=$PWD/build/tools/speedserver/tachora-speedserver
work=$(mktemp -d)
server_pid=
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -f "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The benchmark's own user folders: it never adds to the real history.
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache XDG_STATE_HOME=$work/state

openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
head -c 4000000 /dev/urandom >"$work/chunk.bin"

# start_server <scheme> [server options...]: sets origin and server_pid.
start_server() {
    local scheme=$1
    shift
    local tls=()
    [ "$scheme" = https ] && tls=(--cert "$work/cert.pem" --key "$work/key.pem")
    "$server" --totals "${tls[@]}" "$@" >"$work/server.out" &
    server_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/server.out" ] && break
        sleep 0.05
    done
    origin="$scheme://127.0.0.1:$(head -1 "$work/server.out" | cut -d' ' -f2)"
}

# stop_server: prints the body bytes the server moved, "down up".
stop_server() {
    kill -TERM "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
    awk '/^moved/ {print $3, $5}' "$work/server.out"
}

# engine [cli options...]: runs one test; sets down, up (Mbps), cpu (s), rss (MB).
engine() {
    : >"$work/result.json"
    /usr/bin/time -f '%U %S %M' -o "$work/time.txt" timeout 120 \
        "$cli" --server "$origin" --cacert "$work/cert.pem" --json "$@" >"$work/result.json" || true
    down=$(json_number down "$work/result.json")
    up=$(json_number up "$work/result.json")
    down=${down:-0} up=${up:-0}
    read -r user sys rss_kb <"$work/time.txt"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')
    rss=$(awk -v k="$rss_kb" 'BEGIN {printf "%.1f", k / 1024}')
}

# curl_rates [curl options...]: sets curl_down, curl_up (Mbps) on the running server:
# one 800 MB download (the engine's largest step) and 100 uploads of 4 MB on one connection.
curl_rates() {
    curl_down=$(timeout 60 curl -s --max-time 60 "$@" --cacert "$work/cert.pem" -o /dev/null -w '%{speed_download}' \
        "$origin/__down?bytes=800000000" | awk '{print $1 * 8 / 1e6}' || true)
    local urls=()
    for _ in $(seq 100); do urls+=(-o /dev/null "$origin/__up"); done
    # A transfer cut by the time limit shows as a rate of 0. The outer timeout is there
    # because curl 7.88 can spin on an HTTP/2 upload without ever checking --max-time.
    curl_up=$(timeout 60 curl -s --max-time 60 "$@" --cacert "$work/cert.pem" -H 'Expect:' \
        --data-binary "@$work/chunk.bin" -w '%{size_upload} %{time_total}\n' "${urls[@]}" |
        awk '{b += $1; t += $2} END {print (t > 0 ? b * 8 / t / 1e6 : 0)}' || true)
    curl_down=${curl_down:-0} curl_up=${curl_up:-0}
}

json_number() { grep -o "\"$1\": *[-0-9.eE+]*" "$2" | sed 's/.*: *//'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
mbps() { awk -v a="$1" 'BEGIN {printf "%.0f", a}'; }

long_steps=800000000$(printf ',800000000%.0s' $(seq 9))

echo "== 1-3. Engine vs curl on loopback (8 s / 5 s budgets; ten 800 MB download steps)"
printf '%-14s %10s %10s %6s %10s %10s %6s %9s %8s\n' link "engine ↓" "curl ↓" ratio "engine ↑" "curl ↑" ratio "CPU s/GB" "peak MB"
for scheme in http https; do
    start_server "$scheme"
    curl_rates
    stop_server >/dev/null
    start_server "$scheme"
    engine --steps "$long_steps"
    read -r moved_down moved_up < <(stop_server)
    per_gb=$(awk -v c="$cpu" -v d="$moved_down" -v u="$moved_up" 'BEGIN {printf "%.2f", c / ((d + u) / 1e9)}')
    printf '%-14s %10s %10s %6s %10s %10s %6s %9s %8s\n' "$scheme" \
        "$(mbps "$down")" "$(mbps "$curl_down")" "$(ratio "$down" "$curl_down")" \
        "$(mbps "$up")" "$(mbps "$curl_up")" "$(ratio "$up" "$curl_up")" "$per_gb" "$rss"
done
echo "(rates in Mbit/s; peak MB is the engine process's maximum resident set)"
start_server https
engine
stop_server >/dev/null
echo "Full-size test with the production steps over https: peak RSS $rss MB, ↓ $(mbps "$down") ↑ $(mbps "$up") Mbit/s"

echo
echo "== 1b. HTTP/1.1 vs HTTP/2 against nginx over TLS (same server, same test)"
mkdir -p "$work/www" "$work/nginx"
for size in 0 15000000 40000000 100000000 300000000 800000000; do
    truncate -s "$size" "$work/www/down-$size"
done
nginx_port=$((20000 + RANDOM % 20000))
cat >"$work/nginx.conf" <<NGINX
$( [ "$(id -u)" -eq 0 ] && echo "user root;" )
worker_processes 1;
pid $work/nginx/nginx.pid;
error_log $work/nginx/error.log;
events {}
http {
    access_log off;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    keepalive_requests 100000;
    tcp_nodelay on;
    server {
        listen 127.0.0.1:$nginx_port ssl http2;
        ssl_certificate $work/cert.pem;
        ssl_certificate_key $work/key.pem;
        location = /__down {
            root $work/www;
            default_type application/octet-stream;
            try_files /down-\$arg_bytes =404;
        }
        location = /__up {
            client_max_body_size 16m;
            return 200 "ok";
        }
    }
}
NGINX
nginx -c "$work/nginx.conf" -e "$work/nginx/error.log"
origin="https://127.0.0.1:$nginx_port"
printf '%-10s %10s %10s %6s %10s %10s %6s\n' protocol "engine ↓" "curl ↓" ratio "engine ↑" "curl ↑" ratio
for version in 1.1 2; do
    flags=()
    [ "$version" = 2 ] && flags=(--http2)
    curl_rates "--http$version"
    engine --steps "$long_steps" "${flags[@]}"
    printf '%-10s %10s %10s %6s %10s %10s %6s\n' "HTTP/$version" \
        "$(mbps "$down")" "$(mbps "$curl_down")" "$(ratio "$down" "$curl_down")" \
        "$(mbps "$up")" "$(mbps "$curl_up")" "$(ratio "$up" "$curl_up")"
done
kill "$(cat "$work/nginx/nginx.pid")"
echo "(0 marks a transfer that did not finish within its time limit)"

echo
echo "== 4. Rate-limited server (https, engine defaults)"
printf '%-12s %10s %10s\n' limit "engine ↓" "engine ↑"
for limit in 50 200 800; do
    bytes=$((limit * 1000000 / 8))
    start_server https --down-rate "$bytes" --up-rate "$bytes"
    engine
    stop_server >/dev/null
    printf '%-12s %10.1f %10.1f\n' "$limit Mbit/s" "$down" "$up"
done

echo
echo "== 5. Preferences store: cost of a read (and of a write, for scale)"
cmake --build --preset default --target tachora-bench-preferences >/dev/null
build/bench/preferences/tachora-bench-preferences --dir "$work"
