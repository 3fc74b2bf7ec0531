#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a test program on a private session bus and a virtual X server, so that Qt finds the
# StatusNotifierItem tray that the test puts on that bus. Skipped (status 77) where the bus,
# xvfb-run or Python's D-Bus bindings are missing.
set -euo pipefail
for program in dbus-run-session xvfb-run; do
    if ! command -v "$program" >/dev/null; then
        echo "$program is not installed: skipped"
        exit 77
    fi
done
if ! /usr/bin/python3 -c 'import dbus, gi.repository.GLib' 2>/dev/null; then
    echo "python3-dbus or python3-gi is not installed: skipped"
    exit 77
fi

# As in tests/app/with-tray.sh: libxkbcommon-x11 trips AddressSanitizer's strict string checks.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"
fi

# For the sanitized build: what Qt's D-Bus and Wayland libraries keep until exit.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/../system-leaks.supp"

# The bus daemon's complaint that it may not raise its file limit is no failure of ours.
exec dbus-run-session -- env QT_QPA_PLATFORM=xcb \
    xvfb-run -a -s "-screen 0 1280x800x24" "$@" \
    2> >(grep -v --line-buffered 'Failed to set fd limit' >&2)
