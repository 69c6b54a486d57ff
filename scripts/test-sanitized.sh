#!/bin/bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer into
# build-asan/ (or $BUILD_DIR) and runs every test there. Any sanitizer report,
# from a test or from a service it started, fails the run. Extra arguments go
# to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --test
export PUPPETEER_SKIP_DOWNLOAD=1
[ -d web/node_modules ] || (cd web && npm ci --no-audit --no-fund --ignore-scripts)
export BUILD_DIR=${BUILD_DIR:-build-asan}
scripts/build.sh -DKRV_SANITIZE=ON

reports=$(mktemp -d)
# Services that tests run as other users (a shared desk) report here too.
chmod 1777 "$reports"
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"

status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel 2 "$@" || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    echo "Sanitizer reports:" >&2
    for report in "$reports"/*; do
        echo "=== $(basename "$report")" >&2
        cat "$report" >&2
    done
    status=1
fi
exit $status
