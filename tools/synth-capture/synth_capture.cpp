// synth-capture: writes a pcap of N concurrent HTTP downloads of S bytes
// each, as a server on an Ethernet link would send them: every download on
// its own TCP connection (handshake, GET with Host, 200 answer with
// Content-Length and Content-Type video/x-flv, the body in MSS-sized
// segments interleaved round-robin across the connections, the client's
// acknowledgements, FIN on both sides). Bodies are deterministic FLV data
// (see flv_body.h), so the same options always give the same file.
//
// Memory does not grow with N x S: frames stream through one buffer and
// each connection keeps only its counters, its body generator and its
// SHA-256 state.

#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/synth-capture/flv_body.h"
#include "tools/synth-capture/pcap_writer.h"

namespace kestrel::synth {
namespace {

constexpr std::uint32_t kMaxConnections = 40000;
constexpr std::uint16_t kFirstClientPort = 20000;
constexpr std::size_t kMaxOpenBodyFiles = 1000;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: synth-capture --out FILE [options]\n\n"
                 "Writes a pcap (link type Ethernet) of N concurrent HTTP downloads of S bytes\n"
                 "each, one TCP connection per download, body segments interleaved\n"
                 "round-robin. Bodies are deterministic FLV files named PREFIX-NNNN.flv.\n\n"
                 "  --out FILE          the capture ('-' for standard output)\n"
                 "  --count N           downloads (default 1, at most %u)\n"
                 "  --size S            body bytes of each download (default 1M; suffixes\n"
                 "                      k, M, G are powers of 1024)\n"
                 "  --seed N            seed of the body data and the initial sequence numbers\n"
                 "  --client-isn N      the clients' initial sequence number (default: from\n"
                 "                      the seed; 0x... accepted)\n"
                 "  --server-isn N      the servers' initial sequence number, e.g. 0xffffff00\n"
                 "                      so that every body crosses 2^32 near its start\n"
                 "  --isn-step N        added per connection to a given ISN (default 0)\n"
                 "  --wrap-body-at N    choose the servers' ISN so that sequence numbers wrap\n"
                 "                      past 2^32 exactly before body byte N (clients then\n"
                 "                      start at 0xffffffc0 unless --client-isn is given)\n"
                 "  --mss N             largest segment payload (default 1460, or 1448 with\n"
                 "                      timestamps; up to %zu to imitate segmentation offload)\n"
                 "  --tcp-timestamps    TCP timestamp option on every segment\n"
                 "  --header-with-body  the response header and the first body bytes share a\n"
                 "                      segment (default: the header has a segment of its own)\n"
                 "  --ack-every N       the client acknowledges every N body segments (default 2)\n"
                 "  --prefix TEXT       file name prefix of the bodies (default synth)\n"
                 "  --host TEXT         Host header (default media.example)\n"
                 "  --sha256 FILE       write 'SHA256  NAME' lines (sha256sum -c format)\n"
                 "  --bodies DIR        also write every body to DIR/NAME (at most %zu)\n"
                 "  -q                  no summary on standard error\n\n"
                 "Exit status: 0 ok, 1 a file could not be written, 2 usage error.\n",
                 kMaxConnections, PcapWriter::kMaxPayload, kMaxOpenBodyFiles);
}

struct Options {
    std::string out;
    std::uint32_t count = 1;
    std::uint64_t size = 1u << 20;
    std::uint64_t seed = 1;
    bool clientIsnGiven = false, serverIsnGiven = false;
    std::uint32_t clientIsn = 0, serverIsn = 0, isnStep = 0;
    bool wrapGiven = false;
    std::uint64_t wrapBodyAt = 0;
    std::size_t mss = 0;
    bool timestamps = false;
    bool headerWithBody = false;
    std::uint32_t ackEvery = 2;
    std::string prefix = "synth";
    std::string host = "media.example";
    std::string sha256Path;
    std::string bodiesDir;
    bool quiet = false;
};

