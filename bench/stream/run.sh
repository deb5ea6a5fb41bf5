#!/usr/bin/env bash
# The record stream under load, with a throw-away PostgreSQL and nats-server of its own.
#
#   bash bench/stream/run.sh rate RATE [SECONDS] [BUILD]   records/s offered by telvarosim,
#        through one server into PostgreSQL: first on the writer's own queue, then through
#        JetStream; prints, for each path, the records sent and written and the time until
#        the last was written
#   bash bench/stream/run.sh delay RATE [SECONDS] [BUILD]  the delay from a record's decoding to
#        its arrival at a stream consumer (stream_probe), at RATE records/s
#   bash bench/stream/run.sh crash [SECONDS] [BUILD]       two servers on the stream under
#        traffic; nats-server is killed (SIGKILL) and started again, one server is killed
#        (SIGKILL) and started again; then every terminal's data-frame records in the stream
#        must be in the central table exactly as many times as they make distinct rows
#
# Terminals are telvarosim's: 100 terminals, 1 record per frame (records of one
# terminal in one second would make one row), RATE/100 frames a second each.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
mode=${1:?usage: run.sh rate|delay RATE [SECONDS] [BUILD] or run.sh crash [SECONDS] [BUILD]}
shift
rate=100
[ "$mode" != crash ] && { rate=${1:?RATE}; shift; }
seconds=${1:-20}
build=$(cd "${2:-$root/build}" && pwd)
server=$build/shell/telvaroserver
sim=$build/tools/telvarosim
probe=$build/bench/stream/stream_probe
for p in "$server" "$sim" "$probe"; do
  [ -x "$p" ] || { echo "stream bench: $p is missing; build first" >&2; exit 2; }
done
psql=$(command -v psql || echo /usr/lib/postgresql/15/bin/psql)

