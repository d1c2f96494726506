#!/usr/bin/env bash
# Draws a contact sheet of every icon in resources/icons, to look at: each
# at 16, 24, 32, 48 and 64 pixels (32 and 48 are 16 and 24 on a screen of
# doubled density), pixel for pixel so that blur shows, once on white and
# once on dark grey.
#   scripts/icon_sheet.sh [sheet.png]   writes sheet.png and sheet-dark.png
# The icons are drawn by librsvg, which also makes the installed PNG icons;
# tests/ui/icons_test checks that Qt draws each at the sizes it is shown at.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-icon-sheet.png}
for tool in rsvg-convert montage; do
    command -v "$tool" >/dev/null || {
        echo "error: $tool is missing (Debian: librsvg2-bin, imagemagick)" >&2
        exit 1
    }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for background in white '#303030'; do
    tiles=()
    for svg in resources/icons/*.svg; do
        name=$(basename "$svg" .svg)
        for size in 16 24 32 48 64; do
            tile="$work/$name-$size.png"
            rsvg-convert --width "$size" --height "$size" --background-color "$background" \
                "$svg" --output "$tile"
            tiles+=(-label "$name $size" "$tile")
        done
    done
    sheet=$out
    [ "$background" = white ] || sheet=${out%.png}-dark.png
    fill=black
    [ "$background" = white ] || fill=white
    # Cells wide enough for the names; ">" only ever shrinks, and no tile is
    # larger than its cell, so every icon keeps its own pixels.
    montage "${tiles[@]}" -tile 5x -geometry '110x72+4+4>' -background "$background" \
        -fill "$fill" -pointsize 10 "$sheet"
    echo "$sheet"
done
