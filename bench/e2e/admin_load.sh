#!/usr/bin/env bash
# The admin endpoint under load, on the real server (console mode, no central database,
# a data pipe client following every record).
#
#   bench/e2e/admin_load.sh scrape [BUILD_DIR] [TERMINALS] [SCRAPES]   (build 19000 5)
#     TERMINALS telvarosim terminals connect, hand-shake and stay; then /metrics and
#     /terminals are each fetched SCRAPES times, printing the time and size of each.
#
#   bench/e2e/admin_load.sh cpu [BUILD_DIR] [TERMINALS] [ROUNDS] [SECONDS]
#                                                               (build 10000 3 60)
#     TERMINALS terminals send one frame of five records every five seconds each; the
#     server runs ROUNDS times with the endpoint and its metrics on and as often with
#     them off ([Http] Port=0), alternating, and prints the server's CPU seconds over
#     SECONDS of steady traffic in each run, then the mean of each.
set -euo pipefail

mode=${1:?scrape or cpu}
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${2:-$root/build}" && pwd)
server=$build/shell/telvaroserver
sim=$build/tools/telvarosim
ctl=$build/tools/telvaroctl
if [ "$mode" = scrape ]; then
  terminals=${3:-19000}
  scrapes=${4:-5}
else
  terminals=${3:-10000}
  rounds=${4:-3}
  seconds=${5:-60}
fi

want=$((terminals + 512))
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$want" -gt "$hard" ]; then
  echo "admin_load: descriptor limit $hard is below the $want wanted; using $hard" >&2
  want=$hard
fi
ulimit -n "$want"

home=$(mktemp -d /tmp/telvaro-admin-load.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  rm -rf "$home"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
http=$(free_port)

# Polls `grep -c PATTERN log` until it reaches COUNT.
wait_lines() {
  local pattern=$1 count=$2 limit=$((SECONDS + 300))
  until [ "$(grep -c -- "$pattern" "$home/server.log" || true)" -ge "$count" ]; do
    [ $SECONDS -lt $limit ] || { echo "gave up waiting for $count x '$pattern'" >&2; exit 1; }
    sleep 0.05
  done
}

# Starts the server with the admin endpoint at HTTP_PORT (0: off), a tail client and
# the terminals; sets server_pid.
start() {
  local http_port=$1 rate=$2
  printf '[Server]\nPort=%s\nPipeDir=%s\n[DB]\nNoBase=1\n[Http]\nPort=%s\n' "$port" "$home" "$http_port" \
    >"$home/telvaroserver.ini"
  : >"$home/server.log"
  "$server" --console --home "$home" >"$home/server.log" 2>"$home/server.err" &
  server_pid=$!
  pids+=("$server_pid")
  wait_lines "^Server started successfully at " 1
  "$ctl" --home "$home" tail >/dev/null 2>&1 &
  tail_pid=$!
  pids+=("$tail_pid")
  "$sim" --port "$port" -n "$terminals" --records 5 --rate "$rate" --duration 36000 --threads 2 \
    >"$home/sim.log" 2>&1 &
  sim_pid=$!
  pids+=("$sim_pid")
  wait_lines " Хендшейк$" "$terminals"
}

stop() {
  kill "$sim_pid" "$tail_pid" 2>/dev/null || true
  wait "$sim_pid" "$tail_pid" 2>/dev/null || true
  kill -TERM "$server_pid"
  wait "$server_pid" || true
}

# User and system CPU seconds of a process.
cpu() { awk -v t="$(getconf CLK_TCK)" '{ sub(/.*\) /, ""); printf "%.2f", ($12 + $13) / t }' "/proc/$1/stat"; }

if [ "$mode" = scrape ]; then
  start "$http" 0
  echo "connected: $terminals terminals"
  for path in /metrics /terminals; do
    for _ in $(seq "$scrapes"); do
      curl -s -o /dev/null -w "$path: %{http_code} %{time_total} s %{size_download} bytes\n" "http://127.0.0.1:$http$path"
    done
  done
  echo "server: $(cpu "$server_pid") CPU s, $(awk '/VmRSS/ { print $2, $3 }' "/proc/$server_pid/status") resident"
  stop
  exit 0
fi

on_total=0
off_total=0
for round in $(seq "$rounds"); do
  for setting in on off; do
    if [ "$setting" = on ]; then start "$http" 0.2; else start 0 0.2; fi
    sleep 5  # past the connection storm
    before=$(cpu "$server_pid")
    sleep "$seconds"
    after=$(cpu "$server_pid")
    used=$(echo "$after - $before" | bc)
    echo "round $round, metrics $setting: $used CPU s in $seconds s"
    if [ "$setting" = on ]; then on_total=$(echo "$on_total + $used" | bc); else off_total=$(echo "$off_total + $used" | bc); fi
    stop
  done
done
echo "mean CPU s, metrics on: $(echo "scale=2; $on_total / $rounds" | bc), off: $(echo "scale=2; $off_total / $rounds" | bc)"
