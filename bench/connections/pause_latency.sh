#!/usr/bin/env bash
# The command pause under record traffic: one terminal sends a frame of ten records a
# second for 30 s while a 20 KB upload is queued for it (DelayBeforeCmd 2000 ms), against
# the real server in a program directory of its own. Prints what
# connections_pause_latency measured: records delivered, the delay from a frame's write
# to its records on the data pipe, and the writes of each upload block.
#
#   bench/connections/pause_latency.sh [BUILD_DIR] [SECONDS]     (defaults: build 30)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
seconds=${2:-30}

home=$(mktemp -d /tmp/telvaro-pause.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT

port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport')
printf '[Server]\nPort=%s\nPipeDir=%s\nDelayBeforeCmd=2000\nBLK_SIZE=1024\n[DB]\nNoBase=1\n' "$port" "$home" \
  >"$home/telvaroserver.ini"
"$build/shell/telvaroserver" --console --home "$home" >"$home/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 500); do
  grep -q "^Server started successfully at " "$home/server.log" && break
  sleep 0.01
done
"$build/bench/connections/connections_pause_latency" --home "$home" --port "$port" --seconds "$seconds"
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=
echo "server: $(grep -c '^Command for ' "$home/server.log") command writes logged, $(grep -c '^Exception when sending' "$home/server.log") failed"
