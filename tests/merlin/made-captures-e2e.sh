#!/usr/bin/env bash
# Makes the RTMP captures with the project's capture maker (real servers and
# clients in private network namespaces) and runs the FLV builder's
# end-to-end checks on them.
#
#   made-captures-e2e.sh TEST_BINARY [MAKER_OPTIONS...]
#
# Exit 77 (skipped) when not root, when the capture maker or its tools are
# missing, or when network namespaces cannot be made here.
set -uo pipefail
TEST=$1
shift
HERE=$(cd "$(dirname "$0")" && pwd)
MAKER=$HERE/../../tools/capture-maker/make-captures.py

if [ "$(id -u)" != 0 ]; then echo "skipped: needs root for network namespaces"; exit 77; fi
if [ ! -x "$MAKER" ]; then echo "skipped: no capture maker at $MAKER"; exit 77; fi
probe=kestrel-k3-probe-$$
if ! ip netns add "$probe" 2>/dev/null; then echo "skipped: network namespaces unavailable"; exit 77; fi
ip netns delete "$probe"

OUT=$(mktemp -d /tmp/made-captures.XXXXXX)
trap 'rm -rf "$OUT"' EXIT
python3 "$MAKER" "$OUT" --only 'rtmp-*' "$@"
rc=$?
if [ "$rc" = 2 ]; then echo "skipped: the capture maker is missing tools"; exit 77; fi
if [ ! -f "$OUT/MANIFEST.tsv" ]; then echo "capture maker made no manifest (exit $rc)"; exit 1; fi
[ "$rc" = 0 ] || echo "warning: the capture maker could not make every capture (exit $rc); checking those it made"
KESTREL_MADE_CAPTURES=$OUT "$TEST" --gtest_filter='EndToEnd.MadeCaptures'
