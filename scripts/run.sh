#!/usr/bin/env bash
# Installs what is missing, builds, and starts the server with the in-memory display
# (a moving test picture). The pairing code is in the first lines of the log.
# Extra arguments go to tarvello (see build/tarvello --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DTARVELLO_BENCH=OFF
exec build/tarvello --headless --platform sim "$@"
