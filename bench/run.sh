#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Measures the speed-test engine (through tachora-cli) against tachora-speedserver.
#
# loopback: the engine next to curl on loopback, where neither the network nor the
#   server is the limit, and the preferences store:
#   1. download and upload rates, engine vs curl, over HTTP and HTTPS. On loopback the
#      five production steps (1.255 GB) go by in a fraction of a second, so this part
#      asks for ten steps of 800 MB to measure for the whole budget.
#   1b. HTTP/1.1 against HTTP/2, against nginx over TLS (our server speaks HTTP/1.1 only)
#   2. CPU seconds the engine process spends per GB moved, against curl's on the same
#      bytes: its own cost per GB each way, weighed by what the engine moved each way
#   3. the engine process's peak RSS during a full-size test
#   5. the cost of one read of the preferences store
# rates: the engine's rates on rate-limited links of 1, 2, 10, 50, 200 and 800 Mbit/s,
#   both directions, HTTP and HTTPS, with the production budgets and sizes:
#   server - the server's own limit on loopback; reference: the limit
#   tbf    - a veth pair between two network namespaces, shaped both ways by tc's token
#            bucket filter, with a plain server behind it (needs root); reference: curl's
#            goodput on the same link (one download of 8 s, one upload of 5 s)
#   Every measure is taken BENCH_REPEAT times (default 3) and the median is shown: the
#   machine may be busy with other work.
# latency: latency under load on a 10 Mbit/s link shaped by tc's token bucket filter between
#   two network namespaces, with a deep (200 ms) and a shallow (5 ms) queue, every connection
#   on cubic (BBR, this machine's default, keeps the queue nearly empty): the engine's loaded
#   latencies against a reference, a curl -I loop on a second connection while curl downloads
#   or uploads on the same link; the grade; the rates with and without the probes; and the
#   idle jitter against a server that delays every answer by 20 ms (needs root; about 8
#   minutes).
# wan: links with a real round-trip time (needs root; not part of all): the delay line of
#   bench/netlab between two network namespaces, at 10 to 4000 Mbit/s and 20 or 40 ms. Over
#   http, the engine against one curl stream and four parallel ones (their bytes summed over
#   the slowest one's time: what the link carries), both directions, and the line's idle
#   round-trip time measured by ping. TCP's buffers in the namespaces are Debian's defaults.
#   The server answers by the public service's rule (--public-rules): downloads of 100 MB or
#   more are refused without a Referer; each link is measured once per size cap of
#   BENCH_WAN_CAPS (default "default 30000000"), with the downloads the server refused to
#   the engine over all its runs. curl sends a Referer: its streams are taken without the
#   rule, once per link. Links are DOWN[:UP]/RTT (Mbit/s, ms), with @loss0.1 (random loss,
#   per cent of the packets), @cubic (every socket on cubic instead of the host's BBR) or
#   @burstMB (a token bucket of that many megabytes passing at ten times the rate) after it;
#   each reading shows the worst run beside the median, and the ceiling (rate x 1448/1500).
# Usage: bash bench/run.sh [all|loopback|rates|latency|wan]   (all: about 35 minutes;
#   rates: 30; latency: 8; wan: 50 at BENCH_REPEAT=3; latency and wan are not part of all)
#   BENCH_REPEAT=N  BENCH_RATES="1 10"  BENCH_LINKS="server tbf"  BENCH_SCHEMES="http https"
#   BENCH_WAN_LINKS="100/20 1000/40" (Mbit/s/ms)  BENCH_WAN_REFS=0 (engine only)
#   BENCH_WAN_CAPS="default 30000000": the size caps of the public rule, one row each
#   BENCH_CLI="/a/tachora-cli /b/tachora-cli": the engines to measure, one column each
#   (default: this checkout's)  BENCH_TCP_RMEM, BENCH_TCP_WMEM: the namespaces' TCP buffers
#   BENCH_RT=10: the real-time priority of the engine, curl and the server (0: none)
#   BENCH_WAN_RUNS=FILE: every wan run's readings added to FILE, a line each:
#   "LINK CAP ENGINE DOWN UP", ENGINE the column's number or curl4
set -euo pipefail
cd "$(dirname "$0")/.."
part=${1:-all}
case $part in all | loopback | rates | latency | wan) ;; *) echo "usage: bench/run.sh [all|loopback|rates|latency|wan]" >&2; exit 2 ;; esac

bash scripts/install-deps.sh --bench
cmake --preset default >/dev/null
targets=(tachora-cli tachora-speedserver)
[ "$part" = wan ] && targets+=(tachora-netlab)
cmake --build --preset default --target "${targets[@]}" >/dev/null

