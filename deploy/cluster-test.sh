#!/usr/bin/env bash
# Several server instances behind HAProxy on one PostgreSQL task database, on this
# machine and on loopback addresses only, under moving terminals and a killed instance.
#
#   deploy/cluster-test.sh [--quick] [--no-stream] [BUILD_DIR]        (default build/)
#
# Starts a PostgreSQL cluster (scripts/pg-test.sh; or a fresh schema of the database
# TELVARO_TEST_PG names, when set), three telvaroserver instances (each with a program
# directory, terminal, HTTP and pipe ports of its own, [Server] ProxyProtocol=1, the
# shared task database), HAProxy with deploy/haproxy.cfg (its addresses, ports and
# runtime socket replaced), and telvarosim terminals through HAProxy that hang up and
# come back now and then. Then it queues commands for random terminals through random
# instances (command pipe or HTTP POST) while it drains one instance (its terminals
# move to the others as they reconnect) and takes it back, kills another with SIGKILL
# and starts it again after the lease, and finally checks that every command arrived
# exactly once (a second arrival counts apart only where the killed instance died
# between a write and its deletion, as does a command still unread in its pipe).
#
# With nats-server installed (and no --no-stream) the instances also publish every
# record to a JetStream broker of the run's own and write the central database (a
# schema of the same PostgreSQL) from its shared consumer; the broker is killed with
# SIGKILL and started again on its store during the run. At the end every row the
# stream's records make must be in the database, once.
#
# Prints the terminals per instance as HAProxy spread them, the delays, and the
# verdict; exits 0 when nothing was lost or written twice otherwise. --quick is the
# short run of scripts/test.sh: fewer terminals and commands, shorter phases.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
quick=0
stream=1
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1 ;;
    --no-stream) stream=0 ;;
    *) break ;;
  esac
  shift
done
command -v nats-server >/dev/null || stream=0
build=$(cd "${1:-$root/build}" && pwd)
server=$build/shell/telvaroserver
sim=$build/tools/telvarosim
driver=$build/bench/cluster/cluster_driver
probe=$build/bench/stream/stream_probe

if [ "$quick" = 1 ]; then
  terminals=600 commands=1500 rate=60 reconnect=10
else
  terminals=3000 commands=10000 rate=150 reconnect=20
fi
lease=10       # [Tasks] LeaseSec of the instances
# A server without the HTTP endpoint is checked on its terminal port, with a PROXY
# header, and takes commands through its pipe only.
http=0
grep -q '^\[Http\]' "$root/config/telvaroserver.ini" && http=1
pause=100      # [Server] DelayBeforeCmd, ms
first=351000000000000
token=cluster-test

log() { echo "cluster: $*" >&2; }
tools=("$server" "$sim" "$driver")
[ "$stream" = 1 ] && tools+=("$probe")
for tool in "${tools[@]}"; do
  [ -x "$tool" ] || { log "$tool is missing: build first (cmake --build build)"; exit 1; }
done
command -v haproxy >/dev/null || { log "haproxy is not installed (scripts/deps.sh)"; exit 1; }

# Every terminal is a descriptor in the simulator and two in HAProxy.
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d /tmp/telvaro-cluster.XXXXXX)
pids=()
pg_started=0
schema=
ok=0
cleanup() {
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ -n "$schema" ]; then
    # What the instances left in the task database tells a lost command that was never
    # handed out from one that was.
    if [ "$ok" != 1 ]; then
      for table in TASKS TaskHolders TaskInstances; do
        psql_copy "SELECT * FROM $schema.$table" >"$work/$table.csv" || true
      done
    fi
    psql_run "DROP SCHEMA $schema CASCADE" || true
  fi
  if [ -n "${TELVARO_NATS_DIR:-}" ]; then bash "$root/scripts/nats-test.sh" stop 2>/dev/null || true; fi
  if [ "$pg_started" = 1 ]; then bash "$root/scripts/pg-test.sh" stop || true; fi
  if [ "$ok" = 1 ] && [ -z "${CLUSTER_KEEP:-}" ]; then rm -rf "$work"; else log "kept $work for a look"; fi
}
trap cleanup EXIT

free_port() {
  perl -MIO::Socket::INET -e \
    'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport, "\n"'
}
now_ms() { date +%s%3N; }

# HAProxy's runtime API.
hap() {
  perl -MIO::Socket::UNIX -e '
    my $s = IO::Socket::UNIX->new(Peer => $ARGV[0]) or die "runtime socket: $!\n";
    print $s "$ARGV[1]\n";
    print while <$s>;' "$work/haproxy.sock" "$1"
}
# Current connections of each instance, from HAProxy's statistics.
spread() { hap "show stat" | awk -F, '$1 == "telvaro" && $2 ~ /^s[0-9]$/ { printf "%s=%s ", $2, $5 }'; }

# PostgreSQL.
if [ -z "${TELVARO_TEST_PG:-}" ]; then
  eval "$(bash "$root/scripts/pg-test.sh" start)"
  pg_started=1
