#!/usr/bin/env python3
"""Live recording fidelity: kestrel-cli and tcpdump record the same
downloads on the loopback device of a private network namespace at the
same time; how many of the served bytes each one gives back byte-exact,
and how many packets the kernel dropped for each. Run through
bench/live/run.sh (see there for the options and what is measured)."""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tests", "live-e2e"))

import livelab  # noqa: E402
from livelab import LabError, LiveKestrel, LiveLab, LiveTcpdump  # noqa: E402

MiB = 1 << 20
GBIT = 125_000_000  # 1 Gbit/s in bytes per second
SETTLE_START = 0.5
SETTLE_END = 1.5    # past tcpdump's 1 s read time-out: every frame is handed over

# (name, downloads, curl --limit-rate per download or None for full speed)
SCENARIOS = [
    ("1 x {size}, full speed", 1, None),
    ("4 x {size}, full speed", 4, None),
    ("16 x {size}, full speed", 16, None),
    ("4 x {size}, 1 Gbit/s in all", 4, GBIT // 4),
    ("16 x {size}, 1 Gbit/s in all", 16, GBIT // 16),
]
# (label, tcpdump options); kestrel-cli runs with its default settings.
TCPDUMPS = [
    ("tcpdump", []),
    ("tcpdump -B 65536 -s 262144", ["-B", "65536", "-s", "262144"]),
]
REFERENCE = TCPDUMPS[1][0]


def output_name(path):
    """The served name an output stands for: clip(1).flv is clip.flv."""
    m = re.fullmatch(r"(.*?)(\(\d+\))?(\.[^.]*)", os.path.basename(path))
    return m.group(1) + m.group(3) if m else os.path.basename(path)


def score(served, items):
    """(bytes byte-exact, files byte-identical): each served file against
    the outputs named after it (the best one when there are several)."""
    best = {}
    for it in items:
        if not it.path or not os.path.isfile(it.path):
            continue
        name = output_name(it.path)
        if name in served:
            n = livelab.exact_bytes(served[name], livelab.read(it.path))
            best[name] = max(best.get(name, 0), n)
    exact = sum(best.values())
    files = sum(1 for n, b in served.items() if best.get(n) == len(b))
    return exact, files


def run_scenario(args, media, served_all, count, rate, run_dir, ns):
    served = {n: served_all[n] for n in sorted(served_all)[:count]}
    os.makedirs(run_dir)
    os.chmod(run_dir, 0o755)
    rows = []
    lab = LiveLab(ns, run_dir, print)
    try:
        lab.open()
        if rate:
            lab.cap_receive_buffers()
        lab.start_nginx(media)
        k = LiveKestrel(lab, args.kestrel, os.path.join(run_dir, "home"), os.path.join(run_dir, "save"))
        dumps = [(label, LiveTcpdump(lab, os.path.join(run_dir, f"tcpdump-{i}.pcap"), f"tcpdump-{i}", opts))
                 for i, (label, opts) in enumerate(TCPDUMPS)]
        k.wait_capturing()
        time.sleep(SETTLE_START)
        started = time.monotonic()
        labels = {n: f"curl-{i}" for i, n in enumerate(served)}
        clients = [(labels[n], lab.curl(labels[n], f"http://127.0.0.1:{livelab.HTTP_PORT}/{n}", rate)) for n in served]
        bad = lab.wait_clients(clients, 300)
        seconds = time.monotonic() - started
        short = [f"{labels[n]} got {lab.downloaded(labels[n])} of {len(b)} bytes" for n, b in served.items()
                 if lab.downloaded(labels[n]) != len(b)]
        if bad or short:
            raise LabError("a download failed: " + "; ".join(bad + short))
        time.sleep(SETTLE_END)
        # All three are told to stop at once, then waited for.
        for _, d in dumps:
            d.send_interrupt()
        k.send_interrupt()
        counts = {label: d.stop() for label, d in dumps}
        k.interrupt(600)
    finally:
        lab.close()
    # 4: it ran, but a recording is incomplete or packets were lost (what
    # the table shows); anything else is a failure of the run.
    if k.rc not in (0, 4):
        raise LabError(f"kestrel-cli exited with {k.rc}: {k.stderr().strip()[-600:]}")
    items, problems = livelab.parse_items(k.stdout(), strict=False)
    if problems:
        raise LabError("; ".join(problems))
    stats = livelab.parse_stats(k.stderr())
    rows.append(("kestrel-cli", *score(served, items), stats["received"], stats["dropped"], stats["cut"]))
    for i, (label, _) in enumerate(TCPDUMPS):
        pcap = os.path.join(run_dir, f"tcpdump-{i}.pcap")
        rc, items, problems = livelab.replay(args.kestrel, pcap, os.path.join(run_dir, f"home-{i}"),
                                             os.path.join(run_dir, f"save-{i}"))
        if rc not in (0, 4) or problems:
            raise LabError(f"replay of {label}'s capture: exit status {rc}; {'; '.join(problems)}")
        rows.append((label, *score(served, items), *counts[label], None))
        if not args.keep:
            os.remove(pcap)
    total = sum(len(b) for b in served.values())
    return rows, total, len(served), seconds


def fmt(v):
    return "n/a" if v is None else str(v)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestrel", required=True)
    ap.add_argument("--size", type=int, default=20 * MiB)
    ap.add_argument("--repeat", type=int, default=1)
    ap.add_argument("--keep", action="store_true")
    ap.add_argument("--work", default=tempfile.gettempdir())
    args = ap.parse_args()

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, on_signal)
    # Only what is made here is removed: the folder below, and the levels
    # of --work that did not exist (when they are empty again).
    made = []
    d = os.path.abspath(args.work)
    while not os.path.exists(d):
        made.append(d)
        d = os.path.dirname(d)
    os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="kestrel-bench-live.", dir=args.work)
    os.chmod(work, 0o755)
    size_text = f"{args.size / MiB:g} MiB"
    results = []
    status = 0
    try:
        media = os.path.join(work, "media")
        os.makedirs(media)
        most = max(c for _, c, _ in SCENARIOS)
        print(f"bench-live: making {most} FLV files of {size_text} in {media}", file=sys.stderr, flush=True)
        served_all = {f"live-{i + 1:02d}.flv": livelab.make_flv(os.path.join(media, f"live-{i + 1:02d}.flv"),
                                                                args.size, 100 + i) for i in range(most)}
        for r in range(args.repeat):
            for si, (name, count, rate) in enumerate(SCENARIOS):
                name = name.format(size=size_text)
                print(f"bench-live: {name}" + (f" (run {r + 1})" if args.repeat > 1 else ""), file=sys.stderr,
                      flush=True)
                run_dir = os.path.join(work, f"run{r + 1}-{si + 1}")
                rows, total, files, seconds = run_scenario(args, media, served_all, count, rate, run_dir,
                                                           f"kestrel-bench-{os.getpid()}-{r}-{si}")
                results.append((name, r + 1, rows, total, files, seconds))
                if not args.keep:
                    shutil.rmtree(run_dir, ignore_errors=True)
    except KeyboardInterrupt:
        print("bench-live: interrupted", file=sys.stderr)
        status = 130
    except LabError as e:
        print(f"bench-live: {e}", file=sys.stderr)
        status = 1
    finally:
        if args.keep:
            print(f"bench-live: work files kept in {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
        for d in made:
            try:
                os.rmdir(d)
            except OSError:
                break
    if not results:
        return status or 1

    print()
    print(f"machine: {livelab.machine()}")
    print(f"kestrel-cli: {args.kestrel} (default settings); tcpdump: {tcpdump_version()}")
    print("bytes exact: the served bytes an output holds at the same offsets when its size is the served "
          "size,\n  else its longest common prefix with the served file; tcpdump's pcaps are replayed through "
          "kestrel-cli capture --source file://PCAP")
    print(f"ratio: bytes exact against {REFERENCE} in the same run")
    print("s: seconds from the first download's start to the last one's end; received, dropped: packets "
          "received by the filter and dropped by the kernel as each recorder reports them; cut: frames cut by "
          "the snapshot length (kestrel-cli)")
    print()
    head = ("scenario", "run", "s", "recorder", "bytes exact / served", "%", "files", "received", "dropped", "cut",
            "ratio")
    lines = []
    for name, run, rows, total, files, seconds in results:
        ref = next(exact for label, exact, *_ in rows if label == REFERENCE)
        for label, exact, good, received, dropped, cut in rows:
            lines.append((name, str(run), f"{seconds:.2f}", label, f"{exact} / {total}",
                          f"{100 * exact / total:.1f}", f"{good}/{files}", fmt(received), fmt(dropped), fmt(cut),
                          f"{exact / ref:.3f}" if ref else "n/a"))
    if args.repeat == 1:
        head = head[:1] + head[2:]
        lines = [ln[:1] + ln[2:] for ln in lines]
    widths = [max(len(x) for x in col) for col in zip(head, *lines)]
    right = {"bytes exact / served", "%", "files", "received", "dropped", "cut", "ratio", "run", "s"}
    for ln in [head] + lines:
        print("  ".join(c.rjust(w) if h in right else c.ljust(w) for c, w, h in zip(ln, widths, head)).rstrip())
    return status


def tcpdump_version():
    p = subprocess.run(["tcpdump", "--version"], capture_output=True, text=True)
    return ", ".join(line.strip() for line in p.stdout.splitlines()[:2])


if __name__ == "__main__":
    sys.exit(main())