bool parseNumber(const char* text, std::uint64_t max, std::uint64_t& out, bool sizeSuffix) {
    if (text == nullptr || *text == '\0' || *text == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text) return false;
    std::uint64_t mult = 1;
    if (sizeSuffix && *end != '\0' && end[1] == '\0') {
        switch (*end) {
            case 'k': case 'K': mult = 1ull << 10; ++end; break;
            case 'm': case 'M': mult = 1ull << 20; ++end; break;
            case 'g': case 'G': mult = 1ull << 30; ++end; break;
            default: break;
        }
    }
    if (*end != '\0') return false;
    if (v > max / mult) return false;
    out = v * mult;
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        std::uint64_t n = 0;
        auto number = [&](std::uint64_t min, std::uint64_t max, bool suffix) {
            if (!parseNumber(v, max, n, suffix) || n < min) {
                std::fprintf(stderr, "synth-capture: %s needs a number from %" PRIu64 " to %" PRIu64 "\n",
                             a.c_str(), min, max);
                return false;
            }
            ++i;
            return true;
        };
        auto text = [&](std::string& out) {
            if (v == nullptr || *v == '\0') {
                std::fprintf(stderr, "synth-capture: %s needs a value\n", a.c_str());
                return false;
            }
            out = v;
            ++i;
            return true;
        };
        if (a == "--out") {
            if (!text(o.out)) return false;
        } else if (a == "--count") {
            if (!number(1, kMaxConnections, false)) return false;
            o.count = static_cast<std::uint32_t>(n);
        } else if (a == "--size") {
            if (!number(1, 1ull << 40, true)) return false;
            o.size = n;
        } else if (a == "--seed") {
            if (!number(0, UINT64_MAX, false)) return false;
            o.seed = n;
        } else if (a == "--client-isn" || a == "--server-isn" || a == "--isn-step") {
            if (!number(0, UINT32_MAX, false)) return false;
            if (a == "--client-isn") {
                o.clientIsn = static_cast<std::uint32_t>(n);
                o.clientIsnGiven = true;
            } else if (a == "--server-isn") {
                o.serverIsn = static_cast<std::uint32_t>(n);
                o.serverIsnGiven = true;
            } else {
                o.isnStep = static_cast<std::uint32_t>(n);
            }
        } else if (a == "--wrap-body-at") {
            if (!number(0, UINT32_MAX, false)) return false;
            o.wrapGiven = true;
            o.wrapBodyAt = n;
        } else if (a == "--mss") {
            if (!number(16, PcapWriter::kMaxPayload, false)) return false;
            o.mss = static_cast<std::size_t>(n);
        } else if (a == "--ack-every") {
            if (!number(1, 1000000, false)) return false;
            o.ackEvery = static_cast<std::uint32_t>(n);
        } else if (a == "--tcp-timestamps") {
            o.timestamps = true;
        } else if (a == "--header-with-body") {
            o.headerWithBody = true;
        } else if (a == "--prefix") {
            if (!text(o.prefix)) return false;
            if (o.prefix.find_first_of("/\\ ?%#") != std::string::npos || o.prefix.size() > 20) {
                std::fprintf(stderr, "synth-capture: --prefix must be a short name without / \\ space ? %% #\n");
                return false;
            }
        } else if (a == "--host") {
            if (!text(o.host)) return false;
            if (o.host.find_first_of("\r\n ") != std::string::npos) {
                std::fprintf(stderr, "synth-capture: --host must not contain spaces or line ends\n");
                return false;
            }
        } else if (a == "--sha256") {
            if (!text(o.sha256Path)) return false;
        } else if (a == "--bodies") {
            if (!text(o.bodiesDir)) return false;
        } else if (a == "-q") {
            o.quiet = true;
        } else {
            std::fprintf(stderr, "synth-capture: unknown argument '%s'\n", a.c_str());
            return false;
        }
    }
    if (o.out.empty()) {
        std::fprintf(stderr, "synth-capture: --out is required\n");
        return false;
    }
    if (!o.bodiesDir.empty() && o.count > kMaxOpenBodyFiles) {
        std::fprintf(stderr, "synth-capture: --bodies writes at most %zu bodies\n", kMaxOpenBodyFiles);
        return false;
    }
    if (o.wrapGiven && o.serverIsnGiven) {
        std::fprintf(stderr, "synth-capture: --wrap-body-at and --server-isn exclude each other\n");
        return false;
    }
    if (o.wrapGiven && o.wrapBodyAt >= o.size) {
        std::fprintf(stderr, "synth-capture: --wrap-body-at must be less than --size\n");
        return false;
    }
    if (o.wrapGiven && !o.clientIsnGiven) {
        o.clientIsn = 0xFFFFFFC0u;
        o.clientIsnGiven = true;
    }
    const std::size_t defaultMss = o.timestamps ? 1448 : 1460;
    if (o.mss == 0) o.mss = defaultMss;
    return true;
}

