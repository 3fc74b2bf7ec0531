#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a test program as a client of Weston's headless compositor, on Qt's Wayland platform.
# Skipped (status 77) where Weston is missing.
set -euo pipefail
if ! command -v weston >/dev/null; then
    echo "weston is not installed: skipped"
    exit 77
fi

# For the sanitized build: what Qt's D-Bus and Wayland libraries keep until exit.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/../system-leaks.supp"

# Weston wants a runtime folder of its own; the test points XDG_RUNTIME_DIR elsewhere, so it
# is given the socket's whole path.
runtime=$(mktemp -d "${TMPDIR:-/tmp}/tachora-weston-XXXXXX")
chmod 700 "$runtime"
XDG_RUNTIME_DIR="$runtime" weston --backend=headless-backend.so --socket=wayland-tachora \
    --idle-time=0 --no-config --log="$runtime/weston.log" &
compositor=$!
cleanup() {
    kill "$compositor" 2>/dev/null || true
    wait "$compositor" 2>/dev/null || true
    rm -rf "$runtime"
}
trap cleanup EXIT

for _ in $(seq 100); do
    [ -S "$runtime/wayland-tachora" ] && break
    kill -0 "$compositor" 2>/dev/null || { cat "$runtime/weston.log" >&2; exit 1; }
    sleep 0.1
done
[ -S "$runtime/wayland-tachora" ] || { echo "weston did not start" >&2; exit 1; }

# The widgets draw into shared memory. Without this Qt's Wayland client starts EGL, which loads
# Mesa's software driver and unloads it at exit, one of its allocations still held: LeakSanitizer
# can no longer name the library then, so no suppression matches (128 bytes, on some machines).
status=0
env -u DISPLAY WAYLAND_DISPLAY="$runtime/wayland-tachora" QT_QPA_PLATFORM=wayland \
    QT_WAYLAND_CLIENT_BUFFER_INTEGRATION=none "$@" || status=$?
exit "$status"
