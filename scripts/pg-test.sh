#!/usr/bin/env bash
# A throw-away PostgreSQL 15 cluster for the central database tests.
#
#   eval "$(scripts/pg-test.sh start)"   starts it and prints the export lines
#   scripts/pg-test.sh stop              stops it and removes its directory
#
# `start` prints exactly three lines on standard output:
#   export TELVARO_TEST_ODBC='...'   the ODBC connection string of the test database
#   export TELVARO_TEST_PG='...'     the libpq connection string of the same database
#   export TELVARO_PG_DIR='...'      the cluster's directory, which `stop` needs
# Everything else goes to standard error. The server runs as the `postgres` user (the
# tests run as root, and PostgreSQL refuses to run as root), listens on 127.0.0.1 at a
# free port and keeps its socket in its own directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=/usr/lib/postgresql/15/bin
driver="PostgreSQL Unicode"
dbname=telvaro

log() { echo "pg-test: $*" >&2; }

as_postgres() {
  if [ "$(id -un)" = postgres ]; then "$@"; else runuser -u postgres -- "$@"; fi
}

# Perl's socket module is in perl-base, which every Debian system has; python3 is not.
free_port() {
  perl -MIO::Socket::INET -e \
    'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport, "\n"'
}

start() {
  [ -x "$bin/initdb" ] || { log "PostgreSQL 15 is not installed ($bin)"; exit 1; }
  odbcinst -q -d -n "$driver" >/dev/null 2>&1 || { log "ODBC driver \"$driver\" is not registered"; exit 1; }

  local dir
  dir=$(mktemp -d /tmp/telvaro-pg.XXXXXX)
  chown postgres: "$dir"
  chmod 0700 "$dir"
  as_postgres "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 ||
    { cat "$dir/initdb.log" >&2; rm -rf "$dir"; exit 1; }

  # A test cluster needs no durability; parallel tests need connections.
  cat >>"$dir/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
fsync = off
synchronous_commit = off
full_page_writes = off
max_connections = 200
CONF

  local port started=0
  for _ in 1 2 3 4 5; do
    port=$(free_port)
    if as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -o "-c port=$port" start >&2; then
      started=1
      break
    fi
    log "could not start on port $port, trying another"
  done
  if [ "$started" != 1 ]; then
    cat "$dir/server.log" >&2 || true
    rm -rf "$dir"
    exit 1
  fi

  # Nobody would stop a server whose start was reported as failed: stop it here.
  if ! as_postgres "$bin/createdb" -h "$dir" -p "$port" -U postgres "$dbname" >&2 ||
    ! as_postgres "$bin/psql" -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres -d "$dbname" \
      -f - <"$root/db/postgresql.sql" >&2; then
    log "could not create the test database"
    as_postgres "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >&2 || true
    rm -rf "$dir"
    exit 1
  fi
  log "PostgreSQL running in $dir on port $port"

  echo "export TELVARO_TEST_ODBC='Driver={$driver};Servername=127.0.0.1;Port=$port;Database=$dbname;Username=postgres;Password=;Protocol=7.4-1;CommLog=0;Debug=0'"
  echo "export TELVARO_TEST_PG='host=127.0.0.1 port=$port dbname=$dbname user=postgres'"
  echo "export TELVARO_PG_DIR='$dir'"
}

stop() {
  local dir=${TELVARO_PG_DIR:-}
  if [ -z "$dir" ] || [ ! -d "$dir/data" ]; then
    log "no test cluster to stop"
    return 0
  fi
  as_postgres "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >&2 || true
  rm -rf "$dir"
  log "stopped and removed $dir"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
