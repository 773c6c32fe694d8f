#!/usr/bin/env bash
# Self-check of tools/capture-maker/pcap-edit.py on the bundled sample capture
# (no root needed). tshark, where present, is the independent judge: its own
# TCP reassembly must still export the served file from every edit that
# loses nothing, and every rewritten checksum must be right.
#
#   pcap-edit-check.sh REPO_DIR WORK_DIR
# Exit 0 all passed, 1 a check failed, 77 skipped (python3 missing).
set -u
repo=$1
work=$2
python=/usr/bin/python3
[[ -x $python ]] || python=$(command -v python3 || true)
[[ -n $python ]] || { echo "SKIP: python3 missing"; exit 77; }
source "$(dirname "$0")/own-dir.sh"
edit="$repo/tools/capture-maker/pcap-edit.py"
sample="$repo/samples/sample-http-flv.pcap"
served="$repo/samples/sample-http-flv.flv"
[[ -f $sample && -f $served ]] || { echo "FAIL: bundled sample missing"; exit 1; }
have_tshark=0
command -v tshark >/dev/null && have_tshark=1
[[ $have_tshark -eq 1 ]] || echo "NOTE: tshark missing, its cross-checks are left out"

fresh_own_dir "$work" || exit 1
passed=0
failed=0
ok() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
check() { local what=$1; shift; if "$@"; then ok; else fail "$what"; fi; }

served_sha=$(sha256sum "$served" | cut -d' ' -f1)

