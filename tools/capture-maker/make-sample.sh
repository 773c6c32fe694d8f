#!/usr/bin/env bash
# Makes the bundled sample capture: curl downloads a small FLV (H.264/AAC) from
# python3's http.server on port 80, recorded by tcpdump on the loopback device
# of a private network namespace with Ethernet-like segments ("eth1500": MTU
# 1500, no segmentation offload, no TCP timestamps).
#
#   make-sample.sh [OUTPUT_DIR]      (default: the repository's samples/)
#
# Writes OUTPUT_DIR/sample-http-flv.pcap and OUTPUT_DIR/sample-http-flv.flv
# (the served file, so a recording can be compared byte for byte).
# Needs root (network namespace, tcpdump) and the packages listed by
# install-deps.sh.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
out=${1:-$repo/samples}
python=/usr/bin/python3
[[ -x $python ]] || python=$(command -v python3)

die() { echo "make-sample: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || die "must run as root (network namespace, tcpdump)"
for tool in ip ethtool sysctl ss ffmpeg tcpdump curl "$python"; do
  command -v "$tool" >/dev/null || die "missing tool '$tool' (run tools/capture-maker/install-deps.sh)"
done

ns="kestrel-sample-$$"
work=$(mktemp -d /tmp/kestrel-sample.XXXXXX)
server_pid=""
dump_pid=""

cleanup() {
  local rc=$?
  # Servers and tcpdump first: the namespace only disappears once its last
  # process has gone.
  for pid in $dump_pid $server_pid; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in $dump_pid $server_pid; do
    wait "$pid" 2>/dev/null || true
  done
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Polls COMMAND... every 50 ms until it succeeds or SECONDS pass.
wait_for() {
  local seconds=$1; shift
  local tries=$((seconds * 20))
  while ((tries-- > 0)); do
    if "$@"; then return 0; fi
    sleep 0.05
  done
  return 1
}

in_ns() { ip netns exec "$ns" "$@"; }
listening() { [[ -n $(in_ns ss -Hltn "sport = :$1") ]]; }
dump_ready() { grep -qs "listening on" "$work/tcpdump.log"; }

echo "make-sample: encoding the clip" >&2
mkdir -p "$work/www" "$out"
ffmpeg -nostdin -hide_banner -loglevel error \
  -f lavfi -i "testsrc2=size=320x240:rate=25:duration=5" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=5" \
  -c:v libx264 -preset veryfast -profile:v main -pix_fmt yuv420p -g 50 -b:v 200k -threads 1 \
  -c:a aac -b:a 64k -ac 2 \
  -map_metadata -1 -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
  -f flv "$work/www/clip.flv"

echo "make-sample: network namespace $ns (eth1500)" >&2
ip netns add "$ns"
in_ns ip link set lo mtu 1500 up
in_ns ethtool -K lo tso off gso off gro off >/dev/null
in_ns sysctl -qw net.ipv4.tcp_timestamps=0

# Started through "ip netns exec" directly (not a shell function), so that $!
# is the server's own pid: ip execs the program in place.
ip netns exec "$ns" "$python" -m http.server --bind 127.0.0.1 --directory "$work/www" 80 \
  >"$work/server.log" 2>&1 &
server_pid=$!
wait_for 10 listening 80 || die "http.server did not start listening: $(cat "$work/server.log")"

# -Z root: tcpdump would otherwise switch to its own user, which cannot
# write into the private work folder. Immediate mode: without it the last
# packets can still sit in the kernel's ring buffer when tcpdump is stopped.
ip netns exec "$ns" tcpdump -Z root --immediate-mode -i lo -s 65536 -U -n -w "$work/capture.pcap" "tcp port 80" \
  >"$work/tcpdump.log" 2>&1 &
dump_pid=$!
wait_for 10 dump_ready || die "tcpdump did not start: $(cat "$work/tcpdump.log")"

echo "make-sample: curl http://127.0.0.1/clip.flv" >&2
in_ns curl -sS --max-time 30 -o "$work/received.flv" "http://127.0.0.1/clip.flv"

# The last ACK and FIN need a moment to pass the capture point; SIGINT makes
# tcpdump flush and close the file.
sleep 0.3
kill -INT "$dump_pid"
wait "$dump_pid" || die "tcpdump failed: $(cat "$work/tcpdump.log")"
dump_pid=""

cmp -s "$work/www/clip.flv" "$work/received.flv" || die "curl's copy differs from the served file"
packets=$(tcpdump -r "$work/capture.pcap" -n 2>/dev/null | wc -l)
fins=$(tcpdump -r "$work/capture.pcap" -n 'tcp[tcpflags] & tcp-fin != 0' 2>/dev/null | wc -l)
size=$(stat -c %s "$work/www/clip.flv")
captured=$(stat -c %s "$work/capture.pcap")
# A complete capture holds both FINs and more bytes than the body itself.
[[ $fins -ge 2 && $captured -gt $size ]] || die "capture is incomplete ($packets packets, $fins FINs)"

cp "$work/capture.pcap" "$out/sample-http-flv.pcap"
cp "$work/www/clip.flv" "$out/sample-http-flv.flv"
echo "make-sample: wrote $out/sample-http-flv.pcap ($packets packets) and $out/sample-http-flv.flv" >&2
