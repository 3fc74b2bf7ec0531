#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian 12 packages Tachora needs to build, test and run.
# Idempotent: when everything is present it prints nothing and touches nothing.
# Usage: scripts/install-deps.sh [--test] [--bench]
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config git
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    qcoro-qt6-dev
    libcurl4-openssl-dev libsodium-dev
    libssl-dev openssl curl
    libsqlite3-dev libpq-dev
    fonts-dejavu-core clang-format locales
    qt6-wayland libqt6svg6 fonts-noto-color-emoji
    # The .deb: CPack finds the programs with file and their libraries with dpkg-shlibdeps;
    # the manual pages are written by help2man from each program's --help and --version.
    dpkg-dev file help2man
)

for option in "$@"; do
    case "$option" in
    # The tray tests run on a virtual X server with a tray, driven by xdotool, and on a
    # private session bus with a stand-in StatusNotifierItem tray written in Python, as does
    # the package installer's with a stand-in PackageKit; the window also runs under
    # Weston's headless compositor; the desktop files are checked by their validators; the
    # service's suite runs again on PostgreSQL and behind nginx; the window is checked under
    # Qt's GTK 3 theme, light and dark. Debian starts both servers as system services: only
    # the tests and benchmarks ask for them, never the plain build. The packages are checked
    # by lintian, the service's unit by systemd-analyze, and the manual pages rendered by man
    # and groff.
    --test) packages+=(xvfb xauth trayer xdotool dbus-daemon python3-dbus python3-gi weston
        desktop-file-utils appstream postgresql nginx-light qt6-gtk-platformtheme lintian systemd
        man-db groff) ;;
    # The benchmarks also time processes, count SQLite rows, run the application on X,
    # shape links between network namespaces and ping across them, put the service on
    # PostgreSQL, compare HTTP/2 through nginx and photograph the tray (import).
    --bench) packages+=(time sqlite3 xvfb xauth trayer xdotool iproute2 iputils-ping
        postgresql nginx-light imagemagick) ;;
    *) echo "install-deps: unknown option $option" >&2; exit 2 ;;
    esac
done

# Formatting tests run under these locales as well as C, so that a comma from the
# C library can never leak into (or hide a fault in) our own number formatting.
locales=(fr_FR de_DE)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
missing_locales=()
if command -v locale >/dev/null; then
    for l in "${locales[@]}"; do
        locale -a 2>/dev/null | grep -qi "^$l\.utf-\?8$" || missing_locales+=("$l")
    done
else
    missing_locales=("${locales[@]}")
fi
[ ${#missing[@]} -eq 0 ] && [ ${#missing_locales[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
    as_root=(sudo)
fi

export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}" >&2
    "${as_root[@]}" apt-get update -qq
    "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
for l in "${missing_locales[@]}"; do
    locale -a 2>/dev/null | grep -qi "^$l\.utf-\?8$" && continue
    echo "install-deps: generating locale $l.UTF-8" >&2
    "${as_root[@]}" localedef -i "$l" -f UTF-8 "$l.UTF-8"
done
