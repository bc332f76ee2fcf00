#!/usr/bin/env bash
# Installs what is needed, builds Korvane and starts it on its built-in emulated device.
# Without a display it says so and runs the same demo update in the terminal.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target korvane-demo korvane-cli

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  exec build/bin/korvane-demo
fi

echo "No display is available, so the windows cannot be shown."
echo "Running the same demo update in the terminal on the emulated device instead."
echo
build/bin/korvane-cli info examples/demo-firmware.elc
echo
exec build/bin/korvane-cli update --emulated-timing --eeprom examples/demo-firmware.elc