fi
psql_run() { PGOPTIONS=--client-min-messages=warning psql -X -q -d "$TELVARO_TEST_PG" -c "$1" >/dev/null; }
psql_copy() { psql -X -q -d "$TELVARO_TEST_PG" -c "COPY ($1) TO STDOUT WITH CSV HEADER"; }
schema=telvaro_cluster_$$
psql_run "CREATE SCHEMA $schema"
connection="$TELVARO_TEST_PG options='-csearch_path=$schema'"
rows() { psql -X -A -t -d "$TELVARO_TEST_PG" -c "SELECT count(*) FROM $schema.mobiles" | tr -d ' '; }

# The record stream and the central database it feeds.
db_ini="NoBase=1"
stream_ini=
if [ "$stream" = 1 ]; then
  psql -X -q -v ON_ERROR_STOP=1 -d "$TELVARO_TEST_PG" -c "SET search_path = $schema" \
    -f "$root/db/postgresql.sql" >/dev/null
  eval "$(bash "$root/scripts/nats-test.sh" start 2>/dev/null)"
  [ -n "${TELVARO_TEST_NATS:-}" ] || { log "nats-server did not start"; exit 1; }
  db_ini="NoBase=0
Provider=$connection
ReconnectSec=1"
  stream_ini="Url=$TELVARO_TEST_NATS"
  log "record stream: nats-server at $TELVARO_TEST_NATS, central database in schema $schema"
fi

# The instances.
declare -A tport hport spid
start_instance() {
  local i=$1 home=$work/s$1
  "$server" --console --home "$home" >>"$home/console.log" 2>&1 &
  spid[$i]=$!
  pids+=("${spid[$i]}")
  local limit=$((SECONDS + 60))
  until grep -q "^Server started successfully at " "$home/console.log" 2>/dev/null; do
    kill -0 "${spid[$i]}" 2>/dev/null || { log "instance s$i did not start"; tail "$home/console.log" >&2; exit 1; }
    [ $SECONDS -lt $limit ] || { log "instance s$i did not finish its start-up"; exit 1; }
    sleep 0.1
  done
}
for i in 1 2 3; do
  home=$work/s$i
  mkdir -p "$home"
  cp "$root/config/events.txt" "$home/"
  tport[$i]=$(free_port)
  hport[$i]=$(free_port)
  cat >"$home/telvaroserver.ini" <<INI
[Server]
Port=${tport[$i]}
PipeDir=$home
DelayBeforeCmd=$pause
ProxyProtocol=1
IOThreads=1
ReconInterval=0
LogFile=$home/server.log
[DB]
$db_ini
[Stream]
$stream_ini
[Tasks]
Store=postgresql
Connection=$connection
LeaseSec=$lease
[Http]
Address=127.0.0.1
Port=${hport[$i]}
Token=$token
INI
  start_instance "$i"
done
log "instances: s1 ${tport[1]}/${hport[1]}, s2 ${tport[2]}/${hport[2]}, s3 ${tport[3]}/${hport[3]} (terminal/HTTP ports)"

# HAProxy with the shipped configuration, on this machine's ports.
fport=$(free_port)
# Two descriptors per relayed terminal, within this machine's limit.
maxconn=$((($(ulimit -n) - 200) / 2))
sed -e "s|stats socket [^ ]*|stats socket $work/haproxy.sock|" \
    -e "s|^    maxconn [0-9]*|    maxconn $maxconn|" \
    -e "s|log /dev/log local0|log stdout format raw local0 notice|" \
    -e "s|bind :4001|bind 127.0.0.1:$fport|" \
    -e "s|server s1 .*|server s1 127.0.0.1:${tport[1]} port ${hport[1]}|" \
    -e "s|server s2 .*|server s2 127.0.0.1:${tport[2]} port ${hport[2]}|" \
    -e "s|server s3 .*|server s3 127.0.0.1:${tport[3]} port ${hport[3]}|" \
    "$root/deploy/haproxy.cfg" >"$work/haproxy.cfg"
if [ "$http" = 0 ]; then
  sed -i -e '/option httpchk/d' -e '/http-check/d' -e 's/check port 4002/check check-send-proxy/' \
    -e 's/^\(    server s[0-9] [^ ]*\) port [0-9]*$/\1/' "$work/haproxy.cfg"
fi
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
pids+=($!)
limit=$((SECONDS + 30))
until [ "$(spread 2>/dev/null | grep -c 's3=')" = 1 ] && hap "show servers state telvaro" | awk 'NF > 6 && $1 ~ /^[0-9]+$/ && $6 != 2 { bad = 1 } END { exit bad }'; do
  [ $SECONDS -lt $limit ] || { log "HAProxy did not find the instances healthy"; cat "$work/haproxy.log" >&2; exit 1; }
  sleep 0.5
done

# The terminals.
"$sim" --host 127.0.0.1 --port "$fport" -n "$terminals" --imei "$first" --records 1 --rate 0.5 \
  --duration 3600 --reconnect "$reconnect" --log-commands "$work/received" --threads 2 --connect-rate 500 \
  >"$work/sim.log" 2>&1 &
