#!/usr/bin/env python3
"""End-to-end tests of HTTP recording: real captures go through
`kestrel-cli capture`, and every finished file must be byte-identical to the
body the server sent.

  http_e2e.py bodies   --kestrel BIN --captures DIR [--only GLOB,..]
  http_e2e.py tshark   --kestrel BIN --captures DIR [--only GLOB,..]
  http_e2e.py make     --maker SCRIPT --out DIR [--jobs N]
  http_e2e.py synth    --kestrel BIN --synth BIN --work DIR

DIR holds NAME.pcap files with ref/NAME/expected.json beside them, as in the
shared reference captures and in the capture maker's output (its
MANIFEST.tsv lists the captures; RTMP captures are left out here).

bodies  every expected body must come out of Kestrel byte for byte, under
        the name the URL gives it (clip.flv, clip(1).flv) or, for items made
        from the response's Content-Type, NUMBER.EXT. Where an edit dropped
        frames, the bytes no recorder can recover are named explicitly and
        only the recoverable ones are checked. No capture data file may be
        left in the Temp folder.
tshark  differential: Kestrel must recover at least every body that
        `tshark --export-objects http` recovers byte-exact.
make    runs the capture maker for every HTTP scenario (both link variants,
        with and without loss, and the edited captures) as root.
synth   synthetic captures from synth-capture whose initial sequence numbers
        sit just below 2^32, so every body crosses the wrap.

Exit status: 0 passed, 1 failed, 77 skipped (a tool, root or the captures
are missing).
"""

import argparse
import fnmatch
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
from item_lines import parse_items  # noqa: E402

SKIP = 77
MEDIA_EXTENSIONS = (".FLV", ".F4V", ".MP4", ".M4A", ".M4V", ".MP3")  # .SWF only with RecordSwf
KESTREL_TIMEOUT = 180
TSHARK_TIMEOUT = 300


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def first_difference(a, b):
    """Offset of the first differing byte, or None when a == b."""
    n = min(len(a), len(b))
    if a[:n] != b[:n]:
        lo, hi = 0, n
        while hi - lo > 1:  # the prefixes a[:lo] and b[:lo] are equal
            mid = (lo + hi) // 2
            if a[:mid] == b[:mid]:
                lo = mid
            else:
                hi = mid
        return lo
    return None if len(a) == len(b) else n


def describe_difference(expected, got):
    off = first_difference(expected, got)
    if off is None:
        return "identical"
    e = f"0x{expected[off]:02x}" if off < len(expected) else "end of body"
    g = f"0x{got[off]:02x}" if off < len(got) else "end of file"
    size = f"{len(got)} bytes instead of {len(expected)}" if len(got) != len(expected) else f"{len(got)} bytes"
    return f"{size}, first difference at byte offset {off} (expected {e}, got {g})"


# ------------------------------------------------------------ URL rules

def url_extension(url):
    """Extension of a URL as the recorder computes it: cut at '?', last path
    part, from its last point on."""
    u = url.rstrip()
    u = u.split("?", 1)[0]
    u = u.rsplit("/", 1)[-1]
    dot = u.rfind(".")
    return u[dot:] if dot >= 0 else ""


def url_title(url):
    t = url.rstrip()
    for esc, ch in (("%20", " "), ("%26", "&"), ("%3f", "?"), ("%2f", "/"), ("%3a", ":"), ("%3d", "=")):
        t = t.replace(esc, ch)
    t = t.split("?", 1)[0].rsplit("/", 1)[-1]
    t = t[-30:]
    for ch in "/\\:*?<>|":
        t = t.replace(ch, " ")
    return t


def name_rule(url):
    """(description, regex) of the finished file's name for a body fetched
    from url."""
    if url is not None and url_extension(url).upper() in MEDIA_EXTENSIONS:
        title = url_title(url)
        dot = title.rfind(".")
        base, ext = (title[:dot], title[dot:]) if dot >= 0 else (title, "")
        return f"{title} or {base}(k){ext}", re.compile(re.escape(base) + r"(\(\d+\))?" + re.escape(ext) + r"\Z")
    return "NUMBER.EXT from the Content-Type", re.compile(r"\d+\.(FLV|F4V|SWF|MP4|M4A|M4V|MP3)\Z")


# ------------------------------------------------------------ expectations

