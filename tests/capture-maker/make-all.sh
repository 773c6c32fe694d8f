#!/usr/bin/env bash
# Makes every capture scenario once for the end-to-end tests, into the build
# folder's made-captures/.
#   make-all.sh REPO_DIR BUILD_DIR [OTHER_SET]
# OTHER_SET: the made-captures folder of another build folder (the release
# configuration's). When it is complete and was made by the same maker,
# BUILD_DIR/made-captures becomes a link to it and nothing is made: that set
# is only read here, never changed or removed. Otherwise the set is made in
# BUILD_DIR/made-captures, or used again when it was made there earlier by the
# same maker.
# Exit 0 made or found (perhaps with a few captures missing, listed), 77
# skipped (not root, tools missing, no network namespaces), 1 nothing made.
set -u
repo=$1
build=$2
other=${3:-}
source "$(dirname "$0")/own-dir.sh"

[[ -f $build/CMakeCache.txt ]] || { echo "make-all: $build is not a CMake build folder"; exit 1; }
build=$(cd "$build" && pwd -P)
out=$build/made-captures

# The set depends only on the maker.
hash=$(cd "$repo/tools/capture-maker" && find . -type f ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
# A set is complete once its .maker-hash is written, the last thing done.
current() { [[ -f $1/MANIFEST.tsv && "$(cat "$1/.maker-hash" 2>/dev/null)" == "$hash" ]]; }
count() { echo $(($(wc -l < "$1/MANIFEST.tsv") - 1)); }

if [[ ! -L $out ]] && current "$out"; then
  echo "using the $(count "$out") captures already made in $out"
  exit 0
fi
if [[ -n $other && -d $other ]]; then
  other=$(cd "$other" && pwd -P)
  if [[ $other != "$out" ]] && current "$other"; then
    if [[ -L $out ]]; then
      rm -f -- "$out"
    else
      remove_own_dir "$out" || exit 1
    fi
    ln -s -- "$other" "$out"
    echo "using the $(count "$out") captures made by the same maker in $other"
    exit 0
  fi
fi

[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root (network namespaces)"; exit 77; }
probe="kestrel-probe-$$"
ip netns add "$probe" 2>/dev/null || { echo "SKIP: cannot create network namespaces here"; exit 77; }
ip netns del "$probe"

if [[ -L $out ]]; then
  rm -f -- "$out"  # the link to another set, which is left as it is
fi
fresh_own_dir "$out" || exit 1
python3 "$repo/tools/capture-maker/make-captures.py" "$out" --jobs 2
rc=$?
[[ $rc -eq 2 ]] && { echo "SKIP: the capture maker is missing tools"; exit 77; }
[[ -f $out/MANIFEST.tsv ]] || { echo "the capture maker made nothing (exit $rc)"; exit 1; }
[[ $rc -eq 0 ]] || echo "warning: some captures could not be made (exit $rc); the tests check those that were"
echo "$hash" > "$out/.maker-hash"
echo "$(count "$out") captures in $out"
exit 0
