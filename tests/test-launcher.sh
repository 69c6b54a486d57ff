#!/bin/bash
# The package's launcher picks a display platform that exists. Runs a copy of it
# whose service is a stand-in that prints the platform it was given.
set -u
launcher=$(dirname "$0")/../packaging/krvi2veravawebsocket
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '#!/bin/sh\necho "$QT_QPA_PLATFORM $*"\n' >"$work/KRVI2VeravaWebSocket"
chmod +x "$work/KRVI2VeravaWebSocket"
sed "s|/usr/lib/krvi2veravawebsocket|$work|" "$launcher" >"$work/launcher"

passed=0
failed=0
check() { # description, expected output, expected line on standard error (or ""), environment...
    local what=$1 expected=$2 said=$3
    shift 3
    local out err
    out=$(env -i PATH=/usr/bin:/bin "$@" sh "$work/launcher" --arg 2>"$work/err")
    err=$(cat "$work/err")
    if [ "$out" = "$expected" ] && { [ -z "$said" ] && [ -z "$err" ] || [[ -n "$said" && "$err" == *"$said"* ]]; }; then
        echo "ok - $what"
        passed=$((passed + 1))
    else
        echo "not ok - $what: got '$out', said '$err'"
        failed=$((failed + 1))
    fi
}

check "X11 when DISPLAY is set" "xcb --arg" "" DISPLAY=:0
check "X11 under XWayland" "xcb --arg" "" DISPLAY=:0 WAYLAND_DISPLAY=wayland-0
check "Wayland when only WAYLAND_DISPLAY is set" "wayland --arg" "" WAYLAND_DISPLAY=wayland-0
check "offscreen, saying so, without a display" "offscreen --arg" "offscreen platform"
check "the user's own choice stays" "minimal --arg" "" QT_QPA_PLATFORM=minimal DISPLAY=:0
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
