#!/usr/bin/env bash
# Starts the desktop program under a virtual X display on the sample photo,
# presses Go, and saves screenshots of the window into docs/: before Go,
# after Go, while the original is shown (the left button held on the
# image), and with the filter pane showing its frequency controls. Installs
# Xvfb, xdotool and ImageMagick when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

build=${CALMORA_BUILD_DIR:-build/release}
photo=samples/dune_noisy.jpg

# Prints the first visible window whose title matches $1, waiting up to $2
# tenths of a second; prints nothing when none appears.
find_window() {
    local found=""
    for _ in $(seq 1 "$2"); do
        found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true)
        [ -n "$found" ] && break
        sleep 0.1
    done
    echo "$found"
}

# Starts the program on the sample photo with the options in folder $1
# (default: the run's fresh ones, so that no summary or notice is switched
# off and none of the user's settings shows), and sets the caller's `pid`
# and `window` once its 1200 x 860 window is up.
open_main() {
    XDG_CONFIG_HOME="${1:-$config}" XDG_DATA_HOME="$config/data" "$build/ui/calmora" "$photo" &
    pid=$!
    window=$(find_window 'Calmora' 100)
    [ -n "$window" ] || { echo "error: the window did not appear" >&2; kill "$pid"; return 1; }
    xdotool windowsize "$window" 1200 860 windowmove "$window" 0 0
}

# Runs inside the virtual display.
shoot() {
    local pid window
    open_main || return 1
    sleep 2 # the profile pass of the sample photo
    import -window root -crop 1200x860+0+0 docs/calmora_before_go.png

    xdotool windowfocus --sync "$window" key ctrl+Return
    # The progress window closes itself; the summary stays until OK.
    local summary
    summary=$(find_window 'Processing Summary' 100)
    sleep 0.5
    import -window root -crop 1200x860+0+0 docs/calmora_summary.png
    [ -n "$summary" ] && xdotool windowfocus --sync "$summary" key Return
    sleep 0.5
    import -window root -crop 1200x860+0+0 docs/calmora_after_go.png

    # Hold the left button on the image: the original shows.
    xdotool mousemove 600 450 mousedown 1
    sleep 0.5
    import -window root -crop 1200x860+0+0 docs/calmora_original.png
    xdotool mouseup 1

    # The filter pane (View > Noise Filter) with its frequency controls
    # (More Controls, the button below Processing Degree).
    xdotool windowfocus --sync "$window" key alt+v
    sleep 0.3
    xdotool key f
    sleep 1
    xdotool mousemove 85 285 click 1
    sleep 0.5
    xdotool mousemove 700 820
    sleep 0.3
    import -window root -crop 1200x860+0+0 docs/pane.png

    xdotool windowfocus --sync "$window" key ctrl+F4
    sleep 0.3
    # Close without saving: answer "No" to the save question.
    xdotool key n || true
    sleep 0.3
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}
# The batch window, opened the way a file manager's "Open With" on several
# photos opens it: the first is opened, the others are offered in the batch
# window. Shot while it runs and after it has ended, one damaged file among
# the photos.
shoot_batch() {
    local app=$build/ui/calmora
    local photos
    photos=$(mktemp -d)
    local list=()
    for name in harbour_dusk market_street dune_morning reed_bank old_town pier_night \
        chapel_choir fox_at_dawn tram_depot; do
        cp "$photo" "$photos/$name.jpg"
        list+=("$photos/$name.jpg")
    done
    head -c 20000 "$photo" >"$photos/card_error.jpg"
    list+=("$photos/card_error.jpg")
    cp samples/dune_noisy_16bit.tif "$photos/dune_16bit.tif"
    list+=("$photos/dune_16bit.tif")
    cp "$photo" "$photos/first_look.jpg"
    XDG_CONFIG_HOME="$config" XDG_DATA_HOME="$config/data" "$app" "$photos/first_look.jpg" "${list[@]}" &
    local pid=$!
    local batch
    batch=$(find_window 'Batch Processing' 150)
    [ -n "$batch" ] || { echo "error: the batch window did not appear" >&2; kill "$pid"; return 1; }
    xdotool windowmove "$batch" 20 20
    sleep 0.3
    # Start is the window's default button.
    xdotool windowfocus --sync "$batch" key Return
    # Shot once the third result is there: on a fast machine the whole
    # batch takes about a second.
    for _ in $(seq 1 300); do
        [ -f "$photos/dune_morning_filtered.jpg" ] && break
        sleep 0.02
    done
    import -window "$batch" docs/batch_running.png
    for _ in $(seq 1 600); do
        [ -f "$photos/dune_16bit_filtered.tif" ] && break
        sleep 0.2
    done
    sleep 1
    import -window "$batch" docs/batch_finished.png
    xdotool windowfocus --sync "$batch" key Escape
    sleep 0.3
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf "$photos"
}

# The Options window's three pages, and the filter pane with the sample
# photo's measured noise profile in its Noise Profile section.
shoot_options() {
    # Options of its own: the Profile button below opens the section only
    # from the state a first start has (pane hidden), whatever shoot left.
    local own
    own=$(mktemp -d)
    local pid window
    open_main "$own" || return 1
    sleep 3 # the profile pass of the sample photo
    # View > Options...
    xdotool windowfocus --sync "$window" key alt+v
    sleep 0.3
    xdotool key o
    local options
    options=$(find_window '^Options$' 50)
    [ -n "$options" ] || { echo "error: the Options window did not appear" >&2; kill "$pid"; return 1; }
    sleep 0.5
    local page
    for page in general noise-filter noise-profile; do
        import -window "$options" "docs/options-$page.png"
        xdotool windowfocus --sync "$options" key ctrl+Tab
        sleep 0.4
    done
    xdotool windowfocus --sync "$options" key Escape
    sleep 0.3
    # The toolbar's Profile button shows the pane with the section open.
    xdotool mousemove 873 34 click 1
    sleep 1
    xdotool mousemove 700 820
    sleep 0.3
    import -window root -crop 280x620+0+50 docs/profile.png
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    rm -rf "$own"
}

# The script runs itself again inside the virtual display.
if [ "${1:-}" = --inside ]; then
    shoot
    shoot_options
    shoot_batch
    exit
fi
# The batch window alone, with a build of one's choice (CALMORA_BUILD_DIR).
if [ "${1:-}" = --inside-batch ]; then
    shoot_batch
    exit
fi

calmora_packages+=(xvfb xauth xdotool imagemagick)
calmora_install_missing
calmora_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
mkdir -p docs
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
export CALMORA_BUILD_DIR=$build config
xvfb-run -a -s '-screen 0 1600x1000x24' "$0" --inside
echo "Options and profile: docs/options-general.png docs/options-noise-filter.png docs/options-noise-profile.png docs/profile.png"
echo "Screenshots: docs/calmora_before_go.png docs/calmora_summary.png docs/calmora_after_go.png docs/calmora_original.png docs/pane.png docs/batch_running.png docs/batch_finished.png"
