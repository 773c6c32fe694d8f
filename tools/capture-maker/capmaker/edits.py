"""Named, deterministic edits of the maker's own real captures: duplicated,
reordered and dropped frames, and sequence numbers moved to just below 2^32.

Each edited capture gets the expected outputs of its base plus the edit
report, which says exactly which bytes no recorder can recover (a dropped
frame whose payload the capture never carries again)."""

import copy
import json
import os
import shutil

from . import analysis, edit, pcapfile, streams
from .runner import ScenarioFailed, write_json

# Base capture -> edits made of it.
EDIT_PLAN = {
    "http-flv-curl-eth1500": ["dup", "reorder", "drop", "seqwrap", "seqwrap-mixed"],
    "http-flv-curl-modern": ["dup", "reorder", "drop", "seqwrap"],
    "http-chunked-curl-eth1500": ["reorder", "drop", "seqwrap"],
    "http-keepalive-two-curl-eth1500": ["drop", "seqwrap"],
    "http-range-curl-eth1500": ["seqwrap"],
    "http-flv-curl-eth1500-loss": ["seqwrap", "drop-first-copy"],
    "http-chunked-curl-modern-loss": ["seqwrap"],
    "rtmp-vod-rtmpdump-eth1500": ["dup", "reorder", "drop", "seqwrap"],
    "rtmp-vod-rtmpdump-eth1500-loss": ["seqwrap", "drop-first-copy"],
    "rtmp-vod-ffmpeg-modern": ["drop", "seqwrap"],
    "rtmp-live-ffmpeg-eth1500": ["seqwrap"],
}

CLIENT_ISN_NEAR_WRAP = 0xFFFFFFD0  # the client's stream crosses 2^32 after 47 bytes
EDIT_DESCRIPTIONS = {
    "dup": "some server segments duplicated (one right after itself, one three frames later)",
    "reorder": "some server segments moved (three later, one swapped with its successor, one two earlier)",
    "drop": "two server segments dropped: their bytes are in the capture nowhere else",
    "drop-first-copy": "the first copy of retransmitted server segments dropped: the retransmission still "
                       "carries every byte",
    "seqwrap": "sequence numbers shifted: client ISN 0xffffffd0, server ISN chosen so that its stream "
               "crosses 2^32 halfway (acks, SACK edges and checksums rewritten)",
    "seqwrap-mixed": "sequence numbers shifted as in seqwrap, then segments duplicated and reordered",
}


def _server_payload_frames(cap, server_port):
    out = []
    for fr in cap.frames:
        s = pcapfile.parse_tcp(fr, cap.linktype)
        if s is not None and s.sport == server_port and s.payload_len > 0:
            out.append((fr.number, s.seq, s.payload_len, s.conn))
    return out