struct DigestDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

struct Connection {
    Endpoint client;
    std::uint32_t clientNext = 0;  // next sequence number of each side
    std::uint32_t serverNext = 0;
    std::uint16_t clientIpId = 0, serverIpId = 0;
    std::uint32_t clientTsval = 0, serverTsval = 0;
    std::uint32_t unacked = 0;
    std::unique_ptr<FlvBodyGenerator> body;
    std::unique_ptr<EVP_MD_CTX, DigestDeleter> digest;
    std::unique_ptr<std::FILE, FileCloser> bodyFile;
    std::string name;
};

class CaptureBuilder {
public:
    CaptureBuilder(const Options& o, PcapWriter& w) : opt_(o), writer_(w) {
        server_.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
        server_.ip = 0x0A000001;  // 10.0.0.1
        server_.port = 80;
    }

    bool run(std::string& error);
    // "hex digest, file name" of every body; call once, after run.
    std::vector<std::pair<std::string, std::string>> digests();

private:
    bool setUp(std::string& error);
    void handshakeAndRequest(Connection& c, std::uint32_t clientIsn, std::uint32_t serverIsn);
    void sendBodySegment(Connection& c, std::size_t n);
    void clientAck(Connection& c);
    void close(Connection& c);
    // Emits one frame; fillPayload writes its payload in place.
    template <typename Fill>
    void emit(bool fromClient, Connection& c, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
              std::size_t payloadLen, Fill&& fillPayload);
    void bodyBytes(Connection& c, std::uint8_t* out, std::size_t n);
    std::string responseHeader() const {
        return "HTTP/1.1 200 OK\r\nServer: synth-capture\r\nContent-Type: video/x-flv\r\nContent-Length: " +
               std::to_string(opt_.size) + "\r\nConnection: close\r\n\r\n";
    }

    const Options& opt_;
    PcapWriter& writer_;
    Endpoint server_;
    std::vector<Connection> conns_;
    std::uint64_t time_ = 1700000000ull * 1000000ull;
    bool bodyWriteFailed_ = false;
};

template <typename Fill>
void CaptureBuilder::emit(bool fromClient, Connection& c, std::uint32_t seq, std::uint32_t ack, std::uint8_t flags,
                          std::size_t payloadLen, Fill&& fillPayload) {
    std::uint8_t options[16];
    std::size_t optLen = 0;
    const bool syn = (flags & tcp_flag::kSyn) != 0;
    if (syn) {
        const std::uint16_t mss = static_cast<std::uint16_t>(opt_.mss > 0xFFFF ? 0xFFFF : opt_.mss);
        options[0] = 2;
        options[1] = 4;
        options[2] = static_cast<std::uint8_t>(mss >> 8);
        options[3] = static_cast<std::uint8_t>(mss);
        optLen = 4;
    }
    if (opt_.timestamps) {
        const std::uint32_t now = static_cast<std::uint32_t>(time_ / 1000);
        std::uint32_t& own = fromClient ? c.clientTsval : c.serverTsval;
        const std::uint32_t echo = fromClient ? c.serverTsval : c.clientTsval;
        own = now + (fromClient ? 0x1000u : 0x7000000u);
        std::uint8_t* t = options + optLen;
        t[0] = 1;
        t[1] = 1;
        t[2] = 8;
        t[3] = 10;
        for (int k = 0; k < 4; ++k) t[4 + k] = static_cast<std::uint8_t>(own >> (24 - 8 * k));
        const std::uint32_t e = (syn && !(flags & tcp_flag::kAck)) ? 0 : echo;
        for (int k = 0; k < 4; ++k) t[8 + k] = static_cast<std::uint8_t>(e >> (24 - 8 * k));
        optLen += 12;
    }
    TcpSegment seg;
    seg.from = fromClient ? &c.client : &server_;
    seg.to = fromClient ? &server_ : &c.client;
    seg.seq = seq;
    seg.ack = ack;
    seg.flags = flags;
    seg.ipId = fromClient ? c.clientIpId++ : c.serverIpId++;
    seg.options = options;
    seg.optionsLen = optLen;
    seg.payloadLen = payloadLen;
    std::uint8_t* payload = writer_.payloadSlot(seg);
    fillPayload(payload);
    writer_.commit(seg, time_);
    // About the wire time of the frame on a gigabit link.
    time_ += 1 + (54 + optLen + payloadLen) / 125;
}