# Frame numbers of the server's segments with payload, from the sample.
mapfile -t data_frames < <("$python" - "$sample" "$repo/tools/capture-maker" <<'EOF'
import sys
sys.path.insert(0, sys.argv[2])
from capmaker import pcapfile
cap = pcapfile.read_pcap(sys.argv[1])
for fr in cap.frames:
    s = pcapfile.parse_tcp(fr)
    if s and s.sport == 80 and s.payload_len:
        print(fr.number, s.payload_len)
EOF
)
count=${#data_frames[@]}
check "sample has server segments" test "$count" -gt 20
f_a=${data_frames[$((count / 3))]% *};  len_a=${data_frames[$((count / 3))]#* }
f_b=${data_frames[$((count / 2))]% *};  len_b=${data_frames[$((count / 2))]#* }
f_c=${data_frames[$((count / 2 + 1))]% *}

# json_get FILE EXPRESSION: evaluates a Python expression over the report r.
json_get() { "$python" -c "import json,sys; r=json.load(open(sys.argv[1])); print($2)" "$1"; }

tshark_export_has() { # PCAP SHA256
  local d="$work/export.$RANDOM"
  mkdir -p "$d"
  tshark -n -r "$1" -q -o tcp.reassemble_out_of_order:TRUE --export-objects "http,$d" >/dev/null 2>&1
  sha256sum "$d"/* 2>/dev/null | grep -q "^$2 "
}

# 1. Sequence numbers just below 2^32 on both sides.
"$python" "$edit" "$sample" "$work/wrap.pcap" --client-isn 0xfffffff0 --wrap-server-middle \
  --report "$work/wrap.json" 2>/dev/null
check "seqwrap: tool ran" test -s "$work/wrap.pcap"
check "seqwrap: client ISN" test "$(json_get "$work/wrap.json" "r['sequence_numbers']['connections'][0]['client_isn']")" = 4294967280
check "seqwrap: server stream crosses 2^32 inside the body" \
  "$python" -c "import json,sys; c=json.load(open(sys.argv[1]))['sequence_numbers']['connections'][0]; \
sys.exit(0 if 1000 < c['server_wraps_at_stream_offset'] < c['server_stream_bytes'] - 1000 else 1)" "$work/wrap.json"
check "seqwrap: nothing lost" test "$(json_get "$work/wrap.json" "sum(c['server_to_client']['unrecoverable_bytes'] for c in r['lost'])")" = 0
if [[ $have_tshark -eq 1 ]]; then
  syn_seq=$(tshark -n -r "$work/wrap.pcap" -o tcp.relative_sequence_numbers:FALSE -Y "tcp.flags.syn==1 && tcp.flags.ack==0" -T fields -e tcp.seq 2>/dev/null)
  check "seqwrap: tshark sees the SYN at 0xfffffff0 (got '$syn_seq')" test "$syn_seq" = 4294967280
  bad=$(tshark -n -r "$work/wrap.pcap" -o tcp.check_checksum:TRUE -Y "tcp.checksum.status != 1" 2>/dev/null | wc -l)
  check "seqwrap: $bad segments with a wrong checksum" test "$bad" -eq 0
  check "seqwrap: tshark exports the served file across the wrap" tshark_export_has "$work/wrap.pcap" "$served_sha"
  lost=$(tshark -n -r "$work/wrap.pcap" -Y "tcp.analysis.lost_segment || tcp.analysis.retransmission" 2>/dev/null | wc -l)
  check "seqwrap: tshark sees gaps or retransmissions that are not there ($lost)" test "$lost" -eq 0
fi

# 2. Two dropped data segments: exactly their bytes are unrecoverable.
"$python" "$edit" "$sample" "$work/drop.pcap" --drop "$f_a,$f_b" --report "$work/drop.json" 2>/dev/null
check "drop: two frames fewer" test "$(json_get "$work/drop.json" "r['frames_in'] - r['frames_out']")" = 2
check "drop: unrecoverable bytes = payload of the dropped frames" \
  test "$(json_get "$work/drop.json" "r['lost'][0]['server_to_client']['unrecoverable_bytes']")" = $((len_a + len_b))
check "drop: two body ranges unrecoverable" \
  test "$(json_get "$work/drop.json" "len(r['lost'][0]['http_responses'][0]['unrecoverable_body_ranges'])")" = 2
# The body bytes outside the reported ranges are exactly the served file's.
check "drop: bytes outside the holes equal the served file" "$python" - "$work/drop.pcap" "$work/drop.json" "$served" "$repo/tools/capture-maker" <<'EOF'
import json, sys
sys.path.insert(0, sys.argv[4])
from capmaker import pcapfile, streams
c = streams.reassemble(pcapfile.read_pcap(sys.argv[1]))[0]
r = json.load(open(sys.argv[2]))["lost"][0]
served = open(sys.argv[3], "rb").read()
body_start = c.to_client.data.find(b"\r\n\r\n") + 4
holes = r["http_responses"][0]["unrecoverable_body_ranges"]
got = bytearray(c.to_client.data[body_start:body_start + len(served)])
for a, b in holes:
    got[a:b] = served[a:b]
sys.exit(0 if bytes(got) == served and holes and all(b > a for a, b in holes) else 1)
EOF
if [[ $have_tshark -eq 1 ]]; then
  gaps=$(tshark -n -r "$work/drop.pcap" -Y tcp.analysis.lost_segment 2>/dev/null | wc -l)
  check "drop: tshark sees the gaps ($gaps)" test "$gaps" -ge 1
fi

# 3. Duplicates and reordering lose nothing.
"$python" "$edit" "$sample" "$work/mixed.pcap" --dup "$f_a,$f_b:3" --move "$f_c:2,$f_a:-1" \
  --report "$work/mixed.json" 2>/dev/null
check "mixed: two frames more" test "$(json_get "$work/mixed.json" "r['frames_out'] - r['frames_in']")" = 2
check "mixed: nothing lost" test "$(json_get "$work/mixed.json" "r['lost'][0]['server_to_client']['unrecoverable_bytes']")" = 0
check "mixed: frame order" "$python" -c "
import json, sys
o = json.load(open(sys.argv[1]))['order']
a, b, c = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
sys.exit(0 if o.count(a) == 2 and o.count(b) == 2 and o.index(c) > o.index(c - 1) + 1 else 1)" \
  "$work/mixed.json" "$f_a" "$f_b" "$f_c"
if [[ $have_tshark -eq 1 ]]; then
  check "mixed: tshark exports the served file" tshark_export_has "$work/mixed.pcap" "$served_sha"
  dups=$(tshark -n -r "$work/mixed.pcap" -Y "tcp.analysis.retransmission || tcp.analysis.out_of_order" 2>/dev/null | wc -l)
  check "mixed: tshark sees the duplicates and reordering ($dups)" test "$dups" -ge 2
fi

# 4. Bad requests are refused with a message, and write nothing.
"$python" "$edit" "$sample" "$work/bad.pcap" --drop 99999 2>"$work/bad.err"
rc=$?
check "bad frame number refused (rc $rc)" test "$rc" -eq 1 -a ! -e "$work/bad.pcap"
check "bad frame number explained" grep -q "not in the capture" "$work/bad.err"
"$python" "$edit" "$served" "$work/bad2.pcap" 2>"$work/bad2.err"
rc=$?
check "non-pcap input refused (rc $rc)" test "$rc" -eq 1 -a ! -e "$work/bad2.pcap"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
