#!/usr/bin/env bash
# Start-up and shutdown of the real server with many terminals connected.
#
#   bench/e2e/startstop.sh [BUILD_DIR] [TERMINALS]     (defaults: build 1000)
#
# Runs telvaroserver in console mode in a program directory of its own (no central
# database, default pipes in that directory, a free port), and prints:
#   - start-up: from starting the process to its "Server started successfully at " line;
#   - shutdown: from SIGTERM, with TERMINALS telvarosim terminals connected and sending
#     one frame of ten records a second each, to the end of the process;
# then the exit status and the number of "Thread ended with " lines.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
terminals=${2:-1000}
server=$build/shell/telvaroserver
sim=$build/tools/telvarosim

# Each terminal is a descriptor on both sides; the soft limit can rise only to the hard one.
want=$((terminals * 2 + 256))
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$want" -gt "$hard" ]; then
  echo "startstop: descriptor limit $hard is below the $want wanted; using $hard" >&2
  want=$hard
fi
ulimit -n "$want"

home=$(mktemp -d /tmp/telvaro-startstop.XXXXXX)
sim_pid=
server_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])')
printf '[Server]\nPort=%s\nPipeDir=%s\n[DB]\nNoBase=1\n' "$port" "$home" >"$home/telvaroserver.ini"

now() { date +%s%N; }
ms() { echo $((($2 - $1) / 1000000)); }

# Polls `grep -c PATTERN log` until it reaches COUNT.
wait_lines() {
  local pattern=$1 count=$2 limit=$((SECONDS + 120))
  until [ "$(grep -c -- "$pattern" "$home/server.log" || true)" -ge "$count" ]; do
    [ $SECONDS -lt $limit ] || { echo "gave up waiting for $count x '$pattern'" >&2; exit 1; }
    sleep 0.005
  done
}

t0=$(now)
"$server" --console --home "$home" >"$home/server.log" 2>"$home/server.err" &
server_pid=$!
wait_lines "^Server started successfully at " 1
t1=$(now)
echo "start-up: $(ms "$t0" "$t1") ms to \"Server started successfully at \""

"$sim" --port "$port" -n "$terminals" --rate 1 --duration 3600 --threads 2 >"$home/sim.log" 2>&1 &
sim_pid=$!
wait_lines " Хендшейк$" "$terminals"
sleep 2  # let the terminals send their frames for a while
echo "connected: $terminals terminals"

t2=$(now)
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
t3=$(now)
server_pid=
echo "shutdown: $(ms "$t2" "$t3") ms from SIGTERM to the end of the process, exit status $status"
echo "\"Thread ended with \" lines: $(grep -c '^Thread ended with ' "$home/server.log" || true)"
echo "socket files left: $(find "$home" -type s | wc -l)"
wait "$sim_pid" || true
sim_pid=
sed -n 1p "$home/sim.log"
