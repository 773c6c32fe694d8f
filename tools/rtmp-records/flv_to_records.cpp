// flv-to-records: plays an FLV file into a stream record file as an RTMP
// server would send it (chunk size announcement, play-start status,
// onMetaData, then the audio and video messages), cut into records of
// TCP-segment size. Used to make large inputs for the FLV builder's
// benchmark and realistic inputs for its tests.
//
//   flv-to-records [--chunk-size N] [--segment N] [--name NAME] [--full-headers] IN.flv OUT.rec

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chunk_stream_writer.h"
#include "merlin/stream_record.h"
#include "platform/byte_reader.h"

namespace {

using kestrel::ByteReader;
using namespace kestrel::rtmprecords;

constexpr std::uint8_t kAudioCsid = 4;
constexpr std::uint8_t kVideoCsid = 6;
constexpr std::uint8_t kDataCsid = 5;
constexpr std::uint32_t kStreamId = 1;

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: flv-to-records [--chunk-size N] [--segment N] [--name NAME] [--full-headers] IN.flv "
                 "OUT.rec\n");
}

bool readExactly(std::FILE* in, std::uint8_t* out, std::size_t n) {
    return std::fread(out, 1, n, in) == n;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t chunkSize = 4096;
    std::size_t segment = 1460;
    std::string name;
    HeaderForm form = HeaderForm::Compact;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--chunk-size" && i + 1 < argc) {
            chunkSize = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--segment" && i + 1 < argc) {
            segment = std::strtoul(argv[++i], nullptr, 10);
        } else if (a == "--name" && i + 1 < argc) {
            name = argv[++i];
        } else if (a == "--full-headers") {
            form = HeaderForm::AlwaysFull;
        } else if (!a.empty() && a[0] == '-') {
            usage(stderr);
            return 2;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 2 || chunkSize == 0 || segment == 0 || segment > kestrel::merlin::kMaxRecordPayload) {
        usage(stderr);
        return 2;
    }
    if (name.empty()) {
        name = args[0];
        if (auto slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);
        if (auto dot = name.rfind('.'); dot != std::string::npos) name = name.substr(0, dot);
    }

    std::FILE* in = std::fopen(args[0].c_str(), "rb");
    if (!in) {
        std::fprintf(stderr, "flv-to-records: cannot open %s: %s\n", args[0].c_str(), std::strerror(errno));
        return 3;
    }
    std::uint8_t fileHeader[13];
    if (!readExactly(in, fileHeader, sizeof fileHeader) || std::memcmp(fileHeader, "FLV", 3) != 0) {
        std::fprintf(stderr, "flv-to-records: %s is not an FLV file\n", args[0].c_str());
        std::fclose(in);
        return 3;
    }
    kestrel::merlin::StreamRecordWriter writer;
    if (!writer.create(args[1].c_str())) {
        std::fprintf(stderr, "flv-to-records: cannot create %s: %s\n", args[1].c_str(), std::strerror(errno));
        std::fclose(in);
        return 1;
    }

    ChunkStreamWriter chunks(128);
    std::size_t sent = 0;  // bytes of chunks.bytes() already written as records
    auto flushRecords = [&](bool all) {
        auto& bytes = chunks.bytes();
        while (bytes.size() - sent >= segment || (all && sent < bytes.size())) {
            const std::size_t n = std::min(segment, bytes.size() - sent);
            writer.write(0, std::span<const std::uint8_t>(bytes.data() + sent, n));
            sent += n;
        }
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(sent));
        sent = 0;
    };

    chunks.announceChunkSize(chunkSize);
    RtmpMessage status;
    status.csid = kDataCsid;
    status.type = 20;
    status.streamId = kStreamId;
    status.payload = statusMessage("NetStream.Play.Start", "Started playing " + name + ".");
    chunks.write(status, HeaderForm::AlwaysFull);

    RtmpMessage message;
    std::uint8_t tagHeader[11];
    std::size_t tags = 0;
    while (readExactly(in, tagHeader, sizeof tagHeader)) {
        ByteReader h({tagHeader, sizeof tagHeader});
        const std::uint8_t type = h.u8() & 0x1F;
        const std::uint32_t size = h.be24();
        const std::uint32_t low = h.be24();
        const std::uint32_t timestamp = low | (std::uint32_t{h.u8()} << 24);
        message.payload.resize(size);
        if (!readExactly(in, message.payload.data(), size)) break;
        std::uint8_t back[4];
        if (!readExactly(in, back, sizeof back) && std::feof(in) == 0) break;
        if (type != 8 && type != 9 && type != 18) continue;
        message.type = type;
        message.csid = type == 8 ? kAudioCsid : type == 9 ? kVideoCsid : kDataCsid;
        message.streamId = kStreamId;
        message.timestamp = timestamp & 0xFFFFFF;
        chunks.write(message, form);
        ++tags;
        flushRecords(false);
    }
    flushRecords(true);
    std::fclose(in);
    if (!writer.close()) {
        std::fprintf(stderr, "flv-to-records: writing %s failed\n", args[1].c_str());
        return 1;
    }
    std::printf("%s\ttags=%zu\tbytes=%llu\n", args[1].c_str(), tags,
                static_cast<unsigned long long>(writer.bytesWritten()));
    return 0;
}
