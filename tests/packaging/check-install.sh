#!/usr/bin/env bash
# check-install.sh BUILD APP_ID: installs the build into a temporary prefix and checks what a
# desktop finds there: the programs, the .desktop file and AppStream entry (validated again
# where installed), and icons whose pixels match the size their folder names.
set -euo pipefail
build=$1
id=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
for program in tachora tachora-cli tachora-speedserver; do
    [ -x "$prefix/bin/$program" ] || fail "bin/$program is missing"
done
"$prefix/bin/tachora" --version | grep -qx 'tachora [0-9.]*' || fail "tachora --version"
"$prefix/bin/tachora-cli" --version | grep -q '[0-9]' || fail "tachora-cli --version"

share=$prefix/share
desktop-file-validate "$share/applications/$id.desktop"
appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml" >/dev/null
grep -qx "Icon=$id" "$share/applications/$id.desktop" || fail "the .desktop file names another icon"
[ -s "$share/icons/hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon"
pngs=0
for png in "$share"/icons/hicolor/*x*/apps/"$id.png"; do
    size=$(basename "$(dirname "$(dirname "$png")")")
    file "$png" | grep -q "PNG image data, ${size/x/ x }," || fail "$png is not $size"
    pngs=$((pngs + 1))
done
[ "$pngs" -ge 5 ] || fail "only $pngs PNG icons"
echo "check-install: $pngs PNG icons, all files in place"
