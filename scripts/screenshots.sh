#!/bin/bash
# Takes the README's screenshots of the desktop shell on a private Xvfb display
# with trayer as the system tray (the crops fit its panel): the about window and the tray menu.
# Needs a build (scripts/build.sh), imagemagick and x11-xserver-utils.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=${BUILD_DIR:-build}/bin
out=${1:-docs}
mkdir -p "$out"

if [ -z "${KRV_SCREENSHOT_DISPLAY:-}" ]; then
    exec env KRV_SCREENSHOT_DISPLAY=1 tests/with-xvfb.sh --tray "$0" "$@"
fi

work=$(mktemp -d)
trap 'kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$bin/KRVI2VeravaWebSocket" "$bin/krvreaderhost" "$bin/libCommonInterface.so" "$bin/logo.ico" "$work/"
xsetroot -solid '#2f5d8a'
"$work/KRVI2VeravaWebSocket" >/dev/null 2>&1 &
pid=$!

tray_icon() {
    local rootid
    rootid=$(xwininfo -root | awk '/Window id:/ {print $4}')
    for w in $(xdotool search --onlyvisible --pid "$pid" 2>/dev/null); do
        parent=$(xwininfo -children -id "$w" | awk '/Parent window id:/ {print $4}')
        [ "$(printf '%d' "$parent")" != "$(printf '%d' "$rootid")" ] && { echo "$w"; return; }
    done
}
for _ in $(seq 100); do icon=$(tray_icon); [ -n "$icon" ] && break; sleep 0.1; done
[ -n "$icon" ] || { echo "screenshots: no tray icon" >&2; exit 1; }
sleep 1.5 # let the start-up balloon settle

eval "$(xdotool getwindowgeometry --shell "$icon")"
open_menu() {
    xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 3
    sleep 0.7
}

# The tray with its menu open (the balloon closes when the menu opens).
open_menu
import -window root "$work/screen.png"
convert "$work/screen.png" -crop 360x130+920+0 +repage "$root/$out/tray-menu.png"
xdotool key Escape

# The about window, from the menu's first entry.
open_menu
xdotool key Down Return
sleep 0.7
about=$(xdotool search --onlyvisible --name '^关于$' | head -n1)
eval "$(xdotool getwindowgeometry --shell "$about")"
import -window root "$work/screen.png"
convert "$work/screen.png" -crop $((WIDTH + 40))x$((HEIGHT + 40))+$((X - 20))+$((Y - 20)) +repage \
    "$root/$out/about.png"
echo "Wrote $out/tray-menu.png and $out/about.png"