class Body:
    def __init__(self, capdir, name, entry):
        self.file = entry["file"]
        self.path = os.path.join(capdir, "ref", name, entry["file"])
        self.bytes = entry["bytes"]
        self.sha256 = entry["sha256"]
        self.url = None
        m = re.search(r"GET (\S+)", entry.get("what", ""))
        if m:
            self.url = m.group(1)
        self.served_file = entry.get("served_file", self.file)
        self.content_range = entry.get("content_range")
        self.framing = entry.get("framing", "content-length")
        self.lost = [tuple(r) for r in entry.get("unrecoverable_body_ranges", [])]
        self.header_damaged = bool(entry.get("header_damaged"))

    def data(self):
        d = read(self.path)
        if sha256(d) != self.sha256:
            raise RuntimeError(f"reference file {self.path} does not have the sha256 its manifest gives")
        return d


class Capture:
    def __init__(self, capdir, name):
        self.name = name
        self.pcap = os.path.join(capdir, name + ".pcap")
        with open(os.path.join(capdir, "ref", name, "expected.json")) as f:
            self.manifest = json.load(f)
        self.bodies = [Body(capdir, name, e) for e in self.manifest.get("expected_http_bodies", [])]
        # Whole files that 206 parts give when joined at their offsets.
        self.joined = [j for j in self.manifest.get("expected_joined_ranges", []) if j.get("complete")]
        edit = self.manifest.get("edit") or {}
        self.unrecoverable = edit.get("unrecoverable_bytes", 0)


def http_captures(capdir, only):
    names = []
    manifest = os.path.join(capdir, "MANIFEST.tsv")
    if os.path.exists(manifest):
        with open(manifest) as f:
            header = f.readline().rstrip("\n").split("\t")
            for line in f:
                row = dict(zip(header, line.rstrip("\n").split("\t")))
                if row.get("protocol") == "http" and row.get("file", "").endswith(".pcap"):
                    names.append(row["file"][:-5])
    patterns = [p for p in (only or "").split(",") if p]
    if patterns:
        names = [n for n in names if any(fnmatch.fnmatchcase(n, p) for p in patterns)]
    return [Capture(capdir, n) for n in names]


# ------------------------------------------------------------ Kestrel

def run_kestrel(kestrel, pcap, work):
    """Runs one whole job; returns (items, problems)."""
    save = os.path.join(work, "save")
    home = os.path.join(work, "home")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(save)
    os.makedirs(home)
    problems = []
    try:
        p = subprocess.run([kestrel, "capture", "--source", "file://" + os.path.abspath(pcap), "--save", save,
                            "--home", home], capture_output=True, timeout=KESTREL_TIMEOUT)
    except subprocess.TimeoutExpired:
        return [], [f"kestrel-cli capture did not finish within {KESTREL_TIMEOUT} s"]
    err = p.stderr.decode(errors="replace")
    if p.returncode not in (0, 4):
        problems.append(f"kestrel-cli capture exited with {p.returncode}: {err.strip()[-400:]}")
    if "ERROR: AddressSanitizer" in err or "runtime error:" in err:
        problems.append("sanitizer report:\n" + err[-3000:])
    items, malformed = parse_items(p.stdout.decode(errors="replace"))
    problems += malformed
    for it in items:
        if it.path:
            if not os.path.isabs(it.path) or not os.path.isfile(it.path):
                problems.append(f"{it.label()}: its file {it.path} does not exist")
            elif os.path.dirname(os.path.realpath(it.path)) != os.path.realpath(save):
                problems.append(f"{it.label()}: its file {it.path} is not in the save folder {save}")
            else:
                it.data = read(it.path)
    temp = os.path.join(save, "Temp")
    if os.path.isdir(temp) and all(i.state in ("done", "failed") for i in items):
        left = sorted(os.listdir(temp))
        if left:
            problems.append(f"capture data files left in the Temp folder after processing: {', '.join(left[:6])}")
    # Exit status 4 says that some recording failed or is incomplete, and
    # only then (these captures were replayed: no kernel drops).
    lacking = [it for it in items if it.state != "done" or it.completeness != "complete"]
    if p.returncode in (0, 4) and (p.returncode == 4) != bool(lacking):
        problems.append(f"kestrel-cli capture exited with {p.returncode} while "
                        f"{len(lacking)} item lines say failed or gaps: {err.strip()[-400:]}")
    return items, problems


# ------------------------------------------------------------ checks

