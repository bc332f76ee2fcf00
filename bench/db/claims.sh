#!/usr/bin/env bash
# Serial claims and boards per second from a PostgreSQL 15 started here (tests/db/server.sh: a Unix
# socket, the server's default settings, fsync on), printed, not asserted:
#  1. 1 and 4 stations, each a process with its own connection, taking numbers from one series
#     as fast as they can: claims only (the number and its row in the claimed state);
#  2. the same with each board's finished row recorded after its claim (two statements a board);
#  3. boards per second: 4 korvane-cli stations at once, each updating 25 emulated boards at a time
#     (--all, no timing model, the demo firmware with its EEPROM), ROUNDS times: with --db and
#     --serial-series, and for comparison with --log and a --serial-file of each station's own.
#
# Usage: bench/db/claims.sh [BUILD_DIR]   (default: build; needs the benchmarks' korvane_db_driver)
#   CLAIMS=N sets the claims per station (default 500), ROUNDS=N the rounds of 25 (default 4).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
cli=$build/bin/korvane-cli
driver=$build/bin/korvane_db_driver
claims=${CLAIMS:-500}
rounds=${ROUNDS:-4}
[ -x "$driver" ] || { echo "no korvane_db_driver at $driver; build the benchmarks first" >&2; exit 1; }

bash scripts/install-packages.sh postgresql-15
source tests/db/server.sh
pg_server_start
"$cli" db init --db "$PG_ADMIN" >/dev/null

series=0
new_series() {
  series=$((series + 1))
  "$cli" db series --db "$PG_ADMIN" "bench-$series" --start 1 >/dev/null
}

# report WHAT COUNT START_NS: the figure of COUNT done since START_NS.
report() {
  awk -v n="$2" -v ns=$(($(date +%s%N) - $3)) -v what="$1" \
    'BEGIN { printf "%s: %.0f per second (%d in %.2f s)\n", what, n / (ns / 1e9), n, ns / 1e9 }'
}

# claims STATIONS [--claim-only] WHAT
claims() {
  local stations=$1 start pids=()
  new_series
  start=$(date +%s%N)
  for _ in $(seq "$stations"); do
    "$driver" claim "$PG_ADMIN" "bench-$series" "$claims" ${2:-} >/dev/null &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid"
  done
  report "$stations station(s), $3" $((stations * claims)) "$start"
}

# boards WHAT ARGS...: 4 stations, each updating 25 boards at once, ROUNDS times, with ARGS
# (STATION in them is the station's number).
boards() {
  local what=$1 start pids=()
  shift
  start=$(date +%s%N)
  for station in 1 2 3 4; do
    (
      for _ in $(seq "$rounds"); do
        "$cli" update examples/demo-firmware.hex --eeprom --serial-at 0xF000F0 \
          --emulated-devices 25 --all "${@//STATION/$station}" >/dev/null
      done
    ) &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid"
  done
  report "4 korvane-cli stations, $what" $((4 * 25 * rounds)) "$start"
}

echo "== serial claims, $claims per station ($(nproc) cores)"
claims 1 --claim-only "claims"
claims 4 --claim-only "claims"
claims 1 "" "claims with the board's finished row"
claims 4 "" "claims with the board's finished row"

echo "== boards, 25 at a time per station, $rounds rounds"
new_series
export XDG_STATE_HOME=$PG_DIR/state
boards "boards with --db and --serial-series" --db "$PG_ADMIN" --serial-series "bench-$series"
for station in 1 2 3 4; do
  echo 1 >"$PG_DIR/next-$station.txt"
done
boards "boards with --log and --serial-file" --log "$PG_DIR/line-STATION.jsonl" \
  --serial-file "$PG_DIR/next-STATION.txt"
