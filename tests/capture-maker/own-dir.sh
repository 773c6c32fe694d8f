# shellcheck shell=bash
# Sourced by the capture-maker test scripts: folders they may empty and
# remove are only their own.
#
# fresh_own_dir DIR: leaves DIR empty but for a mark saying these scripts made
# it. An existing DIR is removed first only when it carries that mark (or is
# empty): whatever else a user keeps at that path is left alone, and the
# call fails. DIR must be an absolute path below the top folder.
# remove_own_dir DIR: removes DIR when it carries the mark; a missing DIR is
# fine, anything else fails.
own_dir_mark=.kestrel-test-folder

_own_dir_path_ok() {
  local dir=$1
  case $dir in
    "" | / | //* | */.. | */../* | */. | */./*) ;;
    /*/*) return 0 ;;  # absolute, at least two levels deep
  esac
  echo "refusing to use '$dir' as a work folder (need an absolute path below the top folder)" >&2
  return 1
}

remove_own_dir() {
  local dir=${1%/}
  _own_dir_path_ok "$dir" || return 1
  if [[ -L $dir ]]; then
    echo "refusing to remove $dir: it is a symbolic link" >&2
    return 1
  fi
  [[ -e $dir ]] || return 0
  if [[ -d $dir && ( -f $dir/$own_dir_mark || -z "$(ls -A "$dir")" ) ]]; then
    rm -rf -- "$dir"
    return
  fi
  echo "refusing to remove $dir: these tests did not make it (no $own_dir_mark in it)" >&2
  return 1
}

fresh_own_dir() {
  local dir=${1%/}
  remove_own_dir "$dir" || return 1
  mkdir -p -- "$dir" && : > "$dir/$own_dir_mark"
}
