#!/bin/bash
# Configures and builds into build/ (or $BUILD_DIR); extra arguments go to CMake.
# On Qt 6 (from Debian 14 on, or with KRV_QT=6 in the environment) it builds
# into build-qt6/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/qt.sh
build=$krv_build
# A configure that failed (a package missing) leaves a cache without build.ninja.
if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_QT="$KRV_QT" "$@"
elif [ $# -gt 0 ]; then
    cmake "$build" "$@"
fi
cmake --build "$build" --parallel
