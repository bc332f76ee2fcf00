#!/usr/bin/env bash
# The record database against a real PostgreSQL 15, started here in a temporary folder (a Unix
# socket only, never as root) and stopped at the end whatever happens:
#   bash tests/db/run.sh [BUILD_DIR]      (default: build)
# The module's tests, then korvane-cli stations as separate processes on emulated boards: db init
# twice, four stations updating 25 boards each at once from one series, a station killed while
# it writes, the database stopped during a board of a production loop and unreachable at the
# start, the spool sent at the next start, and history.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=$(realpath "${1:-build}")
cli=$build/bin/korvane-cli

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

# wait_for WHAT COMMAND...: until COMMAND succeeds (given up after two minutes).
wait_for() {
  local what=$1 tries=0
  shift
  until "$@"; do
    tries=$((tries + 1))
    if [ "$tries" -gt 6000 ]; then
      echo "FAILED: $what never happened"
      exit 1
    fi
    sleep 0.02
  done
}

# lines_at_least FILE PATTERN N: FILE has at least N lines that match PATTERN (grep -E).
lines_at_least() {
  [ "$(grep -c -E -- "$2" "$1" 2>/dev/null)" -ge "$3" ]
}

# exit_of COMMAND...: runs it and prints its exit code.
exit_of() {
  local code=0
  "$@" || code=$?
  echo "$code"
}

# ended PID: waits for the background process (a child of this shell, not of a subshell) and
# sets ended_code to its exit code.
ended() {
  local code=0
  wait "$1" || code=$?
  ended_code=$code
}

# field NAME < JSON LINES: the value of a string, number or boolean field of each line.
field() {
  sed -E "s/.*\"$1\":(\"([^\"]*)\"|([^,}]*)).*/\2\3/"
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
check "one schema row" "1|2" "$(pg_sql 'SELECT count(*), max(version) FROM korvane_schema')"

# Stations work as a role with only the grants of db grant.
pg_sql "CREATE ROLE station LOGIN" >/dev/null
"$cli" db grant --db "$PG_ADMIN" station >/dev/null
station="host=$PG_DIR user=station dbname=korvane"
"$cli" db series --db "$PG_ADMIN" line-a --start 1000 >/dev/null
check "an existing series is refused" "4" \
  "$(exit_of "$cli" db series --db "$PG_ADMIN" line-a --start 1 2>/dev/null)"

work=$PG_DIR/work
mkdir -p "$work"
# The spool of unsent runs in its default place, under the test's own state folder.
export XDG_STATE_HOME=$work/state

# Program data from 0x800 to 0x47FF and 32 EEPROM bytes: about 3 s a board on the timing model.
fw=$work/firmware.hex
awk 'function record(address, type, count, bytes,   sum, i, line) {
       line = sprintf(":%02X%04X%02X", count, address, type)
       sum = count + int(address / 256) + address % 256 + type
       for (i = 1; i <= count; i++) { line = line sprintf("%02X", bytes[i]); sum += bytes[i] }
       print line sprintf("%02X", (256 - sum % 256) % 256)
     }
     BEGIN {
       for (address = 2048; address < 18432; address += 16) {
         for (i = 1; i <= 16; i++) data[i] = (address * 7 + i * 13) % 256
         record(address, 0, 16, data)
       }
       ext[1] = 0; ext[2] = 240; record(0, 4, 2, ext)
       for (address = 0; address < 32; address += 16) {
         for (i = 1; i <= 16; i++) data[i] = address + i
         record(address, 0, 16, data)
       }
       record(0, 1, 0, data)
     }' >"$fw"
numbered=(--eeprom --serial-series line-a --serial-at 0xF000F0 --db "$station")
serial_in() {  # serial_in STATE_DIR: the number its EEPROM holds at 0xF0 (4 bytes, lowest first)
  od -An -tu1 -j240 -N4 "$1/eeprom.bin" | awk '{ print $1 + 256 * ($2 + 256 * ($3 + 256 * $4)) }'
}

# Four stations update 25 emulated boards each, all at the same time, from one series.
pids=()
for i in 1 2 3 4; do
  "$cli" update "$fw" "${numbered[@]}" --emulated-devices 25 --all \
    --emulated-state "$work/station-$i" --json >"$work/station-$i.jsonl" 2>/dev/null &
  pids+=($!)
done
codes=""
for pid in "${pids[@]}"; do
  ended "$pid"
  codes+="$ended_code "
done
check "four stations of 25 boards succeed" "0 0 0 0 " "$codes"
check "100 different numbers from 1000 with no gap" "100 1000 1099" \
  "$(cat "$work"/station-*.jsonl | grep -F '"event":"outcome"' | field serial | sort -n | uniq |
    awk 'NR==1{first=$1} {n++; last=$1} END{print n, first, last}')"
check "100 finished rows, one per number, each a success" "100|100|100" \
  "$(pg_sql "SELECT count(*), count(DISTINCT serial), count(*) FILTER (WHERE state = 'finished'
             AND success) FROM korvane_runs WHERE series = 'line-a'")"
