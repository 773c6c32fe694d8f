"""Facts about a finished capture for its manifest: packet and segment
figures read from the file itself, and tshark's TCP analysis (retransmissions,
out-of-order segments, ...), which a test can compare with what the
recorder reports."""

import os
import subprocess

from . import media, pcapfile, streams

TCP_ANALYSIS_FIELDS = ("retransmission", "spurious_retransmission", "fast_retransmission",
                       "out_of_order", "lost_segment", "duplicate_ack")


def tshark_tcp_analysis(path):
    """tshark's TCP analysis flags, counted per kind; and how many of the
    retransmissions carry data, and how many of those send the last data
    of their direction again. That one is TCP's tail-loss probe: when the
    peer's ACK of the last segment is slow (a delayed ACK), the sender
    repeats it, although nothing was lost."""
    fields = []
    for f in TCP_ANALYSIS_FIELDS:
        fields += ["-e", f"tcp.analysis.{f}"]
    extra = ("tcp.stream", "tcp.srcport", "tcp.seq", "tcp.len")
    for f in extra:
        fields += ["-e", f]
    p = subprocess.run(["tshark", "-n", "-r", path, "-T", "fields", "-E", "separator=/t"] + fields,
                       capture_output=True, timeout=120)
    if p.returncode != 0:
        raise RuntimeError(f"tshark failed on {path}: {p.stderr.decode(errors='replace')}")
    counts = dict.fromkeys(TCP_ANALYSIS_FIELDS, 0)
    n = len(TCP_ANALYSIS_FIELDS)
    ends = {}           # (stream, source port) -> end of the data seen
    retransmitted = []  # (stream, source port, end) of data sent again
    for line in p.stdout.decode().splitlines():
        cols = line.split("\t")
        for name, value in zip(TCP_ANALYSIS_FIELDS, cols):
            if value.strip():
                counts[name] += 1
        try:
            stream, sport, seq, length = (int(c) for c in cols[n:n + len(extra)])
        except ValueError:
            continue  # not TCP
        if length == 0:
            continue
        key = (stream, sport)
        ends[key] = max(ends.get(key, 0), seq + length)
        if cols[0].strip():
            retransmitted.append((key, seq + length))
    data = {"payload_retransmissions": len(retransmitted),
            "tail_probe_retransmissions": sum(1 for key, end in retransmitted if end == ends[key])}
    return counts, data


def pcap_facts(path, cap=None):
    cap = cap or pcapfile.read_pcap(path)
    tcp = payload_pkts = payload_bytes = max_payload = ts = rst = truncated = 0
    header_lengths = set()
    conns = set()
    for fr in cap.frames:
        if len(fr.data) < fr.orig_len:
            truncated += 1
        s = pcapfile.parse_tcp(fr, cap.linktype)
        if s is None:
            continue
        tcp += 1
        conns.add(s.conn)
        header_lengths.add(s.tcp_hlen)
        if s.payload_len:
            payload_pkts += 1
            payload_bytes += s.payload_len
            max_payload = max(max_payload, s.payload_len)
        if any(k == 8 for k, _ in pcapfile.tcp_option_kinds(s.options)):
            ts += 1
        if s.flags & pcapfile.TCP_RST:
            rst += 1
    t = [fr.sec + fr.frac / cap.frac_per_sec for fr in cap.frames]
    tcp_analysis, retransmitted_data = tshark_tcp_analysis(path)
    return {
        "linktype": cap.linktype,
        "snaplen": cap.snaplen,
        "packets": len(cap.frames),
        "truncated_packets": truncated,
        "tcp_packets": tcp,
        "tcp_payload_packets": payload_pkts,
        "tcp_payload_bytes": payload_bytes,
        "max_tcp_payload": max_payload,
        "tcp_timestamp_packets": ts,
        "tcp_rst_packets": rst,
        "tcp_header_lengths": sorted(header_lengths),
        "tcp_connections": len(conns),
        "duration_s": round(max(t) - min(t), 3) if t else 0,
        "bytes": os.path.getsize(path),
        "sha256": media.sha256_file(path),
        "tcp_analysis": tcp_analysis,
        **retransmitted_data,
    }


def stream_facts(conns):
    """Per connection: stream lengths, holes and damaged bytes, which a clean
    or loss capture must not have (TCP delivered everything the client got,
    and all of it passed the capture point)."""
    out = []
    for c in conns:
        item = {"tcp_stream": c.index, "client_port": c.client[1], "server_port": c.server[1],
                "syn_captured": c.syn_seen}
        for label, d in (("client_to_server", c.to_server), ("server_to_client", c.to_client)):
            item[label] = {"stream_bytes": d.length, "holes": [list(h) for h in d.holes],
                           "acknowledged_bytes": d.acked,
                           "out_of_sequence_segments": d.out_of_sequence,
                           "holes_in_acknowledged_bytes": [list(h) for h in d.delivered_holes],
                           "holes_never_acknowledged": [list(h) for h in d.undelivered_holes],
                           "conflicting_bytes": d.conflicting_bytes, "truncated_bytes": d.truncated_bytes,
                           "fin_captured": d.fin_offset is not None}
        out.append(item)
    return out


def chunk_line_splits(conn, response):
    """How many segments of the server end inside a chunk-size line or
    between a chunk's data and its CR LF: the split cases a de-chunker must
    join across segments."""
    data = conn.to_client.data
    ends = sorted({off + n for _, off, n, _ in conn.to_client.segments})
    boundaries = []
    pos = response.header_end
    for s0, s1, _ in response.pieces:
        # The size line before this piece, and the CR LF after it.
        boundaries.append((pos, s0))
        boundaries.append((s1, s1 + 2))
        pos = s1 + 2
    # The last-chunk line "0\r\n\r\n".
    last = data.find(b"0\r\n", pos)
    if last >= 0:
        boundaries.append((last, last + 5))
    inside = 0
    for e in ends:
        for a, b in boundaries:
            if a < e < b:
                inside += 1
                break
    return inside
