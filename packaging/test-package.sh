#!/bin/bash
# Builds the Debian packages, installs them with apt-get (so that dependencies
# resolve), starts the installed service through its launcher on the offscreen
# platform, reads a sample card, stops it, purges the packages and checks that
# nothing of them remains. Changes the system: run it as root on a machine
# meant for it (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."

[ "$(id -u)" -eq 0 ] || { echo "test-package: run as root" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive

build=${BUILD_DIR_DEB:-build-deb}
packaging/build-packages.sh "$build"
# The benchmark's load client serves as the WebSocket client.
loadclient=$build/bench/loadclient

failures=0
check() { # description, command...
    local what=$1
    shift
    if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}

app=/usr/lib/krvi2veravawebsocket
policy=/etc/xdg/krvi2veravawebsocket/policy.conf
# The release before, as a desk has it: the same package with the policy it
# shipped (every key commented out) and a lower version.
older=$(mktemp -d)
dpkg-deb -R "$build"/krvi2veravawebsocket_*.deb "$older/tree"
sed -i 's/^listen = loopback$/;listen = loopback/' "$older/tree$policy"
sed -i -E 's/^Version: .*/Version: 1.0.0.1/' "$older/tree/DEBIAN/control"
(cd "$older/tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | xargs -0 md5sum >DEBIAN/md5sums)
dpkg-deb -b "$older/tree" "$older/krvi2veravawebsocket_1.0.0.1.deb" >/dev/null
apt-get install -y -q "$older/krvi2veravawebsocket_1.0.0.1.deb"
check "the release before: every key of its policy commented out" \
    bash -c "! grep -Eq '^[[:space:]]*[a-zA-Z]+[[:space:]]*=' $policy"
# The upgrade: a policy file nobody changed takes the new one (dpkg's rule).
apt-get install -y -q "./$build"/krvi2veravawebsocket_*.deb "./$build"/krvi2veravawebsocket-simulator_*.deb
rm -rf "$older"

# The version names the release it was built on and ranks above the build for
# the release before, so that a desk upgraded to a new release takes it.
. scripts/qt.sh
release=$(krv_debian_release)
deb=$(ls "$build"/krvi2veravawebsocket_*.deb)
version=$(dpkg-deb -f "$deb" Version)
if [ -n "$release" ]; then
    check "version $version names Debian $release and ranks above Debian $((release - 1))'s" \
        bash -c "[[ $version == *+deb$release ]] && dpkg --compare-versions $version gt ${version%+deb*}+deb$((release - 1))"
fi
other=$((KRV_QT == 6 ? 5 : 6))
relations=$(dpkg-deb -f "$deb" Depends Recommends)
check "built on Qt $KRV_QT, nothing of Qt $other depended on or recommended" \
    bash -c "grep -q 'libqt${KRV_QT}core' <<<'$relations' && ! grep -Eq 'qt$other|qt[a-z]+$other' <<<'$relations'"
# Built on Qt 6's private interface (the service's own TLS back-end), the
# package holds to the Qt release it was built with.
if [ "$KRV_QT" = 6 ]; then
    check "holds to the Qt 6 release it was built with" \
        bash -c "grep -Eq 'qt6-base-private-abi \\(= [0-9.]+\\)' <<<'$relations'"
fi

check "launcher installed, with its manual page" \
    test -x /usr/bin/krvi2veravawebsocket -a -f /usr/share/man/man1/krvi2veravawebsocket.1.gz
check "service, reader host, icon and simulator side by side" \
    test -x $app/KRVI2VeravaWebSocket -a -x $app/krvreaderhost -a -f $app/logo.ico -a -f $app/libCommonInterface.so
check "run-path folder" test -d $app/lib
check "desktop entry" test -f /usr/share/applications/krvi2veravawebsocket.desktop
check "the browser client and the demo page, listed by dpkg" \
    bash -c "dpkg -L krvi2veravawebsocket | grep -Fqx /usr/share/krvi2veravawebsocket/demo.html &&
             dpkg -L krvi2veravawebsocket | grep -Fqx /usr/share/krvi2veravawebsocket/cardreader.js &&
             dpkg -L krvi2veravawebsocket | grep -Fqx /usr/share/krvi2veravawebsocket/index.js"
check "autostart entry" test -f /etc/xdg/autostart/krvi2veravawebsocket.desktop
check "port reservation file" grep -q 35561 /etc/sysctl.d/60-krvi2veravawebsocket.conf
if udevadm verify --help >/dev/null 2>&1; then
    check "udev rule accepted by udev" udevadm verify /usr/lib/udev/rules.d/70-krvi2veravawebsocket.rules
fi
check "udev rule giving the reader to the session at the screen" \
    grep -q 'TAG+="uaccess"' /usr/lib/udev/rules.d/70-krvi2veravawebsocket.rules
check "policy file upgraded: listen = loopback, every other key commented out" \
    bash -c "test \"\$(grep -E '^[[:space:]]*[a-zA-Z]+[[:space:]]*=' $policy)\" = 'listen = loopback'"
check "NEWS.Debian tells of it" zgrep -q 'listen = loopback' /usr/share/doc/krvi2veravawebsocket/NEWS.Debian.gz
if [ -w /proc/sys/net/ipv4/ip_local_reserved_ports ]; then
    check "port reserved now" grep -qw 35561 /proc/sys/net/ipv4/ip_local_reserved_ports
fi

cp /usr/share/krvi2veravawebsocket-simulator/cards/card-J.txt $app/card.txt
QT_QPA_PLATFORM=offscreen /usr/bin/krvi2veravawebsocket >/dev/null 2>&1 &
service=$!
for _ in $(seq 200); do
    "$loadclient" --print-reply --message '{"cmd":"open_device"}' >/dev/null 2>&1 && break
    sleep 0.05
done
reply=$("$loadclient" --print-reply --message '{"cmd":"read_card_info"}' || true)
check "reads the sample card through the installed service" \
    grep -q '"passNum": "H00000001"' <<<"$reply"
# The addresses listening on the port, from the kernel's tables.
listening() {
    awk 'FNR > 1 && $4 == "0A" && $2 ~ /:8AE9$/ { split($2, at, ":"); print at[1] }' \
        /proc/net/tcp /proc/net/tcp6 | sort | tr '\n' ' '
}
check "listens on 127.0.0.1 and ::1 only" \
    test "$(listening)" = "00000000000000000000000001000000 0100007F "
kill "$service"
wait "$service" 2>/dev/null || true
# An administrator opens it to the network.
sed -i 's/^listen = loopback$/listen = any/' $policy
QT_QPA_PLATFORM=offscreen /usr/bin/krvi2veravawebsocket >/dev/null 2>&1 &
service=$!
for _ in $(seq 200); do
    "$loadclient" --print-reply --message '{"cmd":"close_device"}' >/dev/null 2>&1 && break
    sleep 0.05
done
check "with listen = any, listens on every interface" \
    test "$(listening)" = "00000000000000000000000000000000 "
kill "$service"
wait "$service" 2>/dev/null || true
rm -f $app/card.txt
# A log switched on beside the service goes with a purge.
touch $app/krlog.txt

apt-get purge -y -q krvi2veravawebsocket-simulator krvi2veravawebsocket
check "packages gone" bash -c '! dpkg -l "krvi2veravawebsocket*" 2>/dev/null | grep -q "^ii\|^rc"'
for path in $app /usr/bin/krvi2veravawebsocket /usr/share/applications/krvi2veravawebsocket.desktop \
    /etc/xdg/autostart/krvi2veravawebsocket.desktop /etc/sysctl.d/60-krvi2veravawebsocket.conf \
    /usr/lib/udev/rules.d/70-krvi2veravawebsocket.rules /etc/xdg/krvi2veravawebsocket \
    /usr/share/icons/hicolor/64x64/apps/krvi2veravawebsocket.png /usr/share/doc/krvi2veravawebsocket \
    /usr/share/man/man1/krvi2veravawebsocket.1.gz /usr/share/krvi2veravawebsocket \
    /usr/share/krvi2veravawebsocket-simulator; do
    check "nothing left at $path" test ! -e "$path"
done
if [ -w /proc/sys/net/ipv4/ip_local_reserved_ports ]; then
    check "port given back" bash -c '! grep -qw 35561 /proc/sys/net/ipv4/ip_local_reserved_ports'
fi

if [ "$failures" -ne 0 ]; then
    echo "test-package: $failures check(s) failed" >&2
    exit 1
fi
echo "test-package: all checks passed"
