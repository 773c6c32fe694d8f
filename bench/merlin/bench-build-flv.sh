#!/usr/bin/env bash
# Conversion speed of the FLV builder against ffmpeg's remux of the same
# content, measured in one run on this machine (not a test: it prints).
#
#   bench/merlin/bench-build-flv.sh [BUILD_DIR] [SECONDS]
#
# Makes a long H.264/AAC test stream with ffmpeg (SECONDS, default 600),
# plays it into a stream record file as an RTMP server would send it
# (announcing the stream name "out", so the result keeps the name out.flv)
# (flv-to-records, chunk size 4096, 1460-byte records), then times
#   kestrel-cli build-flv RECORD out.flv        (library exports, one slot)
#   ffmpeg -i ref.flv -c copy out.flv           (the reference remux)
# best of three runs each, with warm caches. Prints both times, the ratio
# (ffmpeg time / build-flv time; the goal is 2 or more) and the peak memory
# of each, also for a record file a quarter as long (memory must not grow
# with the input).
set -euo pipefail

BUILD=${1:-$(cd "$(dirname "$0")/../.." && pwd)/build/release}
SECONDS_LONG=${2:-600}
BIN=$BUILD/bin
for tool in ffmpeg ffprobe /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (apt-get install ffmpeg time)" >&2; exit 2; }
done
cmake --build "$BUILD" --target kestrel-cli merlin flv-to-records >/dev/null

WORK=$(mktemp -d /tmp/bench-build-flv.XXXXXX)
trap 'rm -rf "$WORK"' EXIT

echo "making a ${SECONDS_LONG}s test stream..." >&2
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=640x360:rate=30" -f lavfi -i "sine=frequency=440:sample_rate=44100" \
  -t "$SECONDS_LONG" -c:v libx264 -preset ultrafast -b:v 3M -g 60 -c:a aac -b:a 128k -f flv "$WORK/ref.flv"
"$BIN/flv-to-records" --chunk-size 4096 --segment 1460 --name out "$WORK/ref.flv" "$WORK/long.rec" >/dev/null
# A quarter of the record file (the converter takes a cut-off end in its stride).
head -c $(( $(stat -c %s "$WORK/long.rec") / 4 )) "$WORK/long.rec" > "$WORK/short.rec"
cat "$WORK/ref.flv" "$WORK/long.rec" "$WORK/short.rec" > /dev/null

# best_of3 NAME COMMAND...: prints "seconds peak_kb" of the fastest run.
best_of3() {
  local best="" peak=0
  for _ in 1 2 3; do
    [ -n "${PREPARE:-}" ] && eval "$PREPARE"
    /usr/bin/time -f "%e %M" -o "$WORK/time" "$@" >/dev/null
    read -r secs kb < "$WORK/time"
    if [ -z "$best" ] || awk "BEGIN{exit !($secs < $best)}"; then best=$secs; fi
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  echo "$best $peak"
}

PREPARE='cp "$WORK/long.rec" "$WORK/in.rec"; rm -f "$WORK/out.flv"'
read -r merlin_s merlin_kb < <(best_of3 "$BIN/kestrel-cli" build-flv -q "$WORK/in.rec" "$WORK/out.flv")
merlin_packets=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$WORK/out.flv" | awk '{s+=$1} END{print s}')
PREPARE='cp "$WORK/short.rec" "$WORK/in.rec"; rm -f "$WORK/out.flv"'
read -r short_s short_kb < <(best_of3 "$BIN/kestrel-cli" build-flv -q "$WORK/in.rec" "$WORK/out.flv")
PREPARE='rm -f "$WORK/remux.flv"'
read -r ffmpeg_s ffmpeg_kb < <(best_of3 ffmpeg -v error -nostdin -y -i "$WORK/ref.flv" -c copy "$WORK/remux.flv")
ref_packets=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$WORK/ref.flv" | awk '{s+=$1} END{print s}')

rec_mb=$(awk "BEGIN{printf \"%.1f\", $(stat -c %s "$WORK/long.rec")/1048576}")
flv_mb=$(awk "BEGIN{printf \"%.1f\", $(stat -c %s "$WORK/ref.flv")/1048576}")
short_mb=$(awk "BEGIN{printf \"%.1f\", $(stat -c %s "$WORK/short.rec")/1048576}")
echo "input: ${SECONDS_LONG}s stream, FLV ${flv_mb} MB, record file ${rec_mb} MB (${ref_packets} packets; build-flv gave ${merlin_packets})"
echo "kestrel-cli build-flv: ${merlin_s} s ($(awk "BEGIN{printf \"%.0f\", $rec_mb/($merlin_s+0.0001)}") MB/s), peak memory $((merlin_kb / 1024)) MB"
echo "ffmpeg -c copy:        ${ffmpeg_s} s ($(awk "BEGIN{printf \"%.0f\", $flv_mb/($ffmpeg_s+0.0001)}") MB/s), peak memory $((ffmpeg_kb / 1024)) MB"
echo "ratio (ffmpeg time / build-flv time): $(awk "BEGIN{printf \"%.2f\", $ffmpeg_s/($merlin_s+0.0001)}")  (goal: 2 or more)"
echo "build-flv peak memory: $((merlin_kb / 1024)) MB for ${rec_mb} MB, $((short_kb / 1024)) MB for ${short_mb} MB"
