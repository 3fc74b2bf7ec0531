#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Photographs the tray item in a real XEmbed tray (Xvfb and trayer): five live texts, then the
# glyph of a light and of a dark theme, on a dark and on a light panel, in panels 18 and 24 px
# high (trayer then gives icons of 16 and 20 px). Writes one PNG per panel.
# Usage: tools/tray-demo/screenshots.sh <build folder> <output folder>
set -euo pipefail

build=${1:?usage: screenshots.sh <build folder> <output folder>}
out=${2:?usage: screenshots.sh <build folder> <output folder>}
demo="$build/tools/tray-demo/tachora-tray-demo"
mkdir -p "$out"

display=":$((200 + RANDOM % 500))"
Xvfb "$display" -screen 0 400x60x24 -nolisten tcp >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
export DISPLAY="$display" QT_QPA_PLATFORM=xcb
sleep 1

width=180
for panel in dark:0x242428 light:0xe8e8e8; do
    for height in 18 24; do
        trayer --edge top --align left --widthtype pixel --width "$width" \
            --heighttype pixel --height "$height" --SetDockType true \
            --transparent true --alpha 0 --tint "${panel#*:}" >/dev/null 2>&1 &
        tray=$!
        sleep 1
        items=()
        # The tray puts each new item first: started from the last, they read in this order.
        "$demo" --symbol-ms 600000 --dark >/dev/null 2>&1 &
        items+=($!)
        sleep 0.8
        "$demo" --symbol-ms 600000 >/dev/null 2>&1 &
        items+=($!)
        for text in "↓1,5M" "↓123M" "↓12M" "↓999k" "↓0k"; do
            sleep 0.8
            "$demo" --symbol-ms 0 --text "$text" >/dev/null 2>&1 &
            items+=($!)
        done
        sleep 2
        import -window root -crop "${width}x${height}+0+0" "$out/tray-${panel%%:*}-$height.png"
        kill "${items[@]}" "$tray"
        wait "${items[@]}" "$tray" 2>/dev/null || true
    done
done
