#!/usr/bin/env python3
"""End-to-end fault tests of kestrel-cli: what a user's machine does to a
recorder when things go wrong, and what the recorder must still get right.

  faults_e2e.py full-disk     --kestrel BIN --synth BIN
      the save folder on a small tmpfs this script mounts: capture data that
      does not fit, and finished files that do not fit
  faults_e2e.py write-failure --kestrel BIN --synth BIN --shim LIB
      write(2) fails (EIO, ENOSPC) on the first, a middle or the last write
      to a capture data file, its index or a finished file (LD_PRELOAD)
  faults_e2e.py cut-capture   --kestrel BIN --captures DIR
      real captures (HTTP and RTMP) cut inside a record header and inside
      packets
  faults_e2e.py resent-segments --kestrel BIN --captures DIR
      real captures with one segment captured a second time, later (as a
      spurious retransmission on a busy link leaves it): the recordings
      must be those of the capture as it was
  faults_e2e.py vanished-interface --kestrel BIN
      the adapter a live capture records is deleted (or moved to another
      network namespace) while a download runs over it
  faults_e2e.py table-full    --kestrel BIN --synth BIN
      1000, 1001 and 1100 downloads open at once: the record table has 1000
      places and must say how many recordings it refused
  faults_e2e.py concurrent    --kestrel BIN
      200 HTTP downloads and 20 RTMP streams at once, served by nginx,
      fetched by curl and rtmpdump, recorded by tcpdump, replayed

Every finished file is compared with the bytes the server sent. The rule
for a file whose line says "gaps" (or any file made after a fault): it may
end early, but every byte it holds is the served body's byte at the same
offset, i.e. it is a prefix of the body. A line may only say "complete"
when the file is the whole body, byte for byte.

Options: --work DIR (where temporary folders go), --keep (keep them),
--cache DIR (media made once with ffmpeg for the concurrent case).
Exit status: 0 passed, 1 failed, 77 skipped (not root, a tool missing).
"""

import argparse
import errno as errno_names
import fnmatch
import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback

sys.dont_write_bytecode = True  # the helpers imported below live in other folders
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
for sub in ("tests/live-e2e", "tests/http-e2e", "tests/rtmp-e2e", "tools/capture-maker"):
    sys.path.insert(0, os.path.join(REPO, sub))

import http_e2e  # noqa: E402
import live_e2e  # noqa: E402
import livelab  # noqa: E402
import rtmp_e2e  # noqa: E402
from capmaker import media as capmedia  # noqa: E402
from capmaker import edit, pcapfile, runner, streams  # noqa: E402
from livelab import LabError, LiveLab, common_prefix, read, wait_until  # noqa: E402

SKIP = 77
KiB, MiB = 1 << 10, 1 << 20
RUN_TIMEOUT = 120          # one kestrel-cli run on a file; a hang is a failure
TABLE_PLACES = 1000        # places of the record table (README)


# ------------------------------------------------------------ running kestrel-cli

class Run:
    """One finished kestrel-cli run: exit status (None: it had to be
    killed, negative: ended by a signal), output, item lines, seconds."""

    def __init__(self, argv, rc, out, err, secs):
        self.argv, self.rc, self.out, self.err, self.secs = argv, rc, out, err, secs
        self.items, self.problems = livelab.parse_items(out)

    def failure_reason(self, index):
        m = re.search(rf"^kestrel-cli: item {index} failed: (.*)$", self.err, re.M)
        return m.group(1) if m else None


def run_cli(argv, env=None, timeout=RUN_TIMEOUT, cwd=None):
    started = time.monotonic()
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                         env=env, cwd=cwd, start_new_session=True)
    try:
        out, err = p.communicate(timeout=timeout)
        rc = p.returncode
    except subprocess.TimeoutExpired:
        p.kill()  # our own child, by its pid
        out, err = p.communicate()
        rc = None
    return Run(argv, rc, out.decode(errors="replace"), err.decode(errors="replace"), time.monotonic() - started)


def replay(kestrel, pcap, home, save, env=None, timeout=RUN_TIMEOUT):
    os.makedirs(home, exist_ok=True)
    os.makedirs(save, exist_ok=True)
    return run_cli([kestrel, "capture", "--source", "file://" + os.path.abspath(pcap), "--home", home,
                    "--save", save], env=env, timeout=timeout)


def import_data(kestrel, data_file, home, save, timeout=RUN_TIMEOUT):
    return run_cli([kestrel, "import", data_file, "--home", home, "--save", save], timeout=timeout)


def check_run(f, what, r, allowed):
    """What every run must give: an end within its time, no signal, no
    sanitizer report, well-formed item lines, an exit status of ALLOWED."""
    if not f.check(r.rc is not None, f"{what}: kestrel-cli did not end within {RUN_TIMEOUT} s (killed); "
                                     f"stderr: {r.err.strip()[-600:]}"):
        return False
    f.check(r.rc >= 0, f"{what}: kestrel-cli was ended by signal {-r.rc}: {r.err.strip()[-1500:]}")
    f.check(not livelab.sanitizer_report(r.err), f"{what}: sanitizer report:\n{r.err[-3000:]}")
    for p in r.problems:
        f.check(False, f"{what}: {p}")
    f.check(r.rc in allowed, f"{what}: exit status {r.rc}, expected {' or '.join(map(str, allowed))}; "
                             f"stderr: {r.err.strip()[-800:]}")
    return True


# ------------------------------------------------------------ comparing outputs

def best_body(bodies, data):
    """(name, common prefix) of the served body that data agrees with longest."""
    best = (None, -1)
    for name, body in bodies.items():
        n = common_prefix(body, data)
        if n > best[1]:
            best = (name, n)
    return best


