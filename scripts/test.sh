#!/bin/bash
# Installs what is missing, builds, and runs every test, including those on a
# private Xvfb display. With --quick only the unit and service tiers (no
# desktop, stress or browser tests). Extra arguments go to ctest (for example
# -R tst_service).
# On Qt 6 (from Debian 14 on, or with KRV_QT=6 in the environment) it builds
# and tests in build-qt6/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/qt.sh

quick=
if [ "${1:-}" = "--quick" ]; then
    quick=yes
    shift
fi

scripts/install-deps.sh --test
# Test tools for the browser client (no browser download: Debian's chromium and firefox-esr are used).
export PUPPETEER_SKIP_DOWNLOAD=1
(cd web && npm ci --no-audit --no-fund --ignore-scripts)
scripts/build.sh
build=$krv_build
if [ -n "$quick" ]; then
    # The in-process tier first, on its own: a wrong limit or policy parse
    # fails within a minute, before the real service's tests start.
    ctest --test-dir "$build" --output-on-failure --parallel 2 -L unit "$@"
    ctest --test-dir "$build" --output-on-failure --parallel 2 -L service "$@"
else
    ctest --test-dir "$build" --output-on-failure --parallel 2 "$@"
fi
