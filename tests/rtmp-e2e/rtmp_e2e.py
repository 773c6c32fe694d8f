#!/usr/bin/env python3
"""End-to-end checks of RTMP recording: kestrel-cli capture on real captures.

  rtmp_e2e.py --kestrel BIN --captures DIR [--builtin-only] [--only GLOB,..]

For every RTMP capture of DIR (the shared reference set or the capture
maker's output, both with MANIFEST.tsv and ref/NAME/ref.framemd5), the
capture is replayed through kestrel-cli and every finished stream item is
compared with the player's own FLV:

  * flvmeta --check reports no error and ffprobe opens the file;
  * its audio and video packets are compared with ref.framemd5 (ffmpeg
    -map 0 -c copy -f framemd5): with the outside converter plug-in, whole
    lines (timestamps, sizes, md5) must be equal and the duration within 2 %;
    with only the built-in converter (--builtin-only: the plug-in is left out
    of a copy of the program's folder) sizes and md5 must be equal, while
    timestamps and duration are reported only, since that converter writes
    timestamp 0 for streams without aggregate messages;
  * where the capture maker says bytes of the stream were never captured,
    packets are compared by size and md5, and only as many may be missing as
    the holes can explain.

Exit 0 all passed, 1 a check failed, 77 skipped (a tool or the captures missing).
"""
import argparse
import csv
import fnmatch
import json
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77


def have(tool):
    return shutil.which(tool) is not None


def rtmp_captures(capdir, only):
    manifest = os.path.join(capdir, "MANIFEST.tsv")
    if not os.path.exists(manifest):
        return []
    with open(manifest, newline="") as f:
        rows = [r for r in csv.DictReader(f, delimiter="\t") if r.get("protocol") == "rtmp"]
    patterns = [p for p in (only or "").split(",") if p]
    out = []
    for r in rows:
        name = r["file"][:-5] if r["file"].endswith(".pcap") else r["file"]
        if patterns and not any(fnmatch.fnmatch(name, p) for p in patterns):
            continue
        ref = os.path.join(capdir, "ref", name, "ref.framemd5")
        if os.path.exists(ref):
            out.append((name, os.path.join(capdir, r["file"]), ref, lost_bytes(capdir, name, r)))
    return out


def lost_bytes(capdir, name, row):
    """(bytes never captured, number of places where they are missing)."""
    value = row.get("unrecoverable_bytes", "") or "0"
    try:
        n = int(value)
    except ValueError:
        n = 0
    places = 1 if n else 0
    exp = os.path.join(capdir, "ref", name, "expected.json")
    if os.path.exists(exp):
        with open(exp) as f:
            data = json.load(f)
        imp = data.get("impairment") or {}
        if imp and imp.get("all_bytes_recoverable") is False:
            n = max(n, 1)
            places = max(places, 1)
        for conn in ((data.get("edit") or {}).get("lost") or []):
            ranges = (conn.get("server_to_client") or {}).get("unrecoverable_ranges") or []
            places = max(places, len(ranges))
    return n, places


def packets(path):
    """framemd5 lines as tuples: (stream, dts, pts, duration, size, md5)."""
    out = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            out.append(tuple(x.strip() for x in line.split(",")))
    return out


def framemd5(flv, dest):
    # Every stream in file order, as the reference was made; when a damaged
    # tag makes ffmpeg see a further stream, which the framemd5 muxer refuses
    # as a whole, the first video and audio streams only.
    for maps in (["-map", "0"], ["-map", "0:v:0?", "-map", "0:a:0?"]):
        with open(dest, "w") as f:
            r = subprocess.run(["ffmpeg", "-v", "error", "-i", flv, *maps, "-c", "copy", "-f", "framemd5", "-"],
                               stdout=f, stderr=subprocess.PIPE, timeout=120)
        if r.returncode == 0:
            return True
    return False


def duration(flv):
    r = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", flv],
                       capture_output=True, text=True, timeout=60)
    try:
        return float(r.stdout.strip())
    except ValueError:
        return None


def flvmeta_errors(flv):
    r = subprocess.run(["flvmeta", "--check", flv], capture_output=True, text=True, timeout=60)
    text = r.stdout + r.stderr
    for line in text.splitlines():
        if "error(s)" in line:
            try:
                return int(line.split("error(s)")[0].split()[-1]), text
            except (ValueError, IndexError):
                break
    return (0 if r.returncode == 0 else 1), text


def program_without_plugin(kestrel, work):
    """A copy of the program's folder without the outside converter."""
    src = os.path.dirname(os.path.abspath(kestrel))
    dst = os.path.join(work, "bin")
    os.makedirs(dst)
    for name in os.listdir(src):
        if name == os.path.basename(kestrel) or (name.startswith("lib") and ".so" in name and "curlew" not in name):
            shutil.copy2(os.path.join(src, name), dst)
    return os.path.join(dst, os.path.basename(kestrel))


# Known shortfalls, reported on every run instead of failing it, each with
# what is known of it. Remove an entry once the capture passes.
KNOWN_FAILURES = {}

# Packets that missing bytes may cost: those whose bytes are gone (about
# one per MEDIA_PACKET_BYTES of them) and, per place, those the converter
# passes over until it finds the stream again.
MAX_PACKETS_PER_GAP = 12
MEDIA_PACKET_BYTES = 500


