#!/usr/bin/env bash
# A throw-away nats-server with JetStream for the record stream's benchmarks and for
# trying the stream by hand (the stream tests start brokers of their own).
#
#   eval "$(scripts/nats-test.sh start)"   starts it and prints the export lines
#   scripts/nats-test.sh again             starts it again on its port and store, after
#                                          it was killed (an outage in a test run)
#   scripts/nats-test.sh stop              stops it and removes its store
#
# `start` prints exactly two lines on standard output:
#   export TELVARO_TEST_NATS='nats://127.0.0.1:PORT'   the broker's URL
#   export TELVARO_NATS_DIR='...'                      its directory, which `stop` needs
# Everything else goes to standard error. It listens on 127.0.0.1 at a free port and
# keeps its store, log and process ID in its directory.
set -euo pipefail

log() { echo "nats-test: $*" >&2; }

free_port() {
  perl -MIO::Socket::INET -e \
    'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport, "\n"'
}

listening() {
  perl -MIO::Socket::INET -e 'exit(IO::Socket::INET->new(PeerAddr => "127.0.0.1:$ARGV[0]", Proto => "tcp") ? 0 : 1)' "$1"
}

# run DIR PORT: starts nats-server on DIR's store; true once it listens.
run() {
  nats-server -js -a 127.0.0.1 -p "$2" -sd "$1/store" -l "$1/server.log" -P "$1/pid" >/dev/null 2>&1 &
  for _ in $(seq 100); do
    listening "$2" && return 0
    sleep 0.1
  done
  return 1
}

start() {
  command -v nats-server >/dev/null || { log "nats-server is not installed (scripts/deps.sh)"; exit 1; }
  local dir port
  dir=$(mktemp -d /tmp/telvaro-nats.XXXXXX)
  port=$(free_port)
  echo "$port" >"$dir/port"
  if run "$dir" "$port"; then
    log "nats-server running in $dir on port $port"
    echo "export TELVARO_TEST_NATS='nats://127.0.0.1:$port'"
    echo "export TELVARO_NATS_DIR='$dir'"
    return 0
  fi
  log "nats-server did not start"
  cat "$dir/server.log" >&2 || true
  [ -f "$dir/pid" ] && kill "$(cat "$dir/pid")" 2>/dev/null || true
  rm -rf "$dir"
  exit 1
}

again() {
  local dir=${TELVARO_NATS_DIR:-}
  [ -n "$dir" ] && [ -f "$dir/port" ] || { log "TELVARO_NATS_DIR is not set to a broker's directory"; exit 1; }
  run "$dir" "$(cat "$dir/port")" || { log "nats-server did not start again"; exit 1; }
  log "nats-server running again in $dir"
}

stop() {
  local dir=${TELVARO_NATS_DIR:-}
  [ -n "$dir" ] && [ -d "$dir" ] || { log "TELVARO_NATS_DIR is not set to a broker's directory"; exit 1; }
  if [ -f "$dir/pid" ]; then
    local pid
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$dir"
  log "stopped and removed $dir"
}

case "${1:-}" in
  start) start ;;
  again) again ;;
  stop) stop ;;
  *) echo "usage: $0 start|again|stop" >&2; exit 2 ;;
esac
