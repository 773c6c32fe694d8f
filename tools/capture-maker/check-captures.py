#!/usr/bin/env python3
"""Checks a folder made by make-captures.py against its manifests, partly
with tshark as an independent judge:

  check-captures.py OUTPUT_DIR [--tshark] [--only GLOB,..]

For every capture of MANIFEST.tsv: the pcap and every expected file exist and
have the sha256 the manifest gives; HTTP bodies equal the served file (or
its byte range); RTMP reference FLVs have their framemd5 file; impaired
captures really hold retransmissions. With --tshark also: tshark's own count
of retransmissions matches the manifest, tshark's HTTP export of each clean
or sequence-shifted capture yields the expected bodies, every rewritten TCP
checksum is correct, and captures with dropped frames show the gap to
tshark too. Prints one line per failed check and "N passed, N failed".
"""

import argparse
import csv
import fnmatch
import hashlib
import json
import os
import subprocess
import sys
import tempfile


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Checker:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed.append(what)
            print(f"FAIL: {what}", flush=True)
        return ok


def tshark_count(pcap, display_filter, prefs=()):
    args = ["tshark", "-n", "-r", pcap, "-Y", display_filter, "-T", "fields", "-e", "frame.number"]
    for p in prefs:
        args += ["-o", p]
    p = subprocess.run(args, capture_output=True, timeout=120)
    if p.returncode != 0:
        raise RuntimeError(p.stderr.decode(errors="replace"))
    return len([ln for ln in p.stdout.decode().splitlines() if ln.strip()])


def tshark_http_export(pcap, prefs=()):
    with tempfile.TemporaryDirectory() as d:
        args = ["tshark", "-n", "-r", pcap, "-q", "--export-objects", f"http,{d}"]
        for p in prefs:
            args += ["-o", p]
        subprocess.run(args, capture_output=True, timeout=120)
        return {sha256(os.path.join(d, n)) for n in os.listdir(d)}


