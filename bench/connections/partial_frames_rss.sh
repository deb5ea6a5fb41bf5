#!/usr/bin/env bash
# Memory of idle terminal connections and of connections that hold an incomplete
# message: the real server's resident set with no connection, with N connections open
# and idle, with --framed also after each has sent one small frame (a one-record AVL
# frame with an IMEI of its own) and gone quiet, then after each has sent the first half
# of a largest frame (its 6-byte head and 32 KB of its 64 KB payload); printed per
# connection.
#
#   bench/connections/partial_frames_rss.sh [--framed] [BUILD_DIR] [CONNECTIONS] [PAYLOAD_BYTES]
#                                   (defaults: build 1000 32768; 65535: all but the checksum)
#
# The server and the clients each need a descriptor per connection: the open-file limit
# is raised as far as the hard limit allows (`ulimit -Hn`).
set -euo pipefail

framed=0
if [ "${1:-}" = "--framed" ]; then
  framed=1
  shift
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
n=${2:-1000}
payload=${3:-32768}
hard=$(ulimit -Hn)
want=$((n + 256))
if [ "$hard" != unlimited ] && [ "$want" -gt "$hard" ]; then
  echo "$n connections need $want descriptors, the hard limit is $hard" >&2
  exit 1
fi
ulimit -n "$want"

home=$(mktemp -d /tmp/telvaro-rss.XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -KILL "$server_pid" 2>/dev/null || true
  rm -rf "$home"
}
trap cleanup EXIT

port=$(perl -MIO::Socket::INET -e 'print IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Proto => "tcp")->sockport')
printf '[Server]\nPort=%s\nPipeDir=%s\n[DB]\nNoBase=1\n' "$port" "$home" >"$home/telvaroserver.ini"
"$build/shell/telvaroserver" --console --home "$home" >"$home/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 500); do
  grep -q "^Server started successfully at " "$home/server.log" && break
  sleep 0.01
done
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$server_pid/status"; }
# The resident set once it has stopped moving: the server may still be taking what the
# clients sent.
settled() {
  local last now
  sleep 1
  last=$(rss)
  for _ in $(seq 1 60); do
    sleep 0.5
    now=$(rss)
    [ "$now" = "$last" ] && break
    last=$now
  done
  echo "$now"
}

base=$(rss)
descriptors=$(ls "/proc/$server_pid/fd" | wc -l)

# The clients: connect all, report, (send one frame each, report,) send the half frames,
# report, hold until told. Each step waits for a line on the fifo, which stays open.
mkfifo "$home/go"
perl -MIO::Socket::INET -e '
  my ($port, $n, $payload, $framed) = @ARGV;
  $| = 1;
  sub crc16 {
    my $crc = 0;
    for my $b (unpack "C*", $_[0]) {
      $crc ^= $b;
      $crc = $crc & 1 ? ($crc >> 1) ^ 0xA001 : $crc >> 1 for 1 .. 8;
    }
    return $crc;
  }
  sub avl_frame {
    my ($imei) = @_;
    my $record = pack("N C N N", 1700000000, 0, 376000000, 557000000) .
                 pack("C*", 0, 150, 0, 90, 9, 0, 42, 1, 1, 0, 0, 0, 0, 0);
    my $p = pack("Q> C C", $imei, 2, 1) . $record;
    return "\xCC" x 4 . pack("n", length $p) . $p . pack("n", crc16($p));
  }
  my @s = map { IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $port, Proto => "tcp") or die "connect: $!" } 1 .. $n;
  print "connected\n";
  if ($framed) {
    <STDIN>;
    my $i = 0;
    for (@s) { print {$_} avl_frame(356000000000000 + $i++); $_->flush; }
    print "framed\n";
  }
  <STDIN>;
  my $head = "\xCC" x 4 . pack("n", 65535);
  my $half = $head . ("\x5A" x $payload);
  print {$_} $half for @s;
  $_->flush for @s;
  print "sent\n";
  <STDIN>;
' "$port" "$n" "$payload" "$framed" <"$home/go" >"$home/clients.out" &
clients=$!
exec 3>"$home/go"
until grep -q connected "$home/clients.out"; do sleep 0.05; done
until [ "$(ls "/proc/$server_pid/fd" | wc -l)" -ge $((descriptors + n)) ]; do sleep 0.1; done
idle=$(settled)
if [ "$framed" = 1 ]; then
  echo >&3
  until grep -q framed "$home/clients.out"; do sleep 0.05; done
  quiet=$(settled)
fi
echo >&3
until grep -q sent "$home/clients.out"; do sleep 0.05; done
held=$(settled)
echo >&3
wait "$clients"
exec 3>&-
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=
echo "server RSS: $base KiB with no connection, $idle KiB with $n idle ones, $held KiB once each holds $((payload + 6)) bytes of a largest frame"
[ "$framed" = 1 ] && echo "server RSS: $quiet KiB once each has sent one frame and gone quiet"
echo "per connection: $(((idle - base) * 1024 / n)) bytes idle, $(((held - base) * 1024 / n)) bytes holding $((payload + 6)) bytes of a frame"
[ "$framed" = 1 ] && echo "per connection: $(((quiet - base) * 1024 / n)) bytes idle after one frame"
exit 0
