#!/usr/bin/env bash
# The record database against a real PostgreSQL 15, started here in a temporary folder (a Unix
# socket only, never as root) and stopped at the end whatever happens:
#   bash tests/db/run.sh [BUILD_DIR]      (default: build)
# The module's tests, then stations in separate processes: db init twice, four stations
# claiming at once, a station killed after its claim, a run spooled while the server is down,
# and history.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
cli=$build/bin/korvane-cli
driver=$build/bin/korvane_db_driver

bash scripts/install-packages.sh postgresql-15
source tests/db/server.sh
pg_server_start

failures=0
check() {  # check WHAT EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: expected '$2', got '$3'"
    failures=$((failures + 1))
  fi
}

KORVANE_TEST_DB=$PG_ADMIN "$build/bin/korvane_db_tests" --gtest_brief=1

# db init twice: the second run changes nothing.
schema() {  # a digest of the schema's dump (without the dump's random \restrict key)
  "$pg_bin/pg_dump" -d "$PG_ADMIN" --schema-only | grep -v '^\\.*restrict' | sha256sum
}
"$cli" db init --db "$PG_ADMIN" >/dev/null
before=$(schema)
second=$("$cli" db init --db "$PG_ADMIN")
check "the second db init says so" "1" "$(grep -c 'nothing was changed' <<<"$second")"
check "the second db init changes no table" "$before" "$(schema)"
check "one schema row" "1|1" "$(pg_sql 'SELECT count(*), max(version) FROM korvane_schema')"

# Stations work as a role with only the grants of db grant.
pg_sql "CREATE ROLE station LOGIN" >/dev/null
"$cli" db grant --db "$PG_ADMIN" station >/dev/null
station="host=$PG_DIR user=station dbname=korvane"
"$cli" db series --db "$PG_ADMIN" line-a --start 1000 >/dev/null
set +e
"$cli" db series --db "$PG_ADMIN" line-a --start 1 2>/dev/null
code=$?
set -e
check "an existing series is refused" "4" "$code"

# Four stations claim 25 numbers each at the same time.
pids=()
for i in 1 2 3 4; do
  "$driver" claim "$station" line-a 25 >"$PG_DIR/claims-$i.txt" &
  pids+=($!)
done
for pid in "${pids[@]}"; do
  wait "$pid"
done
check "100 different numbers from 1000 with no gap" "100 1000 1099" \
  "$(sort -n "$PG_DIR"/claims-*.txt | uniq | awk 'NR==1{first=$1} {n++; last=$1} END{print n, first, last}')"
check "100 finished rows, one per number" "100|100|0" \
  "$(pg_sql "SELECT count(*), count(DISTINCT serial), count(*) FILTER (WHERE state <> 'finished')
             FROM korvane_runs WHERE series = 'line-a'")"

# A station killed after its claim: the number stays taken, its row says unfinished.
# hold: a station that claims a number and then waits for a line before it finishes the board;
# its standard input and output are fifos on descriptors 3 and 4.
mkfifo "$PG_DIR/to-station" "$PG_DIR/from-station"
hold() {
  "$driver" hold "$station" line-a "$PG_DIR/spool.jsonl" \
    <"$PG_DIR/to-station" >"$PG_DIR/from-station" &
  held=$!
  exec 3>"$PG_DIR/to-station" 4<"$PG_DIR/from-station"
}
hold
read -r -u 4 killed
{ kill -KILL "$held" && wait "$held"; } 2>/dev/null || true
exec 3>&- 4<&-
check "the killed station's row is unfinished" "claimed" \
  "$(pg_sql "SELECT state FROM korvane_runs WHERE series = 'line-a' AND serial = $killed")"
check "its number is not handed out again" "$((killed + 1))" \
  "$("$driver" claim "$station" line-a 1)"
check "history says the board never finished" "1" \
  "$("$cli" history --db "$station" --serial "$killed" | grep -c ': unfinished')"

# The server stops while a board is being written: its row waits in the spool and is sent at
# the next start, once.
hold
read -r -u 4 spooled
pg_server_stop
echo go >&3
read -r -u 4 outcome
wait "$held"
exec 3>&- 4<&-
check "the board's row went to the spool" "spooled" "$outcome"
cp "$PG_DIR/spool.jsonl" "$PG_DIR/spool-copy.jsonl"
pg_server_restart
check "the spool is sent at the next start" "1" "$("$driver" flush "$station" "$PG_DIR/spool.jsonl")"
check "and only once" "0" "$("$driver" flush "$station" "$PG_DIR/spool.jsonl")"
"$driver" flush "$station" "$PG_DIR/spool-copy.jsonl" >/dev/null
check "a spool sent twice records the run once" "1|finished" \
  "$(pg_sql "SELECT count(*), max(state) FROM korvane_runs WHERE serial = $spooled")"

# history --serial: every run of the board, newest first, serial numbers as strings.
board=$(head -1 "$PG_DIR/claims-1.txt")
"$driver" verify-run "$station" "$board"
runs=$("$cli" history --db "$station" --serial "$board" --json)
check "history finds the board's update and verify" "2" "$(wc -l <<<"$runs")"
check "newest first" "verify update" \
  "$(grep -o '"command":"[a-z]*"' <<<"$runs" | cut -d'"' -f4 | xargs)"
check "serial as a string" "2" "$(grep -c "\"serial\":\"$board\"" <<<"$runs")"
check "--since in the future finds nothing" "" \
  "$(KORVANE_DB=$station "$cli" history --since 2999-01-01 2>/dev/null)"

if [ "$failures" -ne 0 ]; then
  echo "$failures record database check(s) failed"
  exit 1
fi
echo "record database: all checks passed"