wrong=0
for i in 1 2 3 4; do
  while read -r device number; do
    [ "$(serial_in "$work/station-$i/${device#emulated-}")" == "$number" ] || wrong=$((wrong + 1))
  done < <(grep -F '"event":"outcome"' "$work/station-$i.jsonl" |
    sed -E 's/.*"device":"([^"]*)".*"serial":"([0-9]*)".*/\1 \2/')
done
check "each board's memory holds its own number" "0" "$wrong"

# A station killed while it writes a board: the number stays taken, the run unfinished.
"$cli" update "$fw" "${numbered[@]}" --emulated-timing --emulated-state "$work/killed" --json \
  >"$work/killed.jsonl" 2>/dev/null &
killed=$!
wait_for "the killed station's write" lines_at_least "$work/killed.jsonl" \
  '"event":"stage".*"stage":"write"' 1
{ kill -KILL "$killed" && ended "$killed"; } 2>/dev/null
check "the killed station's run is the one unfinished, with the next number" "1100" \
  "$(pg_sql "SELECT string_agg(serial::text, ' ') FROM korvane_runs WHERE state = 'claimed'")"
check "history says it never finished" "1" \
  "$("$cli" history --db "$station" --serial 1100 | grep -c ': unfinished')"

# A production loop whose database stops during its second board: that board finishes, its run
# waits in the spool, and no further board starts. The station is held still while the server
# stops, so that the board is surely in progress.
"$cli" update "$fw" "${numbered[@]}" --emulated-timing --emulated-state "$work/loop" --wait \
  --repeat --json >"$work/loop.jsonl" 2>"$work/loop.err" &
loop=$!
wait_for "the loop's second board" lines_at_least "$work/loop.jsonl" \
  '"event":"stage".*"stage":"erase"' 2
kill -STOP "$loop"
pg_server_stop
kill -CONT "$loop"
ended "$loop"
check "the loop ends with exit 4" "4" "$ended_code"
outcomes=$(grep -F '"event":"outcome"' "$work/loop.jsonl")
check "after the board in progress" "1101 1102" "$(field serial <<<"$outcomes" | xargs)"
check "which was updated, and its record spooled" "true record-spooled 4" \
  "$(tail -1 <<<"$outcomes" | field updated) $(tail -1 <<<"$outcomes" | field failure) $(
    tail -1 <<<"$outcomes" | field exit_code)"
check "the board holds its number" "1102" "$(serial_in "$work/loop")"
spool=$(echo "$XDG_STATE_HOME"/korvane/spool-*.jsonl)
check "its run waits in the spool" "1 1102" "$(wc -l <"$spool") $(field serial <"$spool")"
check "the loop names the spool" "yes" \
  "$(grep -q -F "record waits in $spool" "$work/loop.err" && echo yes)"

# While the database is away, a station sends nothing to any board, in one sentence.
memory() { cat "$work"/station-1/*/*.bin | sha256sum; }
before=$(memory)
check "a station started without the database: exit 4" "4" \
  "$(exit_of "$cli" update "$fw" "${numbered[@]}" --emulated-devices 25 --all \
    --emulated-state "$work/station-1" 2>"$work/away.err")"
check "in one sentence" "1 1" "$(wc -l <"$work/away.err") $(grep -c 'cannot be reached' "$work/away.err")"
check "and its boards are as they were" "$before" "$(memory)"
check "the spool is kept" "1" "$(wc -l <"$spool")"

# The next start sends the spool before any board, once; a copy sent again changes nothing.
pg_server_restart
cp "$spool" "$work/spool-copy.jsonl"
verify=(verify "$fw" --eeprom --serial-at 0xF000F0 --db "$station" --emulated --emulated-state
  "$work/loop")
"$cli" "${verify[@]}" >/dev/null 2>"$work/next.err"
check "the next start sends the spool" "1" "$(grep -c '1 run that waited in' "$work/next.err")"
check "and removes it" "no" "$([ -e "$spool" ] && echo yes || echo no)"
check "the spooled board's run is finished" "finished|t" \
  "$(pg_sql "SELECT state, success FROM korvane_runs WHERE series = 'line-a' AND serial = 1102")"
"$cli" "${verify[@]}" >/dev/null 2>"$work/again.err"
check "and only once" "0" "$(grep -c 'waited in' "$work/again.err")"
rows=$(pg_sql "SELECT count(*) FROM korvane_runs")
cp "$work/spool-copy.jsonl" "$spool"
"$cli" reset --db "$station" --emulated --emulated-state "$work/loop" >/dev/null 2>&1
check "a spool sent twice adds no run" "$((rows + 1)) finished" \
  "$(pg_sql "SELECT count(*) FROM korvane_runs") $(pg_sql "SELECT state FROM korvane_runs
     WHERE series = 'line-a' AND serial = 1102")"

# history --serial: every run of the board, newest first, serial numbers as strings.
board=$(serial_in "$work/station-2/7")
"$cli" verify "$fw" --eeprom --serial-at 0xF000F0 --db "$station" --emulated-devices 25 \
  --device emulated-7 --emulated-state "$work/station-2" >/dev/null 2>&1
runs=$("$cli" history --db "$station" --serial "$board" --json)
check "history finds the board's update and verify" "verify update" \
  "$(field command <<<"$runs" | xargs)"
check "serial as a string" "2" "$(grep -c "\"serial\":\"$board\"" <<<"$runs")"
check "--since in the future finds nothing" "" \
  "$(KORVANE_DB=$station "$cli" history --since 2999-01-01 2>/dev/null)"

if [ "$failures" -ne 0 ]; then
  echo "$failures record database check(s) failed"
  exit 1
fi
echo "record database: all checks passed"
