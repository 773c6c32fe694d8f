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
# The set depends only on the maker: a build folder made earlier (the other
# build configuration's, say) is used again when the maker has not changed.
hash=$(cd "$repo/tools/capture-maker" && find . -type f ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
if [[ -f $out/MANIFEST.tsv && "$(cat "$out/.maker-hash" 2>/dev/null)" == "$hash" ]]; then
  echo "using the $(($(wc -l < "$out/MANIFEST.tsv") - 1)) captures already made in $out"
  exit 0
fi
rm -rf "$out"
python3 "$repo/tools/capture-maker/make-captures.py" "$out" --jobs 2
rc=$?
[[ $rc -eq 2 ]] && { echo "SKIP: the capture maker is missing tools"; exit 77; }
[[ -f $out/MANIFEST.tsv ]] || { echo "the capture maker made nothing (exit $rc)"; exit 1; }
[[ $rc -eq 0 ]] || echo "warning: some captures could not be made (exit $rc); the tests check those that were"
echo "$hash" > "$out/.maker-hash"
echo "$(($(wc -l < "$out/MANIFEST.tsv") - 1)) captures in $out"
exit 0