class Report:
    def __init__(self):
        self.failures = []
        self.notes = []

    def fail(self, capture, text):
        self.failures.append(f"{capture}: {text}")
        print(f"  FAIL {text}", flush=True)

    def note(self, capture, text):
        self.notes.append(f"{capture}: {text}")
        print(f"  NOTE {text}", flush=True)


def recoverable_views(body, data):
    """The forms a recorder may give a body with holes in the capture: the
    recoverable pieces joined (holes closed up), or the whole length with
    the holes filled by anything."""
    pieces, pos = [], 0
    for a, b in sorted(body.lost):
        pieces.append((pos, a))
        pos = b
    pieces.append((pos, len(data)))
    pieces = [(a, b) for a, b in pieces if b > a]
    closed = b"".join(data[a:b] for a, b in pieces)
    return pieces, closed


def check_lossy_body(cap, body, data, items, used, rep):
    """A body with bytes that are in the capture nowhere: say which, then
    check that every recoverable byte is in one output, in order."""
    lost_total = sum(b - a for a, b in body.lost)
    ranges = ", ".join(f"[{a}, {b})" for a, b in body.lost) or "none"
    what = "response header damaged by the edit" if body.header_damaged else ""
    rep.note(cap.name, f"{body.file}: {lost_total} of {body.bytes} body bytes are not in the capture at all "
                       f"(unrecoverable, body offsets {ranges}){'; ' + what if what else ''}; "
                       f"checking the {body.bytes - lost_total} recoverable bytes only")
    pieces, closed = recoverable_views(body, data)
    best = None
    for it in items:
        if it.data is None or it.index in used:
            continue
        got = it.data
        if got == closed:
            used.add(it.index)
            rep.note(cap.name, f"{body.file}: {it.label()} holds every recoverable byte, holes closed up "
                               f"({len(got)} bytes)")
            return it
        if len(got) == len(data) and all(got[a:b] == data[a:b] for a, b in pieces):
            used.add(it.index)
            rep.note(cap.name, f"{body.file}: {it.label()} holds every recoverable byte at its own offset, "
                               f"holes filled ({len(got)} bytes)")
            return it
        common = first_difference(closed, got)
        common = len(closed) if common is None else common
        if best is None or common > best[0]:
            best = (common, it)
    if best is None:
        rep.fail(cap.name, f"{body.file}: no output file for this body (its recoverable bytes are lost)")
    else:
        common, it = best
        used.add(it.index)
        at_body = body_offset(pieces, common)
        rep.fail(cap.name, f"{body.file}: recoverable bytes missing or wrong: closest output is {it.label()}, "
                           f"{describe_difference(closed, it.data)} against the recoverable bytes joined "
                           f"(body offset {at_body}; the file has {it.data[common:common + 24]!r} there)")
        if body.framing == "chunked":
            for m in re.finditer(rb"\r\n[0-9a-fA-F]{1,8}(;[^\r\n]{0,40})?\r\n", it.data[common:]):
                if m.group(0) not in data:
                    rep.fail(cap.name, f"{body.file}: chunk framing {m.group(0)!r} written into the file at offset "
                                       f"{common + m.start()}")
                    break
    return None


def body_offset(pieces, joined_offset):
    """Body offset of a byte of the recoverable pieces joined."""
    for a, b in pieces:
        if joined_offset < b - a:
            return a + joined_offset
        joined_offset -= b - a
    return pieces[-1][1] if pieces else 0


