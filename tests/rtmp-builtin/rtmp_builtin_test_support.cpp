#include "rtmp_builtin_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/byte_reader.h"

namespace kestrel::rtmptest {

namespace {
void be(Bytes& out, std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void amfString(Bytes& out, const std::string& s) {
    out.push_back(0x02);
    be(out, static_cast<std::uint32_t>(s.size()), 2);
    out.insert(out.end(), s.begin(), s.end());
}
void amfName(Bytes& out, const std::string& s) {
    be(out, static_cast<std::uint32_t>(s.size()), 2);
    out.insert(out.end(), s.begin(), s.end());
}
void amfNumber(Bytes& out, double v) {
    out.push_back(0x00);
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}
void objectEnd(Bytes& out) { out.insert(out.end(), {0x00, 0x00, 0x09}); }
}  // namespace

void ChunkWriter::setChunkSize(std::uint32_t value, std::uint32_t useSize) {
    Bytes body;
    be(body, value, 4);
    message(2, 1, 0, body, Form::Full);
    chunkSize_ = useSize;
}

void ChunkWriter::message(std::uint8_t csid, std::uint8_t type, std::uint32_t time,
                          std::span<const std::uint8_t> data, Form form, std::uint8_t continuation) {
    const auto length = static_cast<std::uint32_t>(data.size());
    switch (form) {
    case Form::Full:
        out_.push_back(csid);
        be(out_, time, 3);
        be(out_, length, 3);
        out_.push_back(type);
        out_.insert(out_.end(), {1, 0, 0, 0});  // message stream id 1, little-endian
        break;
    case Form::Delta:
        out_.push_back(static_cast<std::uint8_t>(0x40 | csid));
        be(out_, time, 3);
        be(out_, length, 3);
        out_.push_back(type);
        break;
    case Form::TimeOnly:
        out_.push_back(static_cast<std::uint8_t>(0x80 | csid));
        be(out_, time, 3);
        break;
    case Form::None: out_.push_back(static_cast<std::uint8_t>(0xC0 | csid)); break;
    }
    const std::uint8_t next = continuation ? continuation : static_cast<std::uint8_t>(0xC0 | csid);
    for (std::size_t done = 0; done < data.size();) {
        if (done > 0) out_.push_back(next);
        const std::size_t n = std::min<std::size_t>(chunkSize_, data.size() - done);
        out_.insert(out_.end(), data.begin() + static_cast<std::ptrdiff_t>(done),
                    data.begin() + static_cast<std::ptrdiff_t>(done + n));
        done += n;
    }
}

Bytes payload(std::size_t size, std::uint8_t first, std::uint32_t seed) {
    Bytes out(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 7);
    }
    if (!out.empty()) out[0] = first;
    return out;
}

Bytes aggregateBody(const std::vector<SubTag>& tags, std::uint32_t sizeOverride) {
    Bytes out;
    for (const auto& t : tags) {
        const auto size = sizeOverride ? sizeOverride : static_cast<std::uint32_t>(t.data.size());
        out.push_back(t.type);
        be(out, size, 3);
        be(out, t.timestamp & 0xFFFFFF, 3);
        out.push_back(static_cast<std::uint8_t>(t.timestamp >> 24));
        be(out, 0, 3);
        out.insert(out.end(), t.data.begin(), t.data.end());
        be(out, static_cast<std::uint32_t>(11 + t.data.size()), 4);
    }
    return out;
}

Bytes metaDataBody(bool asObject, bool setDataFrame) {
    Bytes out;
    if (setDataFrame) amfString(out, "@setDataFrame");
    amfString(out, "onMetaData");
    if (asObject) {
        out.push_back(0x03);
    } else {
        out.push_back(0x08);
        be(out, 2, 4);
    }
    amfName(out, "duration");
    amfNumber(out, 10.0);
    amfName(out, "width");
    amfNumber(out, 320.0);
    objectEnd(out);
    return out;
}

Bytes playStartBody() {
    Bytes out;
    amfString(out, "onStatus");
    amfNumber(out, 0);
    out.push_back(0x05);  // null
    out.push_back(0x03);
    amfName(out, "level");
    amfString(out, "status");
    amfName(out, "code");
    amfString(out, "NetStream.Play.Start");
    objectEnd(out);
    return out;
}

std::size_t FlvFile::count(std::uint8_t type) const {
    std::size_t n = 0;
    for (const auto& t : tags) n += t.type == type ? 1 : 0;
    return n;
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string tempPath(const std::string& name) {
    const auto dir = std::filesystem::temp_directory_path() / ("rtmp-builtin-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

FlvFile readFlv(const std::string& path) {
    FlvFile f;
    const Bytes bytes = readFile(path);
    ByteReader r(bytes);
    if (!r.startsWith("FLV")) return f;
    r.skip(3);
    const std::uint8_t version = r.u8();
    r.u8();
    const std::uint32_t headerSize = r.be32();
    f.hasHeader = r.ok() && version == 1 && headerSize == 9;
    if (!f.hasHeader) return f;
    std::uint32_t expectedPrevious = 0;
    bool consistent = true;
    for (;;) {
        const std::uint32_t previous = r.be32();
        if (!r.ok()) {
            consistent = false;  // no size field after the last tag
            break;
        }
        if (previous != expectedPrevious) consistent = false;
        if (r.remaining() == 0) break;
        FlvTag t;
        t.type = r.u8();
        const std::uint32_t size = r.be24();
        t.timestamp = r.be24();
        t.timestamp |= static_cast<std::uint32_t>(r.u8()) << 24;
        r.skip(3);
        const auto data = r.bytes(size);
        if (!r.ok()) {
            consistent = false;
            break;
        }
        t.data.assign(data.begin(), data.end());
        f.tags.push_back(std::move(t));
        expectedPrevious = 11 + size;
    }
    f.wellFormed = consistent;
    return f;
}

std::vector<Packet> parseFrameMd5(const std::string& text) {
    std::map<std::string, std::string> mediaOf;
    std::vector<std::pair<std::string, Packet>> raw;
    std::istringstream in(text);
    std::string line;
    auto trim = [](std::string s) {
        const auto b = s.find_first_not_of(" \t");
        const auto e = s.find_last_not_of(" \t\r");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    while (std::getline(in, line)) {
        if (line.rfind("#media_type ", 0) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos) mediaOf[trim(line.substr(12, colon - 12))] = trim(line.substr(colon + 1));
        } else if (!line.empty() && line[0] != '#') {
            std::vector<std::string> cells;
            std::istringstream cellsIn(line);
            std::string cell;
            while (std::getline(cellsIn, cell, ',')) cells.push_back(trim(cell));
            if (cells.size() < 6) continue;
            Packet p;
            p.dts = std::stoll(cells[1]);
            p.size = std::stoll(cells[4]);
            p.hash = cells[5];
            raw.emplace_back(cells[0], p);
        }
    }
    std::vector<Packet> packets;
    for (auto& [index, p] : raw) {
        p.media = mediaOf.count(index) ? mediaOf[index] : "stream " + index;
        packets.push_back(p);
    }
    return packets;
}

std::vector<Packet> frameMd5Of(const std::string& flv) {
    std::string out;
    runCommand("ffmpeg -v error -nostdin -i " + quote(flv) + " -map 0 -c copy -f framemd5 -", out);
    return parseFrameMd5(out);
}

Match comparePackets(const std::vector<Packet>& reference, const std::vector<Packet>& got) {
    Match m;
    m.reference = reference.size();
    std::vector<bool> used(got.size(), false);
    std::map<std::string, std::size_t> nextOf;  // per media: where the search goes on
    for (const auto& r : reference) {
        std::size_t& from = nextOf[r.media];
        for (std::size_t k = from; k < got.size(); ++k) {
            const auto& g = got[k];
            if (g.media != r.media || g.size != r.size || g.hash != r.hash) continue;
            used[k] = true;
            ++m.matched;
            m.sameTimestamp += g.dts == r.dts ? 1 : 0;
            from = k + 1;
            break;
        }
    }
    for (bool u : used) m.extra += u ? 0 : 1;
    return m;
}

}  // namespace kestrel::rtmptest
