// rtmp-records: turns the server-to-client stream of each RTMP connection in
// a capture file into a stream record file, as a live recorder that saw the
// whole connection would write it: the segments' new bytes in TCP order,
// one record each, and the gap flag on the record after missing bytes.
//
//   rtmp-records [--port N] [--from-start] [--drop I,J,...] CAPTURE OUTDIR
//
// By default a record file starts at the segment that announces the start
// of playing (the "NetStream.Play.Start" status), as live recorders start
// there; connections without one (a publisher's, say) give no file.
// --from-start records every byte from the handshake on instead. --drop
// leaves out the given server-to-client data segments (counted in stream
// order from 0) to make captures with lost packets.
// Prints one line per file: path, client, records, bytes, gap records, the
// stream offset of the first recorded byte (from the first byte after the
// server's SYN when the capture has it) and the left-out byte ranges.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "merlin/stream_name.h"
#include "merlin/stream_record.h"
#include "platform/byte_reader.h"
#include "platform/capture.h"
#include "tcp_stream_assembler.h"

namespace {

using kestrel::ByteReader;
using kestrel::rtmprecords::TcpStreamAssembler;

struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    auto operator<=>(const Endpoint&) const = default;
};

struct Connection {
    std::size_t order = 0;
    Endpoint client;
    Endpoint server;
    TcpStreamAssembler fromServer;
};

struct TcpFrame {
    Endpoint source;
    Endpoint destination;
    std::uint32_t sequence = 0;
    bool syn = false;
    std::span<const std::uint8_t> payload;
};

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherVlan = 0x8100;
constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kTcpSyn = 0x02;

// Ethernet II (optionally one VLAN tag), IPv4 without fragments, TCP. The
// payload is bounded by the IPv4 total length and by the bytes captured.
bool decodeFrame(std::span<const std::uint8_t> frame, TcpFrame& out) {
    ByteReader eth(frame);
    eth.skip(12);
    std::uint16_t etherType = eth.be16();
    if (etherType == kEtherVlan) {
        eth.skip(2);
        etherType = eth.be16();
    }
    if (!eth.ok() || etherType != kEtherIpv4) return false;
    ByteReader ip(eth.rest());
    const std::uint8_t versionIhl = ip.u8();
    ip.skip(1);
    const std::size_t totalLength = ip.be16();
    ip.skip(2);
    const std::uint16_t fragment = ip.be16();
    ip.skip(1);
    const std::uint8_t protocol = ip.u8();
    ip.skip(2);
    out.source.address = ip.be32();
    out.destination.address = ip.be32();
    const std::size_t ihl = std::size_t{versionIhl & 0x0Fu} * 4;
    if (!ip.ok() || (versionIhl >> 4) != 4 || ihl < 20 || protocol != kProtoTcp) return false;
    if ((fragment & 0x3FFF) != 0) return false;  // fragments are not reassembled
    if (totalLength < ihl) return false;
    ByteReader packet(ip.data().first(std::min(ip.size(), totalLength)));
    packet.skip(ihl);
    ByteReader tcp(packet.rest());
    out.source.port = tcp.be16();
    out.destination.port = tcp.be16();
    out.sequence = tcp.be32();
    tcp.skip(4);
    const std::size_t dataOffset = std::size_t{static_cast<std::uint8_t>(tcp.u8() >> 4)} * 4;
    const std::uint8_t flags = tcp.u8();
    if (!tcp.ok() || dataOffset < 20 || !tcp.seek(dataOffset)) return false;
    out.syn = (flags & kTcpSyn) != 0;
    out.payload = tcp.rest();
    return true;
}

std::string dotted(std::uint32_t a) {
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return text;
}