void CaptureBuilder::bodyBytes(Connection& c, std::uint8_t* out, std::size_t n) {
    c.body->fill(out, n);
    EVP_DigestUpdate(c.digest.get(), out, n);
    if (c.bodyFile && std::fwrite(out, 1, n, c.bodyFile.get()) != n) bodyWriteFailed_ = true;
}

bool CaptureBuilder::setUp(std::string& error) {
    conns_.resize(opt_.count);
    for (std::uint32_t i = 0; i < opt_.count; ++i) {
        Connection& c = conns_[i];
        c.client.mac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
        c.client.ip = 0x0A000002;  // 10.0.0.2
        c.client.port = static_cast<std::uint16_t>(kFirstClientPort + i);
        c.body = std::make_unique<FlvBodyGenerator>(opt_.size, bodySeed(opt_.seed, i));
        c.digest.reset(EVP_MD_CTX_new());
        if (!c.digest || EVP_DigestInit_ex(c.digest.get(), EVP_sha256(), nullptr) != 1) {
            error = "cannot set up SHA-256";
            return false;
        }
        char name[64];
        std::snprintf(name, sizeof name, "%s-%04u.flv", opt_.prefix.c_str(), i + 1);
        c.name = name;
        if (!opt_.bodiesDir.empty()) {
            const std::string path = opt_.bodiesDir + "/" + c.name;
            c.bodyFile.reset(std::fopen(path.c_str(), "wb"));
            if (!c.bodyFile) {
                error = "cannot create " + path + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

void CaptureBuilder::handshakeAndRequest(Connection& c, std::uint32_t clientIsn, std::uint32_t serverIsn) {
    using namespace tcp_flag;
    auto none = [](std::uint8_t*) {};
    emit(true, c, clientIsn, 0, kSyn, 0, none);
    emit(false, c, serverIsn, clientIsn + 1, kSyn | kAck, 0, none);
    c.clientNext = clientIsn + 1;
    c.serverNext = serverIsn + 1;
    emit(true, c, c.clientNext, c.serverNext, kAck, 0, none);

    const std::string request = "GET /video/" + c.name + " HTTP/1.1\r\nHost: " + opt_.host +
                                "\r\nUser-Agent: synth-capture\r\nAccept: */*\r\n\r\n";
    emit(true, c, c.clientNext, c.serverNext, kPsh | kAck, request.size(),
         [&](std::uint8_t* p) { std::memcpy(p, request.data(), request.size()); });
    c.clientNext += static_cast<std::uint32_t>(request.size());

    const std::string header = responseHeader();
    std::size_t withBody = 0;
    if (opt_.headerWithBody && opt_.mss > header.size())
        withBody = static_cast<std::size_t>(std::min<std::uint64_t>(opt_.mss - header.size(), c.body->remaining()));
    emit(false, c, c.serverNext, c.clientNext, kPsh | kAck, header.size() + withBody, [&](std::uint8_t* p) {
        std::memcpy(p, header.data(), header.size());
        bodyBytes(c, p + header.size(), withBody);
    });
    c.serverNext += static_cast<std::uint32_t>(header.size() + withBody);
    c.unacked = 1;
}

void CaptureBuilder::sendBodySegment(Connection& c, std::size_t n) {
    const bool last = c.body->remaining() == n;
    emit(false, c, c.serverNext, c.clientNext, tcp_flag::kAck | (last ? tcp_flag::kPsh : 0), n,
         [&](std::uint8_t* p) { bodyBytes(c, p, n); });
    c.serverNext += static_cast<std::uint32_t>(n);
    if (++c.unacked >= opt_.ackEvery) clientAck(c);
}

void CaptureBuilder::clientAck(Connection& c) {
    emit(true, c, c.clientNext, c.serverNext, tcp_flag::kAck, 0, [](std::uint8_t*) {});
    c.unacked = 0;
}

void CaptureBuilder::close(Connection& c) {
    using namespace tcp_flag;
    auto none = [](std::uint8_t*) {};
    emit(false, c, c.serverNext, c.clientNext, kFin | kAck, 0, none);
    c.serverNext += 1;
    emit(true, c, c.clientNext, c.serverNext, kFin | kAck, 0, none);
    c.clientNext += 1;
    emit(false, c, c.serverNext, c.clientNext, kAck, 0, none);
}

bool CaptureBuilder::run(std::string& error) {
    if (!setUp(error)) return false;
    Random isns(opt_.seed ^ 0x5EC0DE5EC0DEull);
    for (std::uint32_t i = 0; i < opt_.count; ++i) {
        const std::uint32_t ci = opt_.clientIsnGiven ? opt_.clientIsn + i * opt_.isnStep
                                                     : static_cast<std::uint32_t>(isns.next());
        std::uint32_t si = opt_.serverIsnGiven ? opt_.serverIsn + i * opt_.isnStep
                                               : static_cast<std::uint32_t>(isns.next());
        if (opt_.wrapGiven) {
            // The SYN takes one number, then the header, then the body bytes
            // before the wrap: body byte N gets sequence number 0.
            si = static_cast<std::uint32_t>(0 - (1 + responseHeader().size() + opt_.wrapBodyAt));
        }
        handshakeAndRequest(conns_[i], ci, si);
    }
    // Round-robin over the connections that still have body bytes to send.
    std::vector<std::uint32_t> active;
    for (std::uint32_t i = 0; i < opt_.count; ++i) active.push_back(i);
    while (!active.empty()) {
        std::size_t kept = 0;
        for (const std::uint32_t i : active) {
            Connection& c = conns_[i];
            const std::uint64_t left = c.body->remaining();
            if (left > 0) sendBodySegment(c, static_cast<std::size_t>(std::min<std::uint64_t>(left, opt_.mss)));
            if (c.body->remaining() > 0) {
                active[kept++] = i;
            } else {
                if (c.unacked > 0) clientAck(c);
                close(c);
            }
        }
        active.resize(kept);
    }
    if (bodyWriteFailed_) {
        error = "cannot write a body file";
        return false;
    }
    for (auto& c : conns_) {
        if (c.bodyFile && std::fclose(c.bodyFile.release()) != 0) {
            error = "cannot write body file " + c.name;
            return false;
        }
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> CaptureBuilder::digests() {
    std::vector<std::pair<std::string, std::string>> rows;
    for (auto& c : conns_) {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = 0;
        EVP_DigestFinal_ex(c.digest.get(), md, &len);
        std::string hex;
        char two[3];
        for (unsigned int k = 0; k < len; ++k) {
            std::snprintf(two, sizeof two, "%02x", md[k]);
            hex += two;
        }
        rows.emplace_back(hex, c.name);
    }
    return rows;
}

bool writeDigests(const std::string& path, std::vector<std::pair<std::string, std::string>>& rows, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    for (const auto& [hex, name] : rows) std::fprintf(f, "%s  %s\n", hex.c_str(), name.c_str());
    if (std::fclose(f) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

int runMain(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            usage(stdout);
            return 0;
        }
    }
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        usage(stderr);
        return 2;
    }
    if (!opt.bodiesDir.empty()) ::mkdir(opt.bodiesDir.c_str(), 0755);
    const auto started = std::chrono::steady_clock::now();
    PcapWriter writer;
    std::string error;
    if (!writer.open(opt.out, error)) {
        std::fprintf(stderr, "synth-capture: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::pair<std::string, std::string>> digests;
    {
        CaptureBuilder builder(opt, writer);
        const bool ok = builder.run(error);
        std::string closeError;
        const bool closed = writer.close(closeError);
        if (!ok || !closed) {
            std::fprintf(stderr, "synth-capture: %s\n", ok ? closeError.c_str() : error.c_str());
            return 1;
        }
        digests = builder.digests();
    }
    if (!opt.sha256Path.empty() && !writeDigests(opt.sha256Path, digests, error)) {
        std::fprintf(stderr, "synth-capture: %s\n", error.c_str());
        return 1;
    }
    if (!opt.quiet) {
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "synth-capture: %u downloads of %" PRIu64 " bytes, %" PRIu64 " frames, %.1f MB in %.2f s (%.0f MB/s)\n",
                     opt.count, opt.size, writer.frames(), static_cast<double>(writer.bytesWritten()) / 1e6, secs,
                     static_cast<double>(writer.bytesWritten()) / 1e6 / (secs > 0 ? secs : 1e-9));
    }
    return 0;
}

}  // namespace
}  // namespace kestrel::synth

int main(int argc, char** argv) {
    return kestrel::synth::runMain(argc, argv);
}
