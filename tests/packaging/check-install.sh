#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# check-install.sh BUILD APP_ID: installs the build into a temporary prefix and checks what a
# desktop finds there: the programs, the desktop files (validated), and icons whose pixels
# match the size their folder names.
set -euo pipefail
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$1" --prefix "$prefix" --component tachora >/dev/null
share=$prefix/share
for program in tachora tachora-cli tachora-speedserver; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is missing"
done
"$prefix/bin/tachora" --version | grep -qx 'tachora [0-9.]*' || fail "tachora --version"
desktop-file-validate "$share/applications/$2.desktop"
appstreamcli validate --no-net "$share/metainfo/$2.metainfo.xml" >/dev/null
[ -s "$share/icons/hicolor/scalable/apps/$2.svg" ] || fail "no scalable icon"
for png in "$share"/icons/hicolor/*x*/apps/"$2.png"; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    file "$png" | grep -q "PNG image data, ${size/x/ x }," || fail "$png is not $size"
done
