#!/bin/bash
# Installs what is missing, builds, and runs every test, including those on a
# private Xvfb display. Extra arguments go to ctest (for example -R tst_service).
# KRV_QT=6 in the environment builds and tests on Qt 6 (in build-qt6/).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
# Test tools for the browser client (no browser download: Debian's chromium is used).
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
(cd web && npm ci --no-audit --no-fund --ignore-scripts)
scripts/build.sh
if [ "${KRV_QT:-5}" = 6 ]; then build=${BUILD_DIR:-build-qt6}; else build=${BUILD_DIR:-build}; fi
ctest --test-dir "$build" --output-on-failure --parallel 2 "$@"
