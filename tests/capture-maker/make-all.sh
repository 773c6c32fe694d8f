#!/usr/bin/env bash
# Makes every capture scenario once into OUT for the end-to-end tests.
#   make-all.sh REPO_DIR OUT
# Exit 0 made (perhaps with a few captures missing, listed), 77 skipped (not
# root, tools missing, no network namespaces), 1 nothing made.
set -u
repo=$1
out=$2
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root (network namespaces)"; exit 77; }
probe="kestrel-probe-$$"
ip netns add "$probe" 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del "$probe"
rm -rf "$out"
python3 "$repo/tools/capture-maker/make-captures.py" "$out" --jobs 2
rc=$?
[[ $rc -eq 2 ]] && { echo "SKIP: the capture maker is missing tools"; exit 77; }
[[ -f $out/MANIFEST.tsv ]] || { echo "the capture maker made nothing (exit $rc)"; exit 1; }
[[ $rc -eq 0 ]] || echo "warning: some captures could not be made (exit $rc); the tests check those that were"
echo "$(($(wc -l < "$out/MANIFEST.tsv") - 1)) captures in $out"
exit 0
