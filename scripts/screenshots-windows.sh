#!/usr/bin/env bash
# Pictures of the Windows windows for the documentation: runs the Windows window test under Wine
# and Xvfb with snapshots on, and saves them as docs/windows-*.png.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v convert >/dev/null || ! dpkg-query -W -f='${Status}' imagemagick 2>/dev/null |
  grep -q "install ok installed"; then
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -qq install -y \
    --no-install-recommends imagemagick >/dev/null
fi

shots=$(mktemp -d)
trap 'rm -rf "$shots"' EXIT
KORVANE_SCREENSHOTS="$shots" bash scripts/test-windows.sh -R korvane_windows_gui_tests
for picture in "$shots"/*.bmp; do
  convert "$picture" -alpha off "docs/$(basename "${picture%.bmp}").png"
  echo "docs/$(basename "${picture%.bmp}").png"
done
