#!/bin/bash
# Runs a command on a private Xvfb display (at 96 dpi, as desktops set it).
# With --tray, an XEmbed system tray is there (xembed-tray.sh, which the
# tests also find in KRV_XEMBED_TRAY to start one late); with --dbus, a
# private session bus (and otherwise none at all, so that a test never meets
# the desktop's own). The display and the bus are torn down however the
# command ends.
set -eu

tray=0
dbus=0
while [ $# -gt 0 ]; do
    case "$1" in
    --tray) tray=1 ;;
    --dbus) dbus=1 ;;
    *) break ;;
    esac
    shift
done

for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "with-xvfb: $tool is not installed" >&2; exit 1; }
done

workdir=$(mktemp -d)
pids=()
# Stopped in the reverse order of their start, the display last, each given
# 5 s before it is killed: stalonetray's signal handlers call into Xlib, and a
# SIGTERM that lands while the display goes away can leave it deadlocked in
# its own handler (seen with Debian 14's 0.8.3, a test then never ends).
stop() {
    kill "$1" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$1" 2>/dev/null || true
}
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done
    wait 2>/dev/null || true
    rm -rf "$workdir"
}
trap cleanup EXIT

# Xvfb picks a free display number and writes it to the file.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>"$workdir/display" 2>"$workdir/xvfb.log" &
pids+=($!)
for _ in $(seq 200); do
    [ -s "$workdir/display" ] && break
    sleep 0.05
done
[ -s "$workdir/display" ] || { echo "with-xvfb: Xvfb did not start" >&2; cat "$workdir/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$workdir/display")"

export KRV_XEMBED_TRAY="$(cd "$(dirname "$0")" && pwd)/xembed-tray.sh"
if [ "$tray" = 1 ]; then
    "$KRV_XEMBED_TRAY" >"$workdir/tray.log" 2>&1 &
    pids+=($!)
    if ! timeout 10 xdotool search --sync --classname '^(trayer|stalonetray)$' >/dev/null 2>&1; then
        echo "with-xvfb: the system tray did not start" >&2
        cat "$workdir/tray.log" >&2
        exit 1
    fi
fi

unset DBUS_SESSION_BUS_ADDRESS
if [ "$dbus" = 1 ]; then
    command -v dbus-daemon >/dev/null || { echo "with-xvfb: dbus-daemon is not installed" >&2; exit 1; }
    dbus-daemon --session --nofork --nopidfile --print-address=4 4>"$workdir/bus" &
    pids+=($!)
    for _ in $(seq 200); do
        [ -s "$workdir/bus" ] && break
        sleep 0.05
    done
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$workdir/bus")
    [ -n "$DBUS_SESSION_BUS_ADDRESS" ] || { echo "with-xvfb: dbus-daemon did not start" >&2; exit 1; }
    export DBUS_SESSION_BUS_ADDRESS
fi

unset QT_QPA_PLATFORM
# In a sanitizer build: X11 libraries that Qt's platform plugin loads, and
# unloads before the process ends, leave allocations that LeakSanitizer cannot
# attribute. Address and undefined-behaviour checks stay on.
if [ -n "${ASAN_OPTIONS:-}" ]; then
    export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
fi
export XDG_RUNTIME_DIR="$workdir"
"$@"
