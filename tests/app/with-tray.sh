#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a test program on a virtual X server with a system tray (trayer), so that the tray
# item is really embedded. Skipped (status 77) where xvfb-run is missing.
set -euo pipefail
if ! command -v xvfb-run >/dev/null; then
    echo "xvfb-run is not installed: skipped"
    exit 77
fi
command -v trayer >/dev/null || { echo "trayer is not installed" >&2; exit 1; }
command -v xdotool >/dev/null || { echo "xdotool is not installed" >&2; exit 1; }

# libxkbcommon-x11 strndup()s server replies that need not end in a NUL, which is valid
# but trips AddressSanitizer's strict string checks: relax them for this run only.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"
fi

# For the sanitized build: what libdbus keeps at exit when it finds no session bus.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/system-leaks.supp"

# Without a session bus Qt embeds the item with XEmbed, which is what trayer offers.
exec env -u DBUS_SESSION_BUS_ADDRESS QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
        trayer --edge top --align right --widthtype request --height 24 &
        tray=$!
        status=0
        "$@" || status=$?
        kill "$tray" 2>/dev/null || true
        exit "$status"' tachora-tray "$@"
