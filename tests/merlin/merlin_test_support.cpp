#include "merlin_test_support.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "merlin/stream_record.h"
#include "platform/byte_reader.h"

namespace kestrel::merlin::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "merlin-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    path = made ? made : pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::vector<std::uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

FlvFile readFlv(const std::string& path) {
    FlvFile flv;
    const auto bytes = readFile(path);
    ByteReader in(bytes);
    if (!in.startsWith("FLV")) {
        flv.error = "no FLV signature";
        return flv;
    }
    in.skip(3);
    const std::uint8_t version = in.u8();
    flv.typeFlags = in.u8();
    const std::uint32_t headerSize = in.be32();
    const std::uint32_t first = in.be32();
    if (!in.ok() || version != 1 || headerSize != 9 || first != 0) {
        flv.error = "bad file header";
        return flv;
    }
    while (in.remaining() > 0) {
        const std::size_t at = in.position();
        FlvTag tag;
        tag.type = in.u8();
        const std::uint32_t size = in.be24();
        const std::uint32_t low = in.be24();
        tag.timestamp = low | (std::uint32_t{in.u8()} << 24);
        const std::uint32_t streamId = in.be24();
        auto data = in.bytes(size);
        const std::uint32_t previous = in.be32();
        if (!in.ok()) {
            flv.error = "tag at " + std::to_string(at) + " runs past the end";
            return flv;
        }
        if (previous != size + 11 || streamId != 0) {
            flv.error = "tag at " + std::to_string(at) + " has a wrong previous tag size";
            return flv;
        }
        tag.data.assign(data.begin(), data.end());
        flv.tags.push_back(std::move(tag));
    }
    flv.valid = true;
    return flv;
}

void writeRecords(const std::string& path, std::span<const std::uint8_t> bytes, std::size_t segment,
                  std::span<const std::size_t> dropped) {
    StreamRecordWriter writer;
    writer.create(path.c_str());
    bool gap = false;
    std::size_t index = 0;
    for (std::size_t pos = 0; pos < bytes.size(); pos += segment, ++index) {
        const auto piece = bytes.subspan(pos, std::min(segment, bytes.size() - pos));
        if (std::find(dropped.begin(), dropped.end(), index) != dropped.end()) {
            gap = true;
            continue;
        }
        writer.write(gap ? kRecordGap : 0, piece);
        gap = false;
    }
    writer.close();
}

std::vector<std::uint8_t> mediaPayload(std::uint8_t firstByte, std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> p(size);
    if (size == 0) return p;
    p[0] = firstByte;
    std::uint32_t x = seed * 2654435761u + 1;
    for (std::size_t i = 1; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        p[i] = static_cast<std::uint8_t>(x >> 16);
    }
    return p;
}

std::vector<rtmprecords::RtmpMessage> avStream(std::size_t count, std::size_t videoSize, std::size_t audioSize) {
    std::vector<rtmprecords::RtmpMessage> out;
    rtmprecords::RtmpMessage meta;
    meta.csid = 5;
    meta.type = 18;
    meta.streamId = 1;
    meta.payload = rtmprecords::metaDataMessage(10.0);
    out.push_back(meta);
    std::uint32_t audioTime = 0;
    std::uint32_t videoTime = 0;
    for (std::size_t i = 0; i < count; ++i) {
        rtmprecords::RtmpMessage m;
        m.streamId = 1;
        const bool video = videoTime <= audioTime;
        if (video) {
            m.csid = 6;
            m.type = 9;
            m.timestamp = videoTime;
            // AVC: key frame every 25 frames, else inter frame.
            const std::uint8_t first = static_cast<std::uint8_t>(((i % 25 == 0) ? 0x10 : 0x20) | 7);
            m.payload = mediaPayload(first, videoSize + (i % 7) * 13, static_cast<std::uint32_t>(i));
            videoTime += 40;
        } else {
            m.csid = 4;
            m.type = 8;
            m.timestamp = audioTime;
            m.payload = mediaPayload(0xAF, audioSize + (i % 5), static_cast<std::uint32_t>(i));
            audioTime += 23;
        }
        out.push_back(std::move(m));
    }
    return out;
}

std::vector<std::vector<std::uint8_t>> mediaPayloads(const std::vector<rtmprecords::RtmpMessage>& messages) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& m : messages)
        if (m.type == 8 || m.type == 9) out.push_back(m.payload);
    return out;
}

std::vector<std::vector<std::uint8_t>> mediaPayloads(const FlvFile& flv) {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& t : flv.tags)
        if (t.type == 8 || t.type == 9) out.push_back(t.data);
    return out;
}

}  // namespace kestrel::merlin::test
