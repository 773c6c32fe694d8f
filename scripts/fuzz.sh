#!/usr/bin/env bash
# Builds every libFuzzer target with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (build/fuzz), and runs each for a bounded time.
#
#   scripts/fuzz.sh [--seconds N] [--jobs J] [--no-build] [TARGET...]
#
#   --seconds N   how long each target runs (default 40: the sixteen targets,
#                 two at a time, take about five and a half minutes after
#                 the build)
#   --jobs J      how many targets run at once (default 2)
#   --no-build    run what build/fuzz holds
#   TARGET...     only these targets (default: all; --list shows them)
#
# Needs clang and libFuzzer's runtime (Debian 12: clang, libclang-rt-14-dev;
# scripts/install-deps.sh installs them); installs nothing itself.
#
# Exit status 0 when every target ran its time without a crash, a leak, a
# time-out (an input that runs over 10 s; see the table below) or running
# out of memory (2 GiB); 1 otherwise, after naming each failed target, what
# it hit, and where its input was saved. The corpus grows in build/fuzz/corpus/TARGET; seeds are
# made by scripts/fuzz-seeds.sh. An input that found a fault belongs, once
# understood, in fuzz/regressions/TARGET/NAME-OF-THE-FAULT (replayed by the
# normal test suite).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/fuzz

# target:-max_len:-timeout. Each target refuses larger inputs itself as
# well. An input that runs longer than its time-out is a failure: 10 s,
# except for Merlin's converter, whose initial synchronisation may try up to
# 1,024 offsets with 904 chunk sizes each. Sizes that cannot change a trial's
# outcome are skipped, but a stream whose every offset starts a long
# message still costs the whole search, which the sanitizers and the
# coverage instrumentation make about 40 times slower.
targets=(
  packet_dispatcher_fuzz:65536:10
  capture_http_fuzz:65536:10
  raw_stream_fuzz:65536:10
  merlin_records_fuzz:131072:60
  profile_fuzz:16384:10
  flv_repair_fuzz:131072:10
  rtmp_builtin_fuzz:131072:10
  registry_fuzz:65536:10
  markup_fuzz:16384:10
  playlist_fuzz:65536:10
  osprey_dispatch_fuzz:65536:10
  osprey_requests_fuzz:16384:10
  osprey_notices_fuzz:8192:10
  harrier_http_response_fuzz:65536:10
  harrier_reorder_fuzz:8192:10
  harrier_record_writer_fuzz:262144:10
)

seconds=40
jobs=2
do_build=1
chosen=()
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --jobs) jobs=${2:?--jobs needs a number}; shift 2 ;;
    --jobs=*) jobs=${1#*=}; shift ;;
    --no-build) do_build=0; shift ;;
    --list) for t in "${targets[@]}"; do echo "${t%%:*}"; done; exit 0 ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) chosen+=("$1"); shift ;;
  esac
done
case $seconds in ''|*[!0-9]*) echo "fuzz: --seconds takes a whole number" >&2; exit 2 ;; esac
case $jobs in ''|*[!0-9]*|0) echo "fuzz: --jobs takes a number from 1" >&2; exit 2 ;; esac

