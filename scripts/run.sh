#!/usr/bin/env bash
# Installs what is missing, builds, and serves: phone sessions get a private X desktop
# (Xvnc as a plain X server, else Xvfb) running the sessionCommand setting, kept from one
# session to the next. Without Xvfb the in-memory test display is served instead. The pairing code is in the first lines of the log.
# Extra arguments go to tarvello (see build/tarvello --help), e.g. --platform sim.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DTARVELLO_BENCH=OFF
exec build/tarvello --headless "$@"
