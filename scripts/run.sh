#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root), builds Calmora and, when a
# display is available, starts the desktop program on the bundled sample
# photo (or the photo given as the first argument); without a display it
# denoises the photo from the command line and prints the output path, the
# time it took and a short summary of the measured noise.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

photo=${1:-samples/dune_noisy.jpg}
if [ ! -f "$photo" ]; then
    echo "error: no such photo: $photo" >&2
    exit 1
fi

calmora_install_missing
calmora_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    exec build/release/ui/calmora "$photo"
fi

cli=build/release/cli/calmora-cli
# The sample lives in the repository: its result goes to out/, so the
# working tree stays clean. A photo of the user's goes beside itself.
if [ $# -eq 0 ]; then
    set -- --dest-dir out
    mkdir -p out
else
    set --
fi

start=$(date +%s.%N)
output=$("$cli" denoise "$@" "$photo")
end=$(date +%s.%N)

echo "Denoised: $photo"
echo "Output:   $output"
echo "Time:     $(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.2f s", e - s }') (profile, filter and save)"
echo "Noise profile measured (amplitude range over brightness, per band and channel):"
"$cli" profile --summary "$photo"
