#!/usr/bin/env bash
# Installs what is needed, builds, and runs the recorder on the bundled
# sample capture (a real curl download of an FLV file). The rebuilt file is
# kept in demo-output/ of this checkout (git ignores it); nothing is written
# outside the checkout but a temporary folder, removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
out=$repo/demo-output
sample=samples/sample-http-flv.pcap
served=samples/sample-http-flv.flv

scripts/install-deps.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Quiet when the build works; the compiler's messages when it does not.
if ! scripts/build.sh release >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "demo: the build failed (its output is above)" >&2
  exit 1
fi

echo "Replaying $sample through kestrel-cli capture:" >&2
build/release/bin/kestrel-cli capture --home "$work/home" --save "$work/save" \
  --source "file://$repo/$sample"

# The finished files are those directly in the save folder (Temp/ below it
# holds the capture data of unfinished runs).
mapfile -t rebuilt < <(find "$work/save" -maxdepth 1 -type f | sort)
if [[ ${#rebuilt[@]} -eq 0 ]]; then
  echo "demo: kestrel-cli rebuilt no file from $sample" >&2
  exit 1
fi
mkdir -p "$out"
for f in "${rebuilt[@]}"; do
  cp -f "$f" "$out/"
done
status=0
echo
echo "Rebuilt file(s), kept in $out/:"
for f in "${rebuilt[@]}"; do
  name=$(basename "$f")
  if [[ $name != clip.flv ]]; then
    echo "  $name"
  elif cmp -s "$out/$name" "$served"; then
    echo "  $name: byte for byte the file the server sent ($served)"
  else
    echo "  $name: DIFFERS from the file the server sent ($served)"
    status=1
  fi
done
exit $status
