#!/bin/bash
# Installs the Debian packages that building needs, and with --test what
# testing needs, with --bench what the benchmarks need, with --package what
# building the Debian packages needs. With KRV_QT=6 in the environment, Qt 6
# instead of Qt 5.
# As root it runs apt-get; otherwise it prints the apt-get line and fails.
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libxcb1-dev libseccomp-dev)
if [ "${KRV_QT:-5}" = 6 ]; then
    # Qt 6's Gui finds OpenGL at configure time even where nothing draws with it.
    packages+=(qt6-base-dev qt6-base-dev-tools qt6-websockets-dev libgl-dev)
else
    packages+=(qtbase5-dev libqt5websockets5-dev libqt5x11extras5-dev)
fi
if [ "${1:-}" = "--test" ]; then
    packages+=(xvfb trayer xdotool x11-utils chromium firefox-esr dbus-daemon)
    # Qt's own texts in Chinese (the exit question's buttons).
    if [ "${KRV_QT:-5}" = 6 ]; then
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

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them as root (with sudo or su, whichever the system has):" >&2
    echo "  apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
