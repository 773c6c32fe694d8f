#include "common/http_body_assembler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/capture_files.h"

using kestrel::HttpBodyAssembler;
using kestrel::capture_files::IndexEntry;
using kestrel::capture_files::OrderedEntry;

namespace {

class StringSink : public kestrel::ByteSink {
public:
    bool write(std::span<const std::uint8_t> b) override {
        out.append(reinterpret_cast<const char*>(b.data()), b.size());
        return true;
    }
    std::string out;
};

struct Piece {
    std::uint32_t offset;  // relative to the stream's first byte
    std::string bytes;
};

struct Assembled {
    std::string out;
    kestrel::HttpAssemblyStats stats;
};

// Stores the pieces in the given (capture) order with sequence numbers from
// base, orders them as the post-processing does and assembles them.
Assembled assemble(std::uint32_t base, const std::vector<Piece>& pieces) {
    std::vector<IndexEntry> entries;
    for (std::size_t i = 0; i < pieces.size(); ++i)
        entries.push_back({base + pieces[i].offset, static_cast<std::uint32_t>(i),
                           static_cast<std::uint32_t>(pieces[i].bytes.size()), 0});
    std::vector<OrderedEntry> ordered;
    kestrel::capture_files::orderEntries(entries, ordered);
    StringSink sink;
    HttpBodyAssembler a(sink);
    for (const auto& e : ordered) {
        const std::string& b = pieces[e.entry.dataOffset].bytes;
        a.feed(e.position, std::span(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
    }
    a.finish();
    return {sink.out, a.stats()};
}

std::string flvBody(std::size_t n) {
    std::string s = std::string("FLV\x01\x05\0\0\0\x09", 9);
    while (s.size() < n) s.push_back(static_cast<char>(s.size() * 7 % 251));
    s.resize(n);
    return s;
}

// Sequence bases: an ordinary one and one just below 2^32, so that every
// case also runs across the wrap.
const std::uint32_t kBases[] = {1000u, 0xFFFFFFFFu - 3000u};

}  // namespace

TEST(HttpBodyAssembler, ReorderingRetransmissionsAndOverlaps) {
    const std::string body = flvBody(6000);
    auto piece = [&](std::uint32_t from, std::uint32_t to) { return Piece{from, body.substr(from, to - from)}; };
    struct Case {
        const char* what;
        std::vector<Piece> pieces;
        std::uint64_t repeats;
    } cases[] = {
        {"in order", {piece(0, 1460), piece(1460, 2920), piece(2920, 4380), piece(4380, 6000)}, 0},
        {"reordered", {piece(1460, 2920), piece(0, 1460), piece(4380, 6000), piece(2920, 4380)}, 0},
        {"second entry retransmitted", {piece(0, 1460), piece(1460, 2920), piece(1460, 2920), piece(2920, 6000)}, 1},
        {"first entry retransmitted", {piece(0, 1460), piece(0, 1460), piece(1460, 6000)}, 1},
        {"partial overlap", {piece(0, 2000), piece(1500, 4000), piece(3000, 6000)}, 0},
        // Sorted by start, [500, 3000) comes before [1000, 2000), which then repeats.
        {"overlap reaching back over two entries", {piece(0, 1000), piece(1000, 2000), piece(500, 3000), piece(3000, 6000)}, 1},
        {"shorter repeat sorted after a longer entry", {piece(0, 1000), piece(1000, 3000), piece(1000, 1500), piece(2500, 6000)}, 1},
        {"repeat contained in what was written", {piece(0, 3000), piece(200, 300), piece(3000, 6000)}, 1},
    };
    for (std::uint32_t base : kBases) {
        for (const auto& c : cases) {
            const Assembled r = assemble(base, c.pieces);
            EXPECT_EQ(r.out, body) << c.what << " base " << base;
            EXPECT_EQ(r.stats.gaps, 0u) << c.what;
            EXPECT_EQ(r.stats.repeats, c.repeats) << c.what;
        }
    }
}

TEST(HttpBodyAssembler, GapsAreCountedAndNotFilled) {
    const std::string body = flvBody(5000);
    for (std::uint32_t base : kBases) {
        const Assembled r = assemble(base, {{0, body.substr(0, 1000)}, {1500, body.substr(1500, 1000)}, {2500, body.substr(2500)}});
        EXPECT_EQ(r.out, body.substr(0, 1000) + body.substr(1500)) << base;
        EXPECT_EQ(r.stats.gaps, 1u);
        EXPECT_EQ(r.stats.gapBytes, 500u);
    }
}

TEST(HttpBodyAssembler, FirstPayloadIsKeptForEveryMediaStart) {
    const std::string rest(3000, 'r');
    struct Case {
        const char* what;
        std::string first;
    } cases[] = {
        {"FLV", flvBody(1460)},
        {"compressed SWF", "CWS\x09" + std::string(1000, 'c')},
        {"uncompressed SWF", "FWS\x09" + std::string(1000, 'c')},
        {"LZMA SWF", "ZWS\x0D" + std::string(1000, 'c')},
        {"MP3 with ID3", "ID3\x04\x00" + std::string(1000, 'i')},
        {"MP3 frame sync", "\xFF\xFB\x90\x64" + std::string(1000, 'm')},
        {"MP4 isom", std::string("\0\0\0\x20" "ftypisom", 12) + std::string(1000, 'p')},
        {"MP4 mp42", std::string("\0\0\0\x18" "ftypmp42", 12) + std::string(1000, 'p')},
        {"M4A", std::string("\0\0\0\x1C" "ftypM4A ", 12) + std::string(1000, 'a')},
        {"unknown binary", std::string("\x00\x01\x02\x03\x04", 5) + std::string(1000, 'u')},
    };
    for (std::uint32_t base : kBases) {
        for (const auto& c : cases) {
            const auto n = static_cast<std::uint32_t>(c.first.size());
            const Assembled r = assemble(base, {{0, c.first}, {n, rest}});
            EXPECT_EQ(r.out, c.first + rest) << c.what;
            EXPECT_EQ(r.stats.headerBytesCut, 0u) << c.what;
        }
    }
}

TEST(HttpBodyAssembler, HeaderTailStoredAsBodyIsCut) {
    const std::string body = flvBody(4000);
    const std::string tail = "Type: video/x-flv\r\nContent-Length: 4000\r\n\r\n";
    const std::string whole = "HTTP/1.1 200 OK\r\nServer: x\r\nContent-Type: video/x-flv\r\n\r\n";
    struct Case {
        const char* what;
        std::vector<Piece> pieces;
        std::size_t cut;
    } cases[] = {
        {"tail and body in one payload", {{0, tail + body.substr(0, 1000)}, {static_cast<std::uint32_t>(tail.size() + 1000), body.substr(1000)}}, tail.size()},
        {"whole header over two payloads",
         {{0, whole.substr(0, 20)}, {20, whole.substr(20) + body.substr(0, 500)}, {static_cast<std::uint32_t>(whole.size() + 500), body.substr(500)}},
         whole.size()},
        {"header alone, body in the next payload", {{0, tail}, {static_cast<std::uint32_t>(tail.size()), body}}, tail.size()},
    };
    for (std::uint32_t base : kBases) {
        for (const auto& c : cases) {
            const Assembled r = assemble(base, c.pieces);
            EXPECT_EQ(r.out, body) << c.what;
            EXPECT_EQ(r.stats.headerBytesCut, c.cut) << c.what;
        }
    }
}

TEST(HttpBodyAssembler, ChunkedBodiesAreDecoded) {
    const std::string body = flvBody(20000);
    auto chunked = [&](std::vector<std::size_t> sizes, const std::string& ext, const std::string& trailer) {
        std::string out;
        std::size_t at = 0;
        for (std::size_t n : sizes) {
            char line[32];
            std::snprintf(line, sizeof line, "%zx", n);
            out += line + ext + "\r\n" + body.substr(at, n) + "\r\n";
            at += n;
        }
        return out + "0\r\n" + trailer + "\r\n";
    };
    struct Case {
        const char* what;
        std::string coded;
        std::size_t pieceSize;
    } cases[] = {
        {"0x2000 chunks", chunked({0x2000, 0x2000, 20000 - 0x4000}, "", ""), 1460},
        {"odd sizes", chunked({1, 17, 4095, 333, 15554}, "", ""), 1460},
        {"chunk-size lines split across payloads", chunked({7, 9, 11, 19973}, "", ""), 3},
        {"extensions and a trailer", chunked({5000, 15000}, ";name=value", "X-Checksum: abc\r\n"), 1000},
        {"upper- and lower-case hex", chunked({0xABC, 0xabc, 20000 - 2 * 0xABC}, "", ""), 700},
    };
    for (std::uint32_t base : kBases) {
        for (const auto& c : cases) {
            std::vector<Piece> pieces;
            for (std::size_t at = 0; at < c.coded.size(); at += c.pieceSize)
                pieces.push_back({static_cast<std::uint32_t>(at), c.coded.substr(at, c.pieceSize)});
            std::swap(pieces[1], pieces[2]);  // arrival order does not matter
            const Assembled r = assemble(base, pieces);
            EXPECT_EQ(r.out, body) << c.what;
            EXPECT_TRUE(r.stats.chunked) << c.what;
            EXPECT_FALSE(r.stats.chunkedMalformed) << c.what;
        }
    }
}

TEST(HttpBodyAssembler, BrokenChunkingKeepsTheRest) {
    const std::string coded = "10\r\n0123456789abcdefXXgarbage";  // no CR LF after the chunk
    const Assembled r = assemble(1, {{0, coded}, {static_cast<std::uint32_t>(coded.size()), "more"}});
    EXPECT_EQ(r.out, "0123456789abcdefXXgarbagemore");
    EXPECT_TRUE(r.stats.chunkedMalformed);
}

TEST(HttpBodyAssembler, EmptyFirstEntryOfAResponseCreatedItem) {
    // A header that ended exactly at the end of its frame stores an entry of
    // length 0 at the body's first sequence number.
    const std::string body = flvBody(3000);
    for (std::uint32_t base : kBases) {
        const Assembled r = assemble(base, {{0, ""}, {0, body.substr(0, 1460)}, {1460, body.substr(1460)}});
        EXPECT_EQ(r.out, body) << base;
    }
}

// A hole in a chunked body: the decoding finds the chunk framing again, so
// the output holds every captured body byte and no framing.
TEST(HttpBodyAssembler, ChunkedBodyWithHolesKeepsEveryCapturedByte) {
    const std::string body = flvBody(30000);
    const std::vector<std::size_t> sizes = {17, 4095, 333, 1, 2048, 777, 9000, 13729};
    std::string coded;
    std::vector<long> bodyAt;  // for every coded byte, its body offset or -1
    std::size_t at = 0;
    for (std::size_t n : sizes) {
        char line[32];
        std::snprintf(line, sizeof line, "%zx\r\n", n);
        coded += line;
        bodyAt.insert(bodyAt.end(), std::strlen(line), -1);
        coded += body.substr(at, n);
        for (std::size_t k = 0; k < n; ++k) bodyAt.push_back(static_cast<long>(at + k));
        coded += "\r\n";
        bodyAt.insert(bodyAt.end(), 2, -1);
        at += n;
    }
    coded += "0\r\n\r\n";
    bodyAt.insert(bodyAt.end(), 5, -1);
    struct Case {
        const char* what;
        std::size_t from, to;  // coded bytes never captured
    } cases[] = {
        {"inside one chunk's data", 12000, 13000},
        {"across two chunk boundaries", 4300, 6800},
        {"cutting a chunk-size line", 4118, 4121},
        {"taking whole chunks", 4400, 8000},
        {"taking the CR of a chunk's end", 4123, 4124},
        {"taking a whole chunk end", 4123, 4125},
    };
    for (std::uint32_t base : kBases) {
        for (const auto& c : cases) {
            std::vector<Piece> pieces;
            for (std::size_t p = 0; p < coded.size(); p += 1000) {
                const std::size_t end = std::min(coded.size(), p + 1000);
                if (p < c.from && end > c.from) pieces.push_back({static_cast<std::uint32_t>(p), coded.substr(p, c.from - p)});
                if (p < c.to && end > c.to) pieces.push_back({static_cast<std::uint32_t>(c.to), coded.substr(c.to, end - c.to)});
                if (end <= c.from || p >= c.to) pieces.push_back({static_cast<std::uint32_t>(p), coded.substr(p, end - p)});
            }
            std::string expected;
            for (std::size_t k = 0; k < coded.size(); ++k)
                if ((k < c.from || k >= c.to) && bodyAt[k] >= 0) expected.push_back(coded[k]);
            const Assembled r = assemble(base, pieces);
            EXPECT_EQ(r.stats.gaps, 1u) << c.what;
            EXPECT_FALSE(r.stats.chunkedMalformed) << c.what;
            EXPECT_TRUE(r.out == expected) << c.what << ": " << r.out.size() << " bytes, expected " << expected.size();
        }
    }
}
