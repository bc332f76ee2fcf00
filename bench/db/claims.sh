#!/usr/bin/env bash
# Serial claims per second from a PostgreSQL 15 started here (tests/db/server.sh: a Unix socket,
# the server's default settings, fsync on), printed, not asserted:
#  1. 1 and 4 stations, each a process with its own connection, taking numbers from one series
#     as fast as they can: claims only (the number and its row in the claimed state);
#  2. the same with each board's finished row recorded after its claim (two statements a board).
#
# Usage: bench/db/claims.sh [BUILD_DIR]   (default: build; needs the test build's
# korvane_db_driver)   CLAIMS=N sets the claims per station (default 500).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
driver=$build/bin/korvane_db_driver
claims=${CLAIMS:-500}
[ -x "$driver" ] || { echo "no korvane_db_driver at $driver; build the tests first" >&2; exit 1; }

bash scripts/install-packages.sh postgresql-15
source tests/db/server.sh
pg_server_start
"$build/bin/korvane-cli" db init --db "$PG_ADMIN" >/dev/null

series=0
run() {  # run STATIONS [--claim-only]: prints the figure
  local stations=$1 start end pids=()
  series=$((series + 1))
  "$build/bin/korvane-cli" db series --db "$PG_ADMIN" "bench-$series" --start 1 >/dev/null
  start=$(date +%s%N)
  for _ in $(seq "$stations"); do
    "$driver" claim "$PG_ADMIN" "bench-$series" "$claims" ${2:-} >/dev/null &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid"
  done
  end=$(date +%s%N)
  awk -v n=$((stations * claims)) -v ns=$((end - start)) -v s="$stations" -v what="$3" \
    'BEGIN { printf "%d station(s), %s: %.0f per second (%d in %.2f s)\n", s, what, n / (ns / 1e9), n, ns / 1e9 }'
}

echo "== serial claims, $claims per station ($(nproc) cores)"
run 1 --claim-only "claims"
run 4 --claim-only "claims"
run 1 "" "claims with the board's finished row"
run 4 "" "claims with the board's finished row"