void usage(std::FILE* out) {
    std::fprintf(out, "usage: rtmp-records [--port N] [--from-start] [--drop I,J,...] CAPTURE OUTDIR\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t serverPort = 1935;
    bool fromStart = false;
    std::vector<std::size_t> drop;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--port" && i + 1 < argc) {
            serverPort = static_cast<std::uint16_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--from-start") {
            fromStart = true;
        } else if (a == "--drop" && i + 1 < argc) {
            for (char* p = argv[++i]; *p;) {
                char* end = nullptr;
                drop.push_back(std::strtoul(p, &end, 10));
                if (end == p) break;
                p = *end == ',' ? end + 1 : end;
            }
        } else if (!a.empty() && a[0] == '-') {
            usage(stderr);
            return 2;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 2) {
        usage(stderr);
        return 2;
    }

    kestrel::platform::PacketSource source;
    if (!source.open("file://" + args[0], {})) {
        std::fprintf(stderr, "rtmp-records: %s: %s\n", args[0].c_str(), source.error().c_str());
        return 3;
    }
    if (source.dataLink() != kestrel::platform::kLinkTypeEthernet) {
        std::fprintf(stderr, "rtmp-records: %s: only Ethernet captures are read\n", args[0].c_str());
        return 3;
    }

    std::map<std::tuple<Endpoint, Endpoint>, Connection> connections;
    kestrel::platform::Frame frame;
    while (source.next(frame) > 0) {
        TcpFrame tcp;
        if (!decodeFrame(frame.bytes, tcp)) continue;
        if (tcp.source.port != serverPort) continue;  // only the server's direction is recorded
        auto key = std::make_tuple(tcp.destination, tcp.source);
        auto [it, fresh] = connections.try_emplace(key);
        Connection& c = it->second;
        if (fresh) {
            c.order = connections.size() - 1;
            c.client = tcp.destination;
            c.server = tcp.source;
        }
        if (tcp.syn) c.fromServer.setInitialSequence(tcp.sequence);
        c.fromServer.add(tcp.sequence, tcp.payload);
    }

    std::vector<const Connection*> ordered;
    for (const auto& [key, c] : connections) ordered.push_back(&c);
    std::sort(ordered.begin(), ordered.end(), [](auto* a, auto* b) { return a->order < b->order; });

    std::string stem = args[0];
    if (auto slash = stem.rfind('/'); slash != std::string::npos) stem = stem.substr(slash + 1);
    if (auto dot = stem.rfind('.'); dot != std::string::npos) stem = stem.substr(0, dot);

    int written = 0;
    for (const Connection* c : ordered) {
        std::vector<TcpStreamAssembler::Range> dropped;
        const auto pieces = c->fromServer.assemble(drop, &dropped);
        std::size_t first = 0;
        if (!fromStart) {
            while (first < pieces.size() && !kestrel::merlin::holdsPlayStart(pieces[first].bytes)) ++first;
            if (first == pieces.size()) continue;
        }
        const std::string path = args[1] + "/" + stem + "-" + std::to_string(c->order) + ".rec";
        kestrel::merlin::StreamRecordWriter writer;
        if (!writer.create(path.c_str())) {
            std::fprintf(stderr, "rtmp-records: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
        std::size_t records = 0;
        std::size_t gaps = 0;
        for (std::size_t i = first; i < pieces.size(); ++i) {
            const bool gap = pieces[i].afterGap && i != first;
            writer.write(gap ? kestrel::merlin::kRecordGap : 0, pieces[i].bytes);
            ++records;
            gaps += gap ? 1 : 0;
        }
        if (!writer.close()) {
            std::fprintf(stderr, "rtmp-records: writing %s failed\n", path.c_str());
            return 1;
        }
        std::printf("%s\tclient=%s:%u\trecords=%zu\tbytes=%llu\tgaps=%zu", path.c_str(),
                    dotted(c->client.address).c_str(), c->client.port, records,
                    static_cast<unsigned long long>(writer.bytesWritten()), gaps);
        // Where the left-out bytes were, counted like the payload of a record
        // file made without leaving anything out.
        const std::uint64_t origin = first < pieces.size() ? pieces[first].offset : 0;
        std::printf("\tstart=%llu\tdropped=", static_cast<unsigned long long>(origin));
        const char* separator = "";
        for (const auto& r : dropped) {
            if (r.to <= origin) continue;
            std::printf("%s%llu-%llu", separator, static_cast<unsigned long long>(std::max(r.from, origin) - origin),
                        static_cast<unsigned long long>(r.to - origin));
            separator = ",";
        }
        std::printf("\n");
        ++written;
    }
    if (written == 0) std::fprintf(stderr, "rtmp-records: no RTMP stream in %s\n", args[0].c_str());
    return 0;
}
