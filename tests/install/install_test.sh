#!/usr/bin/env bash
# `cmake --install` into a fresh prefix, as `--prefix ~/.local` would without
# root: both programs, the desktop entry that starts the installed program,
# the metainfo, the manual page, the icon as SVG and as PNG of each size, and
# the help with the pictures it shows.
# Usage: install_test.sh BUILD_DIR
set -u
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "cmake --install failed"; exit 1; }

failed=0
expect() {
    [ -e "$prefix/$1" ] || { echo "missing: $1"; failed=1; }
}
expect bin/calmora
expect bin/calmora-cli
expect share/applications/calmora.desktop
expect share/metainfo/org.brantovia.calmora.metainfo.xml
expect share/man/man1/calmora-cli.1
expect share/calmora/darktable/calmora.lua
# The GIMP plug-in, where the build made one, in a folder of its own name.
[ -e "$build/plugins/gimp/calmora-gimp" ] && expect lib/gimp/2.0/plug-ins/calmora-gimp/calmora-gimp
expect share/icons/hicolor/scalable/apps/calmora.svg
expect share/doc/calmora/README.md
for picture in $(grep -o 'docs/[a-z_-]*\.png' "$prefix/share/doc/calmora/README.md" 2>/dev/null | sort -u); do
    expect "share/doc/calmora/$picture"
done
[ -x "$prefix/bin/calmora" ] || { echo "bin/calmora is not executable"; failed=1; }
"$prefix/bin/calmora-cli" --version >/dev/null || { echo "the installed calmora-cli does not run"; failed=1; }

# The entry starts the installed program and names the installed icon.
entry=$prefix/share/applications/calmora.desktop
exec_program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$entry")
[ -x "$prefix/bin/$exec_program" ] || { echo "Exec=$exec_program is not an installed program"; failed=1; }
icon=$(sed -n 's/^Icon=//p' "$entry")
[ -e "$prefix/share/icons/hicolor/scalable/apps/$icon.svg" ] || { echo "Icon=$icon is not installed"; failed=1; }

# Each PNG holds the size its folder names: width and height from IHDR.
pngs=0
for png in "$prefix"/share/icons/hicolor/*x*/apps/calmora.png; do
    [ -e "$png" ] || continue
    pngs=$((pngs + 1))
    size=$(basename "$(dirname "$(dirname "$png")")")
    want=${size%x*}
    read -r width height < <(od -An -tu1 -j16 -N8 "$png" \
        | awk '{ printf "%d %d\n", (($1*256+$2)*256+$3)*256+$4, (($5*256+$6)*256+$7)*256+$8 }')
    [ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || { echo "$png is no PNG"; failed=1; }
    [ "$width" = "$want" ] && [ "$height" = "$want" ] \
        || { echo "$png is ${width}x${height}, not $size"; failed=1; }
done
if [ "$pngs" -eq 0 ]; then
    if command -v rsvg-convert >/dev/null 2>&1; then
        echo "no PNG icon installed although rsvg-convert is there"
        failed=1
    else
        echo "note: rsvg-convert missing, so only the scalable icon is installed"
    fi
fi
[ "$failed" -eq 0 ] && echo "installed: $(cd "$prefix" && find . -type f | sort | tr '\n' ' ')"
exit "$failed"
