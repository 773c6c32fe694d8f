#!/usr/bin/env bash
# Takes a picture of the desktop program at work: starts kestrel on a
# private X display (Xvfb) replaying a capture file with --start, waits
# until every recording of it is finished, and saves a PNG of the window.
#
#   scripts/screenshot.sh [--capture FILE] [--out PNG] [--rows N] [--play]
#
#   --capture FILE  the capture to replay (default samples/sample-http-flv.pcap)
#   --out PNG       where the picture goes (default docs/kestrel-main-window.png)
#   --rows N        how many recordings the capture makes (default: what the
#                   capture's finished files say once Temp/ is empty)
#   --play          then play the first finished recording (handed over by a
#                   second `kestrel FILE`, as a user would) and picture the
#                   main window with the player docked at its right
#                   (default out: docs/kestrel-player.png)
#
# Needs a built build/release/bin/kestrel, Xvfb, xwininfo (x11-utils) and
# ImageMagick's import (scripts/install-deps.sh installs them). Everything
# the program writes (settings, lock file, recordings) goes to a temporary
# folder removed at the end; only the program started here is stopped.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
capture=$repo/samples/sample-http-flv.pcap
out=$repo/docs/kestrel-main-window.png
rows=0
play=0
out_given=0
while [ $# -gt 0 ]; do
  case $1 in
    --capture) capture=$(realpath "${2:?}"); shift 2 ;;
    --out) out=$(realpath -m "${2:?}"); out_given=1; shift 2 ;;
    --play) play=1; shift ;;
    --rows) rows=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "screenshot: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ $play -eq 1 ] && [ $out_given -eq 0 ] && out=$repo/docs/kestrel-player.png
program=$repo/build/release/bin/kestrel
[ -x "$program" ] || { echo "screenshot: $program is missing (scripts/build.sh release)" >&2; exit 2; }
for tool in Xvfb xwininfo import; do
  command -v $tool >/dev/null || { echo "screenshot: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d)
xvfb_pid=
kestrel_pid=
cleanup() {
  [ -n "$kestrel_pid" ] && kill "$kestrel_pid" 2>/dev/null && wait "$kestrel_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf -- "$work"
}
trap cleanup EXIT
mkdir -p "$work"/{home,config,data,runtime,save}
chmod 700 "$work/runtime"

# A display number nobody uses: Xvfb picks one and writes it to fd 3.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
for _ in $(seq 100); do
  display=$(tr -dc 0-9 <"$work/display")
  [ -n "$display" ] && break
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$display" ] || { echo "screenshot: Xvfb did not start ($(cat "$work/xvfb.log"))" >&2; exit 1; }
export DISPLAY=:$display

export KESTREL_HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/runtime
"$program" --source "file://$capture" --save "$work/save" --start >"$work/kestrel.log" 2>&1 &
kestrel_pid=$!

# Finished: the capture data of every recording is gone from Temp/ and its
# file is in the save folder; then one more refresh of the rows (500 ms).
finished() {
  local files
  files=$(find "$work/save" -maxdepth 1 -type f | wc -l)
  [ "$files" -gt 0 ] || return 1
  [ "$rows" -eq 0 ] || [ "$files" -ge "$rows" ] || return 1
  [ -z "$(find "$work/save/Temp" -name '*.flvdata*' 2>/dev/null)" ]
}
for _ in $(seq 600); do
  finished && break
  kill -0 "$kestrel_pid" 2>/dev/null || { echo "screenshot: kestrel ended early: $(cat "$work/kestrel.log")" >&2; exit 1; }
  sleep 0.1
done
finished || { echo "screenshot: the recordings did not finish within 60 s" >&2; exit 1; }
sleep 1

# The main window by its name and size (Qt keeps a 1x1 helper window of the
# same name).
# The main window by its name and size (Qt keeps a 1x1 helper window of the
# same name).
window=$(xwininfo -root -tree | awk '/"Kestrel": \("kestrel"/ && / 346x460/ {print $1; exit}')
[ -n "$window" ] || { echo "screenshot: no Kestrel window on the display" >&2; exit 1; }
mkdir -p "$(dirname "$out")"
if [ $play -eq 1 ]; then
  # A later start hands the file over; the running program plays it in its
  # player panel. The picture is taken two seconds into the playback.
  file=$(find "$work/save" -maxdepth 1 -type f -name '*.flv' | sort | head -1)
  [ -n "$file" ] || { echo "screenshot: no finished FLV recording to play" >&2; exit 1; }
  "$program" "$file"
  sleep 2.5
  geometry=$(xwininfo -id "$window" | awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} END {print x "," y}')
  x=${geometry%,*}; y=${geometry#*,}
  import -window root -crop "691x460+$x+$y" +repage "$out"
else
  import -window "$window" "$out"
fi
echo "screenshot: $out ($(find "$work/save" -maxdepth 1 -type f -printf '%f ' ))" >&2

# The program ends as on Exit.
kill -TERM "$kestrel_pid"
wait "$kestrel_pid" || { echo "screenshot: kestrel ended with status $?" >&2; kestrel_pid=; exit 1; }
kestrel_pid=