cli=$PWD/build/app/cli/tachora-cli
server=$PWD/build/tools/speedserver/tachora-speedserver
work=$(mktemp -d)
server_pid=
netlab_pid=
# The two network namespaces of the shaped link, named after this run.
ns_client=tachora-bench-c$$
ns_server=tachora-bench-s$$
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "$netlab_pid" ] && kill "$netlab_pid" 2>/dev/null || true
    [ -f "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null || true
    ip netns del "$ns_client" 2>/dev/null || true
    ip netns del "$ns_server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The benchmark's own user folders: it never adds to the real history.
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache XDG_STATE_HOME=$work/state

# The shaped link's addresses: the client's and the server's end.
link_client=10.231.0.1
link_server=10.231.0.2
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 \
    -addext "subjectAltName=IP:127.0.0.1,IP:$link_server" \
    -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
head -c 4000000 /dev/urandom >"$work/chunk.bin"

# start_server <scheme> [server options...]: sets origin and server_pid. Runs in the
# namespace in_server (a command prefix) on host server_host when they are set.
in_server=()
server_host=127.0.0.1
start_server() {
    local scheme=$1
    shift
    local tls=()
    [ "$scheme" = https ] && tls=(--cert "$work/cert.pem" --key "$work/key.pem")
    : >"$work/server.out"
    "${in_server[@]}" "$server" --host "$server_host" --totals "${tls[@]}" "$@" >"$work/server.out" &
    server_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/server.out" ] && break
        sleep 0.05
    done
    origin="$scheme://$server_host:$(head -1 "$work/server.out" | cut -d' ' -f2)"
}

# stop_server: prints the body bytes the server moved, "down up".
stop_server() {
    kill -TERM "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    server_pid=
    awk '/^moved/ {print $3, $5}' "$work/server.out"
}

# engine [cli options...]: runs one test; sets down, up (Mbps), cpu (s), rss (MB). Runs
# in the namespace in_client (a command prefix) when it is set.
in_client=()
engine() {
    : >"$work/result.json"
    "${in_client[@]}" /usr/bin/time -f '%U %S %M' -o "$work/time.txt" timeout 120 \
        "$cli" --server "$origin" --cacert "$work/cert.pem" --json "$@" >"$work/result.json" || true
    down=$(json_number down "$work/result.json")
    up=$(json_number up "$work/result.json")
    down=${down:-0} up=${up:-0}
    read -r user sys rss_kb <"$work/time.txt"
    cpu=$(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')
    rss=$(awk -v k="$rss_kb" 'BEGIN {printf "%.1f", k / 1024}')
}

# curl_rates [curl options...]: sets curl_down, curl_up (Mbps) on the running server:
# one 800 MB download (the engine's largest step) and 100 uploads of 4 MB on one connection;
# and curl_cpu_down, curl_cpu_up, the CPU seconds curl spent per GB in each direction.
curl_rates() {
    local out
    out=$(/usr/bin/time -f '%U %S' -o "$work/curl_time.txt" timeout 60 curl -s --max-time 60 "$@" \
        --cacert "$work/cert.pem" -o /dev/null -w '%{size_download} %{speed_download}' \
        "$origin/__down?bytes=800000000" || true)
    curl_down=$(echo "$out" | awk '{print $2 * 8 / 1e6}')
    curl_cpu_down=$(cpu_per_gb "$work/curl_time.txt" "$(echo "$out" | awk '{print $1}')")
    local urls=()
    for _ in $(seq 100); do urls+=(-o /dev/null "$origin/__up"); done
    # A transfer cut by the time limit shows as a rate of 0. The outer timeout is there
    # because curl 7.88 can spin on an HTTP/2 upload without ever checking --max-time.
    out=$(/usr/bin/time -f '%U %S' -o "$work/curl_time.txt" timeout 60 curl -s --max-time 60 "$@" \
        --cacert "$work/cert.pem" -H 'Expect:' --data-binary "@$work/chunk.bin" \
        -w '%{size_upload} %{time_total}\n' "${urls[@]}" | awk '{b += $1; t += $2} END {print b, t}' || true)
    curl_up=$(echo "$out" | awk '{print ($2 > 0 ? $1 * 8 / $2 / 1e6 : 0)}')
    curl_cpu_up=$(cpu_per_gb "$work/curl_time.txt" "$(echo "$out" | awk '{print $1}')")
    curl_down=${curl_down:-0} curl_up=${curl_up:-0}
}

# cpu_per_gb <time file> <bytes>: the user and system seconds of /usr/bin/time -f '%U %S'
# per GB of those bytes (0 when nothing moved).
cpu_per_gb() {
    awk -v b="${2:-0}" '{c = $1 + $2} END {printf "%.3f", (b > 0 ? c / (b / 1e9) : 0)}' "$1" 2>/dev/null || echo 0
}

json_number() { grep -o "\"$1\": *[-0-9.eE+]*" "$2" | sed 's/.*: *//'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
mbps() { awk -v a="$1" 'BEGIN {printf "%.0f", a}'; }

median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {print (NR ? v[int((NR + 1) / 2)] : 0)}'; }
lowest() { tr ' ' '\n' | grep . | sort -g | head -1; }
error_pct() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%+.1f %%", (a / b - 1) * 100; else print "-"}'; }

loopback() {
long_steps=800000000$(printf ',800000000%.0s' $(seq 9))

echo "== 1-3. Engine vs curl on loopback (8 s / 5 s budgets; ten 800 MB download steps)"
printf '%-14s %10s %10s %6s %10s %10s %6s %9s %9s %6s %8s\n' link "engine ↓" "curl ↓" ratio "engine ↑" "curl ↑" ratio "CPU s/GB" "curl s/GB" ratio "peak MB"
for scheme in http https; do
    start_server "$scheme"
    curl_rates
    stop_server >/dev/null
    start_server "$scheme"
    engine --steps "$long_steps"
    read -r moved_down moved_up < <(stop_server)
    per_gb=$(awk -v c="$cpu" -v d="$moved_down" -v u="$moved_up" 'BEGIN {printf "%.2f", c / ((d + u) / 1e9)}')
    # What curl would spend on the engine's bytes: its own cost per GB in each direction,
    # weighed by what the engine moved each way (an upload costs more than a download).
    curl_per_gb=$(awk -v cd="$curl_cpu_down" -v cu="$curl_cpu_up" -v d="$moved_down" -v u="$moved_up" \
        'BEGIN {printf "%.2f", (cd * d + cu * u) / (d + u)}')
    printf '%-14s %10s %10s %6s %10s %10s %6s %9s %9s %6s %8s\n' "$scheme" \
        "$(mbps "$down")" "$(mbps "$curl_down")" "$(ratio "$down" "$curl_down")" \
        "$(mbps "$up")" "$(mbps "$curl_up")" "$(ratio "$up" "$curl_up")" "$per_gb" "$curl_per_gb" \
        "$(ratio "$per_gb" "$curl_per_gb")" "$rss"
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

}

# The shaped link: a veth pair between the two namespaces, both ends up.
make_link() {
    ip netns add "$ns_client"
    ip netns add "$ns_server"
    ip link add "tbc$$" netns "$ns_client" type veth peer name "tbs$$" netns "$ns_server"
    ip -n "$ns_client" addr add "$link_client/24" dev "tbc$$"
    ip -n "$ns_server" addr add "$link_server/24" dev "tbs$$"
    for ns in "$ns_client" "$ns_server"; do ip -n "$ns" link set lo up; done
    ip -n "$ns_client" link set "tbc$$" up
    ip -n "$ns_server" link set "tbs$$" up
}

# link_tbf <tbf parameters...>: the same token bucket filter on both ends of the link.
link_tbf() {
    tc -n "$ns_client" qdisc replace dev "tbc$$" root tbf "$@"
    tc -n "$ns_server" qdisc replace dev "tbs$$" root tbf "$@"
}

# shape_link <Mbit/s>: a burst of 1 ms at the rate (at least two full frames) and a queue
# of 100 ms (at least 30 kB), as a modem's would be.
shape_link() {
    local bytes_per_s=$(($1 * 1000000 / 8))
    local burst=$((bytes_per_s / 1000 > 3028 ? bytes_per_s / 1000 : 3028))
    local limit=$((bytes_per_s / 10 > 30000 ? bytes_per_s / 10 : 30000))
    link_tbf rate "${1}mbit" burst "$burst" limit "$limit"
}

# goodput <Mbit/s>: sets ref_down and ref_up (Mbps), curl's goodput on the running server:
# a download of about 8 s and an upload of about 5 s at the link's rate, each timed from
# the moment the request could go out (connection and TLS set up) to the end, as the
# engine's phases are timed on the connection its latency probes opened.
goodput() {
    local down_bytes=$(($1 * 1000000)) up_bytes=$(($1 * 625000))
    local rate='{if ($3 > $2) print $1 * 8 / ($3 - $2) / 1e6}'
    truncate -s "$up_bytes" "$work/upload.bin"
    ref_down=$("${in_client[@]}" curl -s --max-time 60 --cacert "$work/cert.pem" -o /dev/null \
        -w '%{size_download} %{time_pretransfer} %{time_total}' "$origin/__down?bytes=$down_bytes" |
        awk "$rate" || true)
    ref_up=$("${in_client[@]}" curl -s --max-time 60 --cacert "$work/cert.pem" -o /dev/null \
        -H 'Expect:' -X POST -T "$work/upload.bin" \
        -w '%{size_upload} %{time_pretransfer} %{time_total}' "$origin/__up" | awk "$rate" || true)
    ref_down=${ref_down:-0} ref_up=${ref_up:-0}
}

rates() {
echo "== 4. Rate-limited links (production budgets and sizes; medians of $repeat runs, Mbit/s)"
local link rate scheme downs ups ref_downs ref_ups i
if [ "$(id -u)" -ne 0 ] && [[ " $links " == *" tbf "* ]]; then
    echo "(shaped links need root for network namespaces: only the server's limit is measured)"
    links=${links//tbf/}
fi
[[ " $links " == *" tbf "* ]] && make_link
printf '%-7s %6s %-6s %10s %10s %8s %10s %10s %8s\n' link limit scheme "engine ↓" "ref ↓" "error" "engine ↑" "ref ↑" "error"
for link in $links; do
    for rate in $rate_list; do
        [ "$link" = tbf ] && shape_link "$rate"
        for scheme in $schemes; do
            downs='' ups='' ref_downs='' ref_ups=''
            for i in $(seq "$repeat"); do
                if [ "$link" = server ]; then
                    local bytes=$((rate * 1000000 / 8))
                    start_server "$scheme" --down-rate "$bytes" --up-rate "$bytes"
                    engine
                    stop_server >/dev/null
                    ref_downs+=" $rate" ref_ups+=" $rate"
                else
                    in_server=(ip netns exec "$ns_server") in_client=(ip netns exec "$ns_client")
                    server_host=$link_server
                    start_server "$scheme"
                    engine
                    # What the cut transfers left in the link's queues drains first.
                    sleep 1
                    goodput "$rate"
                    stop_server >/dev/null
                    in_server=() in_client=() server_host=127.0.0.1
                    ref_downs+=" $ref_down" ref_ups+=" $ref_up"
                fi
                downs+=" $down" ups+=" $up"
            done
            local d u rd ru
            d=$(echo "$downs" | median) u=$(echo "$ups" | median)
            rd=$(echo "$ref_downs" | median) ru=$(echo "$ref_ups" | median)
            printf '%-7s %6s %-6s %10.3f %10.3f %8s %10.3f %10.3f %8s\n' "$link" "$rate" "$scheme" \
                "$d" "$rd" "$(error_pct "$d" "$rd")" "$u" "$ru" "$(error_pct "$u" "$ru")"
        done
    done
done
}

preferences() {
echo
echo "== 5. Preferences store: cost of a read (and of a write, for scale)"
cmake --build --preset default --target tachora-bench-preferences >/dev/null
build/bench/preferences/tachora-bench-preferences --dir "$work"
}

# probes_during <output> <command...>: runs a transfer in the client namespace; one second in,
# a curl -I loop on a connection of its own (four a second, on one connection) until it
# ends; prints the median probe time in ms over the probes that reused the connection.
probes_during() {
    local out=$1
    shift
    "${in_client[@]}" "$@" &
    local transfer=$!
    sleep 1
    local median
    median=$(probe_loop "$out" 24)
    wait "$transfer" || true
    echo "$median"
}

# probe_loop <output> <count>: that many curl -I on one connection, four a second, in the
# client namespace; prints the median time in ms of those that reused the connection.
probe_loop() {
    local urls=()
    for _ in $(seq "$2"); do urls+=(-o /dev/null "$origin/__down?bytes=0"); done
    "${in_client[@]}" curl -s -I --rate 4/s -w '%{time_total} %{num_connects}\n' "${urls[@]}" \
        >"$1" || true
    awk '$2 == 0 {print $1 * 1000}' "$1" | tr '\n' ' ' | median
}

# within <a> <b> <fraction>: "met" when a is within that fraction of b, else "NOT met".
within() {
    awk -v a="$1" -v b="$2" -v f="$3" 'BEGIN {d = (b > 0 ? a / b - 1 : 1); if (d < 0) d = -d
        print (d <= f ? "met" : "NOT met")}'
}

latency() {
echo "== 6. Latency under load: 10 Mbit/s, tbf queues of 200 and 5 ms, cubic (medians of $repeat runs)"
if [ "$(id -u)" -ne 0 ]; then
    echo "(needs root for network namespaces)"
    return
fi
make_link
# The server sets cubic on its sockets; the namespaces' own default cannot be changed here,
# so the client's sockets (the senders of the uploads) get it from a small preloaded shim.
cat >"$work/cubic.c" <<'SHIM'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    static int (*real)(int, const struct sockaddr *, socklen_t);
    if (!real)
        real = (int (*)(int, const struct sockaddr *, socklen_t))dlsym(RTLD_NEXT, "connect");
    int type = 0;
    socklen_t size = sizeof type;
    if ((address->sa_family == AF_INET || address->sa_family == AF_INET6)
        && getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM)
        setsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, "cubic", 5);
    return real(fd, address, length);
}
SHIM
cc -shared -fPIC -O2 -o "$work/cubic.so" "$work/cubic.c" -ldl
in_server=(ip netns exec "$ns_server")
in_client=(ip netns exec "$ns_client" env LD_PRELOAD="$work/cubic.so")
server_host=$link_server
truncate -s 10000000 "$work/latency-upload.bin"
local queue i pings jitters refs_down refs_up downs ups loaded_down loaded_up grades plain_downs plain_ups
local ext_down ext_up
local goals=()
local summary=()
for queue in 200ms 5ms; do
    # 10 Mbit/s both ways, a burst of 16 kB and a queue of that many milliseconds at the
    # rate, as a home router's would be.
    link_tbf rate 10mbit burst 16kb latency "$queue"
    start_server http --congestion cubic
    pings='' jitters='' refs_down='' refs_up='' downs='' ups='' loaded_down='' loaded_up='' grades=''
    ext_down='' ext_up=''
    plain_downs='' plain_ups=''
    for i in $(seq "$repeat"); do
        refs_down+=" $(probes_during "$work/probes.txt" curl -s -o /dev/null --max-time 8 "$origin/__down?bytes=800000000")"
        sleep 1
        refs_up+=" $(probes_during "$work/probes.txt" curl -s -o /dev/null --max-time 8 -H 'Expect:' \
            --data-binary "@$work/latency-upload.bin" "$origin/__up")"
        sleep 1
        # The engine's test, with the same curl -I loop during each of its phases.
        engine &
        local engine_pid=$! started=$SECONDS
        sleep 1.5
        ext_down+=" $(probe_loop "$work/ext.txt" 24)"
        while [ $((SECONDS - started)) -lt 10 ]; do sleep 0.2; done
        ext_up+=" $(probe_loop "$work/ext.txt" 10)"
        wait "$engine_pid" || true
        down=$(json_number down "$work/result.json") up=$(json_number up "$work/result.json")
        downs+=" ${down:-0}" ups+=" ${up:-0}"
        loaded_down+=" $(json_number loadedLatencyDown "$work/result.json")"
        loaded_up+=" $(json_number loadedLatencyUp "$work/result.json")"
        pings+=" $(json_number ping "$work/result.json")"
        jitters+=" $(json_number jitter "$work/result.json")"
        grades+=" $(grep -o '"grade": *"[A-F+]*"' "$work/result.json" | sed 's/.*: *"//; s/"//')"
        sleep 1
        engine --no-loaded-latency
        plain_downs+=" $down" plain_ups+=" $up"
        sleep 1
    done
    stop_server >/dev/null
    local rd ru ld lu
    rd=$(echo "$refs_down" | median) ru=$(echo "$refs_up" | median)
    ld=$(echo "$loaded_down" | median) lu=$(echo "$loaded_up" | median)
    summary+=("$(printf '%-6s %-9s %10.1f %10.1f %10.1f %8s' "$queue" "download" "$rd" "$(echo "$ext_down" | median)" "$ld" "$(error_pct "$ld" "$rd")")")
    summary+=("$(printf '%-6s %-9s %10.1f %10.1f %10.1f %8s' "$queue" "upload" "$ru" "$(echo "$ext_up" | median)" "$lu" "$(error_pct "$lu" "$ru")")")
    summary+=("$(printf '       idle ping %.1f ms, jitter %.2f ms; grades:%s' "$(echo "$pings" | median)" "$(echo "$jitters" | median)" "$grades")")
    if [ "$queue" = 200ms ]; then
        goals+=("loaded download latency within 15 % of the reference (200 ms queue): $(within "$ld" "$rd" 0.15)")
    else
        local others
        others=$(echo "$grades" | tr ' ' '\n' | grep -cvE '^(A\+?)?$' || true)
        goals+=("grade A or A+ on the 5 ms queue ($grades ): $([ "$others" -eq 0 ] && echo met || echo NOT met)")
    fi
    goals+=("rates within 0.5 % with and without the probes ($queue): ↓ $(within "$(echo "$downs" | median)" "$(echo "$plain_downs" | median)" 0.005), ↑ $(within "$(echo "$ups" | median)" "$(echo "$plain_ups" | median)" 0.005)")
    summary+=("$(printf '       rates with probes ↓ %.3f ↑ %.3f, without ↓ %.3f ↑ %.3f Mbit/s (%s, %s)' \
        "$(echo "$downs" | median)" "$(echo "$ups" | median)" "$(echo "$plain_downs" | median)" "$(echo "$plain_ups" | median)" \
        "$(error_pct "$(echo "$downs" | median)" "$(echo "$plain_downs" | median)")" \
        "$(error_pct "$(echo "$ups" | median)" "$(echo "$plain_ups" | median)")")")
done
printf '%-6s %-9s %10s %10s %10s %8s\n' queue phase "ref (ms)" "in engine" "engine" error
printf '%s\n' "${summary[@]}"
echo "(ref: median time of curl -I on a second connection, one second into a curl transfer;"
echo " in engine: the same loop during the engine's own phases; error: engine against ref)"

# Idle jitter: the link unloaded, the server answering every request 20 ms late; then the
# same at real-time priority, out of reach of whatever else the machine runs. Reference: the
# jitter of five curl -I on one connection, over the four that reused it.
link_tbf rate 10mbit burst 16kb latency 5ms
local priority ref_jitters
for priority in normal real-time; do
    local rt=()
    [ "$priority" = real-time ] && rt=(chrt -f 20)
    in_server=(ip netns exec "$ns_server" "${rt[@]}")
    in_client=(ip netns exec "$ns_client" "${rt[@]}" env LD_PRELOAD="$work/cubic.so")
    start_server http --congestion cubic --delay 20
    jitters='' ref_jitters=''
    for i in $(seq "$repeat"); do
        engine --download-budget 0.5 --upload-budget 0.5
        jitters+=" $(json_number jitter "$work/result.json")"
        probe_loop "$work/idle.txt" 5 >/dev/null
        ref_jitters+=" $(awk '$2 == 0 {t = $1 * 1000; if (n++) {d = t - p; s += (d < 0 ? -d : d)} p = t}
            END {printf "%.2f", (n > 1 ? s / (n - 1) : 0)}' "$work/idle.txt")"
    done
    stop_server >/dev/null
    printf 'Idle jitter, steady 20 ms server delay, %s priority (ms): engine %s (median %.2f), curl%s\n' \
        "$priority" "$(printf ' %.2f' $jitters)" "$(echo "$jitters" | median)" "$ref_jitters"
done
goals+=("idle jitter under 1 ms with a steady server delay, at real-time priority: $(awk -v j="$(echo "$jitters" | median)" 'BEGIN {print (j < 1 ? "met" : "NOT met")}')")
printf 'Goal: %s\n' "${goals[@]}"
in_server=() in_client=() server_host=127.0.0.1
}

# The delay line's devices and addresses: the client's and the server's end.
wan_client=10.232.0.1
wan_server=10.232.0.2
wan_dev_client=twc$$
wan_dev_server=tws$$

make_wan() {
    ip netns add "$ns_client"
    ip netns add "$ns_server"
    # A new namespace copies the host's TCP settings; Debian's defaults stand for the
    # users' machines: one stream's window is what limits it on long fat links.
    for ns in "$ns_client" "$ns_server"; do
        ip -n "$ns" link set lo up
        ip netns exec "$ns" sysctl -qw net.ipv4.tcp_rmem="${BENCH_TCP_RMEM:-4096 131072 6291456}" \
            net.ipv4.tcp_wmem="${BENCH_TCP_WMEM:-4096 16384 4194304}"
    done
}

# start_wan <down Mbit/s> <up Mbit/s> <RTT ms> [netlab options...]: the delay line between
# the namespaces, both ends up.
start_wan() {
    : >"$work/netlab.out"
    build/bench/netlab/tachora-netlab --ns-a "$ns_client" --dev-a "$wan_dev_client" \
        --ns-b "$ns_server" --dev-b "$wan_dev_server" --rate-down "$1" --rate-up "$2" --rtt "$3" \
        "${@:4}" >"$work/netlab.out" &
    netlab_pid=$!
    for _ in $(seq 100); do
        [ -s "$work/netlab.out" ] && break
        sleep 0.05
    done
    local ns dev address
    for end in client server; do
        ns=ns_$end dev=wan_dev_$end address=wan_$end
        # The kernel's own queue in front of the line must not be what drops.
        ip -n "${!ns}" link set "${!dev}" txqueuelen 10000 up
        ip -n "${!ns}" addr add "${!address}/24" dev "${!dev}"
    done
}

stop_wan() {
    kill -TERM "$netlab_pid"
    wait "$netlab_pid" 2>/dev/null || true
    netlab_pid=
}

# curl_streams <n> <Mbit/s>: sets streams_down and streams_up (Mbps): n parallel curl
# transfers from the client's namespace; all their bytes over the slowest one's time, each
# timed from the moment its request could go out. Downloads are cut after 8 s as the
# engine's are (each asks for twice what the link carries in that time). Uploads run to
# their end, since a cut one counts what still waited in its socket's buffer: together 5 s
# at the link's rate, but one stream asks for no more than 5 s at 1 Gbit/s, about what
# one stream carries with Debian's buffers, so that it ends in time on fast links.
curl_streams() {
    local n=$1 rate=$2 i pids=()
    if [ "$n" = 1 ] && [ "$rate" -gt 1000 ]; then rate=1000; fi
    local down_bytes=$(($2 * 2000000 / n)) up_bytes=$((rate * 625000 / n))
    truncate -s "$up_bytes" "$work/upload.bin"
    local sum='{b += $1; if ($3 - $2 > t) t = $3 - $2} END {print (t > 0 ? b * 8 / t / 1e6 : 0)}'
    for i in $(seq "$n"); do
        "${in_client[@]}" curl -s --max-time 8 -o /dev/null -e "$origin/" \
            -w '%{size_download} %{time_pretransfer} %{time_total}\n' \
            "$origin/__down?bytes=$down_bytes" >"$work/stream$i" &
        pids+=($!)
    done
    wait "${pids[@]}" || true
    streams_down=$(cat "$work"/stream* | awk "$sum")
    sleep 0.5
    pids=()
    for i in $(seq "$n"); do
        "${in_client[@]}" curl -s --max-time 60 -o /dev/null -H 'Expect:' -X POST -T "$work/upload.bin" \
            -w '%{size_upload} %{time_pretransfer} %{time_total}\n' "$origin/__up" >"$work/stream$i" &
        pids+=($!)
    done
    wait "${pids[@]}" || true
    streams_up=$(cat "$work"/stream* | awk "$sum")
    rm -f "$work"/stream*
}

# cpu_ticks: the CPU time the kernel has counted so far, all of it and the part stolen by the
# host (a virtual machine's other guests), in clock ticks.
cpu_ticks() {
    awk '/^cpu / {print $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9, $9}' /proc/stat
}

# steal_since "TICKS": the stolen share of the CPU time since cpu_ticks gave TICKS.
steal_since() {
    local before after
    read -r -a before <<<"$1"
    read -r -a after <<<"$(cpu_ticks)"
    awk -v t="$((after[0] - before[0]))" -v s="$((after[1] - before[1]))" \
        'BEGIN {printf "%.0f %%", (t > 0 ? 100 * s / t : 0)}'
}

# idle_rtt: the line's round-trip time without load (ms, average of ten pings).
idle_rtt() {
    "${in_client[@]}" ping -q -c 10 -i 0.05 "$wan_server" |
        awk -F/ '/^rtt/ {printf "%.2f", $5}'
}

wan() {
echo "== 6. Links with a round-trip time, through the delay line (http; medians of $repeat runs, Mbit/s)"
if [ "$(id -u)" -ne 0 ]; then
    echo "(the delay line needs root for network namespaces and TUN devices)"
    return
fi
local link rate rtt i c n ping
local -a clis
read -r -a clis <<<"${BENCH_CLI:-$cli}"
n=${#clis[@]}
for i in "${!clis[@]}"; do
    echo "engine $((i + 1)): ${clis[$i]} ($(git -C "$(dirname "${clis[$i]}")" log --oneline -1 2>/dev/null || echo '?'))"
done
echo "load: $(uptime | sed 's/.*load/load/')"
make_wan
# A namespace may only choose among the host's allowed algorithms, which need not hold cubic.
local allowed
allowed=$(sysctl -n net.ipv4.tcp_allowed_congestion_control)
case " $allowed " in *" cubic "*) ;; *) sysctl -qw net.ipv4.tcp_allowed_congestion_control="$allowed cubic" ;; esac
# The machine may be busy with other work: the measured processes run at real-time
# priority (below the line's own), else one stream's upload reads 40 % low at 1 Gbit/s on a
# loaded machine, curl's as much as the engine's. They block on the network; the kernel's
# real-time throttling would still leave the rest of the system a share if one spun.
local priority=(chrt -f "$rt")
[ "$rt" = 0 ] && priority=()
in_server=(ip netns exec "$ns_server" "${priority[@]}") in_client=(ip netns exec "$ns_client" "${priority[@]}")
server_host=$wan_server
local head="| link (rate, RTT) | size cap | ping ms |" rule="|---|---|---|" numbered= host_cc
host_cc=$(sysctl -n net.ipv4.tcp_congestion_control)
[ "$n" -gt 1 ] && numbered=1
for dir in ↓ ↑; do
    head+=" ceiling $dir |" rule+="---|"
    for i in "${!clis[@]}"; do
        head+=" engine${numbered:+ $((i + 1))} $dir |"
        rule+="---|"
    done
    if [ "$refs" = 1 ]; then head+=" curl 1 $dir | curl 4 $dir |" rule+="---|---|"; fi
done
head+=" refused | steal |" rule+="---|---|"
echo "$head"
echo "$rule"
for link in $wan_links; do
    # DOWN[:UP]/RTT[@loss0.1|@cubic|@burstMB]
    local shape=${link%%@*} extra= rate_down rate_up line=()
    [ "$shape" != "$link" ] && extra=${link#*@}
    rate=${shape%/*} rtt=${shape#*/}
    rate_down=${rate%:*} rate_up=${rate#*:}
    rate=$rate_down
    [ "$rate_up" -gt "$rate" ] && rate=$rate_up
    case $extra in
    loss*) line=(--loss "${extra#loss}") ;;
    burst*) line=(--burst "$((${extra#burst} * 1000000))") ;;
    esac
    # cubic: the server's sockets and the client's upload ones, as on a stock desktop
    # talking to a cubic server; else the host's own (BBR on this machine).
    for ns in "$ns_client" "$ns_server"; do
        ip netns exec "$ns" sysctl -qw net.ipv4.tcp_congestion_control="$([ "$extra" = cubic ] && echo cubic || echo "$host_cc")"
        # What the kernel keeps of the last row's connections to the same address must not
        # shape this row's first ones.
        ip -n "$ns" tcp_metrics flush all
    done
    start_wan "$rate_down" "$rate_up" "$rtt" "${line[@]}"
    local cap first=1 refused ticks
    local -A downs=() ups=()
    for cap in $wan_caps; do
        local cap_option=()
        [ "$cap" != default ] && cap_option=(--size-cap "$cap")
        start_server http --public-rules "${cap_option[@]}"
        ticks=$(cpu_ticks)
        ping=$(idle_rtt)
        for c in "${!clis[@]}"; do unset "downs[$c]" "ups[$c]" "downs[s$c]" "ups[s$c]"; done
        for i in $(seq "$repeat"); do
            for c in "${!clis[@]}"; do
                cli=${clis[$c]}
                engine
                # What the cut transfers left in the line drains first.
                sleep 0.5
                downs[$c]+=" $down" ups[$c]+=" $up"
                if [ -n "${BENCH_WAN_RUNS:-}" ]; then echo "$link $cap $((c + 1)) $down $up" >>"$BENCH_WAN_RUNS"; fi
                local streams
                streams=$(json_number streamsDown "$work/result.json" || true)
                if [ -n "$streams" ]; then
                    downs[s$c]+=" $streams" ups[s$c]+=" $(json_number streamsUp "$work/result.json" || true)"
                fi
            done
            if [ "$refs" = 1 ] && [ "$first" = 1 ]; then
                curl_streams 1 "$rate"
                downs[r1]+=" $streams_down" ups[r1]+=" $streams_up"
                sleep 0.5
                curl_streams 4 "$rate"
                downs[r4]+=" $streams_down" ups[r4]+=" $streams_up"
                if [ -n "${BENCH_WAN_RUNS:-}" ]; then echo "$link $cap curl4 $streams_down $streams_up" >>"$BENCH_WAN_RUNS"; fi
                sleep 0.5
            fi
        done
        stop_server >/dev/null
        refused=$(awk '/^refused/ {print $2}' "$work/server.out")
        first=0
        local row="| ${rate_down}/${rate_up} Mbit/s, $rtt ms${extra:+, $extra} | $cap | $ping |" col
        for dir in downs ups; do
            local -n values=$dir
            row+=" $(awk -v r="$([ "$dir" = downs ] && echo "$rate_down" || echo "$rate_up")" 'BEGIN {printf "%.1f", r * 1448 / 1500}') |"
            for c in "${!clis[@]}"; do
                col=$(printf '%.1f' "$(echo "${values[$c]}" | median)")
                [ "$repeat" -gt 1 ] && col+=" [$(printf '%.1f' "$(echo "${values[$c]}" | lowest)")]"
                if [ -n "${values[s$c]:-}" ]; then col+=" ($(echo "${values[s$c]}" | median))"; fi
                row+=" $col |"
            done
            if [ "$refs" = 1 ]; then
                row+=" $(printf '%.1f' "$(echo "${values[r1]}" | median)") | $(printf '%.1f' "$(echo "${values[r4]}" | median)") |"
            fi
            unset -n values
        done
        echo "$row ${refused:-?} in $((repeat * n)) runs | $(steal_since "$ticks") |"
    done
    stop_wan
done
in_server=() in_client=() server_host=127.0.0.1
echo "(engine: the reported rate's median, the worst run in brackets, its streams in parentheses"
echo " when it reports them; ceiling: the rate times 1448/1500, what TCP over 1500-byte packets carries;"
echo " curl 4: four streams' bytes over the slowest one's time; steal: the share of the CPU time the"
echo " host gave to other guests during the row: the delay line runs in user space, and a row read"
echo " under a steal of more than a few per cent reads the machine, curl's streams as much as the"
echo " engine. load after: $(uptime | sed 's/.*average: //'))"
}

repeat=${BENCH_REPEAT:-3}
rate_list=${BENCH_RATES:-1 2 10 50 200 800}
links=${BENCH_LINKS:-server tbf}
schemes=${BENCH_SCHEMES:-http https}
wan_links=${BENCH_WAN_LINKS:-10/20 100/20 100/40 500/20 1000/20 1000/40 2000/20 4000/20 1000/80 100/150 20:5/600 300/30 300/100 300/100@cubic 10:1/100 300/20@loss0.1 300/20@loss1 300/20@cubic 100/40@burst50}
refs=${BENCH_WAN_REFS:-1}
wan_caps=${BENCH_WAN_CAPS:-default 30000000}
rt=${BENCH_RT:-10}
if [ "$part" = latency ]; then
    latency
    exit
fi
if [ "$part" = wan ]; then
    wan
    exit
fi
if [ "$part" != rates ]; then
    loopback
    preferences
fi
if [ "$part" != loopback ]; then
    rates
fi
