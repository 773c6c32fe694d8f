#!/usr/bin/env python3
"""Makes the project's test captures: real HTTP and RTMP transfers between
real servers and clients on the loopback device of private network
namespaces, recorded with tcpdump, in two link variants, with and without
packet loss and reordering, plus deterministic edits of some of them.

  make-captures.py OUTPUT_DIR [--only GLOB,..] [--variants eth1500,modern]
                   [--impair none,loss] [--edits|--no-edits] [--jobs N]
                   [--seed N] [--keep-work] [--list]

Output (see tools/capture-maker/README.md):
  OUTPUT_DIR/NAME.pcap              the captures
  OUTPUT_DIR/ref/NAME/expected.json what a perfect recorder gets out of it
  OUTPUT_DIR/ref/NAME/...           the expected files (bodies, ref.flv, ...)
  OUTPUT_DIR/media/                 the served files and media.json
  OUTPUT_DIR/MANIFEST.tsv           one row per capture in OUTPUT_DIR
  OUTPUT_DIR/captures.json          the same as a JSON list

--only takes shell patterns matched against scenario names (http-flv-curl)
and capture names (http-flv-curl-eth1500-loss). Needs root. Exit status: 0
all made, 1 some failed, 2 usage or missing tools.
"""

import argparse
import concurrent.futures
import fnmatch
import glob
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from capmaker import edits, media, netlab, runner, scenarios  # noqa: E402

VARIANTS = ("eth1500", "modern")
IMPAIRMENTS = ("none", "loss")

TSV_COLUMNS = ("file", "scenario", "protocol", "client", "server", "variant", "filter", "pcap_bytes", "packets",
               "max_tcp_payload", "tcp_timestamps", "tcp_connections", "retransmissions", "expected_outputs",
               "impairment", "out_of_order", "lost_segments", "spurious_retransmissions", "unrecoverable_bytes",
               "base")


def _split(text):
    return [x.strip() for x in text.split(",") if x.strip()] if text else []


def required_tools(selected, loss):
    tools = {"ip", "ethtool", "sysctl", "ss", "taskset", "tcpdump", "tshark", "ffmpeg", "ffprobe", "dpkg-query"}
    for sc, _, _ in selected:
        if sc.protocol == "http":
            tools.update({"curl", "wget"})
        else:
            tools.update({"rtmpdump"} if sc.player == "rtmpdump" else set())
            if sc.server.startswith("nginx"):
                tools.add("nginx")
    if loss:
        tools.update({"iptables", "gcc"})
    return sorted(tools)


def build_impair(dest_dir):
    """Compiles impair.c (libnetfilter-queue) next to the outputs."""
    os.makedirs(dest_dir, exist_ok=True)
    exe = os.path.join(dest_dir, "impair")
    src = os.path.join(HERE, "impair.c")
    if os.path.exists(exe) and os.path.getmtime(exe) >= os.path.getmtime(src):
        return exe
    p = subprocess.run(["gcc", "-O2", "-std=c11", "-Wall", "-Wextra", "-Wconversion", "-Wshadow", "-Werror",
                        "-o", exe + ".tmp", src, "-lnetfilter_queue"], capture_output=True)
    if p.returncode != 0:
        raise RuntimeError("cannot build impair.c (needs libnetfilter-queue-dev): "
                           + p.stderr.decode(errors="replace"))
    os.replace(exe + ".tmp", exe)
    return exe


def preflight(work_root, python, loss):
    """One lab before the timed transfers start in parallel: namespace and
    link set-up, the NFQUEUE rule of the loss captures (so that the kernel
    loads what it needs now, not while a capture runs next door), and a
    probe packet that tcpdump must record. Raises LabError when the set-up
    does not work."""
    work = tempfile.mkdtemp(prefix="preflight.", dir=work_root)
    with netlab.Lab(f"kestrel-cap-{os.getpid()}-0", work, print) as lab:
        lab.configure("eth1500")
        if loss:
            rule = ["-p", "tcp", "--sport", "9", "-j", "NFQUEUE", "--queue-num", "9", "--queue-bypass"]
            lab.ns_run(["iptables", "-A", "OUTPUT"] + rule)
            lab.ns_run(["iptables", "-D", "OUTPUT"] + rule)
        lab.probe_capture(python, port=9)
    shutil.rmtree(work, ignore_errors=True)


def _matches(patterns, *names):
    return not patterns or any(fnmatch.fnmatchcase(n, p) for p in patterns for n in names)


def select(patterns, variants, impairments):
    out = []
    for sc in scenarios.all_scenarios():
        for v in variants:
            for imp in impairments:
                name = runner.capture_name(sc, v, imp == "loss")
                if _matches(patterns, sc.name, name):
                    out.append((sc, v, imp == "loss"))
    return out


