#!/usr/bin/env bash
# Prints the figures of bench/kernel/bench.sh: a whole 32 KiB + EEPROM update through the real
# Linux USB stack (libusb, usbfs, dummy_hcd) to korvane-gadget, in the kernel test VM, beside the
# emulated device's timing model. Not part of CI.
#
# Usage: bench/kernel/figures.sh [BUILD_DIR]   (default: build)
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
exec bash "$source_dir/tests/kernel/run.sh" "${1:-build}" bench
