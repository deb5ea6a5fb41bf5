#!/usr/bin/env bash
# Shutdown during a database outage: the real server with a central database whose host
# takes connections and never answers (a listener that never accepts), so that the
# database writer's reconnect attempts hang in their login. Prints, for ODBC and for
# libpq, how long the server took from SIGTERM to its end, and its exit status.
#
#   bench/dbwriter/outage_shutdown.sh [BUILD_DIR]     (default: build)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d /tmp/telvaro-outage.XXXXXX)
server_pid=
listener_pid=
cleanup() {
  for pid in $server_pid $listener_pid; do kill -KILL "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

free_port() { perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport'; }
now() { date +%s%N; }

run() {
  local name=$1 provider_of=$2
  local home=$work/$name db port
  mkdir -p "$home"
  db=$(free_port)
  port=$(free_port)
  printf '[Server]\nPort=%s\nPipeDir=%s\n[DB]\nNoBase=0\nProvider=%s\nUser=telvaro\nTimeoutSec=30\nReconnectSec=1\n' \
    "$port" "$home" "$($provider_of "$db")" >"$home/telvaroserver.ini"
  # Nobody listens yet, so that start-up's own login fails at once.
  "$build/shell/telvaroserver" --console --home "$home" >"$home/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 500); do
    grep -q "^Server started successfully at " "$home/server.log" && break
    sleep 0.01
  done
  # The host comes back but never answers: connections wait in the listener's backlog.
  perl -MIO::Socket::INET -e '
    my $l = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => $ARGV[0], Listen => 128, ReuseAddr => 1) or die;
    sleep 600;' "$db" &
  listener_pid=$!
  sleep 3  # a reconnect attempt is under way (every second, each waiting up to 30 s)
  local waiting t0 t1 status
  waiting=$(ss -Htn state established "( dport = :$db )" | wc -l)
  t0=$(now)
  kill -TERM "$server_pid"
  set +e
  wait "$server_pid"
  status=$?
  set -e
  t1=$(now)
  server_pid=
  kill -KILL "$listener_pid" 2>/dev/null || true
  wait "$listener_pid" 2>/dev/null || true
  listener_pid=
  echo "$name: $waiting login(s) waiting for the database; shutdown took $(((t1 - t0) / 1000000)) ms," \
    "exit status $status, $(grep -c '^Thread for DB ended' "$home/server.log") \"Thread for DB ended\" line"
}

odbc() { echo "Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=$1;Database=telvaro"; }
libpq() { echo "host=127.0.0.1 port=$1 dbname=telvaro"; }
run odbc odbc
run libpq libpq
