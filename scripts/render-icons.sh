#!/usr/bin/env bash
# Renders the PNG icons from their SVG drawings (needs rsvg-convert from librsvg2-bin). The PNGs
# are kept in the repository, so building does not need this.
set -euo pipefail
if ! command -v rsvg-convert >/dev/null; then
  echo "rsvg-convert is missing: install it with apt-get install librsvg2-bin" >&2
  exit 1
fi
cd "$(dirname "$0")/../packaging/icons"
for size in 16 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" korvane.svg -o "korvane-$size.png"
done
for size in 16 32 48 256; do
  rsvg-convert -w "$size" -h "$size" korvane-update.svg -o "korvane-update-$size.png"
done
# The Windows programs' icons (16, 32, 48 and 256 pixels in one file), with icotool from icoutils.
if command -v icotool >/dev/null; then
  icotool -c -o korvane.ico korvane-16.png korvane-32.png korvane-48.png -r korvane-256.png
  icotool -c -o korvane-update.ico korvane-update-16.png korvane-update-32.png \
    korvane-update-48.png -r korvane-update-256.png
else
  echo "icotool is missing (apt-get install icoutils): the .ico files were not remade" >&2
fi
