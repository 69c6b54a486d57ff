#!/bin/bash
# Configures and builds into build/ (or $BUILD_DIR); extra arguments go to CMake.
# With KRV_QT=6 in the environment it builds on Qt 6 into build-qt6/.
set -euo pipefail
cd "$(dirname "$0")/.."
qt=${KRV_QT:-5}
if [ "$qt" = 6 ]; then build=${BUILD_DIR:-build-qt6}; else build=${BUILD_DIR:-build}; fi
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_QT="$qt" "$@"
elif [ $# -gt 0 ]; then
    cmake "$build" "$@"
fi
cmake --build "$build" --parallel
