#!/usr/bin/env bash
# Kills the real server with SIGKILL at random moments under command, upload and record
# traffic, KILLS times, restarting it each time on the same program directory; then lets
# it deliver what is left and checks that
#   - every command and every upload block the server accepted before a kill reached
#     its terminal afterwards;
#   - a command reached its terminal more than once only across a kill (written, then
#     the server killed before the write was booked): such writes are counted;
#   - the task database passes PRAGMA integrity_check after every kill.
#
#   bash bench/crashloop/run.sh [KILLS] [BUILD_DIR]     (defaults: 200 build)
#
# Terminals are telvarosim's, a new run per server run, sending a frame five times a
# second, acknowledging upload blocks and writing down every command they receive.
# Requests go one at a time through telvaroctl; one counts as accepted once the server
# logged it ("Got command for " / "Got file for "), which it does after storing it.
# Each command text is unique and ends with ";", so that the terminals can tell it.
set -uo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
kills=${1:-200}
build=$(cd "${2:-$root/build}" && pwd)
server=$build/shell/telvaroserver
sim=$build/tools/telvarosim
ctl=$build/tools/telvaroctl
for p in "$server" "$sim" "$ctl"; do
  [ -x "$p" ] || { echo "crashloop: $p is missing; build first" >&2; exit 2; }
done
command -v sqlite3 >/dev/null || { echo "crashloop: the sqlite3 program is missing (scripts/deps.sh)" >&2; exit 2; }

