#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UndefinedBehaviorSanitizer in a
# build folder of their own (build-fuzz), and runs each for a while on its corpus from
# fuzz/corpus/<target>. New inputs go to a scratch folder, so the corpus in the repository stays
# as it is; a crash leaves its input in build-fuzz/crashes and fails the script.
#   bash scripts/fuzz.sh [SECONDS per target, default 45]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-45}
jobs=$(nproc)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_BUILD_FUZZ=ON -DKORVANE_SANITIZE=ON -DKORVANE_BUILD_UI=OFF -DKORVANE_BUILD_TESTS=OFF \
  -DKORVANE_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$jobs" --target korvane_loader_fuzzer korvane_engine_fuzzer

mkdir -p build-fuzz/crashes
for target in loader engine; do
  scratch=$(mktemp -d)
  log=build-fuzz/$target.log
  echo "Fuzzing the $target for $seconds s"
  status=0
  build-fuzz/bin/korvane_${target}_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/crashes/$target-" "$scratch" "fuzz/corpus/$target" >"$log" 2>&1 ||
    status=$?
  rm -rf "$scratch"
  grep -E '^(#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log" >&2
    echo "The $target fuzzer found a fault (exit $status); its input is in build-fuzz/crashes" >&2
    exit 1
  fi
done
