#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# news-to-changelog.sh NEWS PACKAGE MAINTAINER OUTPUT: writes NEWS.md as a Debian changelog,
# compressed without a timestamp so that the same NEWS.md gives the same bytes.
# Each "## VERSION (YYYY-MM-DD)" heading opens an entry; each "- " item becomes a "  * "
# change and its indented lines continue it; every other line is left out.
set -euo pipefail
news=$1 package=$2 maintainer=$3 output=$4

changelog=$(
    entry_open=false
    close_entry() { $entry_open && printf '\n -- %s  %s\n\n' "$maintainer" "$date"; entry_open=false; }
    while IFS= read -r line; do
        if [[ $line =~ ^##\ ([0-9][^ ]*)\ \(([0-9]{4}-[0-9]{2}-[0-9]{2})\)$ ]]; then
            close_entry
            date=$(LC_ALL=C date -u -R -d "${BASH_REMATCH[2]} 12:00")
            printf '%s (%s) unstable; urgency=medium\n\n' "$package" "${BASH_REMATCH[1]}"
            entry_open=true
        elif $entry_open && [[ $line == "- "* ]]; then
            printf '  * %s\n' "${line#- }"
        elif $entry_open && [[ $line == "  "* ]]; then
            printf '    %s\n' "${line#  }"
        fi
    done < "$news"
    close_entry
)
[ -n "$changelog" ] || { echo "news-to-changelog: no release in $news" >&2; exit 1; }
printf '%s\n' "$changelog" | gzip -9n > "$output"
