"""Classic pcap files: reading, writing, and the Ethernet/IPv4/TCP fields the
capture maker needs (payload, sequence numbers, checksums).

Only what the maker's own captures contain is handled: link type Ethernet
(what tcpdump writes for the loopback device), IPv4, TCP. Other frames are
kept as opaque bytes so that an edited capture still holds them.
"""

import struct

LINKTYPE_ETHERNET = 1
_MAGIC_US = 0xA1B2C3D4
_MAGIC_NS = 0xA1B23C4D
TCP_FIN, TCP_SYN, TCP_RST, TCP_PSH, TCP_ACK = 0x01, 0x02, 0x04, 0x08, 0x10


class PcapError(Exception):
    pass


class Frame:
    """One captured frame: timestamp (seconds, float kept as two ints to stay
    exact), original length and the captured bytes."""

    __slots__ = ("sec", "frac", "orig_len", "data", "number")

    def __init__(self, sec, frac, orig_len, data, number=0):
        self.sec = sec
        self.frac = frac
        self.orig_len = orig_len
        self.data = data
        self.number = number  # 1-based position in the file it was read from

    def copy(self):
        return Frame(self.sec, self.frac, self.orig_len, bytes(self.data), self.number)


class Pcap:
    def __init__(self, linktype=LINKTYPE_ETHERNET, snaplen=65536, nanosecond=False, endian="<"):
        self.linktype = linktype
        self.snaplen = snaplen
        self.nanosecond = nanosecond
        self.endian = endian
        self.frames = []

    @property
    def frac_per_sec(self):
        return 1_000_000_000 if self.nanosecond else 1_000_000


def read_pcap(path):
    with open(path, "rb") as f:
        blob = f.read()
    if len(blob) < 24:
        raise PcapError(f"{path}: too short for a pcap header")
    for endian in ("<", ">"):
        (magic,) = struct.unpack(endian + "I", blob[:4])
        if magic in (_MAGIC_US, _MAGIC_NS):
            break
    else:
        raise PcapError(f"{path}: not a classic pcap file (pcapng is not handled)")
    _, _, _, _, snaplen, linktype = struct.unpack(endian + "HHiIII", blob[4:24])
    cap = Pcap(linktype, snaplen, magic == _MAGIC_NS, endian)
    pos = 24
    number = 0
    while pos < len(blob):
        if pos + 16 > len(blob):
            raise PcapError(f"{path}: truncated record header at offset {pos}")
        sec, frac, incl, orig = struct.unpack(endian + "IIII", blob[pos:pos + 16])
        pos += 16
        if pos + incl > len(blob):
            raise PcapError(f"{path}: truncated frame at offset {pos}")
        number += 1
        cap.frames.append(Frame(sec, frac, orig, blob[pos:pos + incl], number))
        pos += incl
    return cap


def write_pcap(path, cap):
    e = cap.endian
    magic = _MAGIC_NS if cap.nanosecond else _MAGIC_US
    parts = [struct.pack(e + "IHHiIII", magic, 2, 4, 0, 0, cap.snaplen, cap.linktype)]
    for fr in cap.frames:
        parts.append(struct.pack(e + "IIII", fr.sec, fr.frac, len(fr.data), fr.orig_len))
        parts.append(fr.data)
    with open(path, "wb") as f:
        f.write(b"".join(parts))


class TcpSegment:
    """The TCP view of an Ethernet/IPv4 frame (offsets into frame.data)."""

    __slots__ = ("src", "dst", "sport", "dport", "seq", "ack", "flags", "ip_off", "tcp_off",
                 "tcp_hlen", "payload_off", "payload_len", "captured_payload_len", "options")

    @property
    def key(self):
        return (self.src, self.sport, self.dst, self.dport)

    @property
    def conn(self):
        """Direction-free connection key."""
        a, b = (self.src, self.sport), (self.dst, self.dport)
        return (a, b) if a <= b else (b, a)


def parse_tcp(frame, linktype=LINKTYPE_ETHERNET):
    """Returns a TcpSegment or None when the frame is not IPv4/TCP."""
    d = frame.data
    if linktype != LINKTYPE_ETHERNET or len(d) < 14 + 20:
        return None
    off = 14
    ethertype = struct.unpack_from(">H", d, 12)[0]
    if ethertype == 0x8100 and len(d) >= 18 + 20:  # one VLAN tag
        ethertype = struct.unpack_from(">H", d, 16)[0]
        off = 18
    if ethertype != 0x0800 or d[off] >> 4 != 4:
        return None
    ihl = (d[off] & 0x0F) * 4
    if ihl < 20 or d[off + 9] != 6 or len(d) < off + ihl + 20:
        return None
    total = struct.unpack_from(">H", d, off + 2)[0]
    t = off + ihl
    hlen = (d[t + 12] >> 4) * 4
    if hlen < 20:
        return None
    s = TcpSegment()
    s.src = bytes(d[off + 12:off + 16])
    s.dst = bytes(d[off + 16:off + 20])
    s.sport, s.dport, s.seq, s.ack = struct.unpack_from(">HHII", d, t)
    s.flags = d[t + 13]
    s.ip_off, s.tcp_off, s.tcp_hlen = off, t, hlen
    s.payload_off = t + hlen
    # The IP total length says how much payload was sent; the captured part
    # may be shorter (snap length) and Ethernet padding may make it longer.
    s.payload_len = max(0, total - ihl - hlen)
    s.captured_payload_len = max(0, min(s.payload_len, len(d) - s.payload_off))
    s.options = bytes(d[t + 20:min(t + hlen, len(d))])
    return s


def tcp_option_kinds(options):
    kinds = []
    i = 0
    while i < len(options):
        kind = options[i]
        if kind == 0:
            break
        if kind == 1:
            i += 1
            continue
        if i + 1 >= len(options) or options[i + 1] < 2:
            break
        kinds.append((kind, i))
        i += options[i + 1]
    return kinds


def ones_complement_sum(data, start=0):
    if len(data) % 2:
        data = bytes(data) + b"\0"
    total = start + sum(struct.unpack(f">{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def tcp_checksum(frame_data, seg):
    """Full TCP checksum of the segment as captured (the whole segment must be
    in the frame)."""
    ip = seg.ip_off
    ihl = seg.tcp_off - ip
    total = struct.unpack_from(">H", frame_data, ip + 2)[0]
    tcp_len = total - ihl
    tcp = bytearray(frame_data[seg.tcp_off:seg.tcp_off + tcp_len])
    tcp[16:18] = b"\0\0"
    pseudo = bytes(frame_data[ip + 12:ip + 20]) + struct.pack(">BBH", 0, 6, tcp_len)
    return (~ones_complement_sum(pseudo + bytes(tcp))) & 0xFFFF


def tcp_checksum_ok(frame_data, seg):
    stored = struct.unpack_from(">H", frame_data, seg.tcp_off + 16)[0]
    return stored == tcp_checksum(frame_data, seg)


def ip_to_text(addr):
    return ".".join(str(b) for b in addr)