work=$(mktemp -d /tmp/telvaro-crashloop.XXXXXX)
home=$work/home
mkdir -p "$home"
server_pid=
sim_pid=
controller_pid=
cleanup() {
  for pid in $controller_pid $sim_pid $server_pid; do kill -KILL "$pid" 2>/dev/null; done
  if [ "${KEEP:-0}" = 1 ]; then echo "crashloop: kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport')
terminals=6
first_imei=352000000000000
block=128
cat >"$home/telvaroserver.ini" <<EOF
[Server]
Port=$port
PipeDir=$work
PipeChannel=
CmdChannel=CmdPipe
DelayBeforeCmd=20
BLK_SIZE=$block
IOThreads=1
ReconInterval=0
[DB]
NoBase=1
EOF
accepted=$work/accepted.txt  # "command CYCLE IMEI TEXT" and "upload CYCLE IMEI SIZE"
pending=$work/pending.txt    # "IMEI SIZE LAST_OFFSET" of the uploads stored at a kill
: >"$accepted"
: >"$pending"
integrity_failures=0

accepted_lines() { grep -c -E '^Got (command|file) for ' "$1" 2>/dev/null || true; }

# Whether terminal $1 has no upload under way: the last one accepted for it, and every
# one found in the task database after a kill (a kill can fall after an upload is stored
# and before the server logs it), has reached it up to its last block. The server keeps
# its database to itself while it runs, so the terminals' logs tell.
upload_done() {
  local imei=$1 size last
  while read -r size last; do
    grep -q -h "^$imei block 1 $size $last " "$work"/commands-*.log 2>/dev/null || return 1
  done < <(
    awk -v t="$imei" -v block="$block" '$1 == "upload" && $3 == t { s = $4 }
      END { if (s != "") print s, int((s - 1) / block) * block }' "$accepted"
    awk -v t="$imei" '$1 == t { print $2, $3 }' "$pending"
  )
}

# Sends requests, one at a time, while the server runs; writes down the accepted ones.
controller() {
  local cycle=$1 log=$2 seq=0
  while kill -0 "$server_pid" 2>/dev/null; do
    seq=$((seq + 1))
    local imei=$((first_imei + RANDOM % terminals)) what before
    before=$(accepted_lines "$log")
    # An upload only to a terminal whose last one has arrived: blocks are told apart by
    # the file size, which is unique to each upload.
    if [ $((RANDOM % 4)) -eq 0 ] && upload_done "$imei"; then
      local size=$((300 + cycle * 64 + seq % 64))
      head -c "$size" /dev/urandom >"$work/upload.bin"
      what="upload $cycle $imei $size"
      "$ctl" --home "$home" upload "$imei" 1 "$work/upload.bin" >/dev/null 2>&1 || continue
    else
      local text="C$cycle-$seq;"
      what="command $cycle $imei $text"
      "$ctl" --home "$home" command "$imei" "$text" >/dev/null 2>&1 || continue
    fi
    for _ in $(seq 1 200); do
      if [ "$(accepted_lines "$log")" -gt "$before" ]; then
        echo "$what" >>"$accepted"
        break
      fi
      kill -0 "$server_pid" 2>/dev/null || break
      sleep 0.005
    done
    sleep 0.0$((RANDOM % 5))
  done
}

start_server() {
  local cycle=$1 log=$work/server-$1.log
  "$server" --console --home "$home" >"$log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 1000); do
    grep -q '^Server started successfully at ' "$log" && break
    kill -0 "$server_pid" 2>/dev/null || { echo "crashloop: the server did not start (cycle $cycle)" >&2; cat "$log" >&2; exit 1; }
    sleep 0.005
  done
  "$sim" --port "$port" -n "$terminals" --imei "$first_imei" --records 1 --rate 5 --duration 100000 --linger 0 \
    --log-commands "$work/commands-$cycle.log" >"$work/sim-$cycle.out" 2>&1 &
  sim_pid=$!
}

stop_sim() {
  for _ in $(seq 1 500); do
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.01
  done
  kill -KILL "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
}

started=$SECONDS
for cycle in $(seq 1 "$kills"); do
  start_server "$cycle"
  controller "$cycle" "$work/server-$cycle.log" &
  controller_pid=$!
  # A random moment 0.2 to 2.5 s into the run.
  sleep "$(awk -v r=$RANDOM 'BEGIN { printf "%.3f", 0.2 + 2.3 * r / 32767 }')"
  kill -KILL "$server_pid"
  wait "$server_pid" 2>/dev/null
  server_pid=
  wait "$controller_pid" 2>/dev/null
  controller_pid=
  stop_sim
  check=$(sqlite3 "$home/upd_sw.mdb" 'PRAGMA integrity_check' 2>&1)
  if [ "$check" != ok ]; then
    integrity_failures=$((integrity_failures + 1))
    echo "crashloop: integrity check after kill $cycle: $check" >&2
  fi
  # A block's command carries the file size at bytes 18 to 21.
  sqlite3 -separator ' ' "$home/upd_sw.mdb" \
    "SELECT DEV_ID, substr(hex(CMD), 37, 8), max(\"Offset\") FROM TASKS WHERE File = 1 GROUP BY 1, 2" |
    while read -r imei hex last; do echo "$imei $((16#$hex)) $last"; done >>"$pending"
  [ $((cycle % 20)) -eq 0 ] && echo "crashloop: $cycle kills, $(wc -l <"$accepted") requests accepted" >&2
done
killed_after=$((SECONDS - started))

# Compares what was accepted with what the terminals received. "count": prints how many
# commands and blocks have not arrived yet; "report": prints the findings and fails on any.
check_delivery() {
  # Every write a terminal received, with the server run it came in: "RUN IMEI WHAT...".
  for f in "$work"/commands-*.log; do
    [ -f "$f" ] || continue
    local c=${f##*/commands-}
    awk -v c="${c%.log}" '{ print c, $0 }' "$f"
  done >"$work/received.txt"
  awk -v mode="$1" -v block="$block" -v tasks_left="${left:-}" -v integrity="$integrity_failures" \
    -v kills="$kills" -v seconds="${killed_after:-0}" '
    FNR == NR {
      # RUN IMEI kind ...
      if ($3 == "text") { key = $2 " " $4; writes[key]++; runs[key] = runs[key] " " $1 }
      if ($3 == "block") got[$2 " " $5 " " $6] = 1
      next
    }
    $1 == "command" {
      commands++
      key = $3 " " $4
      n = writes[key]
      if (n == 0) { lost++; if (mode == "report") print "LOST command " $4 " for " $3 " (accepted in run " $2 ")" }
      if (n > 1) {
        twice++
        # Writes in one server run were not separated by a kill.
        split(substr(runs[key], 2), rs, " ")
        for (i = 2; i <= n; i++)
          if (rs[i] == rs[i - 1]) { same++; if (mode == "report") print "TWICE IN ONE RUN " $4 " for " $3 ": runs" runs[key] }
      }
    }
    $1 == "upload" {
      uploads++
      for (o = 0; o < $4; o += block) {
        blocks++
        if (!got[$3 " " $4 " " o]) {
          lost++
          if (mode == "report") print "LOST block " o " of the " $4 "-byte upload for " $3 " (accepted in run " $2 ")"
        }
      }
    }
    END {
      if (mode == "count") { print lost + 0; exit 0 }
      printf "crash loop: %d kills in %d s\n", kills, seconds
      printf "accepted before a kill: %d commands, %d uploads (%d blocks)\n", commands, uploads, blocks
      printf "delivered afterwards: %s\n", lost ? lost " LOST" : "every command and every block"
      printf "commands written more than once: %d, each across a kill%s\n", twice, same ? ", except " same : ""
      printf "tasks left after the last run: %s\n", tasks_left
      printf "task database: %s\n", integrity ? integrity " integrity checks FAILED" : "PRAGMA integrity_check ok after every kill"
      exit (lost || same || integrity || tasks_left != "0") ? 1 : 0
    }' "$work/received.txt" "$accepted"
}

# A last run without a kill, until everything accepted has arrived (or a minute passed).
final=$((kills + 1))
start_server "$final"
for _ in $(seq 1 120); do
  [ "$(check_delivery count)" = 0 ] && break
  sleep 0.5
done
sleep 0.5  # the bookkeeping of the last writes
kill -TERM "$server_pid"
wait "$server_pid" 2>/dev/null
server_pid=
stop_sim
left=$(sqlite3 "$home/upd_sw.mdb" 'SELECT count(*) FROM TASKS' 2>&1)
final_check=$(sqlite3 "$home/upd_sw.mdb" 'PRAGMA integrity_check' 2>&1)
[ "$final_check" = ok ] || integrity_failures=$((integrity_failures + 1))
check_delivery report
