#!/bin/bash
# Builds the Debian packages and checks them with lintian, which must report
# no errors and no warnings.
#   packaging/build-packages.sh [FOLDER]   this machine's architecture, into
#                                          FOLDER (default build-deb)
#   packaging/build-packages.sh arm64      cross-built for arm64 into
#                                          build-deb-arm64, after the tests that
#                                          need no desktop ran under emulation
# A package is for the Debian release it is built on (its version ends in
# +deb12 or +deb13): build on the release you install on. What the build
# needs is installed as root, or named when run as another user. The arm64
# build installs the arm64 architecture, Debian's cross toolchain, Qt's arm64
# -dev packages and qemu's user emulation (on Debian 12 from its backports:
# 12's own qemu 7.2 cannot start Qt's child processes, clone with CLONE_PIDFD
# fails).
set -euo pipefail
cd "$(dirname "$0")/.."
. /etc/os-release

package() { # build folder
    (cd "$1" && rm -f ./*.deb && cpack -G DEB)
    local deb
    for deb in "$1"/*.deb; do
        # Without dpkg-shlibdeps, or where it fails, CPack writes a package
        # that depends on nothing and installs anywhere, to fail at start.
        if [ -z "$(dpkg-deb -f "$deb" Depends)" ]; then
            echo "build-packages: $deb has no dependencies: dpkg-shlibdeps did not compute them" >&2
            exit 1
        fi
        # CPack has every library under /usr/lib call ldconfig on install;
        # the reader library is loaded by its path, and dpkg's own trigger
        # does the rest.
        if dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst 2>/dev/null | grep -qx '	ldconfig'; then
            local tree
            tree=$(mktemp -d)
            dpkg-deb -R "$deb" "$tree"
            rm "$tree/DEBIAN/postinst" "$tree/DEBIAN/postrm"
            dpkg-deb --root-owner-group -Zxz -b "$tree" "$deb" >/dev/null
            rm -rf "$tree"
        fi
    done
    ls -l "$1"/*.deb
    # --fail-on error,warning: informational tags are shown, the rest fail.
    lintian --fail-on error,warning --tag-display-limit 0 "$1"/*.deb
}

scripts/install-deps.sh --package

if [ "${1:-}" != arm64 ]; then
    build=${1:-build-deb}
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    cmake --build "$build" --parallel
    package "$build"
    exit 0
fi

[ "$(id -u)" -eq 0 ] || { echo "build-packages: the arm64 build installs packages: run as root" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
fi
# On Debian 12, backports from the machine's own Debian mirror, for qemu 10.
qemu_suite=$VERSION_CODENAME
if [ "$VERSION_CODENAME" = bookworm ]; then
    qemu_suite=bookworm-backports
fi
if [ "$qemu_suite" = bookworm-backports ] &&
    ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    mirror=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$mirror" ] || mirror=$(awk '/^deb /{print $2; exit}' /etc/apt/sources.list)
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$mirror" >/etc/apt/sources.list.d/bookworm-backports.sources
fi
apt-get update -q
apt-get install -y -q --no-install-recommends crossbuild-essential-arm64 cmake ninja-build \
    pkg-config qtbase5-dev-tools dpkg-dev lintian util-linux iproute2 file \
    qtbase5-dev:arm64 libqt5websockets5-dev:arm64 libqt5x11extras5-dev:arm64 libxcb1-dev:arm64 libseccomp-dev:arm64
apt-get install -y -q --no-install-recommends -t "$qemu_suite" qemu-user-static
# Registered afresh from the rule that qemu installs, so that the kernel runs
# arm64 programs with this qemu (a machine without systemd never reads it).
binfmt=/proc/sys/fs/binfmt_misc
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
[ -e "$binfmt/qemu-aarch64" ] && echo -1 >"$binfmt/qemu-aarch64"
grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"

build=build-arm64
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
cmake --build "$build" --parallel
file "$build/bin/KRVI2VeravaWebSocket"

# The tests that need no desktop and no browser, one at a time, in a network
# and process namespace of their own: an emulated test that goes wrong can
# reach no other process and no other network.
unshare --net --pid --fork --mount-proc bash -c \
    "ip link set lo up && ctest --test-dir '$build' --output-on-failure -LE 'xvfb|web' -j1"

deb=build-deb-arm64
cmake -S . -B "$deb" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
cmake --build "$deb" --parallel
package "$deb"
