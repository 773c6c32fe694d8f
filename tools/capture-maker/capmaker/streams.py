"""TCP stream reassembly and HTTP message parsing over a capture, used to
check that a capture really holds the bytes the manifest promises and to say
which bytes an edited capture has lost for good.

Stream offsets are counted from the first byte after the SYN (relative
sequence number 0), so they do not depend on the initial sequence number and
cross 2^32 without a seam.
"""

from . import pcapfile

MOD32 = 1 << 32


def _rel(seq, base):
    """Sequence number relative to base, as a signed 32-bit distance."""
    d = (seq - base) % MOD32
    return d - MOD32 if d >= 1 << 31 else d


def merge_intervals(intervals):
    out = []
    for a, b in sorted(intervals):
        if a >= b:
            continue
        if out and a <= out[-1][1]:
            out[-1][1] = max(out[-1][1], b)
        else:
            out.append([a, b])
    return [tuple(x) for x in out]


def subtract_intervals(whole, minus):
    """Parts of the (merged) intervals in whole that are not in minus."""
    minus = merge_intervals(minus)
    out = []
    for a, b in whole:
        cur = a
        for c, d in minus:
            if d <= cur or c >= b:
                continue
            if c > cur:
                out.append((cur, c))
            cur = max(cur, d)
            if cur >= b:
                break
        if cur < b:
            out.append((cur, b))
    return out


def intersect_intervals(xs, ys):
    out = []
    for a, b in xs:
        for c, d in ys:
            lo, hi = max(a, c), min(b, d)
            if lo < hi:
                out.append((lo, hi))
    return merge_intervals(out)


class DirectionStream:
    """Bytes one side of a connection sent, as far as the capture holds them."""

    def __init__(self, src, sport, dst, dport):
        self.src, self.sport, self.dst, self.dport = src, sport, dst, dport
        self.isn = None          # sequence number of the SYN, when captured
        self.base = None         # sequence number of stream offset 0
        self.segments = []       # (frame number, offset, captured length, payload length)
        self.fin_offset = None
        self.data = bytearray()
        self.covered = []        # merged [start, end) intervals present in the capture
        self.conflicting_bytes = 0  # retransmitted bytes that differ from the first copy
        self.truncated_bytes = 0    # payload bytes cut off by the snap length
        self.acked = 0              # highest stream offset the peer acknowledged
        self.max_end = 0
        self.out_of_sequence = 0    # segments starting below a byte already seen (reordered or resent)

    @property
    def length(self):
        ends = [e for _, e in self.covered]
        if self.fin_offset is not None:
            ends.append(self.fin_offset)
        return max(ends) if ends else 0

    @property
    def holes(self):
        return subtract_intervals([(0, self.length)], self.covered) if self.length else []

    @property
    def delivered_holes(self):
        """Holes in bytes the peer acknowledged, so it had them: the capture
        point missed them (or an edit removed them)."""
        return [(a, min(b, self.acked)) for a, b in self.holes if a < self.acked]

    @property
    def undelivered_holes(self):
        """Holes in bytes the peer never acknowledged: typically the last
        segments a server sent after its client had closed, lost on the way
        and never sent again. The client never had them either."""
        return [(max(a, self.acked), b) for a, b in self.holes if b > self.acked]

    def bytes_at(self, start, end):
        return bytes(self.data[start:end])


class Connection:
    def __init__(self, index, client, server):
        self.index = index
        self.client = client  # (addr, port)
        self.server = server
        self.to_server = DirectionStream(client[0], client[1], server[0], server[1])
        self.to_client = DirectionStream(server[0], server[1], client[0], client[1])
        self.syn_seen = False


