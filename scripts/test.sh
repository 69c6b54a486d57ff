#!/bin/bash
# Installs what is missing, builds, and runs every test, including those on a
# private Xvfb display. Extra arguments go to ctest (for example -R tst_service).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
scripts/build.sh
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure --parallel 2 "$@"
