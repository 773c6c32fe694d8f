#!/usr/bin/env bash
# Installs what is needed, builds the release and the sanitizer
# configurations, and runs the whole test suite in both.
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
exit $status
