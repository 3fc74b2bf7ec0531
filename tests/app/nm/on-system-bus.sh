#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs a test program on a private bus that also stands for the system bus, where the test
# puts its stand-in NetworkManager. Skipped (status 77) where the bus or Python's GObject
# bindings are missing.
set -euo pipefail
if ! command -v dbus-run-session >/dev/null; then
    echo "dbus-run-session is not installed: skipped"
    exit 77
fi
if ! /usr/bin/python3 -c 'import gi.repository.Gio' 2>/dev/null; then
    echo "python3-gi is not installed: skipped"
    exit 77
fi

# For the sanitized build: what Qt's D-Bus library, and so its NetworkManager backend, keeps
# until exit, in the test and in the command line it starts.
export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(dirname "$0")/../system-leaks.supp"

# The bus daemon's complaint that it may not raise its file limit is no failure of ours.
exec dbus-run-session -- sh -c 'DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" exec "$@"' sh "$@" \
    2> >(grep -v --line-buffered 'Failed to set fd limit' >&2)
