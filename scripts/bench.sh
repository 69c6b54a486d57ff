#!/bin/bash
# Installs what is missing, builds, and runs the benchmarks (about 8 minutes):
# the service side by side with the floor, written to bench/RESULTS.md. Extra
# arguments go to bench/run.py (for example --rounds 3 --seconds 2).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh --bench
scripts/build.sh
python3 bench/run.py "$@"
