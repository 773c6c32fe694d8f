#!/usr/bin/env bash
# Installs what is needed, builds the release and the sanitizer
# configurations, runs the whole test suite in both, then the fuzz targets
# for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
status=0
for preset in release asan; do
  echo "== $preset: build" >&2
  scripts/build.sh "$preset"
  echo "== $preset: tests" >&2
  ctest --preset "$preset" -j2 --timeout 900 || status=1
done
# Every reader of untrusted bytes under libFuzzer for a bounded time (about
# five minutes after its build), failing on any crash, leak or time-out.
echo "== fuzz" >&2
scripts/fuzz.sh || status=1
exit $status
