#!/usr/bin/env bash
# Makes the seed inputs of the fuzz targets from the files the tests already
# use: the reference captures (../shared/captures/*.pcap), the hostile inputs
# (../shared/hostile/*), the samples and the default settings file.
#
#   scripts/fuzz-seeds.sh [OUT]      (default: build/fuzz/seeds)
#
# OUT/<target>/ gets one folder of seeds per target. Nothing is installed and
# nothing outside OUT is written; OUT is emptied first. The small hand-made
# seeds kept in fuzz/seeds/<target>/ are used beside these by scripts/fuzz.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/fuzz/seeds}
shared=${KESTREL_SHARED_DIR:-../shared}

mkdir -p "$out"
# Only the target folders this script makes are replaced.
for t in packet_dispatcher_fuzz capture_http_fuzz raw_stream_fuzz merlin_records_fuzz profile_fuzz \
         flv_repair_fuzz rtmp_builtin_fuzz registry_fuzz markup_fuzz playlist_fuzz \
         osprey_dispatch_fuzz osprey_requests_fuzz osprey_notices_fuzz \
         harrier_http_response_fuzz harrier_reorder_fuzz harrier_record_writer_fuzz; do
  rm -rf -- "${out:?}/$t"
  mkdir -p "$out/$t"
done

python3 - "$out" "$shared" <<'PY'
import glob, os, struct, sys

out, shared = sys.argv[1], sys.argv[2]
KB = 1024

def put(target, name, data):
    with open(os.path.join(out, target, name), 'wb') as f:
        f.write(data)

def read(path):
    with open(path, 'rb') as f:
        return f.read()

# ------------------------------------------------------------------ pcap

def pcap_frames(path):
    data = read(path)
    magic = data[:4]
    if magic in (b'\xd4\xc3\xb2\xa1', b'\x4d\x3c\xb2\xa1'):
        end = '<'
    elif magic in (b'\xa1\xb2\xc3\xd4', b'\xa1\xb2\x3c\x4d'):
        end = '>'
    else:
        return []  # pcapng and others: not needed for seeds
    frames, at = [], 24
    while at + 16 <= len(data):
        incl = struct.unpack(end + 'I', data[at + 8:at + 12])[0]
        frames.append(data[at + 16:at + 16 + incl])
        at += 16 + incl
    return frames

def tcp(frame):
    if len(frame) < 54 or frame[12:14] != b'\x08\x00' or frame[14] >> 4 != 4 or frame[23] != 6:
        return None
    ihl = (frame[14] & 15) * 4
    total = struct.unpack('>H', frame[16:18])[0] or len(frame) - 14
    t = 14 + ihl
    off = (frame[t + 12] >> 4) * 4
    src, dst = frame[26:30], frame[30:34]
    sport, dport, seq, ack = struct.unpack('>HHII', frame[t:t + 12])
    payload = frame[t + off:min(14 + total, len(frame))]
    return dict(src=src, dst=dst, sport=sport, dport=dport, seq=seq, ack=ack, flags=frame[t + 13], payload=payload)

SERVER_PORTS = (80, 8080, 1935)

def flows(frames):
    """Server-to-client payload segments per connection, in capture order,
    and the client's segments."""
    server, client = {}, {}
    for fr in frames:
        s = tcp(fr)
        if not s or not s['payload']:
            continue
        if s['sport'] in SERVER_PORTS:
            server.setdefault((s['src'], s['sport'], s['dst'], s['dport']), []).append(s)
        elif s['dport'] in SERVER_PORTS:
            client.setdefault((s['dst'], s['dport'], s['src'], s['sport']), []).append(s)
    return server, client

def in_order(segments):
    """The stream's bytes in sequence order, each byte once."""
    if not segments:
        return b''
    base = segments[0]['seq']
    pieces = sorted(((s['seq'] - base) % 2**32, s['payload']) for s in segments)
    out = bytearray()
    for off, p in pieces:
        if off + len(p) <= len(out):
            continue
        if off > len(out):
            break  # a hole: keep what is whole
        out += p[len(out) - off:]
    return bytes(out)

# ------------------------------------------------------------------ frames

def frame_windows(frames, options=0, limit=64 * KB):
    useful = []
    for fr in frames:
        s = tcp(fr)
        if s is None or s['payload'] or s['flags'] & 0x05:  # payload, FIN or RST
            useful.append(fr)
    windows, cur = [], bytearray([options])
    for fr in useful:
        piece = struct.pack('>H', len(fr)) + fr
        if len(cur) + len(piece) > limit:
            windows.append(bytes(cur))
            cur = bytearray([options])
        cur += piece
    if len(cur) > 1:
        windows.append(bytes(cur))
    # The start (requests, connects), the next part, and the end (stream
    # end statuses, FINs).
    picked = windows[:2] + windows[-1:] if len(windows) > 3 else windows
    return picked

