#!/usr/bin/env bash
# Memory of terminal connections that hold an incomplete message: the real server's
# resident set with no connection, with N connections open and idle, then after each
# has sent the first half of a largest frame (its 6-byte head and 32 KB of its 64 KB
# payload); printed per connection.
#
#   bench/connections/partial_frames_rss.sh [BUILD_DIR] [CONNECTIONS] [PAYLOAD_BYTES]
#                                   (defaults: build 1000 32768; 65535: all but the checksum)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
n=${2:-1000}
payload=${3:-32768}
ulimit -n $((n * 2 + 256))

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

base=$(rss)

# The clients: connect all, report, send the half frames, report, hold until told.
mkfifo "$home/go"
perl -MIO::Socket::INET -e '
  my ($port, $n, $go, $payload) = @ARGV;
  $| = 1;
  my @s = map { IO::Socket::INET->new(PeerAddr => "127.0.0.1", PeerPort => $port, Proto => "tcp") or die "connect: $!" } 1 .. $n;
  print "connected\n";
  open(my $f, "<", $go) or die; <$f>;
  my $head = "\xCC" x 4 . pack("n", 65535);
  my $half = $head . ("\x5A" x $payload);
  print {$_} $half for @s;
  $_->flush for @s;
  print "sent\n";
  open($f, "<", $go) or die; <$f>;
' "$port" "$n" "$home/go" "$payload" >"$home/clients.out" &
clients=$!
until grep -q connected "$home/clients.out"; do sleep 0.05; done
sleep 1
idle=$(rss)
echo >"$home/go"
until grep -q sent "$home/clients.out"; do sleep 0.05; done
sleep 2
held=$(rss)
echo >"$home/go"
wait "$clients"
kill -TERM "$server_pid"
wait "$server_pid" || true
server_pid=
echo "server RSS: $base KiB with no connection, $idle KiB with $n idle ones, $held KiB once each holds $((payload + 6)) bytes of a largest frame"
echo "per connection: $(((idle - base) * 1024 / n)) bytes idle, $(((held - base) * 1024 / n)) bytes holding $((payload + 6)) bytes of a frame"