def select_edits(patterns, out_dir, made):
    todo = []
    for base, kinds in edits.EDIT_PLAN.items():
        for kind in kinds:
            name = edits.edited_name(base, kind)
            if base not in made and not os.path.exists(os.path.join(out_dir, "ref", base, "expected.json")):
                continue
            if patterns and not (base in made or _matches(patterns, name)):
                continue
            todo.append((base, kind, name))
    return todo


def manifest_row(m):
    p = m["pcap"]
    ta = p["tcp_analysis"]
    if m["protocol"] == "http":
        outs = "; ".join(f"{b['file']} sha256={b['sha256']} ({b['bytes']} B)"
                         + (f" unrecoverable {b['unrecoverable_body_bytes']} B" if b.get("unrecoverable_body_bytes") else "")
                         for b in m["expected_http_bodies"])
    else:
        r = m["expected_rtmp"]
        outs = (f"ref.flv sha256={r['sha256']}; packets {r['ffprobe'].replace(chr(10), ', ')}; ref.framemd5 "
                f"({r['packets']} packets; {'same' if r['packets_equal_served_file'] else 'NOT the same'} packets "
                f"as served {r['served_file']})")
    imp = m.get("impairment")
    impairment = "none"
    if imp:
        c = imp.get("counters") or {}
        impairment = (f"loss+reorder seed {imp['seed']}: dropped before capture {c.get('dropped_out')}, "
                      f"after capture {c.get('dropped_in')}, held {c.get('held')}")
    if m.get("edit"):
        impairment = (impairment + "; " if impairment != "none" else "") + "edit " + m["edit"]["kind"]
    return {
        "file": m["capture"], "scenario": m["scenario"], "protocol": m["protocol"], "client": m["client"],
        "server": m["server"], "variant": m["variant"], "filter": m["capture_filter"], "pcap_bytes": p["bytes"],
        "packets": p["packets"], "max_tcp_payload": p["max_tcp_payload"],
        "tcp_timestamps": "yes" if p["tcp_timestamp_packets"] else "no", "tcp_connections": p["tcp_connections"],
        "retransmissions": ta["retransmission"], "expected_outputs": outs, "impairment": impairment,
        "out_of_order": ta["out_of_order"], "lost_segments": ta["lost_segment"],
        "spurious_retransmissions": ta["spurious_retransmission"],
        "unrecoverable_bytes": m.get("edit", {}).get("unrecoverable_bytes", 0),
        "base": m.get("base_capture", ""),
    }


