#!/bin/bash
# Installs the Debian packages that building needs, and with --test what
# testing needs, with --bench what the benchmarks need, with --package what
# building the Debian packages needs. Qt 6 from Debian 14 on or with KRV_QT=6
# in the environment, Qt 5 otherwise.
# As root it runs apt-get; otherwise it prints the apt-get line and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/qt.sh

packages=(cmake ninja-build g++ pkg-config libxcb1-dev libseccomp-dev)
if [ "$KRV_QT" = 6 ]; then
    # Qt 6's Gui finds OpenGL at configure time even where nothing draws with
    # it; Qt's private network headers keep its TLS plug-ins unloaded.
    packages+=(qt6-base-dev qt6-base-dev-tools qt6-base-private-dev qt6-websockets-dev libgl-dev)
else
    packages+=(qtbase5-dev libqt5websockets5-dev libqt5x11extras5-dev)
fi
if [ "${1:-}" = "--test" ]; then
    # An XEmbed tray: trayer where the release has it (12, 13), else stalonetray.
    packages+=(xvfb "trayer|stalonetray" xdotool x11-utils chromium firefox-esr dbus-daemon)
    # Qt's own texts in Chinese (the exit question's buttons).
    if [ "$KRV_QT" = 6 ]; then
        packages+=(qt6-translations-l10n)
    else
        packages+=(qttranslations5-l10n)
    fi
    # The browser tests run on Node.js with npm; keep one that is already there.
    command -v node >/dev/null || packages+=(nodejs)
    command -v npm >/dev/null || packages+=(npm)
fi
if [ "${1:-}" = "--bench" ]; then
    packages+=(python3)
fi
if [ "${1:-}" = "--package" ]; then
    # CPack asks file which files are programs and dpkg-shlibdeps what they
    # depend on; lintian checks the packages.
    packages+=(file dpkg-dev lintian)
fi

installed() { # (one line per architecture where another one's is there too)
    dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -qx "install ok installed"
}
# "a|b": either will do.
missing=()
for entry in "${packages[@]}"; do
    found=
    for package in ${entry//|/ }; do installed "$package" && found=yes; done
    [ -n "$found" ] || missing+=("$entry")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them as root (with sudo or su, whichever the system has):" >&2
    echo "  apt-get install -y ${missing[*]%%|*}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# Of alternatives, the first this release has.
for i in "${!missing[@]}"; do
    [[ ${missing[$i]} == *"|"* ]] || continue
    for package in ${missing[$i]//|/ }; do
        if [ -n "$(apt-cache policy "$package" 2>/dev/null | awk '/Candidate:/ && $2 != "(none)"')" ]; then
            missing[$i]=$package
            break
        fi
    done
    missing[$i]=${missing[$i]%%|*}
done
echo "Installing ${missing[*]}"
apt-get install -y -q --no-install-recommends "${missing[@]}"