# ------------------------------------------------------------------ capture files

def entry(seq, offset, length):
    e = struct.pack('>I', seq % 2**32)
    e += ('%X' % (offset % 2**32)).encode().ljust(8, b'\0')[:8]
    e += str(length).encode().ljust(4, b'\0')
    e += struct.pack('>H', (length + 40) & 0xFFFF)
    return e

def capture_pair(kind, records, limit=64 * KB):
    """records: (sequence, payload) in capture order. Returns the target
    input: 2-byte index length, index, data; as many records as fit."""
    data, index = bytearray(b'PIP' + bytes([kind, 0])), bytearray()
    for seq, p in records:
        for at in range(0, len(p), 9999):
            part = p[at:at + 9999]
            if 2 + len(index) + 18 + len(data) + len(part) > limit:
                return struct.pack('>H', len(index)) + bytes(index) + bytes(data)
            index += entry(seq + at, len(data), len(part))
            data += part
    return struct.pack('>H', len(index)) + bytes(index) + bytes(data)

def http_records(segments):
    recs, started = [], False
    for s in segments:
        p = s['payload']
        if not started and p.startswith(b'HTTP/1.'):
            end = p.find(b'\r\n\r\n')
            if end < 0:
                continue
            started = True
            if end + 4 < len(p):
                recs.append((s['seq'] + end + 4, p[end + 4:]))
            continue
        if started:
            recs.append((s['seq'], p))
    return recs

def rtmp_records(server_segments, client_segments):
    recs = []
    for s in client_segments:
        at = s['payload'].find(b'connect')
        if at >= 0:
            url = s['payload'].find(b'rtmp', at)
            start = url if url >= 0 else 0
            recs.append((s['seq'] + start, s['payload'][start:]))
            break
    recs += [(s['seq'], s['payload']) for s in server_segments]
    return recs

def variants(recs):
    """The records as captured, across the 2^32 sequence wrap, and with a
    repeat and a swap as retransmission and reordering give them."""
    yield 'plain', recs
    if recs:
        shift = (2**32 - 3000) - recs[0][0]
        yield 'wrap', [((q + shift) % 2**32, p) for q, p in recs]
    if len(recs) > 4:
        r = list(recs)
        r.insert(3, r[1])
        r[4], r[5] = r[5], r[4]
        yield 'retransmit', r

# ------------------------------------------------------------------ records

def record_file(stream, segment):
    out = bytearray()
    for at in range(0, len(stream), segment):
        p = stream[at:at + segment]
        out += bytes([0]) + struct.pack('<H', len(p)) + p
    return bytes(out)

def cut_input(stream, cuts):
    table = bytes([len(cuts) - 1]) + b''.join(bytes([f]) + struct.pack('<H', n) for f, n in cuts)
    return b'\x01' + table + stream

# ------------------------------------------------------------------ seeds

pcaps = sorted(glob.glob(os.path.join(shared, 'captures', '*.pcap')) +
               glob.glob(os.path.join(shared, 'hostile', '*.pcap')) +
               glob.glob('samples/*.pcap'))
for path in pcaps:
    name = os.path.splitext(os.path.basename(path))[0]
    frames = pcap_frames(path)
    for i, w in enumerate(frame_windows(frames)):
        put('packet_dispatcher_fuzz', '%s-%d' % (name, i), w)
    # The recording library's engine: report and record flags set, and a
    # site list that names the hosts of these captures.
    for i, w in enumerate(frame_windows(frames, options=7)):
        put('osprey_dispatch_fuzz', '%s-%d' % (name, i), w)
    server, client = flows(frames)
    # Single payloads: requests and response headers.
    for n, (key, segs) in enumerate(sorted(client.items()) + sorted(server.items())):
        for k, s in enumerate(segs[:4]):
            if s['payload'][:4] in (b'GET ', b'HTTP', b'DESC'):
                put('osprey_requests_fuzz', '%s-%d-%d' % (name, n, k), s['payload'][:16 * KB])
    # RTMP: the client's connect and play payloads.
    for n, (key, segs) in enumerate(sorted(client.items())):
        connect = next((s['payload'] for s in segs if b'connect' in s['payload']), None)
        play = next((s['payload'] for s in segs if b'\x02\x00\x04play' in s['payload']), b'')
        if connect is not None:
            connect = connect[:6 * KB]
            put('osprey_notices_fuzz', '%s-%d' % (name, n),
                struct.pack('>H', len(connect)) + connect + play[:8 * KB - 2 - len(connect)])
    for n, (key, segs) in enumerate(sorted(server.items())):
        rtmp = key[1] == 1935
        recs = rtmp_records(segs, client.get(key, [])) if rtmp else http_records(segs)
        for vname, v in variants(recs):
            seed = capture_pair(1 if rtmp else 0, v)
            put('raw_stream_fuzz' if rtmp else 'capture_http_fuzz', '%s-%d-%s' % (name, n, vname), seed)
            # Each target also reads the other kind: it must cope.
            if vname == 'plain':
                put('capture_http_fuzz' if rtmp else 'raw_stream_fuzz', '%s-%d-%s' % (name, n, vname), seed)
        if rtmp:
            stream = in_order(segs)[:128 * KB - 64]
            put('rtmp_builtin_fuzz', '%s-%d' % (name, n), stream)
            put('merlin_records_fuzz', '%s-%d-records' % (name, n), b'\x00' + record_file(stream[:120 * KB], 1460))
            put('merlin_records_fuzz', '%s-%d-cut' % (name, n),
                cut_input(stream[:120 * KB], [(0, 1460), (0, 7), (0, 3000)]))
            put('merlin_records_fuzz', '%s-%d-lost' % (name, n),
                cut_input(stream[:120 * KB], [(0, 4000), (0x80, 333), (0, 1460), (0x20, 20)]))