def check_outputs(f, what, r, bodies, by_name=True, identical_means_complete=False, items=None):
    """Every finished file obeys the rule (complete: the whole body; else a
    prefix of it), and every failed item has its reason on stderr.
    bodies: {served name: bytes}; by_name: the file is named after its URL,
    so its body is found by name, else by content. Returns {name: item} of
    the files that are the whole body."""
    whole = {}
    for it in r.items if items is None else items:
        label = f"{what}: {it.label()}"
        if it.state == "failed":
            f.check(r.failure_reason(it.index) is not None, f"{label}: failed without a reason on stderr")
            f.check(it.completeness == "gaps", f"{label}: a failed item says {it.completeness}")
            continue
        if it.state != "done":
            f.check(False, f"{label}: left in state {it.state}")
            continue
        if not it.path:
            # Done without a file: allowed only when it says so.
            f.check(it.completeness == "gaps", f"{label}: done and complete, but names no file")
            continue
        if not f.check(os.path.isfile(it.path), f"{label}: its file {it.path} does not exist"):
            continue
        data = read(it.path)
        name = os.path.basename(it.path)
        if not by_name or name not in bodies:
            name, _ = best_body(bodies, data)
            if by_name:
                f.check(False, f"{label}: the file name {os.path.basename(it.path)!r} is no served name")
        body = bodies[name]
        if it.completeness == "complete":
            f.check(data == body, f"{label}: says complete but {http_e2e.describe_difference(body, data)} "
                                  f"against {name}")
        else:
            n = common_prefix(body, data)
            f.check(n == len(data), f"{label}: a file with gaps must hold only bytes of {name} at their own "
                                    f"offsets; {http_e2e.describe_difference(body, data)}")
            if identical_means_complete:
                f.check(data != body, f"{label}: the file is the whole of {name}, byte for byte, but its line "
                                      f"says gaps")
        if data == body and it.completeness == "complete":
            f.check(name not in whole, f"{label}: {name} came out twice")
            whole[name] = it
    return whole


def stray_files(save, items):
    """Files in the save folder (outside Temp/) that no item line names."""
    named = {os.path.realpath(it.path) for it in items if it.path}
    out = []
    for n in sorted(os.listdir(save)):
        p = os.path.join(save, n)
        if os.path.isfile(p) and os.path.realpath(p) not in named:
            out.append(n)
    return out


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return -1


def temp_files(save, suffix=".flvdata"):
    temp = os.path.join(save, "Temp")
    return sorted(glob.glob(os.path.join(temp, "*" + suffix))) if os.path.isdir(temp) else []


# ------------------------------------------------------------ synthetic captures

def synth(args, d, name, count, size, extra=(), bodies=True):
    """A synth-capture pcap; returns (pcap, {body name: bytes} or
    {body name: sha256} without bodies)."""
    os.makedirs(d, exist_ok=True)
    pcap = os.path.join(d, name + ".pcap")
    sums = os.path.join(d, name + ".sha256")
    argv = [args.synth, "-q", "--out", pcap, "--count", str(count), "--size", str(size), "--sha256", sums,
            "--seed", "7"] + list(extra)
    if bodies:
        argv += ["--bodies", os.path.join(d, name + "-bodies")]
    p = subprocess.run(argv, capture_output=True, timeout=300)
    if p.returncode != 0:
        raise LabError(f"synth-capture failed: {p.stderr.decode(errors='replace')}")
    want = {}
    with open(sums) as fh:
        for line in fh:
            h, n = line.split()
            want[n] = h
    if not bodies:
        return pcap, want
    return pcap, {n: read(os.path.join(d, name + "-bodies", n)) for n in want}


def sha256(data):
    return hashlib.sha256(data).hexdigest()


# ------------------------------------------------------------ 1. full disk

class Tmpfs:
    """A tmpfs of SIZE mounted on a folder we made; unmounted (and only
    that mount) on every way out."""

    def __init__(self, where, size):
        self.path = where
        os.makedirs(where)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0755", "kestrel-faults", where],
                       check=True, capture_output=True)
        self.mounted = True

    def unmount(self):
        if not self.mounted:
            return
        p = subprocess.run(["umount", self.path], capture_output=True)
        if p.returncode != 0:  # something still holds it open: detach it now, it goes when released
            subprocess.run(["umount", "-l", self.path], capture_output=True)
        self.mounted = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.unmount()
        return False


# (case, downloads, body size, tmpfs size, what fills the disk)
FULL_DISK_CASES = [
    ("capture-data", 4, 1 * MiB, "2m", "the capture data of four 1 MiB downloads (2 MiB of room)"),
    ("finished-file", 1, 1200 * KiB, "2m", "the finished file of a 1.2 MiB download whose capture data fits"),
]


def case_full_disk(args, f, work):
    try:
        Tmpfs(os.path.join(work, "probe"), "64k").unmount()
    except subprocess.CalledProcessError as e:
        print(f"cannot mount a tmpfs here: {e.stderr.decode(errors='replace').strip()}")
        return SKIP
    for name, count, size, fs_size, what in FULL_DISK_CASES:
        print(f"{name}: {what}", flush=True)
        d = os.path.join(work, name)
        pcap, bodies = synth(args, d, name, count, size)
        with Tmpfs(os.path.join(d, "disk"), fs_size) as disk:
            r = replay(args.kestrel, pcap, os.path.join(d, "home"), disk.path)
            label = f"{name}: full disk"
            if not check_run(f, label, r, (1, 4)):
                continue
            check_outputs(f, label, r, bodies)
            failed = [it for it in r.items if it.state == "failed"]
            f.check(len(r.items) == count, f"{label}: {len(r.items)} item lines for {count} downloads")
            f.check(bool(failed), f"{label}: no item failed although the disk is full; items: "
                                  + ", ".join(i.label() for i in r.items))
            for it in failed:
                reason = r.failure_reason(it.index) or ""
                f.check("No space left on device" in reason,
                        f"{label}: item {it.index} failed with {reason!r}, not the system's reason "
                        f"'No space left on device'")
            f.check(r.secs < 60, f"{label}: took {r.secs:.1f} s")
            strays = stray_files(disk.path, r.items)
            f.check(not strays, f"{label}: files no line names left in the save folder: {strays}")
            # The capture data of the failed items stays, to be imported
            # once there is room.
            data_files = temp_files(disk.path)
            f.check(len(data_files) >= len(failed),
                    f"{label}: {len(failed)} items failed but Temp holds {len(data_files)} capture data files")
            roomy = os.path.join(d, "roomy")
            if os.path.isdir(os.path.join(disk.path, "Temp")):
                shutil.copytree(os.path.join(disk.path, "Temp"), os.path.join(roomy, "Temp"))
            print(f"  {r.secs:.1f} s, exit {r.rc}; " + ", ".join(i.label() for i in r.items)
                  + f"; Temp: {[os.path.basename(p) + ' ' + str(os.path.getsize(p)) for p in data_files]}",
                  flush=True)
        # Unmounted: what was kept goes through import in a roomy folder.
        for data_file in temp_files(roomy):
            base = os.path.basename(data_file)
            ri = import_data(args.kestrel, data_file, os.path.join(d, "home-import"), roomy)
            label = f"{name}: import of {base}"
            if not check_run(f, label, ri, (0, 4)):
                continue
            check_outputs(f, label, ri, bodies, by_name=False)
            done = [it for it in ri.items if it.state == "done" and it.path and os.path.isfile(it.path)]
            if not f.check(len(done) == 1, f"{label}: {len(done)} finished files; "
                                           + ", ".join(i.label() for i in ri.items)):
                continue
            got = read(done[0].path)
            body_name, n = best_body(bodies, got)
            # More than the FLV header every body shares: real body bytes.
            f.check(n == len(got) and n > 4096, f"{label}: {len(got)} bytes, of which {n} a prefix of {body_name}")
            if name == "finished-file":
                # The whole capture data fitted: the import gives the whole body.
                f.check(got == bodies[body_name] and done[0].completeness == "complete" and ri.rc == 0,
                        f"{label}: the capture data was whole, the import gave {done[0].label()} with "
                        f"{len(got)} of {len(bodies[body_name])} bytes, exit {ri.rc}")
            print(f"  import {base}: {done[0].label()}, {len(got)} bytes of {body_name}", flush=True)


