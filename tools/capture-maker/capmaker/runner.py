"""Records one scenario in one link variant (with or without impairment),
checks the capture against what was served, and writes the capture with its
expected.json."""

import contextlib
import itertools
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import zlib
from dataclasses import dataclass, field

from . import analysis, media, netlab, pcapfile, streams
from .scenarios import HttpScenario

# Loss profile: random choices (per mille of payload segments) plus a few
# fixed segment numbers, so that even a transfer of a handful of large
# "modern" segments is impaired. See impair.c.
LOSS_OPTIONS = ["--drop-out", "40", "--hold", "60", "--drop-in", "25", "--delay-us", "1000",
                "--hold-us", "12000", "--short-hold-us", "2500",
                "--drop-out-at", "2", "--hold-at", "1", "--drop-in-at", "2"]

_ns_counter = itertools.count(1)
_ns_lock = threading.Lock()


class ScenarioFailed(Exception):
    pass


@dataclass
class Context:
    out: str
    media_dir: str
    media: dict
    impair_bin: str
    work: str
    python: str
    httpd: str
    seed: int = 1
    keep_work: bool = False
    # CPUs for the clean captures' labs running at the same time, one each
    # (see netlab); None: the programs run wherever the scheduler puts them.
    cpu_slots: "queue.Queue | None" = None
    versions: dict = field(default_factory=dict)
    served_framemd5: dict = field(default_factory=dict)
    lock: threading.Lock = field(default_factory=threading.Lock)


def capture_name(sc, variant, impaired):
    return f"{sc.name}-{variant}" + ("-loss" if impaired else "")


def cpu_slots(jobs):
    """One CPU for each of JOBS labs running at once, taken from the CPUs
    this process may use (shared round-robin when there are more jobs)."""
    cpus = sorted(os.sched_getaffinity(0))
    slots = queue.Queue()
    for i in range(max(1, jobs)):
        slots.put(cpus[i % len(cpus)])
    return slots


@contextlib.contextmanager
def _cpu_slot(ctx, wanted):
    """A CPU of its own for a clean capture's lab. Loss captures are
    disordered on purpose and run unpinned, as any program would."""
    if ctx.cpu_slots is None or not wanted:
        yield None
        return
    cpu = ctx.cpu_slots.get()
    try:
        yield cpu
    finally:
        ctx.cpu_slots.put(cpu)


def tool_versions():
    pkgs = {"curl": "curl", "wget": "wget", "nginx": "nginx", "rtmp": "libnginx-mod-rtmp",
            "rtmpdump": "rtmpdump", "ffmpeg": "ffmpeg", "tcpdump": "tcpdump", "libpcap": "libpcap0.8",
            "python3": "python3.11", "tshark": "tshark"}
    out = {}
    for key, pkg in pkgs.items():
        p = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", pkg], capture_output=True)
        out[key] = f"{pkg} {p.stdout.decode().strip()}" if p.returncode == 0 else f"{pkg} (not a Debian package here)"
    return out


def _client_label(ctx, tool):
    v = ctx.versions
    return {"curl": v.get("curl"), "wget": v.get("wget"), "rtmpdump": v.get("rtmpdump"),
            "ffmpeg": v.get("ffmpeg")}.get(tool, tool)


def _server_label(ctx, server):
    v = ctx.versions
    return {
        "stdlib-1.0": f"python3 -m http.server --protocol HTTP/1.0 ({v.get('python3')})",
        "stdlib-1.1": f"python3 -m http.server --protocol HTTP/1.1 ({v.get('python3')})",
        "custom": f"tools/capture-maker/httpd.py (python3 http.server.BaseHTTPRequestHandler, HTTP/1.1; "
                  f"{v.get('python3')})",
        "nginx-vod": f"{v.get('nginx')} + {v.get('rtmp')} (chunk_size 4096, application vod: play)",
        "nginx-live": f"{v.get('nginx')} + {v.get('rtmp')} (chunk_size 4096, application live)",
        "ffmpeg-listen": f"{v.get('ffmpeg')} -re -i clip -c copy -f flv -listen 1",
    }[server]