def check_capture(kestrel, name, pcap, ref, loss, builtin_only, work):
    lost, places = loss
    save = os.path.join(work, name, "save")
    home = os.path.join(work, name, "home")
    r = subprocess.run([kestrel, "capture", "--source", "file://" + os.path.abspath(pcap), "--save", save, "--home", home],
                       capture_output=True, text=True, timeout=600)
    if r.returncode not in (0, 4):
        return False, f"{name}: kestrel-cli exited {r.returncode}: {r.stderr.strip()[-400:]}"
    outputs = []
    claims = {}
    lacking = 0
    for line in r.stdout.splitlines():
        f = line.split("\t")
        if len(f) != 7 or f[6] not in ("complete", "gaps"):
            return False, f"{name}: malformed item line {line!r}"
        if f[1] != "done" or f[6] != "complete":
            lacking += 1
        if f[2] == "rtmp" and f[1] == "done" and f[5]:
            outputs.append(f[5])
            claims[f[5]] = f[6]
    # Status 4 says that some recording failed or is incomplete, and only then.
    if (r.returncode == 4) != (lacking > 0):
        return False, f"{name}: kestrel-cli exited {r.returncode} with {lacking} items failed or with gaps"
    want = packets(ref)
    if not outputs:
        return False, f"{name}: no finished stream item ({r.stdout.strip()})"
    best = None
    for out in outputs:
        md5 = out + ".framemd5"
        if not framemd5(out, md5):
            continue
        got = packets(md5)
        if builtin_only or lost:
            # Without timestamps: the built-in converter does not keep them,
            # and after missing bytes they lag until the server sends an
            # absolute one.
            key = lambda p: (p[0], p[4], p[5])  # stream, size, md5
        else:
            key = lambda p: p
        got_keys = {}
        for p in got:
            got_keys[key(p)] = got_keys.get(key(p), 0) + 1
        matched = 0
        for p in want:
            if got_keys.get(key(p), 0) > 0:
                got_keys[key(p)] -= 1
                matched += 1
        if best is None or matched > best[1]:
            best = (out, matched, len(got))
    if best is None:
        return False, f"{name}: ffmpeg could not read any output"
    out, matched, count = best
    errors, text = flvmeta_errors(out)
    d_out, d_ref = duration(out), duration(os.path.join(os.path.dirname(ref), "ref.flv"))
    mode = "built-in" if builtin_only else "plug-in"
    summary = (f"{name} [{mode}]: packets {matched}/{len(want)} equal"
               f"{' (size and md5)' if builtin_only else ''}, output has {count}; "
               f"duration {d_out} s vs {d_ref} s; flvmeta errors {errors}")
    problems = []
    if errors:
        problems.append("flvmeta: " + text.strip()[-300:])
    if d_out is None:
        problems.append("ffprobe cannot read the output")
    if lost:
        summary += f"; {lost} bytes in {places} places were never captured"
        allowed = MAX_PACKETS_PER_GAP * places + (lost + MEDIA_PACKET_BYTES - 1) // MEDIA_PACKET_BYTES
        if len(want) - matched > allowed:
            problems.append(f"{len(want) - matched} packets differ, more than {allowed} for {places} gaps")
        # A stream has no announced length: bytes lost at its very end leave
        # no gap to see. Bytes lost inside it must make the line say so,
        # and an output that misses packets must never be called complete.
        if claims.get(out) == "complete" and matched != len(want):
            problems.append(f"the item line says complete but {len(want) - matched} packets differ")
    else:
        if matched != len(want):
            problems.append(f"{len(want) - matched} packets differ")
        if not builtin_only and d_out is not None and d_ref and abs(d_out - d_ref) > 0.02 * d_ref:
            problems.append(f"duration off by more than 2 %")
    if problems:
        return False, summary + " -- " + "; ".join(problems)
    return True, summary


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrel", required=True)
    ap.add_argument("--captures", required=True)
    ap.add_argument("--builtin-only", action="store_true")
    ap.add_argument("--only", default="")
    args = ap.parse_args()
    for tool in ("ffmpeg", "ffprobe", "flvmeta"):
        if not have(tool):
            print(f"skipped: {tool} is not installed")
            return SKIP
    caps = rtmp_captures(args.captures, args.only)
    if not caps:
        print(f"skipped: no RTMP captures with references in {args.captures}")
        return SKIP
    failed = 0
    with tempfile.TemporaryDirectory(prefix="kestrel-rtmp-e2e-") as work:
        kestrel = program_without_plugin(args.kestrel, work) if args.builtin_only else args.kestrel
        for name, pcap, ref, lost in caps:
            ok, text = check_capture(kestrel, name, pcap, ref, lost, args.builtin_only, work)
            known = KNOWN_FAILURES.get((name, "built-in" if args.builtin_only else "plug-in"))
            if not ok and known:
                print(f"KNOWN FAILURE {text} [{known}]", flush=True)
                continue
            print(("ok   " if ok else "FAIL ") + text, flush=True)
            failed += 0 if ok else 1
    print(f"{len(caps) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
