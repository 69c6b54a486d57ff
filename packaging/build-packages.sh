#!/bin/bash
# Builds the Debian packages into the given folder (default build-deb) and
# checks them with lintian, which must report no errors.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$build" --parallel
(cd "$build" && rm -f ./*.deb && cpack -G DEB)
ls -l "$build"/*.deb
# --fail-on error: warnings and informational tags are shown, errors fail.
lintian --fail-on error --tag-display-limit 0 "$build"/*.deb
