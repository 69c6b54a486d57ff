#!/bin/bash
# The package's launcher picks a display platform that exists and explains how
# the service ended. Runs a copy of it whose service is a stand-in that prints
# the platform it was given and ends with the status in STATUS.
set -u
launcher=$(dirname "$0")/../packaging/krvi2veravawebsocket
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/KRVI2VeravaWebSocket" <<'EOF'
#!/bin/sh
echo "$QT_QPA_PLATFORM $*"
if [ -n "${STAY:-}" ]; then
    trap 'echo goodbye; exit 0' TERM
    touch "$STAY"
    while :; do sleep 0.05; done
fi
exit "${STATUS:-0}"
EOF
chmod +x "$work/KRVI2VeravaWebSocket"
mkdir "$work/platforms"
sed -e "s|/usr/lib/krvi2veravawebsocket|$work|" -e "s|/usr/lib/\*/qt5/plugins/platforms|$work/platforms|" \
    "$launcher" >"$work/launcher"
wayland=$work/platforms/libqwayland-generic.so
library=$work/libCommonInterface.so

passed=0
failed=0
# description, expected output, expected line on standard error (or ""),
# expected exit status, environment...
check() {
    local what=$1 expected=$2 said=$3 status=$4
    shift 4
    local out err ended
    out=$(env -i PATH=/usr/bin:/bin "$@" sh "$work/launcher" --arg 2>"$work/err")
    ended=$?
    err=$(cat "$work/err")
    if [ "$out" = "$expected" ] && [ "$ended" = "$status" ] &&
        { [ -z "$said" ] && [ -z "$err" ] || [[ -n "$said" && "$err" == *"$said"* ]]; }; then
        echo "ok - $what"
        passed=$((passed + 1))
    else
        echo "not ok - $what: got '$out', status $ended, said '$err'"
        failed=$((failed + 1))
    fi
}

touch "$wayland"
check "X11 when DISPLAY is set" "xcb --arg" "" 0 DISPLAY=:0
check "X11 under XWayland" "xcb --arg" "" 0 DISPLAY=:0 WAYLAND_DISPLAY=wayland-0
check "Wayland when only WAYLAND_DISPLAY is set" "wayland --arg" "" 0 WAYLAND_DISPLAY=wayland-0
check "offscreen, saying so, without a display" "offscreen --arg" "offscreen platform" 0
check "the user's own choice stays" "minimal --arg" "" 0 QT_QPA_PLATFORM=minimal DISPLAY=:0
rm "$wayland"
check "offscreen, saying why, on Wayland without Qt's plugin" "offscreen --arg" \
    "Wayland without Qt's Wayland plugin (package qtwayland5)" 0 WAYLAND_DISPLAY=wayland-0

check "status 254 without a library: where to put it" "xcb --arg" \
    "no reader library: put the reader maker's libCommonInterface.so into $work/" 254 DISPLAY=:0 STATUS=254
touch "$library"
check "status 254 with a library: it cannot be loaded" "xcb --arg" \
    "the reader library $library cannot be loaded" 254 DISPLAY=:0 STATUS=254
check "status 252: the port is taken" "xcb --arg" "port 35561 is taken" 252 DISPLAY=:0 STATUS=252
check "status 253: the policy" "xcb --arg" "status 253: the policy" 253 DISPLAY=:0 STATUS=253
check "any other status is named" "xcb --arg" "the service ended with status 3" 3 DISPLAY=:0 STATUS=3

# A logout's SIGTERM to the launcher reaches the service, which ends the orderly way.
env -i PATH=/usr/bin:/bin DISPLAY=:0 STAY="$work/stays" sh "$work/launcher" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 100); do [ -e "$work/stays" ] && break; sleep 0.05; done
kill -TERM $pid
wait $pid
ended=$?
if [ "$ended" = 0 ] && [ "$(cat "$work/out")" = "$(printf 'xcb \ngoodbye')" ]; then
    echo "ok - SIGTERM is passed on"
    passed=$((passed + 1))
else
    echo "not ok - SIGTERM is passed on: status $ended, output '$(cat "$work/out")'"
    failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