def _operations(kind, cap, server_port):
    frames = _server_payload_frames(cap, server_port)
    n = len(frames)
    if n < 5:
        raise ScenarioFailed(f"base capture has only {n} server segments with payload")
    pick = [f[0] for f in frames]
    ops = {"drop": [], "dup": [], "move": [], "seq": None}
    if kind in ("dup", "seqwrap-mixed"):
        ops["dup"] = [(pick[n // 5], 0), (pick[n // 2], 0), (pick[3 * n // 4], 3)]
    if kind in ("reorder", "seqwrap-mixed"):
        ops["move"] = [(pick[n // 4], 3), (pick[n // 2 + 1], 1), (pick[2 * n // 3], -2)]
    if kind == "drop":
        ops["drop"] = [pick[n // 3], pick[2 * n // 3]]
    if kind == "drop-first-copy":
        seen = {}
        for number, seq, length, conn in frames:
            key = (conn, seq, length)
            if key in seen and seen[key] not in ops["drop"]:
                ops["drop"].append(seen[key])
            seen.setdefault(key, number)
        if not ops["drop"]:
            raise ScenarioFailed("base capture holds no segment captured twice")
    if kind.startswith("seqwrap"):
        ops["seq"] = {"client_isn": CLIENT_ISN_NEAR_WRAP, "wrap_server_middle": True}
    return ops


def edited_name(base, kind):
    if kind == "seqwrap":
        return f"{base}-seqwrap"
    if kind == "seqwrap-mixed":
        return f"{base}-seqwrap-edit-mixed"
    return f"{base}-edit-{kind}"


def make_edit(out, base, kind):
    """Writes OUT/NAME.pcap and OUT/ref/NAME/ from the base capture."""
    name = edited_name(base, kind)
    base_ref = os.path.join(out, "ref", base)
    with open(os.path.join(base_ref, "expected.json")) as f:
        base_manifest = json.load(f)
    port = 80 if base_manifest["protocol"] == "http" else 1935
    original = pcapfile.read_pcap(os.path.join(out, base + ".pcap"))
    work = pcapfile.read_pcap(os.path.join(out, base + ".pcap"))
    ops = _operations(kind, original, port)
    seq_facts = None
    if ops["seq"]:
        seq_facts = edit.shift_sequence_numbers(work, ops["seq"]["client_isn"], None,
                                                ops["seq"]["wrap_server_middle"])
    order = edit.reorder_frames(work, ops["drop"], ops["dup"], ops["move"])
    result = edit.apply_order(work, order)
    lost = edit.lost_bytes(original, result)

    refdir = os.path.join(out, "ref", name)
    shutil.rmtree(refdir, ignore_errors=True)
    shutil.copytree(base_ref, refdir)
    pcap_path = os.path.join(out, name + ".pcap")
    pcapfile.write_pcap(pcap_path, result)

    m = copy.deepcopy(base_manifest)
    m["capture"] = name + ".pcap"
    m["base_capture"] = base + ".pcap"
    m["scenario"] = f"{base_manifest['scenario']}; edited: {EDIT_DESCRIPTIONS[kind]}"
    m["pcap"] = analysis.pcap_facts(pcap_path, result)
    conns = streams.reassemble(result)
    m["tcp_streams"] = analysis.stream_facts(conns)
    total_lost = sum(c[d]["unrecoverable_bytes"] for c in lost for d in ("client_to_server", "server_to_client"))
    m["edit"] = {
        "kind": kind,
        "tool": "tools/capture-maker/pcap-edit.py (capmaker.edit)",
        "frames_dropped": sorted(ops["drop"]),
        "frames_duplicated": [f"{a}:{k}" for a, k in ops["dup"]],
        "frames_moved": [f"{a}:{k}" for a, k in ops["move"]],
        "frame_numbers": "1-based numbers of the base capture",
        "output_order": order,
        "sequence_numbers": seq_facts,
        "lost": lost,
        "unrecoverable_bytes": total_lost,
        "all_bytes_recoverable": total_lost == 0,
    }
    problems = []
    if kind == "drop" and total_lost == 0:
        problems.append("dropping frames lost no bytes")
    if kind != "drop" and total_lost != 0:
        problems.append(f"{kind} lost {total_lost} bytes")
    if m["protocol"] == "http":
        responses = [r for c in lost for r in c.get("http_responses", [])]
        for body, r in zip(m["expected_http_bodies"], responses):
            body["unrecoverable_body_ranges"] = r["unrecoverable_body_ranges"]
            body["unrecoverable_body_bytes"] = r["unrecoverable_body_bytes"]
            body["recoverable_bytes"] = body["bytes"] - r["unrecoverable_body_bytes"]
            body["header_damaged"] = r["header_damaged"]
        # The edited capture must still carry every byte it claims to.
        by_stream = {c.index: c for c in conns}
        for body in m["expected_http_bodies"]:
            c = by_stream.get(body["tcp_stream"])
            if c is None:
                continue
            reqs = streams.parse_requests(c.to_server.data)
            if body.get("unrecoverable_body_bytes", 0) == 0 and c.to_client.holes == []:
                rs = streams.parse_responses(c.to_client.data, reqs)
                ok = any(bytes(r.body) == _read(refdir, body["file"]) for r in rs)
                body["capture_body_matches"] = ok
                if not ok:
                    problems.append(f"{body['file']} not found intact in the edited capture")
    else:
        player = m["expected_rtmp"].get("player_tcp_stream", 0)
        entry = next((c for c in lost if c["tcp_stream"] == player), None)
        m["expected_rtmp"]["unrecoverable_stream_ranges"] = (
            entry["server_to_client"]["unrecoverable_ranges"] if entry else [])
        m["expected_rtmp"]["note_on_gaps"] = (
            "stream offsets count from the first byte after the server's SYN-ACK; FLV packets whose RTMP "
            "chunks touch these ranges cannot be recovered" if total_lost else "no gaps")
    if problems:
        raise ScenarioFailed("; ".join(problems))
    write_json(os.path.join(refdir, "expected.json"), m)
    return m


def _read(folder, name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()
