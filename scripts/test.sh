#!/usr/bin/env bash
# Installs what is needed, builds Korvane and runs every test: first in the normal build, then
# korvane-cli against korvane-gadget on a real Linux kernel USB stack in a QEMU VM, then the web
# pages in headless Chromium, then the Windows programs and their tests under Wine, then in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, and last the fuzz targets for a
# short while each (skip those two with --quick).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
# The record database against a PostgreSQL started for the purpose.
bash tests/db/run.sh build

# libusb, usbfs and the kernel's USB core against korvane-gadget through dummy_hcd, in a VM.
bash tests/kernel/run.sh build

# The web pages in headless Chromium; their packets are checked against the native korvane-cli.
bash scripts/build-web.sh
bash tests/web/run.sh

bash scripts/build-windows.sh
bash scripts/test-windows.sh

if [ "${1:-}" != "--quick" ]; then
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=ON \
    -DKORVANE_BUILD_BENCH=OFF >/dev/null
  cmake --build build-asan -j "$jobs"
  ctest --test-dir build-asan --output-on-failure -j "$jobs"
  bash tests/db/run.sh build-asan
  bash scripts/fuzz.sh 45
fi