def reassemble(cap, server_ports=(80, 443, 1935, 8080)):
    """Groups the TCP segments of a capture into connections and rebuilds
    both byte streams of each. Returns the connections in order of first
    appearance."""
    conns = {}
    order = []
    segs = []
    for fr in cap.frames:
        s = pcapfile.parse_tcp(fr, cap.linktype)
        if s is None:
            continue
        segs.append((fr, s))
        key = s.conn
        if key not in conns:
            a = (s.src, s.sport)
            b = (s.dst, s.dport)
            if s.flags & pcapfile.TCP_SYN and not s.flags & pcapfile.TCP_ACK:
                client, server = a, b
            elif s.flags & pcapfile.TCP_SYN:
                client, server = b, a
            elif s.dport in server_ports and s.sport not in server_ports:
                client, server = a, b
            else:
                client, server = b, a
            conns[key] = Connection(len(order), client, server)
            order.append(conns[key])
    # First pass: the base of each direction (SYN, else the lowest sequence
    # number seen, judged circularly from the first segment).
    for fr, s in segs:
        c = conns[s.conn]
        d = c.to_server if (s.src, s.sport) == c.client else c.to_client
        if s.flags & pcapfile.TCP_SYN:
            c.syn_seen = True
            if d.isn is None:
                d.isn = s.seq
                d.base = (s.seq + 1) % MOD32
    for fr, s in segs:
        c = conns[s.conn]
        d = c.to_server if (s.src, s.sport) == c.client else c.to_client
        if d.base is None and s.payload_len > 0:
            d.base = s.seq
        elif d.base is not None and d.isn is None and s.payload_len > 0 and _rel(s.seq, d.base) < 0:
            d.base = s.seq
    for fr, s in segs:
        c = conns[s.conn]
        from_client = (s.src, s.sport) == c.client
        d = c.to_server if from_client else c.to_client
        peer = c.to_client if from_client else c.to_server
        if s.flags & pcapfile.TCP_ACK and peer.base is not None and not s.flags & pcapfile.TCP_RST:
            peer.acked = max(peer.acked, _rel(s.ack, peer.base))
        if d.base is None:
            continue
        off = _rel(s.seq, d.base)
        if s.flags & pcapfile.TCP_SYN:
            continue
        if s.flags & pcapfile.TCP_FIN:
            d.fin_offset = off + s.payload_len
        if s.payload_len == 0 or off < 0:
            continue
        n = s.captured_payload_len
        if off < d.max_end:
            d.out_of_sequence += 1
        d.max_end = max(d.max_end, off + s.payload_len)
        d.truncated_bytes += s.payload_len - n
        d.segments.append((fr.number, off, n, s.payload_len))
        if n == 0:
            continue
        payload = fr.data[s.payload_off:s.payload_off + n]
        end = off + n
        if len(d.data) < end:
            d.data.extend(b"\0" * (end - len(d.data)))
        # Keep the first copy of every byte; count differing later copies.
        new_parts = subtract_intervals([(off, end)], d.covered)
        old_parts = intersect_intervals([(off, end)], d.covered)
        for a, b in old_parts:
            if d.data[a:b] != payload[a - off:b - off]:
                d.conflicting_bytes += sum(1 for x, y in zip(d.data[a:b], payload[a - off:b - off]) if x != y)
        for a, b in new_parts:
            d.data[a:b] = payload[a - off:b - off]
        d.covered = merge_intervals(list(d.covered) + [(off, end)])
    return order


# ---------------------------------------------------------------- HTTP

class HttpRequest:
    def __init__(self):
        self.method = self.target = self.version = ""
        self.headers = []
        self.start = self.end = 0


class HttpResponse:
    def __init__(self):
        self.version = ""
        self.status = 0
        self.reason = ""
        self.headers = []
        self.header_start = self.header_end = 0
        self.framing = ""        # content-length, chunked, close, none
        self.body = bytearray()
        self.pieces = []         # (stream start, stream end, body offset) of body bytes
        self.complete = False
        self.request = None

    def header(self, name):
        name = name.lower()
        for k, v in self.headers:
            if k.lower() == name:
                return v
        return None


