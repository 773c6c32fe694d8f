#!/usr/bin/env bash
# Installs what is needed, builds, and runs the recorder on the bundled
# sample capture (a real curl download of an FLV file).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh release >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "Replaying samples/sample-http-flv.pcap through kestrel-cli capture:" >&2
build/release/bin/kestrel-cli capture --home "$work/home" --save "$work/save" \
  --source "file://$PWD/samples/sample-http-flv.pcap"
