"""Deterministic edits of a real capture: drop, duplicate and move frames, and
shift the sequence numbers of every TCP connection so that its initial
sequence numbers sit where a test wants them (just below 2^32, say).

Frames are named by their 1-based number in the input file, as tshark and
tcpdump number them. Every operation refers to input numbers, whatever other
operations do, so an edit is easy to state and to repeat.

The report says, for every direction of every connection, which stream bytes
the input held and the output no longer holds anywhere: those bytes are
unrecoverable for any recorder. For HTTP the same holes are given as byte
ranges of each response body.
"""

import struct

from . import pcapfile, streams

MOD32 = 1 << 32


class EditError(Exception):
    pass


def _sack_rewrite(buf, seg, delta):
    """Shifts the edges of a SACK option (kind 5) by delta."""
    for kind, pos in pcapfile.tcp_option_kinds(seg.options):
        if kind != 5:
            continue
        start = seg.tcp_off + 20 + pos
        length = buf[start + 1]
        for edge in range(start + 2, start + length - 3, 4):
            v = struct.unpack_from(">I", buf, edge)[0]
            struct.pack_into(">I", buf, edge, (v + delta) % MOD32)


def shift_sequence_numbers(cap, client_isn=None, server_isn=None, wrap_at_middle=False):
    """Rewrites seq, ack and SACK edges of every TCP connection so that the
    client's SYN carries client_isn and the server's SYN-ACK server_isn (each
    None to leave that side alone). With wrap_at_middle the server's initial
    number is chosen per connection so that its byte stream crosses 2^32 in
    the middle of what it sent. TCP checksums are recomputed for every segment
    that is whole in the capture. Returns a list of per-connection facts."""
    conns = streams.reassemble(cap)
    plan = {}
    facts = []
    for c in conns:
        cs, ss = c.to_server, c.to_client
        if cs.isn is None or ss.isn is None:
            raise EditError("a connection has no captured SYN/SYN-ACK; its initial numbers are unknown")
        target_s = server_isn
        if wrap_at_middle:
            middle = max(1, ss.length // 2) | 1  # odd, so the wrap falls inside a segment
            target_s = (MOD32 - middle - 1) % MOD32
        d_c = 0 if client_isn is None else (client_isn - cs.isn) % MOD32
        d_s = 0 if target_s is None else (target_s - ss.isn) % MOD32
        plan[(c.client, c.server)] = (d_c, d_s)
        new_c, new_s = (cs.isn + d_c) % MOD32, (ss.isn + d_s) % MOD32
        facts.append({
            "tcp_stream": c.index,
            "client_port": c.client[1],
            "client_isn": new_c,
            "server_isn": new_s,
            "client_wraps_at_stream_offset": (MOD32 - new_c - 1) % MOD32,
            "server_wraps_at_stream_offset": (MOD32 - new_s - 1) % MOD32,
            "client_stream_bytes": cs.length,
            "server_stream_bytes": ss.length,
        })
    rewritten = 0
    unchecked = 0
    for fr in cap.frames:
        seg = pcapfile.parse_tcp(fr, cap.linktype)
        if seg is None:
            continue
        a, b = (seg.src, seg.sport), (seg.dst, seg.dport)
        if (a, b) in plan:
            d_own, d_peer = plan[(a, b)]
        elif (b, a) in plan:
            d_peer, d_own = plan[(b, a)]
        else:
            continue
        buf = bytearray(fr.data)
        t = seg.tcp_off
        struct.pack_into(">I", buf, t + 4, (seg.seq + d_own) % MOD32)
        if seg.flags & pcapfile.TCP_ACK:
            struct.pack_into(">I", buf, t + 8, (seg.ack + d_peer) % MOD32)
        _sack_rewrite(buf, seg, d_peer)
        if seg.captured_payload_len == seg.payload_len:
            struct.pack_into(">H", buf, t + 16, pcapfile.tcp_checksum(buf, seg))
        else:
            unchecked += 1
        fr.data = bytes(buf)
        rewritten += 1
    return {"connections": facts, "segments_rewritten": rewritten,
            "checksums_left_stale": unchecked}


def _parse_pairs(items, what):
    out = []
    for it in items:
        if isinstance(it, (tuple, list)):
            n, k = it
        else:
            text = str(it)
            if ":" in text:
                n, k = text.split(":", 1)
            else:
                n, k = text, 0
        try:
            out.append((int(n), int(k)))
        except ValueError:
            raise EditError(f"bad {what} '{it}': want FRAME or FRAME:OFFSET")
    return out


def reorder_frames(cap, drop=(), dup=(), move=()):
    """drop: frame numbers to leave out. dup: (frame, k) pairs; the copy goes
    k frames after the original (0: right after it). move: (frame, k) pairs;
    the frame goes k places later (negative: earlier). Returns the list of
    input frame numbers in output order (a duplicate appears twice)."""
    count = len(cap.frames)
    drop = set(int(n) for n in drop)
    dup = _parse_pairs(dup, "duplicate")
    move = _parse_pairs(move, "move")
    for n in list(drop) + [n for n, _ in dup] + [n for n, _ in move]:
        if not 1 <= n <= count:
            raise EditError(f"frame {n} is not in the capture (1..{count})")
    order = [n for n in range(1, count + 1)]
    for n, k in move:
        i = order.index(n)
        order.pop(i)
        order.insert(max(0, min(len(order), i + k)), n)
    for n, k in dup:
        i = order.index(n)
        order.insert(min(len(order), i + 1 + max(0, k)), n)
    return [n for n in order if n not in drop]


def apply_order(cap, order):
    """A new capture with the frames of cap in the given order (input
    numbers). Times are kept but never go backwards: a frame moved later takes
    the time of the frame before it, as a capture of reordered traffic would
    show it."""
    out = pcapfile.Pcap(cap.linktype, cap.snaplen, cap.nanosecond, cap.endian)
    last = None
    for n in order:
        fr = cap.frames[n - 1].copy()
        t = (fr.sec, fr.frac)
        if last is not None and t < last:
            fr.sec, fr.frac = last
        last = (fr.sec, fr.frac)
        out.frames.append(fr)
    return out


def lost_bytes(original, edited):
    """For every connection direction: stream ranges that the original capture
    covered and the edited one covers nowhere. Also maps the server-side
    holes onto HTTP response bodies when the server speaks HTTP."""
    before = streams.reassemble(original)
    after = {(c.client, c.server): c for c in streams.reassemble(edited)}
    report = []
    for c in before:
        e = after.get((c.client, c.server))
        entry = {"tcp_stream": c.index, "client_port": c.client[1], "server_port": c.server[1]}
        for label, d_before, pick in (("client_to_server", c.to_server, lambda x: x.to_server),
                                      ("server_to_client", c.to_client, lambda x: x.to_client)):
            covered_after = pick(e).covered if e is not None else []
            holes = streams.subtract_intervals(d_before.covered, covered_after)
            entry[label] = {"stream_bytes": d_before.length,
                            "unrecoverable_ranges": [list(h) for h in holes],
                            "unrecoverable_bytes": sum(b - a for a, b in holes)}
        holes_s = [tuple(h) for h in entry["server_to_client"]["unrecoverable_ranges"]]
        if c.to_client.data.startswith(b"HTTP/"):
            reqs = streams.parse_requests(c.to_server.data)
            bodies = []
            for i, r in enumerate(streams.parse_responses(c.to_client.data, reqs)):
                rng = streams.body_ranges_in(r, holes_s)
                header_hit = streams.intersect_intervals([(r.header_start, r.header_end)], holes_s)
                bodies.append({"response": i, "status": r.status, "body_bytes": len(r.body),
                               "unrecoverable_body_ranges": [list(x) for x in rng],
                               "unrecoverable_body_bytes": sum(b - a for a, b in rng),
                               "header_damaged": bool(header_hit)})
            entry["http_responses"] = bodies
        report.append(entry)
    return report