def write_index(out_dir):
    manifests = []
    for path in sorted(glob.glob(os.path.join(out_dir, "ref", "*", "expected.json"))):
        name = os.path.basename(os.path.dirname(path))
        if not os.path.exists(os.path.join(out_dir, name + ".pcap")):
            continue
        with open(path) as f:
            manifests.append(json.load(f))
    rows = [manifest_row(m) for m in manifests]
    with open(os.path.join(out_dir, "MANIFEST.tsv"), "w") as f:
        f.write("\t".join(TSV_COLUMNS) + "\n")
        for r in rows:
            f.write("\t".join(str(r[c]).replace("\t", " ").replace("\n", " ") for c in TSV_COLUMNS) + "\n")
    runner.write_json(os.path.join(out_dir, "captures.json"),
                      [{"capture": m["capture"], "expected": f"ref/{m['capture'][:-5]}/expected.json",
                        "protocol": m["protocol"], "scenario_name": m["scenario_name"], "variant": m["variant"],
                        "impaired": bool(m.get("impairment")), "edit": (m.get("edit") or {}).get("kind"),
                        "base_capture": m.get("base_capture"),
                        "unrecoverable_bytes": (m.get("edit") or {}).get("unrecoverable_bytes", 0)}
                       for m in manifests])
    return len(rows)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("output")
    ap.add_argument("--only", default="")
    ap.add_argument("--variants", default=",".join(VARIANTS))
    ap.add_argument("--impair", default=",".join(IMPAIRMENTS))
    ap.add_argument("--edits", dest="edits", action="store_true", default=True)
    ap.add_argument("--no-edits", dest="edits", action="store_false")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--retries", type=int, default=2)
    ap.add_argument("--keep-work", action="store_true")
    ap.add_argument("--list", action="store_true", help="print the capture names that would be made")
    args = ap.parse_args(argv)

    variants, impairments, patterns = _split(args.variants), _split(args.impair), _split(args.only)
    bad = [v for v in variants if v not in VARIANTS] + [i for i in impairments if i not in IMPAIRMENTS]
    if bad:
        ap.error(f"unknown variant or impairment: {', '.join(bad)}")
    selected = select(patterns, variants, impairments)
    if args.list:
        for sc, v, loss in selected:
            print(runner.capture_name(sc, v, loss))
        if args.edits:
            for base, kinds in edits.EDIT_PLAN.items():
                if any(runner.capture_name(sc, v, loss) == base for sc, v, loss in selected):
                    for k in kinds:
                        print(edits.edited_name(base, k))
        return 0
    if os.geteuid() != 0:
        print("make-captures: must run as root (network namespaces, iptables, tcpdump)", file=sys.stderr)
        return 2
    missing = [t for t in required_tools(selected, any(loss for _, _, loss in selected)) if shutil.which(t) is None]
    if missing:
        print(f"make-captures: missing tools: {' '.join(missing)} (run tools/capture-maker/install-deps.sh)",
              file=sys.stderr)
        return 2

    out = os.path.abspath(args.output)
    os.makedirs(os.path.join(out, "ref"), exist_ok=True)
    work_root = tempfile.mkdtemp(prefix="kestrel-captures.")
    os.chmod(work_root, 0o755)  # nginx and tcpdump read and write here

    def on_signal(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGTERM, on_signal)
    started = time.monotonic()
    failures = []
    made = []
    try:
        impair = build_impair(os.path.join(out, ".tools")) if any(loss for _, _, loss in selected) else ""
        media_dir = os.path.join(out, "media")
        facts = media.make_media(media_dir)
        runner.write_json(os.path.join(media_dir, "media.json"), facts)
        python = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else sys.executable
        ctx = runner.Context(out=out, media_dir=media_dir, media=facts, impair_bin=impair, work=work_root,
                             python=python, httpd=os.path.join(HERE, "httpd.py"), seed=args.seed,
                             keep_work=args.keep_work, cpu_slots=runner.cpu_slots(args.jobs),
                             versions=runner.tool_versions())
        try:
            preflight(work_root, python, any(loss for _, _, loss in selected))
        except (netlab.LabError, subprocess.SubprocessError, OSError) as e:
            print(f"make-captures: the capture set-up does not work here: {e}", file=sys.stderr)
            return 1

        def one(item):
            sc, v, loss = item
            name = runner.capture_name(sc, v, loss)
            last = None
            for attempt in range(1 + max(0, args.retries)):
                t0 = time.monotonic()
                try:
                    m = runner.record(sc, v, loss, ctx, attempt=attempt)
                    ta = m["pcap"]["tcp_analysis"]
                    print(f"make-captures: {name}: {m['pcap']['packets']} packets, retransmissions "
                          f"{ta['retransmission']}, out of order {ta['out_of_order']} "
                          f"({time.monotonic() - t0:.1f} s)", file=sys.stderr, flush=True)
                    return name, None
                except (runner.ScenarioFailed, netlab.LabError, subprocess.SubprocessError, OSError) as e:
                    last = str(e)
                    print(f"make-captures: {name}: attempt {attempt + 1} failed: {last}", file=sys.stderr, flush=True)
            shutil.rmtree(os.path.join(out, "ref", name), ignore_errors=True)
            return name, last

        pool = concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs))
        try:
            for name, err in pool.map(one, selected):
                (failures.append((name, err)) if err else made.append(name))
        finally:
            # On an interrupt, stop the running scenarios' processes and
            # namespaces first, so the workers fail fast instead of finishing.
            if len(made) + len(failures) < len(selected):
                netlab.close_all_labs()
            pool.shutdown(wait=True, cancel_futures=True)

        if args.edits:
            for base, kind, name in select_edits(patterns, out, set(made)):
                try:
                    m = edits.make_edit(out, base, kind)
                    made.append(name)
                    print(f"make-captures: {name}: {m['pcap']['packets']} packets, unrecoverable bytes "
                          f"{m['edit']['unrecoverable_bytes']}", file=sys.stderr, flush=True)
                except (runner.ScenarioFailed, OSError, ValueError) as e:
                    failures.append((name, str(e)))
                    print(f"make-captures: {name}: failed: {e}", file=sys.stderr, flush=True)
        total = write_index(out)
    except KeyboardInterrupt:
        print("make-captures: interrupted", file=sys.stderr)
        return 130
    finally:
        netlab.close_all_labs()
        if not args.keep_work:
            shutil.rmtree(work_root, ignore_errors=True)
        else:
            print(f"make-captures: work files kept in {work_root}", file=sys.stderr)
    print(f"make-captures: {len(made)} captures made, {len(failures)} failed, {total} in {out}/MANIFEST.tsv "
          f"({time.monotonic() - started:.0f} s)", file=sys.stderr)
    for name, err in failures:
        print(f"make-captures: FAILED {name}: {err}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