def check_bodies(cap, items, rep):
    used = set()
    outputs = {sha256(it.data): it for it in items if it.data is not None}
    joined_found = {}
    for j in cap.joined:
        it = outputs.get(j["sha256"])
        if it is not None:
            joined_found[j["served_file"]] = it
            used.add(it.index)
            rep.note(cap.name, f"the 206 parts of {j['served_file']} came out joined as {it.label()}")
    for body in cap.bodies:
        data = body.data()
        if body.lost or body.header_damaged:
            it = check_lossy_body(cap, body, data, items, used, rep)
            if it is not None and body.lost and it.completeness != "gaps":
                rep.fail(cap.name, f"{body.file}: {it.label()} lacks {sum(b - a for a, b in body.lost)} body bytes "
                                   f"but its line says {it.completeness!r}")
        else:
            it = next((i for i in items if i.data is not None and i.index not in used and i.data == data), None)
            if it is None and body.content_range and body.served_file in joined_found:
                continue
            if it is None:
                # The closest candidate: an unused output whose bytes agree longest.
                cands = [i for i in items if i.data is not None and i.index not in used]
                if not cands:
                    rep.fail(cap.name, f"{body.file} ({body.bytes} B, GET {body.url}): no output file; items: "
                                       + (", ".join(i.label() for i in items) or "none"))
                    continue
                best = max(cands, key=lambda i: first_difference(data, i.data) or 0)
                rep.fail(cap.name, f"{body.file} ({body.bytes} B, GET {body.url}): {best.label()} "
                                   f"{describe_difference(data, best.data)}")
                used.add(best.index)
                continue
            used.add(it.index)
            if it.completeness != "complete":
                rep.fail(cap.name, f"{body.file}: {it.label()} is byte-identical to the served body but its line "
                                   f"says {it.completeness!r}")
        if it is not None:
            what, rule = name_rule(body.url)
            name = os.path.basename(it.path)
            if not rule.match(name):
                rep.fail(cap.name, f"{body.file}: {it.label()} is named {name!r}, expected {what} (GET {body.url})")
    for it in items:
        if it.kind != "http":
            rep.fail(cap.name, f"{it.label()}: an RTMP item in an HTTP capture")
        elif it.state != "done":
            rep.fail(cap.name, f"{it.label()}: ended in state {it.state}, stored {it.stored} bytes")
        elif it.data is None:
            rep.fail(cap.name, f"{it.label()}: finished without a file, stored {it.stored} bytes")
        elif it.index not in used:
            rep.fail(cap.name, f"{it.label()}: output of {len(it.data)} bytes matches no body the server sent")


def tshark_recovered(pcap, prefs=()):
    """sha256 of every object `tshark --export-objects http` writes."""
    with tempfile.TemporaryDirectory(prefix="http-e2e-tshark.") as d:
        args = ["tshark", "-n", "-r", pcap, "-q", "--export-objects", f"http,{d}"]
        for p in prefs:
            args += ["-o", p]
        p = subprocess.run(args, capture_output=True, timeout=TSHARK_TIMEOUT)
        if p.returncode != 0:
            raise RuntimeError(f"tshark failed on {pcap}: {p.stderr.decode(errors='replace')[-400:]}")
        return {sha256(read(os.path.join(d, f))): f for f in os.listdir(d)}


def check_against_tshark(cap, items, rep):
    served = {b.sha256: b.file for b in cap.bodies}
    served.update({j["sha256"]: j["served_file"] for j in cap.joined})
    exported = tshark_recovered(cap.pcap)
    analysis = cap.manifest.get("pcap", {}).get("tcp_analysis", {})
    disordered = any(analysis.get(k) for k in ("retransmission", "out_of_order", "lost_segment"))
    if cap.manifest.get("impairment") or cap.manifest.get("edit") or disordered:
        # Out-of-order reassembly is off by default in tshark; with it on,
        # tshark recovers more from disordered captures, and so must Kestrel.
        exported.update(tshark_recovered(cap.pcap, ["tcp.reassemble_out_of_order:TRUE"]))
    by_tshark = {h: served[h] for h in exported if h in served}
    by_kestrel = {sha256(it.data): it for it in items if it.data is not None}
    missing = {h: n for h, n in by_tshark.items() if h not in by_kestrel}
    extra = [served[h] for h in by_kestrel if h in served and h not in by_tshark]
    print(f"  tshark recovers {len(by_tshark)} of {len(served)} bodies byte-exact, Kestrel "
          f"{len([h for h in by_kestrel if h in served])}", flush=True)
    for h, n in sorted(missing.items(), key=lambda x: x[1]):
        rep.fail(cap.name, f"{n} (sha256 {h[:16]}): tshark recovers it byte-exact, Kestrel does not")
    if extra:
        rep.note(cap.name, f"Kestrel recovers what tshark does not: {', '.join(sorted(extra))}")
    if not by_tshark and not cap.unrecoverable:
        rep.note(cap.name, "tshark recovers none of the bodies byte-exact here")


# ------------------------------------------------------------ modes

def need_tools(*tools):
    missing = [t for t in tools if shutil.which(t) is None and not os.access(t, os.X_OK)]
    if missing:
        print(f"SKIP: missing {', '.join(missing)}")
        sys.exit(SKIP)


