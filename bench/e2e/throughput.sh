#!/usr/bin/env bash
# End-to-end throughput: records from simulated terminals through the real server to two
# data pipe clients, with nothing lost.
#
#   bench/e2e/throughput.sh [BUILD_DIR] RATE [SECONDS] [TERMINALS]
#                                 (defaults: build, 60 s, 10000 terminals)
#
# Runs telvaroserver (no central database, its console through a filter that drops the
# record lines, into a log file) in a program directory of its own, two pipe_count
# clients on its data pipe, and telvarosim with TERMINALS terminals sending frames of
# ten records, RATE records a second in all. The terminals connect first (CONNECT_RATE
# a second); then SECONDS of steady load are measured; then the simulator stops, the
# clients read what is left on the pipe, and everything is stopped. Prints the records
# sent and received by each client, what each lost, the delay from the server's stamp
# to the client (p50/p99/max), the CPU of the server, the simulator, the clients and of
# everything else on the machine during the steady window, the busiest server threads,
# the load average, and whether a client was disconnected. Exit status 0 only when no
# client lost a record.
#
# With DB_PROVIDER (a [DB] Provider: a libpq connection string such as TELVARO_TEST_PG
# of scripts/pg-test.sh, or an ODBC one such as its TELVARO_TEST_ODBC; the string's own
# login is used) the server also stores every data record in that central database: the run then samples the writer's queue every second through the metrics
# endpoint, waits for it to empty after the simulator stops, and prints the records
# written against those sent and the queue in the steady window (its length over the
# rate is the database lag). The exit status then also requires every record written.
#
# Environment: SERVER (another telvaroserver binary, such as an older build), IO_THREADS
# (the server's IOThreads, default 0: one per core), PIPE_QUEUE_LIMIT (the server's
# PipeQueueLimit, bytes queued per pipe client; default the server's), SIM_THREADS (default 2),
# CONNECT_RATE (default 1000), KEEP=1 keeps the program directory and names it.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
if [ $# -ge 2 ] && [ -d "$1" ]; then
  build=$(cd "$1" && pwd)
  shift
else
  build=$root/build
fi
[ $# -ge 1 ] || { echo "usage: $0 [BUILD_DIR] RATE [SECONDS] [TERMINALS]" >&2; exit 2; }
rate=$1
seconds=${2:-60}
terminals=${3:-10000}
server=${SERVER:-$build/shell/telvaroserver}
sim=$build/tools/telvarosim
client=$build/bench/e2e/pipe_count
io_threads=${IO_THREADS:-0}
sim_threads=${SIM_THREADS:-2}
connect_rate=${CONNECT_RATE:-1000}
records_per_frame=10
frame_rate=$(awk -v r="$rate" -v n="$terminals" -v k="$records_per_frame" 'BEGIN { printf "%.6f", r / (k * n) }')

# The server and the simulator each hold a descriptor per terminal; the soft limit can
# rise only to the hard one.
want=$((terminals + 1024))
hard=$(ulimit -Hn)
if [ "$hard" != unlimited ] && [ "$want" -gt "$hard" ]; then
  echo "throughput: descriptor limit $hard is below the $want wanted; using $hard" >&2
  want=$hard
fi
ulimit -n "$want"

home=$(mktemp -d /tmp/telvaro-throughput.XXXXXX)
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  if [ "${KEEP:-0}" = 1 ]; then echo "kept $home" >&2; else rm -rf "$home"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
db=${DB_PROVIDER:-}
http_port=0
[ -z "$db" ] || http_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
# No periodic restart of the data pipe (it would drop the clients); the HTTP endpoint
# only for the database's metrics.
{
  printf '[Server]\nPort=%s\nPipeDir=%s\nReconInterval=0\nIOThreads=%s\n' "$port" "$home" "$io_threads"
  [ -z "${PIPE_QUEUE_LIMIT:-}" ] || printf 'PipeQueueLimit=%s\n' "$PIPE_QUEUE_LIMIT"
  if [ -n "$db" ]; then printf '[DB]\nProvider=%s\nWinAuth=1\n' "$db"; else printf '[DB]\nNoBase=1\n'; fi
  printf '[Http]\nPort=%s\n' "$http_port"
} >"$home/telvaroserver.ini"
# One value of the server's metrics.
metric() { curl -s --max-time 5 "http://127.0.0.1:$http_port/metrics" | awk -v n="$1" '$1 == n { print $2 }'; }

# Polls until FILE holds a line matching PATTERN.
wait_for() {
  local file=$1 pattern=$2 limit=$((SECONDS + 60))
  until grep -q -- "$pattern" "$file" 2>/dev/null; do
    [ $SECONDS -lt $limit ] || { echo "throughput: gave up waiting for '$pattern' in $file" >&2; exit 1; }
    sleep 0.05
  done
}

# The server's record lines are dropped before they reach the file; the rest is kept.
mkfifo "$home/console"
LC_ALL=C grep --line-buffered -v '^ID=' <"$home/console" >"$home/server.log" &
filter_pid=$!
pids+=("$filter_pid")
"$server" --console --home "$home" >"$home/console" 2>"$home/server.err" &
server_pid=$!
pids+=("$server_pid")
wait_for "$home/server.log" "^Server started successfully at "

client_pids=()
for c in 1 2; do
  "$client" "$home/TelvaroPipe" >"$home/client$c.log" 2>&1 &
  client_pids+=($!)
  pids+=($!)
  wait_for "$home/client$c.log" "^pipe_count: connected"
done

# The simulator's terminals each stay for `duration` from their handshake: long enough
# that the first one is still sending when the measured window ends.
ramp=$(((terminals + connect_rate - 1) / connect_rate))
settle=3
duration=$((ramp + settle + seconds + 2))
"$sim" --port "$port" -n "$terminals" --records "$records_per_frame" --rate "$frame_rate" --duration "$duration" \
  --threads "$sim_threads" --connect-rate "$connect_rate" >"$home/sim.log" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")

hz=$(getconf CLK_TCK)
# Records a client has received, as of its last line a second.
received() { sed -n 's/.* \([0-9]*\) in all$/\1/p' "$1" | tail -1; }
# utime + stime of a process or thread, in clock ticks.
ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$1" 2>/dev/null || echo 0; }
# Busy ticks of the whole machine (all but idle and iowait).
busy() { awk '/^cpu / { print $2 + $3 + $4 + $7 + $8 + $9 }' /proc/stat; }
threads_snapshot() {
  local t
  for t in /proc/"$server_pid"/task/*; do echo "${t##*/} $(ticks "$t/stat")"; done
}

sleep $((ramp + settle))
w0=$(date +%s.%N)
s0=$(ticks /proc/$server_pid/stat)
m0=$(ticks /proc/$sim_pid/stat)
c0=$(($(ticks /proc/${client_pids[0]}/stat) + $(ticks /proc/${client_pids[1]}/stat)))
f0=$(ticks /proc/$filter_pid/stat)
b0=$(busy)
threads_snapshot >"$home/threads0"
r0=$(received "$home/client1.log")
if [ -n "$db" ]; then
  while :; do metric telvaro_db_queue_length; sleep 1; done >"$home/dbqueue" &
  sampler_pid=$!
  pids+=("$sampler_pid")
fi
sleep "$seconds"
[ -z "$db" ] || kill "$sampler_pid" 2>/dev/null || true
w1=$(date +%s.%N)
s1=$(ticks /proc/$server_pid/stat)
m1=$(ticks /proc/$sim_pid/stat)
# A client the server disconnected has ended: its time is not known then.
clients_alive=1
for p in "${client_pids[@]}"; do [ -e "/proc/$p/stat" ] || clients_alive=0; done
c1=$(($(ticks /proc/${client_pids[0]}/stat) + $(ticks /proc/${client_pids[1]}/stat)))
[ "$clients_alive" = 1 ] || c1=$c0
f1=$(ticks /proc/$filter_pid/stat)
b1=$(busy)
threads_snapshot >"$home/threads1"
r1=$(received "$home/client1.log")
load=$(cut -d' ' -f1-3 /proc/loadavg)

sim_status=0
wait "$sim_pid" || sim_status=$?

# The pipe is drained when each client has every record sent, or has received nothing
# new for three seconds.
sent=$(sed -n 's/^sent: [0-9]* AVL frames (\([0-9]*\) records).*/\1/p' "$home/sim.log")
sent=${sent:-0}
last=
still=0
while [ $still -lt 3 ]; do
  now="$(received "$home/client1.log") $(received "$home/client2.log")"
  read -r a b <<<"$now"
  [ "${a:-0}" -ge "$sent" ] && [ "${b:-0}" -ge "$sent" ] && break
  if [ "$now" = "$last" ]; then still=$((still + 1)); else still=0; fi
  last=$now
  sleep 1
done

# The database's queue empties after the load; then every record should be written.
if [ -n "$db" ]; then
  drain_start=$SECONDS
  until [ "$(metric telvaro_db_queue_length)" = 0 ] || [ $((SECONDS - drain_start)) -ge 300 ]; do sleep 1; done
  drained=$((SECONDS - drain_start))
  written=$(metric telvaro_db_records_written_total)
  dropped=$(metric telvaro_db_records_dropped_total)
fi

# Disconnects before the clients are stopped; their own stop adds two lines.
early_disconnects=$(grep -c '^Client disconnected' "$home/server.log" || true)
# Stops a process with SIGTERM, and with SIGKILL when it is still there after 30 s.
stop() {
  local i
  kill -TERM "$1" 2>/dev/null || return 0
  for i in $(seq 300); do
    kill -0 "$1" 2>/dev/null || return 0
    sleep 0.1
  done
  echo "throughput: process $1 did not stop on SIGTERM; killed" >&2
  kill -KILL "$1" 2>/dev/null || true
}
for p in "${client_pids[@]}"; do stop "$p"; done
for p in "${client_pids[@]}"; do wait "$p" || true; done
stop "$server_pid"
server_status=0
wait "$server_pid" || server_status=$?
wait "$filter_pid" || true

span=$(awk -v a="$w0" -v b="$w1" 'BEGIN { print b - a }')
pct() { awk -v t="$1" -v hz="$hz" -v s="$span" 'BEGIN { printf "%.0f", 100 * t / hz / s }'; }
# Per record offered: in a run with nothing lost the server handled them all.
server_cpu=$((s1 - s0))
others=$(((b1 - b0) - server_cpu - (m1 - m0) - (c1 - c0) - (f1 - f0)))

echo "offered: $rate records/s from $terminals terminals ($frame_rate frames/s each, $records_per_frame records a frame), steady window $span s"
echo "sim: $(sed -n 1p "$home/sim.log")"
echo "sim: $(sed -n 's/^elapsed //p' "$home/sim.log"), exit status $sim_status"
echo "records sent by the sim: $sent; client 1 received $(awk -v a="${r0:-0}" -v b="${r1:-0}" -v s="$span" 'BEGIN { printf "%.0f", (b - a) / s }') records/s in the steady window"
lost_any=0
for c in 1 2; do
  sum=$(grep '^summary ' "$home/client$c.log" || true)
  [ -n "$sum" ] || { echo "throughput: client $c printed no summary" >&2; cat "$home/client$c.log" >&2; exit 1; }
  got=$(sed 's/.* records=\([0-9]*\).*/\1/' <<<"$sum")
  lost=$((sent - got))
  [ "$lost" -le 0 ] || lost_any=1
  echo "client $c: received $got, lost $lost; delay $(sed 's/.* p50_ms=\([^ ]*\) p99_ms=\([^ ]*\) max_ms=\([^ ]*\) closed=\(.\)/p50 \1 ms, p99 \2 ms, max \3 ms; pipe closed by the server: \4/' <<<"$sum")"
done
echo "server CPU in the steady window: $(pct "$server_cpu")% of one core; $(awk -v t="$server_cpu" -v hz="$hz" -v s="$span" -v r="$rate" 'BEGIN { printf "%.3f", t / hz / s / (r / 100000) }') CPU-seconds per 100k records"
echo "simulator CPU: $(pct $((m1 - m0)))%, both clients: $([ "$clients_alive" = 1 ] && echo "$(pct $((c1 - c0)))%" || echo "not known (one ended early)"), log filter: $(pct $((f1 - f0)))%, everything else on the machine: $(pct "$others")% (of one core; $(nproc) cores)"
echo "busiest server threads (id:% of one core): $(join -a1 <(sort "$home/threads1") <(sort "$home/threads0") |
  awk -v hz="$hz" -v s="$span" '{ d = $2 - ($3 == "" ? 0 : $3); if (d > 0) printf "%d %.0f\n", $1, 100 * d / hz / s }' |
  sort -k2,2nr | head -5 | awk '{ printf "%s%s:%s", (NR > 1 ? ", " : ""), $1, $2 }')"
echo "load average at the end of the window: $load"
echo "server exit status $server_status; clients disconnected before the end: $early_disconnects"
grep '^Pipe client .* disconnected' "$home/server.log" | head -3 || true
if [ -n "$db" ]; then
  echo "database: written ${written:-?} of the $sent records sent, dropped ${dropped:-?}; queue emptied ${drained} s after the load"
  echo "database queue in the steady window (records; over the rate, the lag): $(sort -n "$home/dbqueue" |
    awk -v r="$rate" '{ v[NR] = $1 } END { if (NR == 0) { print "no samples"; exit }
      p50 = v[int(NR * 0.5) + (NR * 0.5 > int(NR * 0.5))]; p99 = v[int(NR * 0.99) + (NR * 0.99 > int(NR * 0.99))]
      printf "p50 %d (%.2f s), p99 %d (%.2f s), max %d (%.2f s)", p50, p50 / r, p99, p99 / r, v[NR], v[NR] / r }')"
  [ "${written:-0}" -ge "$sent" ] || lost_any=1
fi
[ "$lost_any" = 0 ]
