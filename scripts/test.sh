#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
# Usage: scripts/test.sh [BUILD_DIR] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir="${1:-build}"
shift || true
scripts/build.sh "$dir" -DTARVELLO_BENCH=OFF "$@"
cd "$dir"
ctest --output-on-failure --timeout 300 -j 2