sim_pid=$!
pids+=("$sim_pid")
limit=$((SECONDS + 60))
while :; do
  connected=$(spread | tr ' ' '\n' | awk -F= '{ n += $2 } END { print n + 0 }')
  [ "$connected" -ge "$terminals" ] && break
  [ $SECONDS -lt $limit ] || { log "only $connected of $terminals terminals connected"; exit 1; }
  sleep 0.5
done
log "terminals per instance as HAProxy spread them: $(spread)"

# Commands through every instance's pipe and HTTP endpoint, while terminals move.
doors=()
for i in 1 2 3; do
  doors+=(--pipe "$work/s$i/CmdPipe")
  if [ "$http" = 1 ]; then doors+=(--http "127.0.0.1:${hport[$i]}"); fi
done
"$driver" queue --log "$work/queued" --failed "$work/failed" --first-imei "$first" --terminals "$terminals" --commands "$commands" \
  --rate "$rate" --token "$token" --seed "$$" "${doors[@]}" >"$work/driver.log" 2>&1 &
driver_pid=$!
pids+=("$driver_pid")
span=$((commands / rate))
step() { sleep "$(awk -v s="$span" -v f="$1" 'BEGIN { print s * f }')"; }

step 0.15
log "draining s1"
hap "set server telvaro/s1 state drain" >/dev/null
step 0.3
hap "set server telvaro/s1 state ready" >/dev/null
log "s1 ready again after draining: $(spread)"
if [ "$stream" = 1 ]; then
  kill -KILL "$(cat "$TELVARO_NATS_DIR/pid")"
  log "killed nats-server with SIGKILL"
  sleep 2
  bash "$root/scripts/nats-test.sh" again 2>/dev/null
  log "nats-server started again on its store"
fi
step 0.1
kill -KILL "${spid[2]}"
{ wait "${spid[2]}"; } 2>/dev/null || true
killed_at=$(now_ms)
log "killed s2 with SIGKILL"
sleep $((lease + 2))
start_instance 2
log "s2 back: $(spread)"

wait "$driver_pid" || { log "the driver failed"; cat "$work/driver.log" >&2; exit 1; }
cat "$work/driver.log" >&2
# Every command should arrive within a few frames of its terminal; the tasks the
# killed instance took wait for its lease.
limit=$((SECONDS + 60))
while [ "$(wc -l <"$work/received")" -lt "$commands" ] && [ $SECONDS -lt $limit ]; do sleep 1; done
sleep 2
log "terminals per instance at the end: $(spread)"
kill -TERM "$sim_pid" 2>/dev/null || true
if [ "$stream" = 1 ]; then
  # The records the killed instance took from the stream come again after the
  # consumer's 30-second acknowledgement wait; then until the table stops growing.
  while [ $(($(now_ms) - killed_at)) -lt 35000 ]; do sleep 1; done
  last=-1
  limit=$((SECONDS + 120))
  while n=$(rows) && [ "$n" != "$last" ] && [ $SECONDS -lt $limit ]; do
    last=$n
    sleep 5
  done
fi
for i in 1 2 3; do kill -TERM "${spid[$i]}" 2>/dev/null || true; done

passed=1
killed_doors=(--killed "$work/s2/CmdPipe")
if [ "$http" = 1 ]; then killed_doors+=(--killed "127.0.0.1:${hport[2]}"); fi
"$driver" check --queued "$work/queued" --received "$work/received" --failed "$work/failed" --pause-ms "$pause" \
  "${killed_doors[@]}" --killed-at "$killed_at" --lease-sec "$lease" || passed=0
if [ "$stream" = 1 ]; then
  # Per terminal: the rows its records in the stream make, against the rows stored.
  "$probe" keys "$TELVARO_TEST_NATS" 2>/dev/null | LC_ALL=C sort >"$work/stream-keys.txt"
  psql -X -A -t -F ' ' -d "$TELVARO_TEST_PG" -c "SELECT id, count(*) FROM $schema.mobiles GROUP BY id" |
    LC_ALL=C sort >"$work/db-keys.txt"
  twice=$(psql -X -A -t -d "$TELVARO_TEST_PG" -c \
    "SELECT count(*) FROM (SELECT 1 FROM $schema.mobiles GROUP BY id, utcdate, a_event HAVING count(*) > 1) d")
  read -r in_stream missing extra < <(LC_ALL=C join -a 1 -a 2 -e 0 -o 0,1.2,2.2 "$work/stream-keys.txt" "$work/db-keys.txt" |
    awk '{ s += $2; if ($2 > $3) m += $2 - $3; else x += $3 - $2 } END { print s + 0, m + 0, x + 0 }')
  echo "stream: rows its records make $in_stream; missing from the database $missing; rows twice $twice;" \
    "rows of records the restarted broker no longer holds $extra"
  [ "$missing" = 0 ] && [ "$twice" = 0 ] && [ "$in_stream" -gt 0 ] || passed=0
fi
if [ "$passed" = 1 ]; then
  ok=1
  log "passed"
else
  log "FAILED"
  exit 1
fi
