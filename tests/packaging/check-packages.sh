#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# check-packages.sh BUILD: makes both Debian packages from the build, fails on any lintian
# error or warning, installs and removes them in a scratch root (leaving nothing behind),
# and checks the service's systemd units: valid, and exposed 2.0 at most.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null
debs=("$work"/out/tachora_*.deb "$work"/out/tachora-service_*.deb)
for deb in "${debs[@]}"; do [ -f "$deb" ] || fail "no package ${deb##*/}"; done

# Errors and warnings fail; overrides are in the packages, each with its reason.
lintian --fail-on error,warning --allow-root --tag-display-limit 0 "${debs[@]}"

# A root of its own: dpkg's database and nothing else. The libraries the packages depend
# on are not there, hence --force-depends.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg=(dpkg --root="$root" --force-not-root --force-depends --force-script-chrootless)
before=$(cd "$root" && find . | sort)
"${dpkg[@]}" -i "${debs[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
[ -x "$root/usr/bin/tachora-cli" ] || fail "tachora-cli is not installed"
[ -x "$root/usr/bin/tachora-service" ] || fail "tachora-service is not installed"
for page in man/man1/tachora-cli.1.gz man/fr/man1/tachora-cli.1.gz man/man8/tachora-service.8.gz; do
    [ -s "$root/usr/share/$page" ] || fail "no $page"
done

if command -v systemd-analyze >/dev/null; then
    # The units as installed, but naming the program where the scratch root has it.
    units=$work/units
    mkdir "$units"
    for unit in "$root"/lib/systemd/system/tachora-service*; do
        sed "s|/usr/bin/tachora-service|$root/usr/bin/tachora-service|g" "$unit" >"$units/${unit##*/}"
    done
    systemd-analyze verify --man=no "$units"/*
    for unit in tachora-service.service tachora-service-purge.service; do
        exposure=$(cd "$units" && systemd-analyze security --offline=true --no-pager "$unit" |
            sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
        awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' ||
            fail "$unit is exposed ${exposure:-?} (2.0 at most)"
    done
fi

"${dpkg[@]}" --purge tachora tachora-service >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
after=$(cd "$root" && find . | grep -v '^./var/lib/dpkg' | sort)
[ "$after" = "$(printf '%s\n' "$before" | grep -v '^./var/lib/dpkg')" ] ||
    fail "left behind: $(diff <(echo "$before") <(echo "$after") | grep '^>' | tr '\n' ' ')"
