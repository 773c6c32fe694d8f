#!/usr/bin/env bash
# Live recording fidelity against tcpdump, measured in one run on this
# machine (not a test: it prints a table).
#
#   sudo bench/live/run.sh [options]
#
#   --build DIR   build folder (default build/release; configured when missing)
#   --no-build    use kestrel-cli as it is in the build folder
#   --size S      bytes per download, k/M suffixes (default 20M)
#   --repeat N    run every scenario N times, one table row per run (default 1)
#   --work DIR    where the temporary folder goes (default $TMPDIR or /tmp;
#                 about 2 GB for the 16-download scenarios)
#   --keep        keep the work files (pcaps, outputs, logs)
#
# In a private network namespace (loopback with Linux's defaults: MTU 65536,
# GSO super-segments, TCP timestamps) nginx serves FLV files made at run
# time and curl downloads them:
#   1 download at full loopback speed,
#   4 and 16 parallel downloads at full speed,
#   4 and 16 parallel downloads at about 1 Gbit/s in all
#     (curl --limit-rate 125 MB/s divided by the number of downloads; the
#     namespace's TCP receive buffers are capped at 512 KiB there, else the
#     first megabytes of each download cross at full speed before curl's
#     limit bites; curl still reads in bursts, so the rate is an average).
# Each scenario is recorded at the same time by three recorders:
#   kestrel-cli capture --source lo    default settings, fresh data folder
#   tcpdump -w X                       default options
#   tcpdump -B 65536 -s 262144 -w X    64 MiB kernel buffer
# (tcpdump also gets -Z root so that it may write into the work folder.)
# The pcaps are replayed through kestrel-cli capture --source file://X, so
# the same reassembly judges what each recorder got. For every served file
# the bytes an output holds byte-exact are counted: at equal offsets when
# the output has the served size, else the longest common prefix (after a
# gap that was closed up, later bytes sit at other offsets). The table gives
# per scenario and recorder: the seconds the downloads took, bytes exact out
# of the bytes served, files byte-identical, the packets received by the
# filter and dropped by the kernel as each recorder reported them,
# kestrel-cli's frames cut by the snapshot length, and the ratio of bytes
# exact against tcpdump -B 65536 -s 262144 in the same run.
#
# Every namespace and process it starts is ended by its pid and the work
# folder removed on every exit path. Exit status: 0 table printed, 1 a run
# failed, 2 usage, not root or a missing tool, 130 interrupted.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$repo/build/release
do_build=1
size=20M
repeat=1
work=${TMPDIR:-/tmp}
keep=()

die() { echo "bench-live: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --no-build) do_build=0 ;;
    --size) size=${2:?}; shift ;;
    --repeat) repeat=${2:?}; shift ;;
    --work) work=${2:?}; shift ;;
    --keep) keep=(--keep) ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
  shift
done
[[ $repeat =~ ^[1-9][0-9]*$ ]] || die "--repeat takes a number"
case $size in
  *[kK]) bytes=$(( ${size%[kK]} * 1024 )) ;;
  *M) bytes=$(( ${size%M} * 1048576 )) ;;
  *) bytes=$size ;;
esac
[[ $bytes =~ ^[0-9]+$ ]] && [ "$bytes" -ge 65536 ] || die "--size takes a size of at least 64k"
[ "$(id -u)" = 0 ] || die "needs root (network namespaces, live capture)"
for tool in ip ss nginx curl tcpdump python3 cmake; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done

if [ "$do_build" = 1 ]; then
  if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
    echo "bench-live: configuring $build" >&2
    cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  if ! build_log=$(cmake --build "$build" --target kestrel-cli 2>&1); then
    echo "$build_log" | tail -20 >&2
    die "build of kestrel-cli failed"
  fi
fi
[ -x "$build/bin/kestrel-cli" ] || die "no kestrel-cli in $build/bin"

# The Python side owns the namespaces, the processes and the work folder
# and cleans them up itself (also on SIGINT/SIGTERM/SIGHUP).
exec python3 "$repo/bench/live/live_bench.py" --kestrel "$build/bin/kestrel-cli" --size "$bytes" \
  --repeat "$repeat" --work "$work" "${keep[@]}"
