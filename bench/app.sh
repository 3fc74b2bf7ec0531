#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Measures the desktop application on a virtual X server with a system tray (trayer):
#   1. cold start to the window's first frame, in the windowed mode (a fresh process each
#      time, fresh preferences, the question of the first launch already answered)
#   2. idle CPU and wake-ups per second in tray mode with the live rate on, window hidden
#   3. peak resident memory after one speed test against tachora-speedserver on loopback
# Usage: bench/app.sh              (about a minute; IDLE_SECONDS=30 and STARTS=10 by default)
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -z "${TACHORA_BENCH_DISPLAY:-}" ]; then
    bash scripts/install-deps.sh --bench
    cmake --preset default >/dev/null
    cmake --build --preset default --target tachora tachora-speedserver >/dev/null
    # Without a session bus Qt puts its tray item in trayer over XEmbed.
    exec env -u DBUS_SESSION_BUS_ADDRESS TACHORA_BENCH_DISPLAY=1 QT_QPA_PLATFORM=xcb \
        xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi

app=$PWD/build/app/tachora
server=$PWD/build/tools/speedserver/tachora-speedserver
idle_seconds=${IDLE_SECONDS:-30}
starts=${STARTS:-10}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

trayer --edge top --align right --widthtype request --height 24 &
pids+=($!)

# fresh_user <preferences JSON>: a new set of user folders holding these preferences.
fresh_user() {
    local root
    root=$(mktemp -d "$work/user.XXXX")
    mkdir -p "$root/config/Tachora" "$root/runtime"
    chmod 700 "$root/runtime"
    printf '%s\n' "$1" >"$root/config/Tachora/preferences.json"
    export XDG_CONFIG_HOME=$root/config XDG_RUNTIME_DIR=$root/runtime
    export XDG_DATA_HOME=$root/data XDG_CACHE_HOME=$root/cache XDG_STATE_HOME=$root/state
}

micros() { echo "${EPOCHREALTIME/./}"; }

echo "== 1. Start to the first frame (windowed mode), $starts starts"
times=()
for _ in $(seq "$starts"); do
    fresh_user '{"TCOnboarded": true}'
    start=$(micros)
    coproc APP { QT_LOGGING_RULES="tachora.launch=true" exec "$app" 2>&1; }
    app_pid=$APP_PID
    while IFS= read -r line <&"${APP[0]}"; do
        [[ $line == *"first frame"* ]] && break
    done
    times+=($((($(micros) - start) / 1000)))
    kill "$app_pid"
    wait "$app_pid" 2>/dev/null || true
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "first start ${times[0]} ms, median ${sorted[$((starts / 2))]} ms, fastest ${sorted[0]} ms, slowest ${sorted[-1]} ms"

echo
echo "== 2. Idle in the tray with the live rate on, window hidden, ${idle_seconds} s"
fresh_user '{"TCOnboarded": true, "TCMenuBarMode": true, "TCLiveMenuBar": true}'
"$app" 2>/dev/null &
app_pid=$!
pids+=("$app_pid")
# cpu_ticks: the process's CPU time in clock ticks. switches FILE: the context switches
# of each thread, "tid count" per line; each is one wake-up of that thread.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$app_pid/stat"; }
switches() {
    for task in /proc/"$app_pid"/task/*; do
        echo "${task##*/} $(awk '/ctxt_switches/ {n += $2} END {print n}' "$task/status")"
    done | sort >"$1"
}
sleep 3
cpu0=$(cpu_ticks) t0=$(micros)
switches "$work/switches0"
sleep "$idle_seconds"
cpu1=$(cpu_ticks) t1=$(micros)
switches "$work/switches1"
# Idle pool threads end after 30 s: only threads alive at both ends are counted.
woken=$(join "$work/switches0" "$work/switches1" | awk '{n += $3 - $2} END {print n + 0}')
hz=$(getconf CLK_TCK)
awk -v c=$((cpu1 - cpu0)) -v s="$woken" -v t=$((t1 - t0)) -v hz="$hz" 'BEGIN {
    printf "CPU %.3f %% of one core, %.2f wake-ups per second\n", 100 * c / hz / (t / 1e6), s / (t / 1e6) }'
kill "$app_pid"
wait "$app_pid" 2>/dev/null || true

echo
echo "== 3. Peak memory after one test (server held to 400 Mbit/s each way)"
"$server" --down-rate 50000000 --up-rate 50000000 >"$work/server.out" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/server.out" ] && break
    sleep 0.05
done
origin="http://127.0.0.1:$(head -1 "$work/server.out" | cut -d' ' -f2)"
fresh_user '{"TCOnboarded": true}'
"$app" --server "$origin" 2>/dev/null &
app_pid=$!
pids+=("$app_pid")
window=$(xdotool search --sync --onlyvisible --name '^Tachora$' | head -1)
xdotool windowfocus --sync "$window" key Return
for _ in $(seq 600); do
    grep -q TCHistory "$XDG_CONFIG_HOME/Tachora/preferences.json" && break
    sleep 0.1
done
grep -q TCHistory "$XDG_CONFIG_HOME/Tachora/preferences.json" || echo "(the test gave no result)"
awk '/VmHWM/ {printf "peak RSS %.1f MB", $2 / 1024} /VmRSS/ {printf ", now %.1f MB\n", $2 / 1024}' \
    "/proc/$app_pid/status"
