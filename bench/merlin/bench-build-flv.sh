#!/usr/bin/env bash
# Conversion speed of the FLV builder against ffmpeg's remux of the same
# content, measured in one run on this machine (not a test: it prints).
#
#   bench/merlin/bench-build-flv.sh [options] [BUILD_DIR] [SECONDS]
#
#   --build DIR      build folder (default build/release; same as BUILD_DIR)
#   --seconds N      length of the test stream (default 600; same as SECONDS)
#   --summary FILE   also write the figures as key=value lines to FILE (for bench/run)
#   --keep           keep the work folder
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
# with the input). The work folder is made in $TMPDIR (default /tmp) and
# removed on every exit path.
set -euo pipefail

BUILD=$(cd "$(dirname "$0")/../.." && pwd)/build/release
SECONDS_LONG=600
SUMMARY=""
KEEP=0
positional=()
while [ $# -gt 0 ]; do
  case $1 in
    --build) BUILD=${2:?}; shift ;;
    --seconds) SECONDS_LONG=${2:?}; shift ;;
    --summary) SUMMARY=${2:?}; shift ;;
    --keep) KEEP=1 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "bench: unknown option '$1' (see --help)" >&2; exit 2 ;;
    *) positional+=("$1") ;;
  esac
  shift
done
[ ${#positional[@]} -ge 1 ] && BUILD=${positional[0]}
[ ${#positional[@]} -ge 2 ] && SECONDS_LONG=${positional[1]}
[ ${#positional[@]} -le 2 ] || { echo "bench: too many arguments (see --help)" >&2; exit 2; }
[[ $SECONDS_LONG =~ ^[1-9][0-9]*$ ]] || { echo "bench: the stream length is a number of seconds" >&2; exit 2; }
BIN=$BUILD/bin
for tool in ffmpeg ffprobe /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (apt-get install ffmpeg time)" >&2; exit 2; }
done
cmake --build "$BUILD" --target kestrel-cli merlin flv-to-records >/dev/null

WORK=""
cleanup() {
  [ -n "$WORK" ] || return 0
  if [ "$KEEP" = 1 ]; then echo "bench: work files kept in $WORK" >&2; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
WORK=$(mktemp -d "${TMPDIR:-/tmp}/bench-build-flv.XXXXXX")

echo "making a ${SECONDS_LONG}s test stream..." >&2
ffmpeg -v error -nostdin -f lavfi -i "testsrc2=size=640x360:rate=30" -f lavfi -i "sine=frequency=440:sample_rate=44100" \
  -t "$SECONDS_LONG" -c:v libx264 -preset ultrafast -b:v 3M -g 60 -c:a aac -b:a 128k -f flv "$WORK/ref.flv"
"$BIN/flv-to-records" --chunk-size 4096 --segment 1460 --name out "$WORK/ref.flv" "$WORK/long.rec" >/dev/null
# A quarter of the record file (the converter takes a cut-off end in its stride).
head -c $(( $(stat -c %s "$WORK/long.rec") / 4 )) "$WORK/long.rec" > "$WORK/short.rec"
cat "$WORK/ref.flv" "$WORK/long.rec" "$WORK/short.rec" > /dev/null

# best_of3 NAME COMMAND...: prints "seconds peak_kb" of the fastest run.
# OK_STATUS: the exit statuses that count as a run (default 0).
best_of3() {
  local best="" peak=0 rc t0 t1 secs kb
  for _ in 1 2 3; do
    [ -n "${PREPARE:-}" ] && eval "$PREPARE"
    rc=0
    # Wall time from the clock in microseconds (time's %e has 10 ms steps,
    # too coarse for short runs); peak memory from time's %M.
    t0=${EPOCHREALTIME/[.,]/}
    /usr/bin/time -f "%M" -o "$WORK/time" "$@" >/dev/null 2>"$WORK/stderr" || rc=$?
    t1=${EPOCHREALTIME/[.,]/}
    case " ${OK_STATUS:-0} " in
      *" $rc "*) ;;
      *) echo "bench: '$*' exited with status $rc:" >&2; tail -5 "$WORK/stderr" >&2; exit 1 ;;
    esac
    secs=$(awk "BEGIN { printf \"%.3f\", ($t1 - $t0) / 1e6 }")
    kb=$(tail -1 "$WORK/time")
    if [ -z "$best" ] || awk "BEGIN{exit !($secs < $best)}"; then best=$secs; fi
    [ "$kb" -gt "$peak" ] && peak=$kb
  done
  echo "$best $peak"
}

PREPARE='cp "$WORK/long.rec" "$WORK/in.rec"; rm -f "$WORK/out.flv"'
read -r merlin_s merlin_kb < <(best_of3 "$BIN/kestrel-cli" build-flv -q "$WORK/in.rec" "$WORK/out.flv")
merlin_packets=$(ffprobe -v error -count_packets -show_entries stream=nb_read_packets -of csv=p=0 "$WORK/out.flv" | awk '{s+=$1} END{print s}')
# The quarter ends inside a record: build-flv converts what is whole and
# says so with exit status 4 (converted in part).
PREPARE='cp "$WORK/short.rec" "$WORK/in.rec"; rm -f "$WORK/out.flv"'
read -r short_s short_kb < <(OK_STATUS="0 4" best_of3 "$BIN/kestrel-cli" build-flv -q "$WORK/in.rec" "$WORK/out.flv")
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
if [ -n "$SUMMARY" ]; then
  {
    echo "seconds=$SECONDS_LONG"
    echo "flv_bytes=$(stat -c %s "$WORK/ref.flv")"
    echo "rec_bytes=$(stat -c %s "$WORK/long.rec")"
    echo "short_rec_bytes=$(stat -c %s "$WORK/short.rec")"
    echo "ref_packets=$ref_packets"
    echo "merlin_packets=$merlin_packets"
    echo "merlin_s=$merlin_s"
    echo "merlin_kb=$merlin_kb"
    echo "short_s=$short_s"
    echo "short_kb=$short_kb"
    echo "ffmpeg_s=$ffmpeg_s"
    echo "ffmpeg_kb=$ffmpeg_kb"
  } >"$SUMMARY"
fi
