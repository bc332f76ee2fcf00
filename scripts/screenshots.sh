#!/usr/bin/env bash
# Builds the screenshot tool and saves a picture of each window into docs/: main-window.png,
# auto-detect.png, updating.png, updating-complete.png and about.png. The windows run on the
# emulated device under a virtual X display at 96 dots per inch.
# Usage: scripts/screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

bash scripts/setup.sh

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target korvane-screenshots

mkdir -p docs
export QT_QPA_PLATFORM=xcb
xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" "$build/bin/korvane-screenshots" docs
ls -l docs/main-window.png docs/auto-detect.png docs/updating.png docs/updating-complete.png \
  docs/about.png
