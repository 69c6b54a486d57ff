#!/bin/bash
# Configures and builds into build/ (or $BUILD_DIR); extra arguments go to CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
elif [ $# -gt 0 ]; then
    cmake "$build" "$@"
fi
cmake --build "$build" --parallel
