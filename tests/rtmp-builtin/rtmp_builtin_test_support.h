#pragma once
// Test helpers for the built-in RTMP converters: a small chunk-stream writer
// with full control over every header byte, an FLV reader that checks the
// file's structure, and the outside tools (flvmeta, ffprobe, ffmpeg).

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "tests/support/shell_command.h"

namespace kestrel::rtmptest {

using Bytes = std::vector<std::uint8_t>;

// Writes RTMP messages as chunks. The header form is chosen per message.
class ChunkWriter {
public:
    enum class Form { Full, Delta, TimeOnly, None };  // header formats 0, 1, 2, 3

    explicit ChunkWriter(std::uint32_t chunkSize = 128) : chunkSize_(chunkSize) {}

    // A Set Chunk Size message (type-0 header on chunk stream 2); the writer
    // goes on with useSize (the value the reader should end up with).
    void setChunkSize(std::uint32_t value, std::uint32_t useSize);
    void setChunkSize(std::uint32_t value) { setChunkSize(value, value); }
    // One message; time is absolute for Full, the delta otherwise.
    // continuation overrides the continuation header byte (0: 0xC0 | csid).
    void message(std::uint8_t csid, std::uint8_t type, std::uint32_t time, std::span<const std::uint8_t> payload,
                 Form form = Form::Full, std::uint8_t continuation = 0);
    void raw(std::span<const std::uint8_t> bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
    void useChunkSize(std::uint32_t size) { chunkSize_ = size; }

    Bytes& bytes() { return out_; }

private:
    std::uint32_t chunkSize_;
    Bytes out_;
};

// Deterministic filler bytes whose first byte is given (a media signature).
Bytes payload(std::size_t size, std::uint8_t first, std::uint32_t seed);
// An aggregate message body of the given FLV sub-tags.
struct SubTag {
    std::uint8_t type = 9;
    std::uint32_t timestamp = 0;
    Bytes data;
};
Bytes aggregateBody(const std::vector<SubTag>& tags, std::uint32_t sizeOverride = 0);
// AMF0 onMetaData data message; asObject: an AMF0 object instead of an
// ECMA array; setDataFrame: "@setDataFrame" in front.
Bytes metaDataBody(bool asObject, bool setDataFrame);
// onStatus NetStream.Play.Start command.
Bytes playStartBody();

struct FlvTag {
    std::uint8_t type = 0;
    std::uint32_t timestamp = 0;
    Bytes data;
};
struct FlvFile {
    bool hasHeader = false;
    bool wellFormed = false;  // every size field agrees and the file ends after the last one
    std::vector<FlvTag> tags;
    std::size_t count(std::uint8_t type) const;
};
FlvFile readFlv(const std::string& path);
Bytes readFile(const std::string& path);
void writeFile(const std::string& path, std::span<const std::uint8_t> bytes);
std::string tempPath(const std::string& name);

// Outside tools.
using kestrel::test::haveTool;
using kestrel::test::quote;
using kestrel::test::runCommand;

struct Packet {
    std::string media;
    long long dts = 0;
    long long size = 0;
    std::string hash;
};
std::vector<Packet> parseFrameMd5(const std::string& text);
std::vector<Packet> frameMd5Of(const std::string& flv);

struct Match {
    std::size_t reference = 0;
    std::size_t matched = 0;          // reference packets found, in order per media, by size and hash
    std::size_t sameTimestamp = 0;    // of those, with the reference's dts
    std::size_t extra = 0;            // packets of the file not matched
};
Match comparePackets(const std::vector<Packet>& reference, const std::vector<Packet>& got);

}  // namespace kestrel::rtmptest