def check_captures(args, against_tshark):
    need_tools(args.kestrel, *(["tshark"] if against_tshark else []))
    status = os.path.join(args.captures, "MAKER-STATUS")
    if os.path.exists(status):
        with open(status) as f:
            text = f.read().strip()
        if text != "made":
            print(f"SKIP: the maker's captures were not made ({text})")
            return SKIP
    caps = http_captures(args.captures, args.only)
    if not caps:
        print(f"SKIP: no HTTP captures in {args.captures}")
        return SKIP
    rep = Report()
    work = tempfile.mkdtemp(prefix="http-e2e.")
    try:
        for cap in caps:
            print(f"{cap.name}:", flush=True)
            items, problems = run_kestrel(args.kestrel, cap.pcap, os.path.join(work, "run"))
            for p in problems:
                rep.fail(cap.name, p)
            if against_tshark:
                check_against_tshark(cap, items, rep)
            else:
                check_bodies(cap, items, rep)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary(rep, len(caps))


def summary(rep, count):
    print()
    if rep.notes:
        print(f"{len(rep.notes)} notes (what the captures cannot give and how Kestrel dealt with it):")
        for n in rep.notes:
            print("  " + n)
    if rep.failures:
        print(f"{len(rep.failures)} failures in {count} captures:")
        for f in rep.failures:
            print("  " + f)
        return 1
    print(f"all {count} captures passed")
    return 0


def make_captures(args):
    if os.geteuid() != 0:
        status = "not root: the maker needs network namespaces"
    else:
        os.makedirs(args.out, exist_ok=True)
        for entry in os.listdir(args.out):  # a fresh set every run; only what the maker writes goes
            p = os.path.join(args.out, entry)
            if entry in ("ref", "media", ".tools") and os.path.isdir(p):
                shutil.rmtree(p)
            elif entry.endswith(".pcap") or entry in ("MANIFEST.tsv", "captures.json", "MAKER-STATUS"):
                os.remove(p)
        cmd = [sys.executable, args.maker, args.out, "--only", "http-*", "--jobs", str(args.jobs)]
        print("running " + " ".join(cmd), flush=True)
        p = subprocess.run(cmd, timeout=900)
        status = {0: "made", 2: "the maker reports missing tools or a usage error"}.get(
            p.returncode, f"the maker failed with exit status {p.returncode}")
    with open(os.path.join(args.out, "MAKER-STATUS"), "w") as f:
        f.write(status + "\n")
    print(status)
    if status == "made":
        return 0
    return 1 if os.geteuid() == 0 and "failed" in status else SKIP


# Synthetic cases: (name, synth-capture options). Every body crosses 2^32
# somewhere: near its start, in the middle of a segment, exactly at a
# segment boundary, in segments longer than an index entry can hold.
SYNTH_CASES = [
    ("wrap-spread", ["--count", "4", "--size", "300k", "--client-isn", "0xfffffff0", "--server-isn", "0xfffe0000",
                     "--isn-step", "0x7000"]),
    ("wrap-at-boundary", ["--count", "2", "--size", "200k", "--wrap-body-at", str(1460 * 20)]),
    ("wrap-mid-segment", ["--count", "2", "--size", "200k", "--wrap-body-at", str(1460 * 20 + 731),
                          "--header-with-body"]),
    ("wrap-timestamps", ["--count", "3", "--size", "150k", "--tcp-timestamps", "--wrap-body-at", "5000",
                         "--header-with-body", "--ack-every", "1"]),
    ("wrap-large-segments", ["--count", "3", "--size", "400k", "--tcp-timestamps", "--mss", "30000",
                             "--wrap-body-at", "65000"]),
]


def flv_structure_problem(data):
    """None when data is an FLV header followed by whole tags whose
    previous-tag-size fields agree, else what is wrong."""
    if data[:3] != b"FLV" or len(data) < 13:
        return "no FLV header"
    pos = 13
    while pos < len(data):
        if pos + 11 > len(data):
            return f"a cut tag header at {pos}"
        kind, size = data[pos], int.from_bytes(data[pos + 1:pos + 4], "big")
        end = pos + 11 + size
        if kind not in (8, 9, 18):
            return f"tag type {kind} at {pos}"
        if end + 4 > len(data) or int.from_bytes(data[end:end + 4], "big") != 11 + size:
            return f"the tag at {pos} has no matching previous-tag-size field"
        pos = end + 4
    return None