def check_capture(ck, out, m, use_tshark):
    name = m["capture"][:-5]
    ref = os.path.join(out, "ref", name)
    pcap = os.path.join(out, m["capture"])
    if not ck.check(os.path.exists(pcap), f"{name}: pcap missing"):
        return
    ck.check(sha256(pcap) == m["pcap"]["sha256"], f"{name}: pcap sha256 differs from the manifest")
    media_dir = os.path.join(out, "media")
    edit = m.get("edit")
    if m["protocol"] == "http":
        for b in m["expected_http_bodies"]:
            path = os.path.join(ref, b["file"])
            if not ck.check(os.path.exists(path), f"{name}: expected body {b['file']} missing"):
                continue
            ck.check(sha256(path) == b["sha256"], f"{name}: {b['file']} sha256 differs from the manifest")
            with open(os.path.join(media_dir, b["served_file"]), "rb") as f:
                served = f.read()
            rng = b.get("content_range")
            want = served[rng[0]:rng[1] + 1] if rng else served
            ck.check(hashlib.sha256(want).hexdigest() == b["sha256"],
                     f"{name}: {b['file']} is not the served {b['served_file']}")
            ck.check(b["client_match"], f"{name}: the client's copy of {b['file']} differed")
            if not edit or edit["all_bytes_recoverable"]:
                ck.check(b.get("capture_body_matches", False), f"{name}: {b['file']} not intact in the capture")
    else:
        r = m["expected_rtmp"]
        path = os.path.join(ref, r["ref_flv"])
        if ck.check(os.path.exists(path), f"{name}: ref.flv missing"):
            ck.check(sha256(path) == r["sha256"], f"{name}: ref.flv sha256 differs from the manifest")
        ck.check(os.path.getsize(os.path.join(ref, r["framemd5"])) > 0, f"{name}: ref.framemd5 empty")
        ck.check(r["packets_equal_served_file"], f"{name}: player's packets differ from the served file")
    ta = m["pcap"]["tcp_analysis"]
    if m.get("impairment"):
        ck.check(ta["retransmission"] > 0, f"{name}: impaired capture without retransmissions")
        ck.check(any(s["server_to_client"]["out_of_sequence_segments"] for s in m["tcp_streams"]),
                 f"{name}: impaired capture without segments out of sequence")
    if not m.get("impairment") and not edit:
        # Retransmissions do happen without impairment (a client's FIN sent
        # again, a tail-loss probe repeating the last data); a gap in the
        # data, or other data sent again, never should.
        ck.check(ta["lost_segment"] == 0, f"{name}: clean capture with lost segments")
        resent = m["pcap"].get("payload_retransmissions", 0) - m["pcap"].get("tail_probe_retransmissions", 0)
        ck.check(resent == 0, f"{name}: clean capture with {resent} data segments sent again")
        ck.check(all(not s[k]["holes"] for s in m["tcp_streams"] for k in ("client_to_server", "server_to_client")),
                 f"{name}: clean capture with holes in a stream")
    if edit:
        kind = edit["kind"]
        lost = edit["unrecoverable_bytes"]
        ck.check((lost > 0) == (kind == "drop"), f"{name}: unrecoverable bytes {lost} after a {kind} edit")
        if m["protocol"] == "http" and kind == "drop":
            ck.check(sum(b.get("unrecoverable_body_bytes", 0) for b in m["expected_http_bodies"]) > 0,
                     f"{name}: dropped frames but no body bytes marked unrecoverable")
    if not use_tshark:
        return
    prefs = ["tcp.reassemble_out_of_order:TRUE"]
    ck.check(tshark_count(pcap, "tcp.analysis.retransmission") == ta["retransmission"],
             f"{name}: tshark counts a different number of retransmissions")
    if edit and edit.get("sequence_numbers"):
        bad = tshark_count(pcap, "tcp.checksum.status != 1", ["tcp.check_checksum:TRUE"])
        ck.check(bad == 0, f"{name}: {bad} segments with a wrong TCP checksum after the rewrite")
        isns = {c["server_isn"] for c in edit["sequence_numbers"]["connections"]}
        ck.check(all(v > 0xFFFF0000 - 0x1000000 for v in isns), f"{name}: server ISNs not near 2^32")
    if edit and edit["kind"] == "drop":
        ck.check(tshark_count(pcap, "tcp.analysis.lost_segment") > 0, f"{name}: tshark sees no gap")
    if m["protocol"] == "http" and (not edit or edit["all_bytes_recoverable"]):
        got = tshark_http_export(pcap, prefs)
        for b in m["expected_http_bodies"]:
            if m.get("impairment"):
                # tshark's own reassembly gives up on some out-of-order
                # cases; the capture's completeness is checked above.
                if b["sha256"] not in got:
                    print(f"NOTE: {name}: tshark's HTTP export lacks {b['file']} (loss capture)")
                continue
            ck.check(b["sha256"] in got, f"{name}: tshark's HTTP export lacks {b['file']}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("output")
    ap.add_argument("--tshark", action="store_true")
    ap.add_argument("--only", default="")
    ap.add_argument("--expect", type=int, default=0, help="fail unless at least this many captures are listed")
    args = ap.parse_args(argv)
    out = os.path.abspath(args.output)
    ck = Checker()
    manifest = os.path.join(out, "MANIFEST.tsv")
    if not ck.check(os.path.exists(manifest), "MANIFEST.tsv missing"):
        print(f"{ck.passed} passed, {len(ck.failed)} failed")
        return 1
    with open(manifest, newline="") as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    patterns = [p for p in args.only.split(",") if p]
    rows = [r for r in rows if not patterns or any(fnmatch.fnmatchcase(r["file"][:-5], p) for p in patterns)]
    ck.check(len(rows) >= args.expect, f"only {len(rows)} captures listed, expected at least {args.expect}")
    for r in rows:
        path = os.path.join(out, "ref", r["file"][:-5], "expected.json")
        if not ck.check(os.path.exists(path), f"{r['file']}: expected.json missing"):
            continue
        with open(path) as f:
            m = json.load(f)
        ck.check(str(m["pcap"]["tcp_analysis"]["retransmission"]) == r["retransmissions"],
                 f"{r['file']}: MANIFEST.tsv and expected.json disagree")
        try:
            check_capture(ck, out, m, args.tshark)
        except (OSError, KeyError, RuntimeError, subprocess.SubprocessError) as e:
            ck.check(False, f"{r['file']}: {type(e).__name__}: {e}")
    print(f"{ck.passed} passed, {len(ck.failed)} failed")
    return 1 if ck.failed else 0


if __name__ == "__main__":
    sys.exit(main())
