# A throw-away PostgreSQL 15 for the tests and benchmarks of the record database; sourced.
#
#   pg_server_start   initdb in a new temporary folder and start the server there: a Unix socket
#                     in that folder, no TCP port; as the user postgres when run as root (the
#                     server refuses root). Sets PG_DIR and PG_ADMIN (a connection string of the
#                     superuser korvane, database korvane). Stops and removes it all at exit.
#   pg_server_stop    stop it (the folder stays, for pg_server_restart)
#   pg_server_restart start it again on the same folder
#   pg_sql SQL        run SQL as the superuser, print the rows unaligned without headers

pg_bin=/usr/lib/postgresql/15/bin

pg_as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    (cd "$PG_DIR" && runuser -u postgres -- "$@")
  else
    (cd "$PG_DIR" && "$@")
  fi
}

pg_server_cleanup() {
  if [ -n "${PG_DIR:-}" ] && [ -d "$PG_DIR" ]; then
    if [ -f "$PG_DIR/data/postmaster.pid" ]; then
      pg_as_owner "$pg_bin/pg_ctl" -D "$PG_DIR/data" -m immediate -w stop >/dev/null 2>&1 || true
    fi
    rm -rf "$PG_DIR"
  fi
}

pg_server_restart() {
  pg_as_owner "$pg_bin/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w -t 60 \
    -o "-c listen_addresses='' -k $PG_DIR" start >/dev/null
}

pg_server_stop() {
  pg_as_owner "$pg_bin/pg_ctl" -D "$PG_DIR/data" -m fast -w -t 60 stop >/dev/null
}

pg_server_start() {
  PG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/korvane-pg.XXXXXX")
  trap pg_server_cleanup EXIT
  if [ "$(id -u)" -eq 0 ]; then
    chown postgres: "$PG_DIR"
  fi
  pg_as_owner "$pg_bin/initdb" -D "$PG_DIR/data" -U korvane --auth=trust -E UTF8 --no-locale \
    >"$PG_DIR/initdb.log"
  pg_server_restart
  PG_ADMIN="host=$PG_DIR user=korvane dbname=postgres"
  "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -d "$PG_ADMIN" -c "CREATE DATABASE korvane" >/dev/null
  PG_ADMIN="host=$PG_DIR user=korvane dbname=korvane"
}

pg_sql() {
  "$pg_bin/psql" -X -q -A -t -v ON_ERROR_STOP=1 -d "$PG_ADMIN" -c "$1"
}