def synth_cases(args):
    need_tools(args.kestrel, args.synth)
    rep = Report()
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="http-e2e-synth.", dir=args.work)
    have_tshark = shutil.which("tshark") is not None
    if not have_tshark:
        print("tshark is missing: the synthetic captures are checked without it")
    try:
        for name, opts in SYNTH_CASES:
            print(f"{name}: synth-capture {' '.join(opts)}", flush=True)
            d = os.path.join(work, name)
            os.makedirs(d)
            pcap = os.path.join(d, name + ".pcap")
            p = subprocess.run([args.synth, "-q", "--out", pcap, "--bodies", os.path.join(d, "bodies"),
                                "--sha256", os.path.join(d, "bodies.sha256"), "--seed", "11"] + opts,
                               capture_output=True, timeout=120)
            if p.returncode != 0:
                rep.fail(name, f"synth-capture failed: {p.stderr.decode(errors='replace')}")
                continue
            want = {}
            with open(os.path.join(d, "bodies.sha256")) as f:
                for line in f:
                    h, n = line.split()
                    want[n] = h
            items, problems = run_kestrel(args.kestrel, pcap, os.path.join(d, "run"))
            for pr in problems:
                rep.fail(name, pr)
            got = {}
            for it in items:
                if it.data is None:
                    rep.fail(name, f"{it.label()}: no finished file, stored {it.stored} bytes")
                    continue
                got[os.path.basename(it.path)] = it
            for n, h in sorted(want.items()):
                it = got.get(n)
                if it is None:
                    rep.fail(name, f"{n}: no output named {n}; outputs: {', '.join(sorted(got)) or 'none'}")
                elif sha256(it.data) != h:
                    rep.fail(name, f"{n}: {it.label()} {describe_difference(read(os.path.join(d, 'bodies', n)), it.data)}")
            for n in sorted(set(got) - set(want)):
                rep.fail(name, f"unexpected output {n}")
            for n in sorted(want):
                problem = flv_structure_problem(read(os.path.join(d, "bodies", n)))
                if problem:
                    rep.fail(name, f"synth-capture made a body that is no FLV file: {n}: {problem}")
            if have_tshark:
                # The generator's own check: tshark must find every checksum
                # valid, nothing odd in the TCP flows, and every body (else
                # the capture, not Kestrel, is wrong).
                p = subprocess.run(["tshark", "-n", "-r", pcap, "-o", "tcp.check_checksum:TRUE", "-o",
                                    "ip.check_checksum:TRUE", "-Y", "tcp.checksum.status == 2 || "
                                    "ip.checksum.status == 2 || tcp.analysis.flags || _ws.expert.severity >= warning"],
                                   capture_output=True, timeout=TSHARK_TIMEOUT)
                odd = p.stdout.decode(errors="replace").strip()
                if p.returncode != 0 or odd:
                    rep.fail(name, f"tshark finds the synthetic capture faulty: {odd[:300] or p.stderr[-300:]}")
                exported = tshark_recovered(pcap, ["tcp.check_checksum:TRUE"])
                lost = sorted(n for n, h in want.items() if h not in exported)
                if lost:
                    rep.fail(name, f"tshark does not recover {', '.join(lost)}: the synthetic capture is faulty")
            print(f"  {len([n for n in want if n in got and sha256(got[n].data) == want[n]])}/{len(want)} bodies "
                  f"byte-identical", flush=True)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    return summary(rep, len(SYNTH_CASES))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("mode", choices=("bodies", "tshark", "make", "synth"))
    ap.add_argument("--kestrel")
    ap.add_argument("--captures")
    ap.add_argument("--only", default="")
    ap.add_argument("--maker")
    ap.add_argument("--out")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--synth")
    ap.add_argument("--work", default=tempfile.gettempdir())
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    if args.mode in ("bodies", "tshark", "synth") and not args.kestrel:
        print("SKIP: kestrel-cli is not built in this configuration")
        return SKIP
    if args.mode in ("bodies", "tshark"):
        if not args.captures or not os.path.isdir(args.captures):
            print(f"SKIP: no capture folder {args.captures}")
            return SKIP
        return check_captures(args, args.mode == "tshark")
    if args.mode == "make":
        return make_captures(args)
    if not args.synth:
        print("SKIP: synth-capture is not built in this configuration (it needs libssl-dev)")
        return SKIP
    return synth_cases(args)


if __name__ == "__main__":
    sys.exit(main())