work=$(mktemp -d /tmp/telvaro-streambench.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
  [ -n "${TELVARO_NATS_DIR:-}" ] && bash "$root/scripts/nats-test.sh" stop 2>/dev/null
  [ -n "${TELVARO_PG_DIR:-}" ] && bash "$root/scripts/pg-test.sh" stop >/dev/null 2>&1
  if [ "${KEEP:-0}" = 1 ]; then echo "stream bench: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

eval "$(bash "$root/scripts/pg-test.sh" start 2>/dev/null)" || { echo "stream bench: no PostgreSQL" >&2; exit 1; }
eval "$(bash "$root/scripts/nats-test.sh" start 2>/dev/null)" || { echo "stream bench: no nats-server" >&2; exit 1; }

free_port() {
  perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport'
}
rows() { "$psql" -X -A -t -d "$TELVARO_TEST_PG" -c "SELECT count(*) FROM mobiles" | tr -d ' '; }
metric() { curl -s "http://127.0.0.1:$1/metrics" | awk -v m="$2" '$1 == m { print $2 }'; }

# make_home NAME STREAM(0|1): a program directory; prints "PORT HTTP".
make_home() {
  local home=$work/$1 port http
  port=$(free_port)
  http=$(free_port)
  mkdir -p "$home"
  cat >"$home/telvaroserver.ini" <<EOF
[Server]
Port=$port
PipeDir=$work
PipeChannel=
CmdChannel=Cmd$1
IOThreads=1
ReconInterval=0
[DB]
NoBase=0
Provider=$TELVARO_TEST_PG
ReconnectSec=1
[Http]
Port=$http
[Stream]
Url=$([ "$2" = 1 ] && echo "$TELVARO_TEST_NATS")
EOF
  echo "$port $http"
}

# start_server NAME: runs it in the background; its PID in server_pid.
start_server() {
  local log=$work/$1.log
  "$server" --console --home "$work/$1" >>"$log" 2>&1 &
  server_pid=$!
  pids+=("$server_pid")
  for _ in $(seq 1 500); do
    grep -q '^Server started successfully at ' "$log" && return 0
    sleep 0.02
  done
  echo "stream bench: $1 did not start" >&2
  cat "$log" >&2
  exit 1
}

# run_sim PORT IMEI RATE SECONDS: 100 terminals from IMEI; prints the records sent.
run_sim() {
  "$sim" --port "$1" --imei "$2" -n 100 --records 1 --rate "$(echo "$3 / 100" | bc -l)" --duration "$4" \
    --connect-rate 500 2>&1 | sed -n 's/.*(\([0-9]*\) records).*/\1/p'
}

# wait_written HTTP TARGET: until the server has written TARGET records (or 60 s without
# progress); prints the last count.
wait_written() {
  local last=-1 same=0 n
  while :; do
    n=$(metric "$1" telvaro_db_records_written_total)
    n=${n:-0}
    [ "${n%.*}" -ge "$2" ] && break
    if [ "$n" = "$last" ]; then same=$((same + 1)); else same=0; fi
    [ "$same" -ge 600 ] && break
    last=$n
    sleep 0.1
  done
  echo "${n%.*}"
}

rate_path() {  # rate_path NAME STREAM
  local p h t0 sent written t1
  read -r p h < <(make_home "$1" "$2")
  start_server "$1"
  t0=$(date +%s.%N)
  sent=$(run_sim "$p" $((350000000000000 + $2 * 1000)) "$rate" "$seconds")
  written=$(wait_written "$h" "$sent")
  t1=$(date +%s.%N)
  printf '%-6s offered %s records/s for %s s: sent %s, written %s, %.0f records/s end to end (%.1f s)\n' \
    "$1" "$rate" "$seconds" "$sent" "$written" "$(echo "$written / ($t1 - $t0)" | bc -l)" "$(echo "$t1 - $t0" | bc -l)"
  kill -TERM "$server_pid"
  wait "$server_pid" 2>/dev/null
}

case "$mode" in
  rate)
    rate_path queue 0
    rate_path stream 1
    ;;
  delay)
    read -r p h < <(make_home one 1)
    start_server one
    run_sim "$p" 350000000000000 "$rate" $((seconds + 4)) >/dev/null &
    sim_pid=$!
    pids+=("$sim_pid")
    sleep 2
    echo "delay at $rate records/s: $("$probe" delay "$TELVARO_TEST_NATS" "$seconds")"
    wait "$sim_pid"
    ;;
  crash)
    read -r pa ha < <(make_home a 1)
    read -r pb hb < <(make_home b 1)
    start_server a
    a_pid=$server_pid
    start_server b
    run_sim "$pa" 351000000000000 "$rate" "$seconds" >"$work/sim-a.txt" &
    sim_a=$!
    run_sim "$pb" 352000000000000 "$rate" "$seconds" >"$work/sim-b.txt" &
    sim_b=$!
    sleep $((seconds / 4))
    echo "crash: nats-server killed"
    kill -KILL "$(cat "$TELVARO_NATS_DIR/pid")"
    sleep 2
    bash "$root/scripts/nats-test.sh" again 2>/dev/null
    echo "crash: nats-server started again"
    sleep $((seconds / 4))
    echo "crash: server a killed"
    kill -KILL "$a_pid"
    wait "$a_pid" 2>/dev/null
    start_server a
    echo "crash: server a started again"
    wait "$sim_a" "$sim_b"
    echo "crash: terminals sent $(cat "$work/sim-a.txt") and $(cat "$work/sim-b.txt") records (a's include those refused while it was down)"
    # Until both writers have been idle for 3 s after the acknowledgement wait.
    sleep 35
    last=-1
    while :; do
      n=$(rows)
      [ "$n" = "$last" ] && break
      last=$n
      sleep 3
    done
    "$probe" keys "$TELVARO_TEST_NATS" | sort >"$work/stream-keys.txt"
    "$psql" -X -A -t -F ' ' -d "$TELVARO_TEST_PG" -c "SELECT id, count(*) FROM mobiles GROUP BY id" | sort >"$work/db-keys.txt"
    in_stream=$(awk '{ s += $2 } END { print s + 0 }' "$work/stream-keys.txt")
    in_db=$(awk '{ s += $2 } END { print s + 0 }' "$work/db-keys.txt")
    dup=$("$psql" -X -A -t -d "$TELVARO_TEST_PG" -c \
      "SELECT count(*) FROM (SELECT 1 FROM mobiles GROUP BY id, utcdate, a_event HAVING count(*) > 1) d")
    echo "crash: rows the stream's records make: $in_stream; rows in the database: $in_db; keys twice: $dup"
    echo "crash: log lines: $(grep -h -c -E '^Stream (disconnected|reconnected)' "$work/a.log" "$work/b.log" | paste -sd+ | bc) on loss and return"
    if diff "$work/stream-keys.txt" "$work/db-keys.txt" >/dev/null && [ "$dup" = 0 ]; then
      echo "crash: PASS every record the stream holds is in the database once"
    else
      echo "crash: FAIL"
      diff "$work/stream-keys.txt" "$work/db-keys.txt" | head -20
      exit 1
    fi
    ;;
  *) echo "unknown mode $mode" >&2; exit 2 ;;
esac
