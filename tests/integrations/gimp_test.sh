#!/usr/bin/env bash
# The GIMP plug-in run headless by script-fu, as batch mode would call it,
# against calmora-cli on the same file: the layer it leaves must hold the
# pixels calmora-cli writes, at 8 and at 16 bits, and a selection confines
# it. Both results pass through GIMP's own loader and raw-data export, so
# only their pixels are compared.
# Skipped, with exit status 77, where GIMP is not installed.
# Usage: gimp_test.sh PLUGIN CALMORA_CLI PHOTO_8BIT PHOTO_16BIT
set -u
plugin=$1
cli=$2
photo8=$3
photo16=$4
gimp=$(command -v gimp-console-2.10 || command -v gimp-console || true)
[ -n "$gimp" ] || { echo "gimp-console not installed"; exit 77; }

work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
# GIMP's settings and the plug-in's options of their own: nothing of the
# user's is read or written.
export GIMP2_DIRECTORY=$work/gimp XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
mkdir -p "$GIMP2_DIRECTORY/plug-ins/calmora-gimp"
cp "$plugin" "$GIMP2_DIRECTORY/plug-ins/calmora-gimp/calmora-gimp"

gimp_batch() {
    "$gimp" -i -d -f -n -b "$1" -b '(gimp-quit 0)' >"$work/gimp.log" 2>&1 \
        || { cat "$work/gimp.log"; return 1; }
}

# Scheme for: load FILE, run BODY with `image` and `layer` bound.
with_image() {
    printf '(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE "%s" "%s"))) (layer (car (gimp-image-get-active-drawable image)))) %s (gimp-image-delete image))' "$1" "$1" "$2"
}
save_raw() {
    printf '(file-raw-save RUN-NONINTERACTIVE image layer "%s" "%s")' "$1" "$1"
}

failed=0
# name | photo | preset | the sixteen values
while IFS='|' read -r name photo preset values; do
    [ -n "$name" ] || continue
    dir=$work/$name
    mkdir -p "$dir"
    # One PNG both sides read, written by GIMP from the sample.
    gimp_batch "$(with_image "$photo" "(file-png-save2 RUN-NONINTERACTIVE image layer \"$dir/in.png\" \"$dir/in.png\" 0 9 0 0 0 0 0 0 0) $(save_raw "$dir/in.raw")")" \
        || { echo "FAIL $name: GIMP could not make the input"; failed=1; continue; }
    "$cli" denoise --quiet --no-learn --preset "$preset" -o "$dir/cli.png" "$dir/in.png" >/dev/null \
        || { echo "FAIL $name: calmora-cli failed"; failed=1; continue; }
    gimp_batch "$(with_image "$dir/in.png" "(plug-in-calmora-denoise RUN-NONINTERACTIVE image layer \"$preset\" $values) $(save_raw "$dir/plugin.raw")")" \
        || { echo "FAIL $name: the plug-in failed"; failed=1; continue; }
    gimp_batch "$(with_image "$dir/cli.png" "$(save_raw "$dir/cli.raw")")" \
        || { echo "FAIL $name: GIMP could not read calmora-cli's result"; failed=1; continue; }
    if cmp -s "$dir/plugin.raw" "$dir/in.raw"; then
        echo "FAIL $name: the plug-in left the layer as it was"
        failed=1
    elif cmp -s "$dir/plugin.raw" "$dir/cli.raw" && [ -s "$dir/cli.raw" ]; then
        echo "ok $name"
    else
        echo "FAIL $name: the plug-in's pixels differ from calmora-cli's"
        failed=1
    fi
done <<ROWS
default-8bit|$photo8|Default|0 0 0 0 0 0 0 0 20 20 20 20 20 20 20 20
auto-8bit|$photo8|auto|0 0 0 0 0 0 0 0 20 20 20 20 20 20 20 20
night-16bit|$photo16|Night Scene|0 0 0 0 0 0 0 0 20 20 20 20 20 20 20 20
ROWS
# A selection: what lies outside it, the filter's margin included, is left
# as it was; what lies inside is filtered.
dir=$work/selection
mkdir -p "$dir"
crop() { # IMAGE W H X Y FILE
    printf '(let* ((copy (car (gimp-image-duplicate %s)))) (gimp-image-crop copy %s %s %s %s) (file-raw-save RUN-NONINTERACTIVE copy (car (gimp-image-get-active-drawable copy)) "%s" "%s") (gimp-image-delete copy))' "$1" "$2" "$3" "$4" "$5" "$6" "$6"
}
gimp_batch "$(with_image "$work/default-8bit/in.png" "(let* ((before (car (gimp-image-duplicate image)))) (gimp-image-select-rectangle image CHANNEL-OP-REPLACE 100 100 200 200) (plug-in-calmora-denoise RUN-NONINTERACTIVE image layer \"Default\" 0 0 0 0 0 0 0 0 20 20 20 20 20 20 20 20) (gimp-selection-none image) $(crop image 400 400 300 0 "$dir/outside.raw") $(crop before 400 400 300 0 "$dir/outside-before.raw") $(crop image 200 200 100 100 "$dir/inside.raw") $(crop before 200 200 100 100 "$dir/inside-before.raw"))")" \
    || { echo "FAIL selection: the plug-in failed"; failed=1; }
if ! cmp -s "$dir/outside.raw" "$dir/outside-before.raw" || [ ! -s "$dir/outside.raw" ]; then
    echo "FAIL selection: pixels outside the selection changed"
    failed=1
elif cmp -s "$dir/inside.raw" "$dir/inside-before.raw"; then
    echo "FAIL selection: the selection was not filtered"
    failed=1
else
    echo "ok selection"
fi
exit $failed
