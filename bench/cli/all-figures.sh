#!/usr/bin/env bash
# Figures for the service bench and the production line, printed, not asserted:
#  1. `korvane-cli update --all` of a full 32 KiB image and the EEPROM on N = 1, 2, 4, 8
#     emulated devices with the timing model, each device on its own thread and link: wall
#     time, and its ratio to one device (target: at most 1.15 for every N);
#  2. how long `korvane-cli detect --wait` takes to notice a device plugged in under umockdev
#     through the real libusb path (needs the test build's korvane_umockdev_bracket_timing).
#
# Usage: bench/cli/all-figures.sh [BUILD_DIR]   (default: build; programs in BUILD_DIR/bin)
set -euo pipefail

build_dir=${1:-build}
cli=$(realpath "$build_dir/bin/korvane-cli")
timing="$build_dir/bin/korvane_umockdev_bracket_timing"
runs=${RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

command -v srec_cat >/dev/null || { echo "srec_cat (package srecord) is needed" >&2; exit 1; }
[ -x "$cli" ] || { echo "no korvane-cli at $cli; build it first" >&2; exit 1; }

srec_cat -generate 0x800 0x8000 -repeat-string "Korvane application " \
  -generate 0xF00000 0xF00100 -repeat-data 0x5A 0xA5 \
  -o "$work/full.hex" -intel -line-termination=crlf -output_block_size=16

# Median wall time in milliseconds of `runs` runs of a command that must succeed.
median_ms() {
  local times=() start end
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }
    end=$(date +%s%N)
    times+=($(((end - start) / 1000000)))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'
}

echo "== update --all --eeprom of a 32 KiB image, emulated devices with the timing model"
one=""
for n in 1 2 4 8; do
  ms=$(median_ms "$cli" update "$work/full.hex" --eeprom --all --emulated-timing \
    --emulated-devices "$n")
  [ -n "$one" ] || one=$ms
  awk -v n="$n" -v ms="$ms" -v one="$one" -v runs="$runs" 'BEGIN {
    printf "N = %d: median %6d ms, %.3f times one device (%d runs; target at most 1.15)\n",
           n, ms, ms / one, runs }'
done

echo
echo "== detect --wait: from a device plugged in to its first request, under umockdev"
if [ -x "$timing" ]; then
  "$timing" --wait-notice "$cli" "${WAIT_RUNS:-10}"
else
  echo "skipped: no $timing (build with the tests)"
fi
