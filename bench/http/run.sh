#!/usr/bin/env bash
# HTTP recording speed and memory against reference tools, measured in one
# run on this machine (not a test: it prints figures and ratios).
#
#   bench/http/run.sh [options]
#
#   --build DIR       build folder (default build/release; configured when missing)
#   --quick           a small try-out: 10 downloads x 5 MiB, tshark on the same capture
#   --count N         concurrent downloads in the capture (default 50)
#   --size S          bytes per download, k/M/G suffixes (default 20M: about 1 GB in all)
#   --tshark MODE     small: tshark on a capture of --tshark-count downloads (default 5)
#                            of the same size, compared with Kestrel on that capture
#                     full:  tshark on the big capture itself (about 20 minutes and
#                            several GB of memory for 1 GB)
#                     skip:  no tshark
#   --tshark-count N  downloads in the small tshark capture (default 5)
#   --repeat N        runs of tcpdump and Kestrel; the fastest counts (default 1)
#   --work DIR        where the work folder (captures and outputs) is made: a new
#                     folder inside DIR, created when missing (default $TMPDIR or
#                     /tmp; needs about 4.5 times the capture size). Only what the
#                     script made is removed at exit: the work folder, and DIR when
#                     it was made and is empty again.
#   --keep            keep the work folder
#   --summary FILE    also write the figures as key=value lines to FILE (for bench/run)
#
# The capture is made by synth-capture: N downloads over distinct TCP
# connections, 1460-byte segments interleaved round-robin, FLV bodies whose
# SHA-256 the generator writes. Measured with the shell's clock (wall time)
# and /usr/bin/time -v (peak resident memory), input in the page cache:
#   (a) tcpdump -r X -w copy.pcap        reading and writing the bytes once
#   (b) kestrel-cli capture --source file://X --save D --home H
#       the whole job: replay, capture data files, post-processing, outputs
#   (c) tshark -r X -q --export-objects http,DIR
# Then Kestrel's outputs are checked against the generated bodies (sha256).
# Exit status: 0 figures printed and outputs verified, 1 a run failed or an
# output differs, 2 usage or a missing tool.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$repo/build/release
count=50
size=20M
tshark_mode=small
tshark_count=5
repeat=1
work=""
keep=0
summary=""

die() { echo "bench-http: $*" >&2; exit 2; }

while [ $# -gt 0 ]; do
  case $1 in
    --build) build=${2:?}; shift ;;
    --quick) count=10; size=5M; tshark_mode=full; repeat=3 ;;
    --count) count=${2:?}; shift ;;
    --size) size=${2:?}; shift ;;
    --tshark) tshark_mode=${2:?}; shift ;;
    --tshark-count) tshark_count=${2:?}; shift ;;
    --repeat) repeat=${2:?}; shift ;;
    --work) work=${2:?}; shift ;;
    --keep) keep=1 ;;
    --summary) summary=${2:?}; shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
  shift
done
case $tshark_mode in small|full|skip) ;; *) die "--tshark takes small, full or skip" ;; esac
[[ $count =~ ^[0-9]+$ && $tshark_count =~ ^[0-9]+$ && $repeat =~ ^[1-9][0-9]*$ ]] || die "counts must be numbers"

for tool in tcpdump python3 cmake; do
  command -v "$tool" >/dev/null || die "$tool is missing"
done
[ -x /usr/bin/time ] || die "/usr/bin/time is missing (apt-get install time)"
[ "$tshark_mode" = skip ] || command -v tshark >/dev/null || die "tshark is missing (apt-get install tshark, or --tshark skip)"

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  echo "bench-http: configuring $build" >&2
  cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if ! build_log=$(cmake --build "$build" --target kestrel-cli synth-capture 2>&1); then
  echo "$build_log" | tail -20 >&2
  die "build of kestrel-cli and synth-capture failed"
fi
bin=$build/bin
[ -x "$bin/synth-capture" ] || die "synth-capture was not built (it needs libssl-dev)"

