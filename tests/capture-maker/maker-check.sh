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

skip() { echo "SKIP: $*"; exit 77; }
[[ $(id -u) -eq 0 ]] || skip "needs root (network namespaces, iptables, tcpdump)"
[[ -n $python ]] || skip "python3 missing"
for tool in ip ethtool iptables ss sysctl tcpdump tshark ffmpeg ffprobe curl wget nginx rtmpdump gcc; do
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
failed=0

rm -rf "$out"
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
rm -rf "$out.interrupted"
mkdir -p "$out.interrupted"
cp -r "$out/media" "$out.interrupted/"
"$python" "$maker/make-captures.py" "$out.interrupted" --only rtmp-listen-ffmpeg --variants eth1500 --impair loss \
  --no-edits --jobs 1 >"$out.interrupted.log" 2>&1 &
pid=$!
for _ in $(seq 100); do
  [[ -n "$(namespaces_of "$pid")" ]] && break
  sleep 0.1
done
if [[ -z "$(namespaces_of "$pid")" ]]; then
  echo "FAIL: the interrupted run never created its namespace"
  failed=1
fi
sleep 1.5
kill -TERM "$pid"
wait "$pid"
rc=$?
if [[ $rc -ne 130 ]]; then
  echo "FAIL: interrupted run exited with $rc, expected 130: $(tail -3 "$out.interrupted.log")"
  failed=1
fi
if [[ -n "$(namespaces_of "$pid")" ]]; then
  echo "FAIL: namespaces left behind by the interrupted run: $(namespaces_of "$pid" | tr '\n' ' ')"
  failed=1
fi
# Its impair program and ffmpeg server carry the output folder in their
# command lines.
if pgrep -f "$out.interrupted/" >/dev/null; then
  echo "FAIL: processes of the interrupted run still running"
  failed=1
fi
rm -rf "$out.interrupted" "$out.interrupted.log"

[[ $failed -eq 0 ]] && echo "capture maker self-check passed"
exit $failed
