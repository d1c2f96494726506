#!/usr/bin/env bash
# The real window, driven with keystrokes under a virtual X display as a
# user would: open a photo, Go, Save As with the photo's bare name, answer
# No when asked about replacing it, and cancel. The photo must be byte for
# byte what it was, and nothing else may have been written beside it.
# Skipped, with exit status 77, where Xvfb or xdotool is not installed, or
# where the machine lets Xvfb start but no client reach it (some sandboxes).
# Usage: save_as_keystrokes_test.sh CALMORA_PROGRAM PHOTO
set -u
program=$1
photo=$2
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool not installed"; exit 77; }
done

work=$(mktemp -d)
pid=""
server=""
finish() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
    rm -rf "$work"
}
trap finish EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

# A display of its own: the server picks a free number and writes it once it
# accepts clients, so parallel tests never meet on one display. Without
# -noreset the server starts over whenever its last client leaves, and a
# client arriving in that moment is turned away.
mkfifo "$work/display"
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
server=$!
read -r -t 30 number <"$work/display" || fail "Xvfb did not start"
export DISPLAY=:$number
reachable=""
for _ in $(seq 1 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && { reachable=yes; break; }
    sleep 0.1
done
if [ -z "$reachable" ]; then
    echo "Xvfb started on $DISPLAY but accepts no clients here:"
    cat "$work/xvfb.log"
    exit 77
fi

# Windows whose title matches $1, waiting up to $2 tenths of a second for at
# least ${3:-1} of them; prints their ids, one a line.
windows() {
    local found=""
    for _ in $(seq 1 "$2"); do
        [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null && break
        found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null || true)
        [ "$(printf '%s' "$found" | grep -c .)" -ge "${3:-1}" ] && break
        sleep 0.1
    done
    printf '%s\n' "$found" | grep . || true
}

mkdir "$work/photos"
cp "$photo" "$work/photos/photo.jpg"
cp "$photo" "$work/before.jpg"
# Fresh options: every question and summary shows, as on a first start.
# A program that could not reach the display ends at once; it gets two
# more tries before the test fails.
main=""
for _ in 1 2 3; do
    XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data QT_QPA_PLATFORM=xcb "$program" "$work/photos/photo.jpg" &
    pid=$!
    main=$(windows '^photo\.jpg - Calmora$' 300 | head -n1)
    [ -n "$main" ] && break
    kill -0 "$pid" 2>/dev/null && break
    wait "$pid" 2>/dev/null
    sleep 0.5
done
[ -n "$main" ] || fail "the main window did not appear"
xdotool windowfocus --sync "$main" key ctrl+Return
summary=$(windows '^Processing Summary$' 600 | head -n1)
[ -n "$summary" ] || fail "Go did not end with its summary"
xdotool windowfocus --sync "$summary" key Return
[ -z "$(windows '^Processing Summary$' 1)" ] || sleep 0.3

xdotool windowfocus --sync "$main" key ctrl+s
dialog=$(windows '^Save As$' 100 | head -n1)
[ -n "$dialog" ] || fail "Save As did not open"
# The name box has the focus: the bare name of the photo, then Return.
xdotool windowfocus --sync "$dialog" key ctrl+a BackSpace
xdotool type --delay 20 photo
xdotool key Return
# The question is a second window of the same title.
question=$(windows '^Save As$' 50 2 | grep -v "^$dialog\$" | head -n1)
[ -n "$question" ] || fail "Save As did not ask before replacing photo.jpg"
xdotool windowfocus --sync "$question" key Escape
[ "$(windows '^Save As$' 1 | grep -c .)" -eq 1 ] || sleep 0.3
xdotool windowfocus --sync "$dialog" key Escape
for _ in $(seq 1 50); do
    [ -z "$(windows '^Save As$' 1)" ] && break
    sleep 0.1
done
[ -z "$(windows '^Save As$' 1)" ] || fail "Save As did not close"
# A save would run its progress window first; give it a moment to show.
sleep 0.5

cmp -s "$work/photos/photo.jpg" "$work/before.jpg" || fail "photo.jpg was changed"
others=$(ls -A "$work/photos" | grep -v -x photo.jpg || true)
[ -z "$others" ] || fail "written beside the photo: $others"
kill -0 "$pid" 2>/dev/null || fail "the program ended"
echo "PASS: photo.jpg is unchanged"