# ------------------------------------------------------------ 2. write failures

def shim_env(args, match, nth, times, err, log):
    env = dict(os.environ)
    preload = [args.shim]
    # A sanitized program needs its runtime first in the library list.
    asan = sanitizer_runtime(args.kestrel)
    if asan:
        preload.insert(0, asan)
    env.update({"LD_PRELOAD": ":".join(preload), "FAULTSHIM_MATCH": match, "FAULTSHIM_NTH": str(nth),
                "FAULTSHIM_TIMES": str(times), "FAULTSHIM_ERRNO": err, "FAULTSHIM_LOG": log})
    return env


def sanitizer_runtime(binary):
    p = subprocess.run(["ldd", binary], capture_output=True, text=True)
    m = re.search(r"^\s*libasan\.so\S*\s+=>\s+(\S+)", p.stdout, re.M)
    return m.group(1) if m else None


def shim_log(path):
    """[(number, failed, errno, bytes, path)] of a shim log."""
    out = []
    if os.path.exists(path):
        with open(path) as fh:
            for line in fh:
                num, state, err, size, p = line.rstrip("\n").split(" ", 4)
                out.append((int(num), state == "fail", int(err), int(size), p))
    return out


# What fails: the capture data, its index, the finished file (written under
# its number first, then given its name).
WRITE_TARGETS = [
    ("capture data", "*/Temp/*.flvdata"),
    ("capture index", "*/Temp/*.flvdata.idx"),
    ("finished file", "*/save/[0-9]*.FLV"),
]
# (where among the target's writes, errno, how many fail: 1 = the disk
# recovers at once, 0 = every later write fails too)
WRITE_FAULTS = [
    ("first", "EIO", 1),
    ("middle", "ENOSPC", 1),
    ("last", "EIO", 1),
    ("middle", "EIO", 0),
]


def item_number(path):
    m = re.search(r"/(\d+)\.(flvdata|FLV)", path)
    return int(m.group(1)) if m else None


