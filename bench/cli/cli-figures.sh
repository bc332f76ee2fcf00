#!/usr/bin/env bash
# Figures for korvane-cli, printed, not asserted:
#  1. `korvane-cli export` of a 16 MiB Intel HEX file to a 32 KiB flash binary, side by side with
#     `srec_cat file.hex -intel -crop 0 0x8000 -o out.bin -binary` doing the same conversion
#     (target: korvane at most a quarter of srec_cat's time);
#  2. a full `korvane-cli update --emulated --eeprom` of a 32 KiB image (application area
#     0x800-0x7FFF and the whole EEPROM): wall time and time per packet, without and with the
#     emulated timing model.
# Uses hyperfine when installed, otherwise times RUNS runs itself and prints median and minimum.
#
# Usage: bench/cli/cli-figures.sh [BUILD_DIR]   (default: build; korvane-cli in BUILD_DIR/bin)
set -euo pipefail

build_dir=${1:-build}
cli=$(realpath "$build_dir/bin/korvane-cli")
runs=${RUNS:-10}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

command -v srec_cat >/dev/null || { echo "srec_cat (package srecord) is needed" >&2; exit 1; }
[ -x "$cli" ] || { echo "no korvane-cli at $cli; build it first" >&2; exit 1; }

# Median and minimum wall time in milliseconds of `runs` runs of a command (output discarded),
# then the median CPU time (user + system) when /usr/bin/time is there, else "-". On a shared,
# busy machine the CPU time is the steadier figure.
time_runs() {
  local times=() cpus=() start end
  for _ in $(seq "$runs"); do
    start=$(date +%s%N)
    if [ -x /usr/bin/time ]; then
      /usr/bin/time -f "%U %S" -o "$work/cpu" "$@" >/dev/null 2>&1
      cpus+=($(awk '{ printf "%d", ($1 + $2) * 1000000 }' "$work/cpu"))
    else
      "$@" >/dev/null 2>&1
    fi
    end=$(date +%s%N)
    times+=($(((end - start) / 1000)))
  done
  local wall cpu="-"
  wall=$(printf '%s\n' "${times[@]}" | sort -n |
    awk '{ t[NR] = $1 } END { m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2;
           printf "%.1f %.1f", m / 1000, t[1] / 1000 }')
  if [ ${#cpus[@]} -gt 0 ]; then
    cpu=$(printf '%s\n' "${cpus[@]}" | sort -n |
      awk '{ t[NR] = $1 } END { m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2;
             printf "%.1f", m / 1000 }')
  fi
  echo "$wall $cpu"
}

echo "== export of a 16 MiB HEX file to a 32 KiB binary"
# 16 data bytes per 45-character record line: 0x5B1000 bytes of data make a little over 16 MiB.
srec_cat -generate 0 0x5B1000 -repeat-string "Korvane firmware image 0123456789" \
  -o "$work/big.hex" -intel -line-termination=crlf -output_block_size=16
echo "file: $(stat -c %s "$work/big.hex") bytes"

korvane_export=("$cli" export "$work/big.hex" --flash "$work/korvane.bin")
srec_export=(srec_cat "$work/big.hex" -intel -crop 0 0x8000 -o "$work/srec.bin" -binary)
"${korvane_export[@]}" 2>/dev/null
"${srec_export[@]}"
if cmp -s "$work/korvane.bin" "$work/srec.bin"; then
  echo "outputs: identical (32768 bytes)"
else
  echo "outputs: DIFFER" >&2
fi

if command -v hyperfine >/dev/null; then
  hyperfine --warmup 2 --runs "$runs" --export-json "$work/h.json" \
    -n korvane-cli "${korvane_export[*]} 2>/dev/null" -n srec_cat "${srec_export[*]}"
  read -r korvane_ms srec_ms < <(python3 -c "import json,sys; r=json.load(open('$work/h.json'))['results']; print(r[0]['median']*1000, r[1]['median']*1000)")
else
  read -r korvane_ms korvane_min korvane_cpu < <(time_runs "${korvane_export[@]}")
  read -r srec_ms srec_min srec_cpu < <(time_runs "${srec_export[@]}")
  echo "korvane-cli export: median ${korvane_ms} ms, min ${korvane_min} ms, CPU ${korvane_cpu} ms ($runs runs)"
  echo "srec_cat:           median ${srec_ms} ms, min ${srec_min} ms, CPU ${srec_cpu} ms ($runs runs)"
  if [ "$korvane_cpu" != "-" ]; then
    awk -v k="$korvane_cpu" -v s="$srec_cpu" \
      'BEGIN { printf "ratio korvane/srec_cat (CPU medians): %.3f\n", k / s }'
  fi
fi
awk -v k="$korvane_ms" -v s="$srec_ms" \
  'BEGIN { printf "ratio korvane/srec_cat (medians): %.3f (target at most 0.25)\n", k / s }'

echo
echo "== update --emulated --eeprom of a 32 KiB image"
srec_cat -generate 0x800 0x8000 -repeat-string "Korvane application " \
  -generate 0xF00000 0xF00100 -repeat-data 0x5A 0xA5 \
  -o "$work/full.hex" -intel -line-termination=crlf -output_block_size=16
"$cli" update "$work/full.hex" --emulated --eeprom --trace "$work/trace.txt" >/dev/null
packets=$(wc -l <"$work/trace.txt")
echo "packets per run: $packets"
read -r update_ms update_min _ < <(time_runs "$cli" update "$work/full.hex" --emulated --eeprom)
awk -v m="$update_ms" -v p="$packets" -v min="$update_min" 'BEGIN {
  printf "without timing model: median %.1f ms, min %.1f ms; %.2f us per packet (median)\n",
         m, min, m * 1000 / p }'
saved_runs=$runs
runs=3
read -r timed_ms timed_min _ < <(time_runs "$cli" update "$work/full.hex" --emulated-timing --eeprom)
runs=$saved_runs
awk -v m="$timed_ms" -v p="$packets" 'BEGIN {
  printf "with timing model:    median %.0f ms; %.2f ms per packet (3 runs)\n", m, m / p }'
