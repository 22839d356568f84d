#!/usr/bin/env bash
# Redraws the README's pictures of the menu and the set-up window (sample state, light
# and dark palettes) on a private X server. Usage: scripts/screenshots.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build}"
scripts/install-deps.sh
scripts/build.sh "$dir" -DTARVELLO_BENCH=OFF
xvfb-run -a -s "-screen 0 1280x1024x24" env QT_QPA_PLATFORM=xcb \
  "$dir/tarvello" --screenshots docs/screenshots >/dev/null
ls -l docs/screenshots/menu.png docs/screenshots/onboarding.png \
  docs/screenshots/menu-dark.png docs/screenshots/onboarding-dark.png