def _parse_header_block(data, start):
    """Returns (first line, [(name, value)], end offset) or None when the
    block does not end within data."""
    end = data.find(b"\r\n\r\n", start)
    if end < 0:
        return None
    lines = data[start:end].decode("latin-1").split("\r\n")
    headers = []
    for line in lines[1:]:
        if ":" in line:
            k, v = line.split(":", 1)
            headers.append((k.strip(), v.strip()))
    return lines[0], headers, end + 4


def parse_requests(stream_bytes):
    out = []
    pos = 0
    while pos < len(stream_bytes):
        blk = _parse_header_block(stream_bytes, pos)
        if blk is None:
            break
        first, headers, end = blk
        parts = first.split(" ")
        r = HttpRequest()
        if len(parts) >= 3:
            r.method, r.target, r.version = parts[0], " ".join(parts[1:-1]), parts[-1]
        r.headers, r.start, r.end = headers, pos, end
        out.append(r)
        pos = end  # requests of these scenarios carry no body
    return out


def parse_responses(stream_bytes, requests=(), stream_complete=True):
    """Splits a server byte stream into HTTP responses with their bodies
    (de-chunked) and where each body byte sits in the stream."""
    out = []
    pos = 0
    data = bytes(stream_bytes)
    i = 0
    while pos < len(data):
        blk = _parse_header_block(data, pos)
        if blk is None or not data.startswith(b"HTTP/", pos):
            break
        first, headers, end = blk
        r = HttpResponse()
        r.request = requests[i] if i < len(requests) else None
        i += 1
        parts = first.split(" ", 2)
        r.version = parts[0]
        r.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        r.reason = parts[2] if len(parts) > 2 else ""
        r.headers, r.header_start, r.header_end = headers, pos, end
        te = (r.header("Transfer-Encoding") or "").lower()
        cl = r.header("Content-Length")
        head = r.request is not None and r.request.method == "HEAD"
        if head or r.status in (204, 304) or 100 <= r.status < 200:
            r.framing, r.complete, pos = "none", True, end
        elif "chunked" in te:
            r.framing = "chunked"
            pos = _parse_chunked(data, end, r)
        elif cl is not None and cl.isdigit():
            r.framing = "content-length"
            n = int(cl)
            stop = min(end + n, len(data))
            r.body += data[end:stop]
            r.pieces.append((end, stop, 0))
            r.complete = stop == end + n
            pos = stop
        else:
            r.framing = "close"
            r.body += data[end:]
            r.pieces.append((end, len(data), 0))
            r.complete = stream_complete
            pos = len(data)
        out.append(r)
        if not r.complete:
            break
    return out


def _parse_chunked(data, pos, r):
    while True:
        eol = data.find(b"\r\n", pos)
        if eol < 0:
            return len(data)
        size_text = data[pos:eol].split(b";", 1)[0].strip()
        try:
            size = int(size_text, 16)
        except ValueError:
            return len(data)
        pos = eol + 2
        if size == 0:
            # Trailer section: header lines up to an empty line.
            while True:
                eol = data.find(b"\r\n", pos)
                if eol < 0:
                    return len(data)
                line_empty = eol == pos
                pos = eol + 2
                if line_empty:
                    r.complete = True
                    return pos
        stop = min(pos + size, len(data))
        r.pieces.append((pos, stop, len(r.body)))
        r.body += data[pos:stop]
        if stop < pos + size:
            return len(data)
        pos = stop + 2  # CR LF after the chunk data


def body_ranges_in(response, stream_ranges):
    """Maps stream offset ranges onto body offset ranges of a response."""
    out = []
    for s0, s1, b0 in response.pieces:
        for a, b in stream_ranges:
            lo, hi = max(a, s0), min(b, s1)
            if lo < hi:
                out.append((b0 + lo - s0, b0 + hi - s0))
    return merge_intervals(out)
