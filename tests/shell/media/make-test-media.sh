#!/bin/sh
# Makes the player tests' media in a folder: short clips with a test picture
# and a tone, in the formats the player is asked to play.
#
#   make-test-media.sh OUTPUT_FOLDER
#
# clip.flv  3 s, Sorenson video + MP3 audio (what the recorder mostly stores)
# clip.mp4  3 s, H.264 (MPEG-4 part 2 when libx264 is missing) + AAC
# clip.mp3  3 s tone
# clip.m4a  3 s tone, AAC
# long.flv  6 s, as clip.flv
set -eu
out=${1:?usage: make-test-media.sh OUTPUT_FOLDER}
mkdir -p "$out"
ff() { ffmpeg -nostdin -hide_banner -loglevel error -y "$@"; }

picture="testsrc=duration=3:size=160x120:rate=25"
tone="sine=frequency=440:duration=3"

ff -f lavfi -i "$picture" -f lavfi -i "$tone" -c:v flv -c:a libmp3lame -ar 44100 "$out/clip.flv"
ff -f lavfi -i "testsrc=duration=6:size=160x120:rate=25" -f lavfi -i "sine=frequency=440:duration=6" \
  -c:v flv -c:a libmp3lame -ar 44100 "$out/long.flv"
if ffmpeg -hide_banner -encoders 2>/dev/null | grep -q libx264; then
  video="libx264 -preset ultrafast -pix_fmt yuv420p"
else
  video="mpeg4"
fi
# shellcheck disable=SC2086
ff -f lavfi -i "$picture" -f lavfi -i "$tone" -c:v $video -c:a aac "$out/clip.mp4"
ff -f lavfi -i "$tone" -c:a libmp3lame "$out/clip.mp3"
ff -f lavfi -i "$tone" -c:a aac "$out/clip.m4a"