run=()
for t in "${targets[@]}"; do
  if [ ${#chosen[@]} -eq 0 ] || [[ " ${chosen[*]} " == *" ${t%%:*} "* ]]; then run+=("$t"); fi
done
for c in "${chosen[@]}"; do
  [[ " ${targets[*]} " == *" $c:"* ]] || { echo "fuzz: no target $c (--list shows them)" >&2; exit 2; }
done

# One run at a time in a build folder: runs share its binaries, corpus and
# logs.
mkdir -p "$build"
exec {lock_fd}>"$build/fuzz.lock"
if ! flock -n "$lock_fd"; then
  echo "fuzz: another run is using $build" >&2
  exit 2
fi

if [ $do_build -eq 1 ]; then
  if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
    echo "fuzz: clang is missing (Debian: apt-get install clang libclang-rt-14-dev)" >&2
    exit 2
  fi
  runtime="$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-x86_64.a"
  if [ ! -f "$runtime" ]; then
    echo "fuzz: libFuzzer's runtime is missing ($runtime; Debian: apt-get install libclang-rt-14-dev)" >&2
    exit 2
  fi
  echo "== fuzz: configure and build $build" >&2
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_FUZZ=ON -DKESTREL_SANITIZE=ON -DKESTREL_WERROR=OFF >/dev/null
  cmake --build "$build" --target kestrel_fuzzers
  scripts/fuzz-seeds.sh "$build/seeds"
fi

# Scratch files of the targets go to a folder of this run (removed at the
# end), so that a target that dies cannot leave them in /tmp.
scratch=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/kestrel-fuzz-run.XXXXXX")
mkdir "$scratch/running"
cleanup() {
  # Only the fuzzers of this run that are still running, by their process
  # ids (each id is removed from running/ as soon as its fuzzer ends).
  local f
  for f in "$scratch"/running/*; do
    [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null || true
  done
  rm -rf -- "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$build/logs"
# One target: runs it and writes its exit status beside its log.
run_one() {
  local name=$1 max_len=$2 timeout=$3
  local corpus="$build/corpus/$name" artifacts="$build/artifacts/$name/" log="$build/logs/$name.log"
  mkdir -p "$corpus" "$artifacts" "$scratch/$name"
  local seeds=("$build/seeds/$name")
  [ -d "fuzz/seeds/$name" ] && seeds+=("fuzz/seeds/$name")
  local rc=0
  TMPDIR="$scratch/$name" UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/bin/$name" "$corpus" "${seeds[@]}" \
    -max_len="$max_len" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts" -print_final_stats=1 >"$log" 2>&1 &
  local pid=$!
  echo "$pid" >"$scratch/running/$name"
  wait "$pid" || rc=$?
  rm -f "$scratch/running/$name"
  # The targets kept beside their tests name their files in /tmp and
  # /dev/shm after their process id: remove exactly those of this process.
  rm -f -- "/tmp/kestrel-repair-fuzz-$pid.flv" "/tmp/rtmp-builtin-fuzz-$pid.tmp" "/tmp/rtmp-builtin-fuzz-$pid.flv" \
    "/dev/shm/kestrel-registry-fuzz-$pid.reg" "/dev/shm/kestrel-registry-fuzz-$pid.reg.lock" \
    "/tmp/kestrel-registry-fuzz-$pid.reg" "/tmp/kestrel-registry-fuzz-$pid.reg.lock"
  echo "$rc" >"$build/logs/$name.rc"
}

for t in "${run[@]}"; do
  [ -x "$build/bin/${t%%:*}" ] || { echo "fuzz: $build/bin/${t%%:*} is missing (run without --no-build)" >&2; exit 2; }
  rm -f "$build/logs/${t%%:*}.rc"
done

echo "== fuzz: ${#run[@]} targets, $seconds s each, $jobs at a time" >&2
running=0
for t in "${run[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "   start ${t%%:*}" >&2
  IFS=: read -r name max_len timeout <<<"$t"
  run_one "$name" "$max_len" "$timeout" &
  running=$((running + 1))
done
wait || true

status=0
for t in "${run[@]}"; do
  name=${t%%:*}
  log="$build/logs/$name.log"
  rc=$(cat "$build/logs/$name.rc" 2>/dev/null || echo missing)
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
  if [ "$rc" = 0 ]; then
    echo "ok      $name: ${done_line:-(no statistics)}" >&2
    continue
  fi
  status=1
  what=$(grep -m1 -E 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error:|^[a-z_]+_fuzz: ' "$log" || true)
  input=$(grep -o 'Test unit written to .*' "$log" | tail -1 | sed 's/^Test unit written to //' || true)
  echo "FAILED  $name (exit $rc): ${what:-see the log}" >&2
  [ -n "$input" ] && echo "        input saved as $root/$input" >&2
  echo "        log: $root/$log" >&2
done
exit $status