def _write_nginx_conf(work, media_dir):
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""daemon off;
master_process off;
worker_processes 1;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log info;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
events {{ worker_connections 64; }}
rtmp {{
    server {{
        listen 127.0.0.1:1935;
        chunk_size 4096;
        application vod {{ play {media_dir}; }}
        application live {{ live on; record off; }}
    }}
}}
""")
    return conf


def _start_server(lab, sc, ctx, work):
    if sc.server in ("stdlib-1.0", "stdlib-1.1"):
        proto = "HTTP/1.0" if sc.server == "stdlib-1.0" else "HTTP/1.1"
        p = lab.spawn("server", [ctx.python, "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                                 ctx.media_dir, "--protocol", proto, str(sc.port)])
    elif sc.server == "custom":
        p = lab.spawn("server", [ctx.python, ctx.httpd, "--dir", ctx.media_dir, "--port", str(sc.port)])
    elif sc.server in ("nginx-vod", "nginx-live"):
        conf = _write_nginx_conf(work, ctx.media_dir)
        p = lab.spawn("server", ["nginx", "-p", work, "-c", conf, "-e", os.path.join(work, "nginx-error.log")])
    elif sc.server == "ffmpeg-listen":
        p = lab.spawn("server", ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "warning", "-re", "-i",
                                 os.path.join(ctx.media_dir, sc.media), "-c", "copy", "-f", "flv",
                                 "-listen", "1", sc.url])
    else:
        raise ValueError(sc.server)
    lab.wait_listening(sc.port, p, "server")
    return p


# ------------------------------------------------------------------ HTTP

def _expected_bytes(ctx, body):
    with open(os.path.join(ctx.media_dir, body.media), "rb") as f:
        data = f.read()
    if body.byte_range is None:
        return data, None
    a, b = body.byte_range
    b = len(data) - 1 if b < 0 else b
    return data[a:b + 1], (a, b, len(data))


def _run_http_clients(lab, sc, ctx, work):
    results = []
    for i, run in enumerate(sc.runs):
        if run.partial is not None:
            fname, mname, n = run.partial
            shutil.copyfile(os.path.join(ctx.media_dir, mname), os.path.join(work, fname))
            with open(os.path.join(work, fname), "r+b") as f:
                f.truncate(n)
        rc = lab.run_client(f"client{i}-{run.tool}", run.argv, timeout=40, cwd=work)
        results.append({"client": run.tool, "argv": run.argv, "rc": rc})
    return results


def _http_expectations(sc, ctx, work, conns, refdir):
    problems = []
    responses = []
    for c in conns:
        reqs = streams.parse_requests(c.to_server.data)
        for r in streams.parse_responses(c.to_client.data, reqs, stream_complete=c.to_client.fin_offset is not None):
            responses.append((c, r))
    if len(responses) != len(sc.bodies):
        problems.append(f"capture holds {len(responses)} HTTP responses, expected {len(sc.bodies)}")
    bodies, messages = [], []
    joined = {}
    for body, (c, r) in zip(sc.bodies, responses):
        data, rng = _expected_bytes(ctx, body)
        fname = body.media if rng is None else f"{body.media}.bytes-{rng[0]}-{rng[1]}"
        with open(os.path.join(refdir, fname), "wb") as f:
            f.write(data)
        client_sha = None
        if body.client_file:
            try:
                with open(os.path.join(work, body.client_file), "rb") as f:
                    got = f.read()[body.client_prefix:]
                client_sha = media.sha256_file_bytes(got)
            except FileNotFoundError:
                problems.append(f"client file {body.client_file} missing")
        entry = {
            "file": fname, "bytes": len(data), "sha256": media.sha256_file_bytes(data),
            "what": (f"{'de-chunked ' if r.framing == 'chunked' else ''}{r.status} body of GET {body.path}"
                     + (f" (bytes {rng[0]}-{rng[1]} of {body.media}, {rng[2]} bytes)" if rng else "")),
            "served_file": body.media, "status": r.status, "framing": r.framing,
            "tcp_stream": c.index,
            "capture_body_matches": bytes(r.body) == data and r.complete,
            "client_received_sha256": client_sha,
            "client_match": client_sha == media.sha256_file_bytes(data),
        }
        if rng:
            entry["content_range"] = [rng[0], rng[1], rng[2]]
            joined.setdefault(body.media, []).append((rng[0], rng[1] + 1))
        if r.framing == "chunked":
            entry["segments_ending_inside_chunk_framing"] = analysis.chunk_line_splits(c, r)
            if entry["segments_ending_inside_chunk_framing"] == 0:
                problems.append("no segment boundary falls inside the chunk framing")
        if not entry["capture_body_matches"]:
            problems.append(f"body {fname} in the capture differs from the served bytes")
        if not entry["client_match"]:
            problems.append(f"client's copy of {fname} differs from the served bytes")
        if r.status != body.status:
            problems.append(f"status {r.status} for {fname}, expected {body.status}")
        if body.framing != r.framing:
            problems.append(f"framing {r.framing} for {fname}, expected {body.framing}")
        if body.content_type and r.header("Content-Type") != body.content_type:
            problems.append(f"Content-Type {r.header('Content-Type')} for {fname}, expected {body.content_type}")
        bodies.append(entry)
        req = r.request
        messages.append({"tcp_stream": c.index, "request": f"{req.method} {req.target} {req.version}" if req else None,
                         "request_range": req and next((v for k, v in req.headers if k.lower() == "range"), None)})
        messages.append({"tcp_stream": c.index, "response": r.status, "status_line": f"{r.version} {r.status} {r.reason}",
                         "content_type": r.header("Content-Type"), "content_length": r.header("Content-Length"),
                         "transfer_encoding": r.header("Transfer-Encoding"),
                         "content_range": r.header("Content-Range"), "connection": r.header("Connection")})
    joined_out = []
    for mname, parts in joined.items():
        with open(os.path.join(ctx.media_dir, mname), "rb") as f:
            whole = f.read()
        cover = streams.merge_intervals(parts)
        complete = cover == [(0, len(whole))]
        joined_out.append({"served_file": mname, "bytes": len(whole), "sha256": media.sha256_file_bytes(whole),
                           "covered_ranges": [list(x) for x in cover], "complete": complete,
                           "what": "the 206 parts joined at their Content-Range offsets"
                                   + ("" if complete else "; bytes outside covered_ranges are not in the capture")})
        if complete:
            with open(os.path.join(refdir, mname), "wb") as f:
                f.write(whole)
            joined_out[-1]["file"] = mname
    return bodies, messages, joined_out, problems


# ------------------------------------------------------------------ RTMP

def _framemd5(path, out_path):
    p = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-i", path, "-map", "0",
                        "-c", "copy", "-f", "framemd5", out_path], capture_output=True, timeout=120)
    if p.returncode != 0:
        raise ScenarioFailed(f"framemd5 of {path} failed: {p.stderr.decode(errors='replace')}")
    rows = []
    with open(out_path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            cols = [c.strip() for c in line.split(",")]
            rows.append((cols[4], cols[5]))  # size, md5
    return rows


def _packet_counts(path):
    p = subprocess.run(["ffprobe", "-v", "error", "-count_packets", "-show_entries",
                        "stream=codec_name,nb_read_packets", "-of", "compact", path],
                       capture_output=True, timeout=120)
    return p.stdout.decode().strip() if p.returncode == 0 else "error: " + p.stderr.decode(errors="replace")


def _served_packets(ctx, mname):
    with ctx.lock:
        if mname not in ctx.served_framemd5:
            ctx.served_framemd5[mname] = _framemd5(os.path.join(ctx.media_dir, mname),
                                                   os.path.join(ctx.work, mname + ".framemd5"))
        return ctx.served_framemd5[mname]


def _player_argv(sc, out):
    live = sc.server == "nginx-live"
    if sc.player == "rtmpdump":
        return ["rtmpdump", "-q", "-r", sc.url, "-o", out, "-m", "3" if live else "10"] + (["--live"] if live else [])
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-rw_timeout",
            "2000000" if live else "5000000", "-i", sc.url, "-map", "0", "-c", "copy", "-f", "flv", out]


def _run_rtmp_clients(lab, sc, ctx, work):
    out = os.path.join(work, "player.flv")
    if sc.server != "nginx-live":
        rc = lab.run_client(f"player-{sc.player}", _player_argv(sc, out), timeout=40)
        return [{"client": sc.player, "argv": _player_argv(sc, "out.flv"), "rc": rc}], out
    # Live: the player waits on the stream first, so it sees it from the start.
    player = lab.spawn(f"player-{sc.player}", _player_argv(sc, out))
    if not netlab.wait_until(lambda: lab.established(sc.port) >= 1 or player.poll() is not None, 10):
        raise ScenarioFailed("the player did not connect")
    netlab.wait_until(lambda: False, 0.5)
    pub_argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i",
                os.path.join(ctx.media_dir, sc.media), "-c", "copy", "-f", "flv", sc.url]
    prc = lab.run_client("publisher-ffmpeg", pub_argv, timeout=40)
    try:
        rc = player.wait(timeout=20)
    except subprocess.TimeoutExpired:
        player.kill()
        rc = None
    return [{"client": sc.player, "role": "player", "argv": _player_argv(sc, "out.flv"), "rc": rc},
            {"client": "ffmpeg", "role": "publisher", "argv": pub_argv[:6] + [sc.media] + pub_argv[7:], "rc": prc}], out


def _rtmp_expectations(sc, ctx, player_out, refdir):
    problems = []
    if not os.path.exists(player_out) or os.path.getsize(player_out) < 1000:
        raise ScenarioFailed("the player saved no FLV")
    ref = os.path.join(refdir, "ref.flv")
    shutil.copyfile(player_out, ref)
    rows = _framemd5(ref, os.path.join(refdir, "ref.framemd5"))
    served = _served_packets(ctx, sc.media)
    from collections import Counter
    a, b = Counter(rows), Counter(served)
    only_ref, only_served = sum((a - b).values()), sum((b - a).values())
    if only_ref or only_served:
        problems.append(f"player's packets differ from the served file ({only_ref} only in ref, "
                        f"{only_served} only in served)")
    return {
        "ref_flv": "ref.flv", "bytes": os.path.getsize(ref), "sha256": media.sha256_file(ref),
        "ffprobe": _packet_counts(ref), "framemd5": "ref.framemd5", "packets": len(rows),
        "served_file": sc.media, "served_file_sha256": ctx.media[sc.media]["sha256"],
        "packets_equal_served_file": not only_ref and not only_served,
        "payloads_vs_served_file": {"only_in_ref": only_ref, "only_in_served_file": only_served},
    }, problems


# ------------------------------------------------------------------ one capture

def record(sc, variant, impaired, ctx, log=print, attempt=0):
    name = capture_name(sc, variant, impaired)
    with _ns_lock:
        n = next(_ns_counter)
    work = tempfile.mkdtemp(prefix=name + ".", dir=ctx.work)
    refdir = os.path.join(ctx.out, "ref", name)
    shutil.rmtree(refdir, ignore_errors=True)
    os.makedirs(refdir)
    pcap_tmp = os.path.join(work, "capture.pcap")
    # Another attempt gets another seed: the same choices would likely fail the same way.
    seed = (zlib.crc32(name.encode()) ^ ctx.seed ^ (attempt * 0x9E3779B1)) & 0x7FFFFFFF
    bpf = f"tcp port {sc.port}"
    # Large loopback segments of the full MSS make frames of 65549 bytes,
    # which a 65536-byte snap length would cut; Ethernet-sized frames never
    # come near it.
    snaplen = 65536 if variant == "eth1500" else 262144
    impair_stats = None
    with _cpu_slot(ctx, not impaired) as cpu, netlab.Lab(f"kestrel-cap-{os.getpid()}-{n}", work, log, cpu=cpu) as lab:
        lab.configure(variant)
        if impaired:
            lab.start_impair(ctx.impair_bin, sc.port, 10 + n % 1000, ["--seed", str(seed)] + LOSS_OPTIONS)
        server = _start_server(lab, sc, ctx, work)
        lab.start_capture(pcap_tmp, bpf, snaplen)
        if isinstance(sc, HttpScenario):
            clients = _run_http_clients(lab, sc, ctx, work)
            player_out = None
        else:
            clients, player_out = _run_rtmp_clients(lab, sc, ctx, work)
        if sc.server == "ffmpeg-listen":
            try:
                server.wait(timeout=15)  # it ends with its client
            except subprocess.TimeoutExpired:
                pass
        dump_summary = lab.stop_capture()
        impair_stats = lab.stop_impair()
        server_log = lab.log_text("server")
    for c in clients:
        if c["rc"] is None:
            raise ScenarioFailed(f"{c['client']} did not finish in time")
        if isinstance(sc, HttpScenario) and c["rc"] != 0:
            raise ScenarioFailed(f"{c['client']} failed with exit status {c['rc']}")

    cap = pcapfile.read_pcap(pcap_tmp)
    conns = streams.reassemble(cap)
    facts = analysis.pcap_facts(pcap_tmp, cap)
    sfacts = analysis.stream_facts(conns)
    problems = []
    kernel_drops = re.search(r"(\d+) packets? dropped by kernel", dump_summary)
    if kernel_drops is None or int(kernel_drops.group(1)) != 0:
        problems.append("tcpdump reports packets dropped by the kernel: " + dump_summary.strip()[-200:])
    if facts["truncated_packets"]:
        problems.append(f"{facts['truncated_packets']} packets truncated by the snap length")
    if len(conns) != sc.connections:
        problems.append(f"{len(conns)} TCP connections, expected {sc.connections}")
    # A capture that started late lacks the first SYN.
    late = [c.index for c in conns if not c.syn_seen]
    if late:
        problems.append(f"no SYN captured for TCP stream(s) {late}")
    if not impaired:
        # Data sent again (other than a tail-loss probe), or segments missing
        # where the capture saw later ones, mean packets were lost or
        # overtook each other on the way: not what a clean capture is for.
        # Another attempt is made.
        resent = facts["payload_retransmissions"] - facts["tail_probe_retransmissions"]
        gaps = facts["tcp_analysis"]["lost_segment"]
        if resent or gaps:
            problems.append(f"clean capture with {resent} data segments sent again and {gaps} segments "
                            "after a gap (tshark)")
    for s in sfacts:
        for label in ("client_to_server", "server_to_client"):
            # Holes past what the peer acknowledged are bytes sent after the
            # peer had gone: the client never had them either, so they are
            # allowed (and listed). Anything else means the capture missed data.
            if s[label]["holes_in_acknowledged_bytes"] or s[label]["conflicting_bytes"]:
                problems.append(f"stream {s['tcp_stream']} {label} has holes "
                                f"{s[label]['holes_in_acknowledged_bytes']} in acknowledged bytes or "
                                f"{s[label]['conflicting_bytes']} conflicting bytes")
            if s[label]["holes"] and sc.protocol == "http":
                problems.append(f"stream {s['tcp_stream']} {label} has holes {s[label]['holes']}")
            if not s[label]["fin_captured"] and sc.protocol == "http":
                problems.append(f"stream {s['tcp_stream']} {label} has no FIN in the capture")
    if impaired and facts["tcp_analysis"]["retransmission"] == 0:
        problems.append("impaired capture without any retransmission")
    if impaired and not any(s["server_to_client"]["out_of_sequence_segments"] for s in sfacts):
        problems.append("impaired capture without any segment out of sequence")

    manifest = {
        "capture": name + ".pcap",
        "scenario_name": sc.name,
        "scenario": sc.title,
        "protocol": sc.protocol,
        "variant": variant,
        "impairment": None,
        "client": ", ".join(sorted({_client_label(ctx, c["client"]) for c in clients})),
        "server": _server_label(ctx, sc.server),
        "capture_tool": f"{ctx.versions.get('tcpdump')} ({ctx.versions.get('libpcap')})",
        "capture_filter": bpf,
        "client_exit_status": clients,
        "pcap": facts,
        "tcp_streams": sfacts,
        "expect_connections": sc.connections,
        "notes": sc.notes,
    }
    if impaired:
        manifest["impairment"] = {
            "kind": "loss+reorder",
            "how": "server's TCP segments through NFQUEUE (iptables OUTPUT and INPUT, --sport "
                   f"{sc.port}) to tools/capture-maker/impair.c; OUTPUT is before the capture point on lo "
                   "(dropped there = never captured, held = captured out of order), INPUT after it "
                   "(dropped there = captured, then captured again when retransmitted)",
            "seed": seed, "options": LOSS_OPTIONS, "counters": impair_stats,
            "all_bytes_recoverable": not any(s[k]["holes"] for s in sfacts
                                             for k in ("client_to_server", "server_to_client")),
            "note": "every byte the client received is in the capture; holes_never_acknowledged in "
                    "tcp_streams lists bytes the server sent after the client had closed, which reached "
                    "neither the client nor the capture",
        }
    if isinstance(sc, HttpScenario):
        bodies, messages, joined, p2 = _http_expectations(sc, ctx, work, conns, refdir)
        problems += p2
        manifest.update({"expect_http_responses": len(sc.bodies), "expected_http_bodies": bodies,
                         "expected_joined_ranges": joined, "http_messages": messages})
    else:
        manifest["url"] = sc.url
        expected, p2 = _rtmp_expectations(sc, ctx, player_out, refdir)
        expected["player_tcp_stream"] = 0
        problems += p2
        manifest["expected_rtmp"] = expected
        if "ffmpeg-listen" == sc.server and "error" in server_log.lower():
            manifest["server_log_tail"] = server_log[-500:]
    if problems:
        raise ScenarioFailed("; ".join(problems))
    shutil.copyfile(pcap_tmp, os.path.join(ctx.out, name + ".pcap"))
    write_json(os.path.join(refdir, "expected.json"), manifest)
    if not ctx.keep_work:
        shutil.rmtree(work, ignore_errors=True)
    return manifest


def write_json(path, obj):
    import json
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(obj, f, indent=1)
        f.write("\n")
    os.replace(tmp, path)