# Harrier: what HTTP servers sent back, in order; the server segments of
# the RTMP streams as places in a stream (offset and length from the first
# one, in capture order, repeats and reordering included), and their
# payloads as records.
for path in pcaps:
    name = os.path.splitext(os.path.basename(path))[0]
    server, _ = flows(pcap_frames(path))
    for n, (key, segs) in enumerate(sorted(server.items())):
        if key[1] != 1935:
            put('harrier_http_response_fuzz', '%s-%d' % (name, n), in_order(segs)[:64 * KB])
            continue
        first = segs[0]['seq']
        places = bytearray(struct.pack('>IBH', first, 1, 0))
        records = bytearray()
        for sg in segs:
            offset = (sg['seq'] - first) % 2**32
            if offset < 65536 and len(places) + 4 <= 8 * KB:
                places += struct.pack('>HH', offset, min(len(sg['payload']), 4096))
            if len(records) + 3 + len(sg['payload']) <= 256 * KB:
                records += bytes([0]) + struct.pack('>H', len(sg['payload'])) + sg['payload']
        put('harrier_reorder_fuzz', '%s-%d' % (name, n), bytes(places))
        put('harrier_record_writer_fuzz', '%s-%d' % (name, n), bytes(records))

hostile = os.path.join(shared, 'hostile')
for path in sorted(glob.glob(os.path.join(hostile, '*.rec'))):
    put('merlin_records_fuzz', os.path.basename(path), b'\x00' + read(path)[:128 * KB - 1])
    put('rtmp_builtin_fuzz', os.path.basename(path), read(path)[:128 * KB])
pair = os.path.join(hostile, 'capture-data.flvdata')
if os.path.exists(pair) and os.path.exists(pair + '.idx'):
    index, data = read(pair + '.idx'), read(pair)
    # The entries whose bytes fit, and the data they point into.
    keep = 0
    while keep + 18 <= len(index) and 2 + keep + 18 + 18 + 8 * KB <= 64 * KB:
        keep += 18
    seed = struct.pack('>H', keep) + index[:keep] + data[:64 * KB - 2 - keep]
    put('capture_http_fuzz', 'capture-data', seed)
    put('raw_stream_fuzz', 'capture-data', seed)
for path in sorted(glob.glob(os.path.join(hostile, '*.reg')) + glob.glob('tests/plover/regressions/*')):
    put('registry_fuzz', os.path.basename(path), read(path)[:256 * KB])

flvs = sorted(glob.glob('samples/*.flv') + glob.glob(os.path.join(shared, 'captures', 'ref', '*', '*.flv')))
for path in flvs:
    name = os.path.basename(os.path.dirname(path)) + '-' + os.path.basename(path)
    put('flv_repair_fuzz', name, read(path)[:128 * KB])

if os.path.exists('resources/setting.ini'):
    ini = read('resources/setting.ini')
    put('profile_fuzz', 'setting.ini', b'\x00' + ini)
    def field(s):
        return bytes([len(s)]) + s
    put('profile_fuzz', 'setting.ini-edits', b'\x03' +
        field(b'Settings') + field(b'SavePath') + field(b'/home/user/Videos') +
        field(b'settings') + field(b'TotalRecordCount') + field(b'12') +
        field(b'New') + field(b'Key') + field(b'Value') + ini)
PY

for d in "$out"/*/; do
  printf 'fuzz-seeds: %-24s %4d files\n' "$(basename "$d")" "$(find "$d" -type f | wc -l)" >&2
done
