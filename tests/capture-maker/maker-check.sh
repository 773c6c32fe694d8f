#!/usr/bin/env bash
# Self-check of the test-capture maker: makes a small subset of the captures
# (FLV by curl, chunked FLV by curl, nginx-rtmp VOD by rtmpdump; both link
# variants, clean and with loss, plus the edits made of them), then checks
# every manifest with check-captures.py (files, sha256 of the served files,
# retransmissions in the loss captures, tshark's own view), and that an
# interrupted run leaves no namespace or process behind.
#
#   maker-check.sh REPO_DIR WORK_DIR
# Exit 0 passed, 1 failed, 77 skipped (not root, a tool or package missing,
# or no network namespaces here).
set -u
repo=$1
out=$2
maker="$repo/tools/capture-maker"
python=/usr/bin/python3
[[ -x $python ]] || python=$(command -v python3 || true)
source "$(dirname "$0")/own-dir.sh"

skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "needs root (network namespaces, iptables, tcpdump)"
[[ -n $python ]] || skip "python3 missing"
for tool in ip ethtool iptables ss sysctl taskset tcpdump tshark ffmpeg ffprobe curl wget nginx rtmpdump gcc; do
  command -v "$tool" >/dev/null || skip "$tool missing (tools/capture-maker/install-deps.sh installs it)"
done
[[ -f /usr/include/libnetfilter_queue/libnetfilter_queue.h ]] || skip "libnetfilter-queue-dev missing"
[[ -f /usr/lib/nginx/modules/ngx_rtmp_module.so ]] || skip "libnginx-mod-rtmp missing"
probe="kestrel-probe-$$"
ip netns add "$probe" 2>/dev/null || skip "cannot create network namespaces here"
ip netns del "$probe"

# Namespaces of one maker run (its pid is in their names; other engineers'
# runs may be going on at the same time).
namespaces_of() { ip netns list 2>/dev/null | awk '{print $1}' | grep "^kestrel-cap-$1-" | sort; }
# "PID START_TIME" of every process in the namespaces of maker run $1: the
# servers, clients, tcpdump and impair program it started. The start time
# tells a process apart from a later one that got the same pid.
processes_of() {
  local ns pid
  for ns in $(namespaces_of "$1"); do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do
      start_time "$pid"
    done
  done
}
start_time() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  # Field 22, counted after the command name (which may hold spaces).
  stat=${stat##*) }
  echo "$1 $(echo "$stat" | awk '{print $20}')"
}
failed=0

fresh_own_dir "$out" || exit 1
"$python" "$maker/make-captures.py" "$out" --only 'http-flv-curl,http-chunked-curl,rtmp-vod-rtmpdump' --jobs 2 &
pid=$!
wait "$pid"
rc=$?
if [[ $rc -ne 0 ]]; then
  echo "FAIL: make-captures.py exited with $rc"
  failed=1
fi
if [[ -n "$(namespaces_of "$pid")" ]]; then
  echo "FAIL: namespaces left behind: $(namespaces_of "$pid" | tr '\n' ' ')"
  failed=1
fi

# 12 recorded captures and the edits of them the plan lists.
"$python" "$maker/check-captures.py" "$out" --tshark --expect 30 || failed=1

# The loss captures: the impairment really happened, before and after the
# capture point, and tshark sees its traces.
"$python" - "$out" <<'EOF' || failed=1
import json, sys, glob
bad = 0
loss = [json.load(open(p)) for p in glob.glob(sys.argv[1] + "/ref/*-loss/expected.json")]
for m in loss:
    c = m["impairment"]["counters"]
    ta = m["pcap"]["tcp_analysis"]
    if c["dropped_out"] + c["dropped_in"] == 0 or c["held"] + c["delayed"] == 0 or ta["retransmission"] == 0:
        print(f"FAIL: {m['capture']}: impairment left no trace: {c} {ta}")
        bad += 1
if len(loss) != 6:
    print(f"FAIL: {len(loss)} loss captures, expected 6")
    bad += 1
print(f"loss captures: {len(loss)}, retransmissions " + ", ".join(
    f"{m['capture']}={m['pcap']['tcp_analysis']['retransmission']}" for m in sorted(loss, key=lambda m: m['capture'])))
sys.exit(1 if bad else 0)
EOF

# An interrupted run cleans up: no namespace, server or tcpdump stays. The
# media are copied so that the run reaches its namespace at once; it is
# stopped while the (real-time) RTMP transfer is running.
stopped=$out.interrupted
fresh_own_dir "$stopped" || exit 1
cp -r "$out/media" "$stopped/"
"$python" "$maker/make-captures.py" "$stopped" --only rtmp-listen-ffmpeg --variants eth1500 --impair loss \
  --no-edits --jobs 1 >"$stopped/run.log" 2>&1 &
pid=$!
# Stopped once its capture is under way: tcpdump, the impair program and the
# ffmpeg server running in its namespace (the transfer lasts seconds).
started=""
for _ in $(seq 150); do
  started=$(processes_of "$pid")
  [[ $(grep -c . <<<"$started") -ge 3 ]] && break
  sleep 0.1
done
if [[ $(grep -c . <<<"$started") -lt 3 ]]; then
  echo "FAIL: the interrupted run never got its capture going (processes: $(echo $started))"
  failed=1
fi
sleep 0.5
started=$(processes_of "$pid")
kill -TERM "$pid"
wait "$pid"
rc=$?
if [[ $rc -ne 130 ]]; then
  echo "FAIL: interrupted run exited with $rc, expected 130: $(tail -3 "$stopped/run.log")"
  failed=1
fi
if [[ -n "$(namespaces_of "$pid")" ]]; then
  echo "FAIL: namespaces left behind by the interrupted run: $(namespaces_of "$pid" | tr '\n' ' ')"
  failed=1
fi
left=""
while read -r p t; do
  [[ -n $p && "$(start_time "$p")" == "$p $t" ]] && left+=" $p"
done <<<"$started"
if [[ -n $left ]]; then
  echo "FAIL: processes of the interrupted run still running:$left"
  failed=1
fi
remove_own_dir "$stopped"

[[ $failed -eq 0 ]] && echo "capture maker self-check passed"
exit $failed