# The work folder is always one this script makes (mktemp), so the removal
# at exit never reaches files of the user's; of the --work folder itself
# only the levels made here are removed, and only when empty.
base=${work:-${TMPDIR:-/tmp}}
made_dirs=()
d=$base
while [ ! -e "$d" ]; do made_dirs+=("$d"); d=$(dirname "$d"); done
work=""
cleanup() {
  if [ -n "$work" ]; then
    if [ "$keep" = 1 ]; then echo "bench-http: work files kept in $work" >&2; else rm -rf "$work"; fi
  fi
  for d in "${made_dirs[@]}"; do rmdir "$d" 2>/dev/null || break; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
mkdir -p "$base"
work=$(mktemp -d "$(cd "$base" && pwd)/kestrel-bench-http.XXXXXX")

# measure NAME COMMAND...: runs the command under /usr/bin/time -v with
# standard output to $work/NAME.out; sets SECS and PEAK_KB.
measure() {
  local name=$1
  shift
  local t0 t1
  # Wall time from the clock in microseconds (time's elapsed time has 10 ms
  # steps, too coarse for small captures); peak memory from time -v.
  t0=${EPOCHREALTIME/[.,]/}
  if ! /usr/bin/time -v -o "$work/$name.time" "$@" >"$work/$name.out" 2>"$work/$name.err"; then
    echo "bench-http: '$*' failed:" >&2
    tail -5 "$work/$name.err" >&2
    exit 1
  fi
  t1=${EPOCHREALTIME/[.,]/}
  SECS=$(awk "BEGIN { printf \"%.3f\", ($t1 - $t0) / 1e6 }")
  PEAK_KB=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/$name.time")
}

# best NAME PREPARE COMMAND...: the fastest of $repeat runs (PREPARE is
# evaluated before each); sets SECS and PEAK_KB (the largest peak seen).
best() {
  local name=$1 prepare=$2 best_s="" peak=0
  shift 2
  for _ in $(seq "$repeat"); do
    eval "$prepare"
    measure "$name" "$@"
    if [ -z "$best_s" ] || awk "BEGIN { exit !($SECS < $best_s) }"; then best_s=$SECS; fi
    [ "$PEAK_KB" -gt "$peak" ] && peak=$PEAK_KB
  done
  SECS=$best_s
  PEAK_KB=$peak
}

# generate NAME N: capture $work/NAME.pcap of N downloads and NAME.sha256.
generate() {
  "$bin/synth-capture" --out "$work/$1.pcap" --count "$2" --size "$size" --seed 7 --sha256 "$work/$1.sha256" \
    2>"$work/$1.gen" || { cat "$work/$1.gen" >&2; exit 1; }
  cat "$work/$1.gen" >&2
  cat "$work/$1.pcap" >/dev/null  # the runs below read it from the page cache
}

# run_kestrel NAME CAPTURE: one whole Kestrel job into fresh folders.
kestrel_prepare() { rm -rf "$work/save-$1" "$work/home-$1"; mkdir -p "$work/save-$1" "$work/home-$1"; }

# verify ITEMS SHA256LIST: Kestrel's item lines against the generated bodies.
verify() {
  python3 - "$1" "$2" <<'PY'
import hashlib, os, sys
items, sums = sys.argv[1], sys.argv[2]
want = {}
for line in open(sums):
    digest, name = line.split()
    want[name] = digest
seen, bad, matched = set(), [], 0
for line in open(items):
    f = line.rstrip("\n").split("\t")
    # The seventh column (complete or gaps) came later; six still read.
    if len(f) not in (6, 7):
        bad.append(f"malformed item line: {line.strip()!r}")
        continue
    index, state, kind, stored, expected, path = f[:6]
    if state != "done" or not path:
        bad.append(f"item {index}: state {state}, file '{path}'")
        continue
    if len(f) == 7 and f[6] != "complete":
        bad.append(f"item {index}: {f[6]} ({os.path.basename(path)})")
    name = os.path.basename(path)
    h = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            h.update(block)
    if name not in want:
        bad.append(f"item {index}: unexpected output {name}")
    elif h.hexdigest() != want[name]:
        bad.append(f"item {index}: {name} differs from the generated body ({os.path.getsize(path)} bytes)")
    elif name in seen:
        bad.append(f"item {index}: {name} recorded twice")
    else:
        matched += 1
    seen.add(name)
missing = sorted(set(want) - seen)
if missing:
    bad.append(f"no output for {len(missing)} bodies: {', '.join(missing[:5])}{' ...' if len(missing) > 5 else ''}")
print(f"{matched}/{len(want)}")
for b in bad:
    print("  " + b, file=sys.stderr)
sys.exit(1 if bad else 0)
PY
}

mb() { awk "BEGIN { printf \"%.0f\", $1 / 1024 }"; }
ratio() { awk "BEGIN { if ($2 > 0) printf \"%.3g\", $1 / $2; else print \"n/a\" }"; }

echo "bench-http: making the capture ($count downloads x $size) in $work" >&2
generate big "$count"
pcap_bytes=$(stat -c %s "$work/big.pcap")

echo "bench-http: tcpdump -r X -w copy.pcap" >&2
best tcpdump 'rm -f "$work/copy.pcap"' tcpdump -r "$work/big.pcap" -w "$work/copy.pcap"
tcpdump_s=$SECS tcpdump_kb=$PEAK_KB
rm -f "$work/copy.pcap"

echo "bench-http: kestrel-cli capture --source file://X" >&2
best kestrel 'kestrel_prepare big' "$bin/kestrel-cli" capture --source "file://$work/big.pcap" \
  --save "$work/save-big" --home "$work/home-big"
kestrel_s=$SECS kestrel_kb=$PEAK_KB
verify_rc=0
verified=$(verify "$work/kestrel.out" "$work/big.sha256") || verify_rc=1
leftover=$(find "$work/save-big" -path '*Temp*' -type f | wc -l)

tshark_line="tshark: skipped (--tshark skip)"
if [ "$tshark_mode" != skip ]; then
  if [ "$tshark_mode" = full ]; then
    tname=big tcount=$count
    k_s=$kestrel_s k_kb=$kestrel_kb
  else
    tname=small tcount=$tshark_count
    echo "bench-http: making the tshark capture ($tcount downloads x $size)" >&2
    generate small "$tcount"
    best kestrel-small 'kestrel_prepare small' "$bin/kestrel-cli" capture --source "file://$work/small.pcap" \
      --save "$work/save-small" --home "$work/home-small"
    k_s=$SECS k_kb=$PEAK_KB
    verified_small=$(verify "$work/kestrel-small.out" "$work/small.sha256") || verify_rc=1
  fi
  echo "bench-http: tshark -r X --export-objects http (this takes long on large captures)" >&2
  rm -rf "$work/tshark-out"
  mkdir -p "$work/tshark-out"
  measure tshark tshark -n -r "$work/$tname.pcap" -q --export-objects "http,$work/tshark-out"
  tshark_s=$SECS tshark_kb=$PEAK_KB
  tshark_exact=$(cd "$work/tshark-out" && python3 -c '
import hashlib, os, sys
want = {l.split()[0] for l in open(sys.argv[1])}
print(sum(1 for f in os.listdir(".") if hashlib.sha256(open(f, "rb").read()).hexdigest() in want))' "$work/$tname.sha256")
  tshark_line=$(printf 'tshark --export-objects http: %.2f s, peak memory %s MB, %s/%s bodies byte-exact\n    on %s (%s downloads x %s); Kestrel on the same capture: %.2f s, peak %s MB\n    ratio Kestrel/tshark: %s' \
    "$tshark_s" "$(mb "$tshark_kb")" "$tshark_exact" "$tcount" \
    "$([ "$tname" = big ] && echo "the same capture" || echo "a smaller capture")" "$tcount" "$size" \
    "$k_s" "$(mb "$k_kb")" "$(ratio "$k_s" "$tshark_s")")
fi

cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
mem=$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)
echo
echo "machine: $cpu, $(nproc) cores, $mem, Linux $(uname -r)"
echo "capture: $count downloads x $size, $(awk "BEGIN { printf \"%.0f\", $pcap_bytes / 1e6 }") MB pcap, best of $repeat run(s)"
printf 'tcpdump -r X -w copy.pcap:      %8.2f s  peak memory %s MB\n' "$tcpdump_s" "$(mb "$tcpdump_kb")"
printf 'kestrel-cli capture (whole job): %7.2f s  peak memory %s MB  (%.0f MB/s)\n' "$kestrel_s" "$(mb "$kestrel_kb")" \
  "$(awk "BEGIN { print ($kestrel_s > 0) ? $pcap_bytes / 1e6 / $kestrel_s : 0 }")"
echo "ratio Kestrel/tcpdump: $(ratio "$kestrel_s" "$tcpdump_s")  (goal: 2 or less)"
echo "$tshark_line"
echo "Kestrel peak memory: $(mb "$kestrel_kb") MB on $count downloads$([ -n "${k_kb:-}" ] && [ "$tshark_mode" = small ] && echo ", $(mb "$k_kb") MB on $tshark_count") (goal: under 100 MB)"
echo "Kestrel outputs byte-identical to the generated bodies: ${verified:-0/$count}$([ -n "${verified_small:-}" ] && echo " (small capture: $verified_small)")"
[ "$leftover" -eq 0 ] || echo "capture data files left in the Temp folder: $leftover"
if [ -n "$summary" ]; then
  {
    echo "count=$count"
    echo "size=$size"
    echo "pcap_bytes=$pcap_bytes"
    echo "repeat=$repeat"
    echo "tcpdump_s=$tcpdump_s"
    echo "tcpdump_kb=$tcpdump_kb"
    echo "kestrel_s=$kestrel_s"
    echo "kestrel_kb=$kestrel_kb"
    echo "verified=${verified:-0/$count}"
    echo "leftover=$leftover"
    echo "tshark_mode=$tshark_mode"
    if [ "$tshark_mode" != skip ]; then
      echo "tshark_count=$tcount"
      echo "tshark_pcap_bytes=$(stat -c %s "$work/$tname.pcap")"
      echo "tshark_s=$tshark_s"
      echo "tshark_kb=$tshark_kb"
      echo "tshark_exact=$tshark_exact"
      echo "kestrel_same_s=$k_s"
      echo "kestrel_same_kb=$k_kb"
      echo "verified_same=${verified_small:-${verified:-0/$tcount}}"
    fi
  } >"$summary"
fi
exit $verify_rc