def case_write_failure(args, f, work):
    d = os.path.join(work, "capture")
    pcap, bodies = synth(args, d, "three", 3, 600 * KiB)
    # A run without a fault: every write counted, and the baseline must be clean.
    base = os.path.join(work, "count")
    log = os.path.join(base, "writes.log")
    os.makedirs(base)
    r = replay(args.kestrel, pcap, os.path.join(base, "home"), os.path.join(base, "save"),
               env=shim_env(args, "*/save/*", 0, 1, "EIO", log))
    if not check_run(f, "without a fault", r, (0,)):
        return
    whole = check_outputs(f, "without a fault", r, bodies)
    if not f.check(len(whole) == len(bodies), f"without a fault: {len(whole)} of {len(bodies)} bodies came out "
                                              f"whole; the fault cases would mean nothing"):
        return
    writes = shim_log(log)
    for what, pattern in WRITE_TARGETS:
        calls = [w for w in writes if fnmatch.fnmatchcase(w[4], pattern)]
        print(f"{what}: {len(calls)} writes ({pattern}) in a run without a fault", flush=True)
        if not f.check(calls, f"{what}: no write matches {pattern}; writes seen: "
                              f"{sorted({os.path.basename(w[4]) for w in writes})}"):
            continue
        for where, err, times in WRITE_FAULTS:
            nth = {"first": 1, "middle": max(1, len(calls) // 2), "last": len(calls)}[where]
            label = f"{what}, {err} on the {where} write (#{nth} of {len(calls)})" + \
                (", and on every later one" if times == 0 else "")
            c = os.path.join(work, f"{pattern.replace('*', 'x').replace('/', '_')}-{where}-{err}-{times}")
            os.makedirs(c)
            log = os.path.join(c, "writes.log")
            save = os.path.join(c, "save")
            r = replay(args.kestrel, pcap, os.path.join(c, "home"), save,
                       env=shim_env(args, pattern, nth, times, err, log))
            fired = [w for w in shim_log(log) if w[1]]
            if not f.check(fired, f"{label}: the fault was never injected (the shim counted "
                                  f"{len(shim_log(log))} writes)"):
                continue
            if not check_run(f, label, r, (1, 4)):
                continue
            check_outputs(f, label, r, bodies)
            system_text = os.strerror(getattr(errno_names, err))
            hit = {item_number(w[4]) for w in fired}
            for it in r.items:
                # A fresh data folder numbers its recordings 1, 2, 3 in the
                # order the items are made.
                if it.index not in hit:
                    if times == 1:
                        f.check(it.state == "done" and it.completeness == "complete",
                                f"{label}: {it.label()} was not hit by the fault but did not come out whole")
                    continue
                f.check(it.state == "failed", f"{label}: {it.label()}: a write of its "
                                              f"{what} failed, yet the item did not fail")
                reason = r.failure_reason(it.index) or ""
                f.check(system_text in reason, f"{label}: {it.label()}: reason {reason!r} lacks the system's "
                                               f"text {system_text!r}")
            for it in r.items:
                if it.state == "failed" and it.index not in hit:
                    reason = r.failure_reason(it.index) or ""
                    f.check(system_text in reason, f"{label}: {it.label()}: reason {reason!r}")
            strays = stray_files(save, r.items)
            f.check(not strays, f"{label}: files no line names left in the save folder: {strays}")
            print(f"  {label}: exit {r.rc}; " + ", ".join(i.label() for i in r.items), flush=True)


# ------------------------------------------------------------ 3. cut captures

def record_spans(pcap):
    """(header offset, data offset, captured length) of every record."""
    cap = pcapfile.read_pcap(pcap)
    spans, pos = [], 24
    for fr in cap.frames:
        spans.append((pos, pos + 16, len(fr.data)))
        pos += 16 + len(fr.data)
    return spans


def cut_points(spans):
    """(what, offset) of the cuts: inside a record header, and inside the
    data of packets a quarter, half and three quarters in, and the last."""
    n = len(spans)
    cuts = [("record header of packet %d" % (n // 3 + 1), spans[n // 3][0] + 7)]
    for k in (n // 4, n // 2, 3 * n // 4, n - 1):
        # A packet with data worth cutting: the next one of 100 bytes or more.
        j = next((i for i in range(k, n) if spans[i][2] >= 100), k)
        h, dpos, length = spans[j]
        cuts.append((f"data of packet {j + 1} of {n}", dpos + max(1, length // 2)))
    return cuts


def per_stream(packets):
    """{stream: [(size, md5)]} of framemd5 lines."""
    out = {}
    for p in packets:
        out.setdefault(p[0], []).append((p[4], p[5]))
    return out


def check_stream_outputs(f, what, r, ref_framemd5, work):
    """Stream items of a capture that broke off: every finished file is
    read by ffmpeg, and in each of its streams the packets (size and md5)
    are the first packets of that stream in the player's own file: the
    stream may end early, but holds nothing the player did not get."""
    want = per_stream(rtmp_e2e.packets(ref_framemd5))
    for it in r.items:
        label = f"{what}: {it.label()}"
        if it.state == "failed":
            f.check(r.failure_reason(it.index) is not None, f"{label}: failed without a reason on stderr")
            continue
        if not f.check(it.state == "done", f"{label}: left in state {it.state}") or not it.path:
            continue
        md5 = os.path.join(work, f"item{it.index}.framemd5")
        if not f.check(rtmp_e2e.framemd5(it.path, md5), f"{label}: ffmpeg cannot read the file"):
            continue
        for stream, got in per_stream(rtmp_e2e.packets(md5)).items():
            ref = want.get(stream, [])
            same = next((i for i, (a, b) in enumerate(zip(ref, got)) if a != b), min(len(ref), len(got)))
            f.check(same == len(got), f"{label}: stream {stream} has {len(got)} packets, of which the first "
                                      f"{same} are the player's first ones (of {len(ref)})")


def case_cut_capture(args, f, work):
    caps = http_e2e.http_captures(args.captures, None)
    streams_caps = rtmp_e2e.rtmp_captures(args.captures, None)
    if not caps and not streams_caps:
        return SKIP
    for name, pcap, ref, _ in streams_caps:
        with open(pcap, "rb") as fh:
            blob = fh.read()
        for what, offset in cut_points(record_spans(pcap)):
            label = f"{name} cut at byte {offset} ({what})"
            d = os.path.join(work, f"{name}-{offset}")
            os.makedirs(d)
            cut = os.path.join(d, "cut.pcap")
            with open(cut, "wb") as fh:
                fh.write(blob[:offset])
            r = replay(args.kestrel, cut, os.path.join(d, "home"), os.path.join(d, "save"))
            if not check_run(f, label, r, (1, 4)):
                continue
            check_stream_outputs(f, label, r, ref, d)
            print(f"  {label}: exit {r.rc}; " + (", ".join(i.label() for i in r.items) or "no items"), flush=True)
            if not args.keep:
                shutil.rmtree(d, ignore_errors=True)
    for cap in caps:
        bodies = {b.file: b.data() for b in cap.bodies}
        with open(cap.pcap, "rb") as fh:
            blob = fh.read()
        for what, offset in cut_points(record_spans(cap.pcap)):
            label = f"{cap.name} cut at byte {offset} ({what})"
            d = os.path.join(work, f"{cap.name}-{offset}")
            os.makedirs(d)
            cut = os.path.join(d, "cut.pcap")
            with open(cut, "wb") as fh:
                fh.write(blob[:offset])
            r = replay(args.kestrel, cut, os.path.join(d, "home"), os.path.join(d, "save"))
            if not check_run(f, label, r, (1, 4)):
                continue
            check_outputs(f, label, r, bodies, by_name=False, identical_means_complete=True)
            # Broken off: said on stderr, in libpcap's words or ours.
            f.check(r.rc != 1 or re.search(r"truncated|cut|broke", r.err, re.I),
                    f"{label}: exit 1 without a word on why: {r.err.strip()[-400:]}")
            print(f"  {label}: exit {r.rc}; " + (", ".join(i.label() for i in r.items) or "no items"), flush=True)
            if not args.keep:
                shutil.rmtree(d, ignore_errors=True)
    return None


# ------------------------------------------------------------ 3b. segments resent late

# A busy link makes TCP send segments again that had arrived (a spurious
# timeout): the capture holds them twice, the second copy after later data.
# (which segment: the first or a middle one the server sends, or the first
# the client sends; how many frames later its copy comes)
RESENT_CASES = [
    ("the server's first segment", "server", "first", 10),
    ("the server's first segment", "server", "first", 40),
    ("the server's second segment", "server", "second", 25),
    ("a server segment half-way", "server", "middle", 40),
    ("the client's first segment", "client", "first", 0),
    ("the client's first segment", "client", "first", 10),
]


def payload_frames(cap, server_port, side):
    """Frame numbers of the segments with payload that SIDE sends."""
    out = []
    for fr in cap.frames:
        s = pcapfile.parse_tcp(fr, cap.linktype)
        if s is not None and s.payload_len > 0 and (s.sport if side == "server" else s.dport) == server_port:
            out.append(fr.number)
    return out


def outputs_of(r):
    """The item lines' (kind, state, completeness, sha256 of the file)."""
    out = []
    for it in r.items:
        digest = sha256(read(it.path)) if it.path and os.path.isfile(it.path) else None
        out.append((it.kind, it.state, it.completeness, digest))
    return sorted(out, key=str)


def case_resent_segments(args, f, work):
    """Differential: a capture with a segment captured again later must give
    the same recordings, byte for byte, as the capture without it."""
    names = []
    with open(os.path.join(args.captures, "MANIFEST.tsv")) as fh:
        header = fh.readline().rstrip("\n").split("\t")
        for line in fh:
            row = dict(zip(header, line.rstrip("\n").split("\t")))
            if row.get("file", "").endswith(".pcap") and row.get("tcp_connections") == "1":
                names.append((row["file"], row.get("protocol")))
    if not names:
        return SKIP
    for file, protocol in names:
        base = os.path.join(args.captures, file)
        port = 1935 if protocol == "rtmp" else 80
        d0 = os.path.join(work, file, "as-captured")
        r0 = replay(args.kestrel, base, os.path.join(d0, "home"), os.path.join(d0, "save"))
        if not check_run(f, f"{file} as captured", r0, (0,)):
            continue
        want = outputs_of(r0)
        cap = pcapfile.read_pcap(base)
        for what, side, which, later in RESENT_CASES:
            frames = payload_frames(cap, port, side)
            at = {"first": 0, "second": 1, "middle": len(frames) // 2}[which]
            if len(frames) < 3 and which == "middle" or at >= len(frames):
                continue
            frame = frames[at]
            label = f"{file}: {what} (frame {frame}) captured again {later} frames later"
            d = os.path.join(work, file, f"{side}-{which}-{later}")
            os.makedirs(d)
            edited = os.path.join(d, "resent.pcap")
            pcapfile.write_pcap(edited, edit.apply_order(cap, edit.reorder_frames(cap, dup=[(frame, later)])))
            r = replay(args.kestrel, edited, os.path.join(d, "home"), os.path.join(d, "save"))
            if not check_run(f, label, r, (0,)):
                continue
            got = outputs_of(r)
            f.check(got == want, f"{label}: the recordings differ from those of the capture as it was: "
                                 f"{', '.join(i.label() for i in r.items)} (stored "
                                 f"{', '.join(str(i.stored) for i in r.items)}) against "
                                 f"{', '.join(i.label() for i in r0.items)} (stored "
                                 f"{', '.join(str(i.stored) for i in r0.items)}); files "
                                 f"{'equal' if [w[3] for w in want] == [g[3] for g in got] else 'differ'}")
            print(f"  {label}: exit {r.rc}; " + ", ".join(i.label() for i in r.items), flush=True)
    return None


# ------------------------------------------------------------ 4. vanished interface

VETH_SERVER, VETH_CLIENT = "10.203.0.1", "10.203.0.2"
VANISH_SIZE = 24 * MiB
VANISH_RATE = 2 * MiB      # on the wire too: the client's receive buffers are capped
VANISH_AFTER = 1 * MiB     # the capture data holds this much when the adapter goes
VANISH_LIMIT = 5.0         # seconds kestrel-cli may take to notice and end
# (case, how the adapter disappears from the capture's namespace)
VANISH_CASES = [
    ("deleted", lambda lab_a, lab_b, dev: lab_b.ns_run(["ip", "link", "del", dev])),
    ("moved to another namespace", lambda lab_a, lab_b, dev: lab_b.ns_run(["ip", "link", "set", dev, "netns",
                                                                            lab_a.ns])),
]


class AdapterKestrel(livelab.LiveKestrel):
    """kestrel-cli capture on a namespace's adapter DEV (not its loopback)."""

    def __init__(self, lab, kestrel, dev, home, save, label="kestrel"):
        self.lab, self.label = lab, label
        self.home, self.save = home, save
        os.makedirs(home, exist_ok=True)
        os.makedirs(save, exist_ok=True)
        self.proc = lab.spawn_split(label, [kestrel, "capture", "--source", dev, "--home", home, "--save", save])
        self.rc = None
        self.interrupted = False


def case_vanished_interface(args, f, work):
    media = os.path.join(work, "media")
    os.makedirs(media)
    served = livelab.make_flv(os.path.join(media, "vanish.flv"), VANISH_SIZE, 41)
    for n, (name, vanish) in enumerate(VANISH_CASES):
        print(f"{name}:", flush=True)
        d = os.path.join(work, f"case{n}")
        os.makedirs(d)
        lab_a = LiveLab(f"kestrel-fault-srv-{os.getpid()}-{n}", d, print)
        lab_b = LiveLab(f"kestrel-fault-cli-{os.getpid()}-{n}", d, print)
        try:
            try:
                lab_a.open()
                lab_b.open()
            except (LabError, subprocess.CalledProcessError) as e:
                print(f"cannot make a network namespace: {e}")
                return SKIP
            dev_a, dev_b = "kfa0", "kfb0"
            subprocess.run(["ip", "link", "add", dev_a, "netns", lab_a.ns, "type", "veth", "peer", "name", dev_b,
                            "netns", lab_b.ns], check=True, capture_output=True)
            for lab, dev, addr in ((lab_a, dev_a, VETH_SERVER), (lab_b, dev_b, VETH_CLIENT)):
                lab.ns_run(["ip", "addr", "add", addr + "/24", "dev", dev])
                lab.ns_run(["ip", "link", "set", dev, "up"])
            lab_b.cap_receive_buffers()
            server = lab_a.spawn("httpd", [sys.executable, "-m", "http.server", "--bind", VETH_SERVER,
                                           "--directory", media, "8080"])
            lab_a.wait_listening(8080, server, "httpd")
            k = AdapterKestrel(lab_b, args.kestrel, dev_b, os.path.join(d, "home"), os.path.join(d, "save"))
            k.wait_capturing()
            time.sleep(0.5)
            curl = lab_b.curl("curl", f"http://{VETH_SERVER}:8080/vanish.flv", VANISH_RATE)
            temp = os.path.join(k.save, "Temp")
            grown = wait_until(lambda: any(size_of(p) >= VANISH_AFTER
                                           for p in glob.glob(os.path.join(temp, "*.flvdata")))
                               or curl.poll() is not None or k.proc.poll() is not None, 30, 0.02)
            if not f.check(grown and curl.poll() is None and k.proc.poll() is None,
                           f"{name}: the recording did not reach {VANISH_AFTER} bytes while the download ran "
                           f"(curl {curl.poll()}, kestrel-cli {k.proc.poll()}: {k.stderr().strip()[-400:]})"):
                continue
            gone_at = time.monotonic()
            vanish(lab_a, lab_b, dev_b)
            try:
                k.rc = k.proc.wait(timeout=VANISH_LIMIT + 25)
            except subprocess.TimeoutExpired:
                k.rc = None
            took = time.monotonic() - gone_at
            if k.rc is None:
                f.check(False, f"{name}: kestrel-cli still runs {took:.0f} s after its adapter went; stderr: "
                               f"{k.stderr().strip()[-600:]}")
                k.interrupt(30)
                continue
            err = k.stderr()
            f.check(took <= VANISH_LIMIT, f"{name}: kestrel-cli took {took:.1f} s to end after its adapter went")
            f.check(not livelab.sanitizer_report(err), f"{name}: sanitizer report:\n{err[-3000:]}")
            f.check(k.rc == 1, f"{name}: exit status {k.rc}, expected 1 (the capture broke off): {err.strip()[-600:]}")
            says = [ln for ln in err.splitlines() if ln.startswith("kestrel-cli: ")
                    and not ln.startswith("kestrel-cli: capturing on")
                    and re.search(r"interface|device|network is down", ln, re.I)]
            f.check(says, f"{name}: no message names the failure: {err.strip()[-600:]}")
            items, problems = livelab.parse_items(k.stdout())
            for p in problems:
                f.check(False, f"{name}: {p}")
            check_outputs(f, name, Run([], k.rc, k.stdout(), err, took), {"vanish.flv": served})
            f.check(len(items) == 1, f"{name}: {len(items)} item lines for one download")
            for it in items:
                f.check(it.state == "done" and it.completeness == "gaps",
                        f"{name}: {it.label()}: the download was cut off, expected done with gaps")
                if it.path and os.path.isfile(it.path):
                    got = os.path.getsize(it.path)
                    f.check(got >= VANISH_AFTER // 2, f"{name}: {got} bytes rebuilt of the {VANISH_AFTER} and "
                                                      f"more recorded before the adapter went")
            left = temp_files(k.save)
            f.check(not left or any(it.state == "failed" for it in items),
                    f"{name}: capture data left in Temp although every item is done: {left}")
            print(f"  ended {took:.2f} s after the adapter went, exit {k.rc}; "
                  + "; ".join(says)[:200] + "; " + ", ".join(i.label() for i in items), flush=True)
        except (LabError, subprocess.CalledProcessError) as e:
            f.check(False, f"{name}: set-up: {e}")
        finally:
            lab_b.close()
            lab_a.close()
    return None


# ------------------------------------------------------------ 5. table full

TABLE_CASES = [1000, 1001, 1100]
TABLE_BODY = 4 * KiB


def responses_in(pcap):
    """HTTP responses with a media Content-Type in the capture, in the
    order their connections start: (client port, request target)."""
    cap = pcapfile.read_pcap(pcap)
    out = []
    for c in streams.reassemble(cap):
        reqs = streams.parse_requests(c.to_server.data)
        for resp in streams.parse_responses(c.to_client.data, reqs):
            ctype = resp.header("Content-Type") or ""
            if resp.status == 200 and ctype.startswith("video/"):
                out.append((c.client[1], resp.request.target if resp.request else None))
    return out


def case_table_full(args, f, work):
    for count in TABLE_CASES:
        label = f"{count} downloads at once"
        d = os.path.join(work, str(count))
        pcap, sums = synth(args, d, f"table{count}", count, TABLE_BODY, bodies=False)
        held = responses_in(pcap)
        f.check(len(held) == count, f"{label}: the capture holds {len(held)} media responses, {count} made")
        refused = max(0, len(held) - TABLE_PLACES)
        # Items are made in the order the downloads start; the first 1000 get places.
        first = [os.path.basename(target) for _, target in held[:TABLE_PLACES]]
        r = replay(args.kestrel, pcap, os.path.join(d, "home"), os.path.join(d, "save"))
        if not check_run(f, label, r, (4,) if refused else (0,)):
            continue
        f.check(len(r.items) == min(count, TABLE_PLACES),
                f"{label}: {len(r.items)} item lines, expected {min(count, TABLE_PLACES)}")
        got = {}
        bad = []
        for it in r.items:
            name = os.path.basename(it.path)
            ok = (it.state == "done" and it.completeness == "complete" and os.path.isfile(it.path)
                  and name in sums and sha256(read(it.path)) == sums[name])
            if not ok:
                bad.append(it.label())
            got[name] = it
        f.check(not bad, f"{label}: {len(bad)} recordings not done, complete and byte-identical: {bad[:5]}")
        missing = [n for n in first if n not in got]
        f.check(not missing, f"{label}: {len(missing)} of the first {TABLE_PLACES} downloads have no file: "
                             f"{missing[:5]}")
        m = re.findall(r"^kestrel-cli: (\d+) recordings were not made: .*record table", r.err, re.M)
        if refused:
            f.check(m == [str(refused)], f"{label}: the capture holds {len(held)} downloads, so {refused} could "
                                         f"not get a place; stderr says {m or 'nothing'}: "
                                         + "; ".join(ln for ln in r.err.splitlines() if "not made" in ln)[:300])
        else:
            f.check(not m, f"{label}: all {count} downloads had a place, yet stderr says {m} were not made")
        print(f"  {label}: {r.secs:.1f} s, exit {r.rc}, {len(r.items)} items, {len(bad)} not whole; refused "
              f"said: {m or 'nothing'}, expected {refused}", flush=True)
        if not args.keep:
            shutil.rmtree(d, ignore_errors=True)


# ------------------------------------------------------------ 6. many at once

HTTP_COUNT = 200
HTTP_SIZE = 256 * KiB
HTTP_RATE = 80 * KiB       # each download: about 3 s
RTMP_BUFFER_MS = 100       # rtmpdump's buffer: the server sends the streams about as fast as they play
RTMP_COUNT = 20
RTMP_MEDIA = ["clip.flv", "clip-h263-mp3.flv"]
RTMP_DURATION_TOLERANCE = 0.02  # as the stream recording tests allow


def start_paced_nginx(lab, d, media, port, rate):
    """nginx serving MEDIA on PORT at RATE bytes a second to each
    connection (limit_rate): the server, not TCP, sets the pace, so
    hundreds of downloads run side by side for seconds without a segment
    sent twice. livelab's nginx serves at full speed; this one is paced.
    Foreground, one process, stopped by its pid with the lab."""
    os.makedirs(d)
    temp = "\n".join(f"    {k}_temp_path {d}/{k};" for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    conf = os.path.join(d, "nginx.conf")
    with open(conf, "w") as fh:
        fh.write(f"""daemon off;
master_process off;
worker_processes 1;
pid {d}/nginx.pid;
error_log {d}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
{temp}
    types {{ video/x-flv flv; }}
    keepalive_timeout 0;
    server {{
        listen 127.0.0.1:{port};
        root {media};
        limit_rate {rate};
    }}
}}
""")
    p = lab.spawn("nginx-http", ["nginx", "-p", d, "-c", conf, "-e", os.path.join(d, "error.log")])
    lab.wait_listening(port, p, "nginx-http")
    return p


def resent_bytes(pcap, ports):
    """{(client port, server port): payload bytes the capture holds twice}."""
    out = {}
    for c in streams.reassemble(pcapfile.read_pcap(pcap)):
        if c.server[1] not in ports:
            continue
        n = 0
        for d in (c.to_client, c.to_server):
            n += sum(s[2] for s in d.segments) - sum(b - a for a, b in d.covered)
        if n:
            out[(c.client[1], c.server[1])] = n
    return out


def most_at_once(pcap, ports):
    """The most connections to PORTS whose servers were sending at one
    moment (from each connection's first to its last data segment)."""
    events = []
    for c in streams.reassemble(pcapfile.read_pcap(pcap)):
        frames = [s[0] for s in c.to_client.segments]
        if c.server[1] in ports and frames:
            events += [(min(frames), 1), (max(frames) + 1, -1)]
    now = most = 0
    for _, step in sorted(events):
        now += step
        most = max(most, now)
    return most


def case_concurrent(args, f, work, attempt=0):
    media_http = os.path.join(work, "http-media")
    os.makedirs(media_http, exist_ok=True)
    served = live_e2e.served_files(media_http, [f"h{i:03d}.flv" for i in range(HTTP_COUNT)], HTTP_SIZE, 500)
    cache = args.cache or os.path.join(work, "rtmp-media")
    capmedia.make_media(cache, RTMP_MEDIA)
    d = os.path.join(work, f"lab{attempt}")
    os.makedirs(d)
    lab = LiveLab(f"kestrel-fault-many-{os.getpid()}-{attempt}", d, print)
    pcap = os.path.join(d, "many.pcap")
    started = time.monotonic()
    try:
        lab.open()
        start_paced_nginx(lab, os.path.join(d, "http"), media_http, livelab.HTTP_PORT, HTTP_RATE)
        rtmp_dir = os.path.join(d, "rtmp")
        os.makedirs(rtmp_dir)
        conf = runner._write_nginx_conf(rtmp_dir, cache)
        rtmp_server = lab.spawn("nginx-rtmp", ["nginx", "-p", rtmp_dir, "-c", conf, "-e",
                                               os.path.join(rtmp_dir, "nginx-error.log")])
        lab.wait_listening(1935, rtmp_server, "nginx-rtmp")
        # Each packet written as it is read (-U); the kernel hands over a
        # block at the latest after tcpdump's 1 s timeout, so the stop waits
        # until the file has not grown for longer than that.
        dump = livelab.LiveTcpdump(lab, pcap, "tcpdump", ["-n", "-U", "-B", "65536", "-s", "262144"])
        time.sleep(0.3)
        argv = ["curl", "-sS", "--no-progress-meter", "--fail", "-Z", "--parallel-max", str(HTTP_COUNT),
                "--parallel-immediate", "-w", "got %{size_download} %{url_effective}\n"]
        for name in sorted(served):
            argv += ["-o", "/dev/null", f"http://127.0.0.1:{livelab.HTTP_PORT}/{name}"]
        curl = lab.spawn("curl-many", argv)
        # The streams start while the downloads run.
        players = []
        for i in range(RTMP_COUNT):
            clip = RTMP_MEDIA[i % len(RTMP_MEDIA)]
            out = os.path.join(rtmp_dir, f"player{i:02d}.flv")
            players.append((f"rtmpdump{i:02d}", clip, out,
                            lab.spawn(f"rtmpdump{i:02d}", ["rtmpdump", "-q", "-b", str(RTMP_BUFFER_MS), "-r",
                                                           f"rtmp://127.0.0.1/vod/{clip}",
                                                           "-o", out, "-m", "20"])))
        bad = lab.wait_clients([("curl-many", curl)], 60)
        for lbl, clip, out, p in players:
            # rtmpdump ends with 2 ("may be incomplete") after many a whole
            # VOD stream; what it saved is checked against the served file.
            try:
                rc = p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                rc = None
            if rc not in (0, 2):
                bad.append(f"{lbl} ended with {rc}: {lab.log_text(lbl).strip()[-300:]}")
        if bad:
            raise LabError("a client failed: " + "; ".join(bad))
        got = dict((m.group(2).rsplit("/", 1)[-1], int(m.group(1))) for m in
                   re.finditer(r"^got (\d+) (\S+)$", lab.log_text("curl-many"), re.M))
        short = [n for n in served if got.get(n) != len(served[n])]
        if short:
            raise LabError(f"curl did not get {len(short)} bodies whole: {short[:5]}")
        lab.capture, lab.capture_path = dump.proc, pcap
        received, dropped = livelab.tcpdump_counts(lab.stop_capture(settle=1.5, longest=10))
        together = most_at_once(pcap, (livelab.HTTP_PORT, 1935))
        resent = resent_bytes(pcap, (livelab.HTTP_PORT, 1935))
        resent_rtmp = len([k for k in resent if k[1] == 1935])
        print(f"  capture made in {time.monotonic() - started:.1f} s: {os.path.getsize(pcap) / 1e6:.1f} MB, "
              f"tcpdump received {received}, dropped {dropped}; at most {together} connections sending at once; "
              f"segments resent in {len(resent) - resent_rtmp} HTTP and {resent_rtmp} RTMP connections", flush=True)
        if dropped:
            raise LabError(f"tcpdump's kernel buffer dropped {dropped} packets")
        if together < (HTTP_COUNT + RTMP_COUNT) * 9 // 10:
            raise LabError(f"at most {together} of the {HTTP_COUNT + RTMP_COUNT} transfers ran at once")
        refs = [(clip, out) for _, clip, out, _ in players]
    except LabError as e:
        lab.close()
        if attempt == 0 and ("dropped" in str(e) or "at once" in str(e)):
            print(f"  set-up: {e}; once more", flush=True)
            return case_concurrent(args, f, work, 1)
        f.check(False, f"set-up: {e}")
        return None
    finally:
        lab.close()

    failures_before = len(f.list)
    try:
        check_concurrent_recordings(args, f, d, pcap, served, refs, cache, resent_rtmp)
    finally:
        if len(f.list) > failures_before:
            # A capture made at run time is gone with the work folder: the
            # one that failed is kept beside it to be looked into.
            kept = os.path.join(args.work, "concurrent-last-failure.pcap")
            shutil.copyfile(pcap, kept)
            print(f"  the capture is kept in {kept}", flush=True)
    return None


def check_concurrent_recordings(args, f, d, pcap, served, refs, cache, resent_rtmp):
    r = replay(args.kestrel, pcap, os.path.join(d, "home"), os.path.join(d, "save"), timeout=300)
    label = f"{HTTP_COUNT} downloads and {RTMP_COUNT} streams"
    if not check_run(f, label, r, (0,)):
        return None
    http_items = [it for it in r.items if it.kind == "http"]
    rtmp_items = [it for it in r.items if it.kind == "rtmp"]
    f.check(len(http_items) == HTTP_COUNT, f"{label}: {len(http_items)} HTTP items for {HTTP_COUNT} downloads")
    f.check(len(rtmp_items) == RTMP_COUNT, f"{label}: {len(rtmp_items)} RTMP items for {RTMP_COUNT} streams")
    whole = check_outputs(f, label, r, served, items=http_items)
    missing = sorted(set(served) - set(whole))
    f.check(not missing, f"{label}: {len(missing)} served bodies have no byte-identical file: {missing[:5]}")

    # Streams: compared packet by packet with what each player saved, and
    # the players' files (sizes and md5 of their packets) with the served
    # files, or the reference itself would be wrong.
    ref_packets = {}
    served_packets = {}
    for clip in RTMP_MEDIA:
        md5 = os.path.join(d, clip + ".framemd5")
        if rtmp_e2e.framemd5(os.path.join(cache, clip), md5):
            served_packets[clip] = sorted((p[0], p[4], p[5]) for p in rtmp_e2e.packets(md5))
    for clip, out in refs:
        key = sha256(read(out))
        if key not in ref_packets:
            md5 = out + ".framemd5"
            if not f.check(rtmp_e2e.framemd5(out, md5), f"set-up: ffmpeg cannot read the player's {out}"):
                continue
            packets = rtmp_e2e.packets(md5)
            if not f.check(sorted((p[0], p[4], p[5]) for p in packets) == served_packets.get(clip),
                           f"set-up: the player's {os.path.basename(out)} does not hold the packets of {clip}"):
                continue
            ref_packets[key] = (clip, packets, rtmp_e2e.duration(out))
    wanted = [sha256(read(out)) for _, out in refs]
    for it in rtmp_items:
        ilabel = f"{label}: {it.label()}"
        if not f.check(it.state == "done" and it.completeness == "complete" and it.path and os.path.isfile(it.path),
                       f"{ilabel}: not done and complete with a file ({r.failure_reason(it.index)})"):
            continue
        md5 = it.path + ".framemd5"
        if not f.check(rtmp_e2e.framemd5(it.path, md5), f"{ilabel}: ffmpeg cannot read the output"):
            continue
        got = rtmp_e2e.packets(md5)
        dur = rtmp_e2e.duration(it.path)
        f.check(dur is not None, f"{ilabel}: ffprobe reads no duration")
        match = next((k for k in wanted if k in ref_packets and ref_packets[k][1] == got), None)
        if match is None:
            near = max(ref_packets.values(), key=lambda v: len(set(v[1]) & set(got)), default=None)
            f.check(False, f"{ilabel}: {len(got)} packets, equal to no player's"
                           + (f"; closest {near[0]}: {len(set(near[1]) & set(got))} of {len(near[1])} equal"
                              if near else "")
                           + f" (segments were resent in {resent_rtmp} of the RTMP connections)")
            continue
        wanted.remove(match)
        ref_dur = ref_packets[match][2]
        if dur is not None and ref_dur:
            f.check(abs(dur - ref_dur) <= RTMP_DURATION_TOLERANCE * ref_dur,
                    f"{ilabel}: duration {dur} s, the player's {ref_dur} s")
    print(f"  replayed in {r.secs:.1f} s: {len(whole)}/{HTTP_COUNT} bodies byte-identical, "
          f"{RTMP_COUNT - len(wanted)}/{RTMP_COUNT} streams equal to their player's packets", flush=True)
    return None


# ------------------------------------------------------------ main

CASES = {
    "full-disk": (case_full_disk, True, ("mount", "umount"), ("synth",)),
    "write-failure": (case_write_failure, False, ("ldd",), ("synth", "shim")),
    "cut-capture": (case_cut_capture, False, (), ("captures",)),
    "resent-segments": (case_resent_segments, False, (), ("captures",)),
    "vanished-interface": (case_vanished_interface, True, ("ip", "ss", "curl"), ()),
    "table-full": (case_table_full, False, (), ("synth",)),
    "concurrent": (case_concurrent, True, ("ip", "ss", "nginx", "curl", "rtmpdump", "tcpdump", "ffmpeg",
                                           "ffprobe"),
                   ()),
}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("case", choices=sorted(CASES))
    ap.add_argument("--kestrel")
    ap.add_argument("--synth")
    ap.add_argument("--shim")
    ap.add_argument("--captures")
    ap.add_argument("--cache")
    ap.add_argument("--work", default=tempfile.gettempdir())
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    fn, need_root, tools, inputs = CASES[args.case]
    if not args.kestrel or not os.access(args.kestrel, os.X_OK):
        print(f"SKIP: kestrel-cli is not built ({args.kestrel})")
        return SKIP
    if need_root and os.geteuid() != 0:
        print("SKIP: this case needs root (mounts or network namespaces)")
        return SKIP
    missing = [t for t in tools if shutil.which(t) is None]
    for what in inputs:
        value = getattr(args, what)
        if not value or not os.path.exists(value):
            missing.append(f"--{what} ({value})")
    if args.case == "concurrent" and not os.path.exists("/usr/lib/nginx/modules/ngx_rtmp_module.so"):
        missing.append("nginx's RTMP module (libnginx-mod-rtmp)")
    if missing:
        print(f"SKIP: missing {', '.join(missing)}")
        return SKIP

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix=f"faults-e2e-{args.case}.", dir=args.work)
    os.chmod(work, 0o755)
    f = live_e2e.Failures()
    started = time.monotonic()
    result = None
    try:
        print(f"{args.case}: work folder {work}", flush=True)
        result = fn(args, f, work)
    except LabError as e:
        f.check(False, f"set-up: {e}")
    except KeyboardInterrupt:
        f.check(False, "interrupted")
    except Exception as e:  # a broken run fails the test, after the clean-up below
        traceback.print_exc()
        f.check(False, f"{type(e).__name__}: {e}")
    finally:
        livelab.close_all_labs()
        if args.keep:
            print(f"work files kept in {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    if result == SKIP and not f.list:
        print(f"SKIP: nothing to test for {args.case}")
        return SKIP
    print(f"{args.case}: {'FAILED' if f.list else 'passed'} in {time.monotonic() - started:.1f} s "
          f"({len(f.list)} failures)")
    for text in f.list:
        print("  " + text)
    return 1 if f.list else 0


if __name__ == "__main__":
    sys.exit(main())
