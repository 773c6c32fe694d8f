#pragma once
// Writes RTMP messages as a chunk stream, the way a server sends them, so
// that tests and benchmarks can make stream record files without a network.
// Header forms are chosen as servers do: a full header for the first message
// on a chunk stream or when time goes back, the shorter forms when message
// stream, type, length or time delta repeat; continuation chunks use the
// one-byte form. Times of 0xFFFFFF and more go in the extended timestamp
// field, which every type-3 header of that chunk stream then repeats.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kestrel::rtmprecords {

struct RtmpMessage {
    std::uint8_t csid = 0;  // 2..63
    std::uint8_t type = 0;
    std::uint32_t streamId = 0;
    std::uint32_t timestamp = 0;  // absolute, ms
    std::vector<std::uint8_t> payload;
};

enum class HeaderForm {
    Compact,    // the shortest header that says enough
    AlwaysFull, // a type-0 header (absolute time) for every message
};

class ChunkStreamWriter {
public:
    explicit ChunkStreamWriter(std::uint32_t chunkSize = 128) : chunkSize_(chunkSize) {}

    // Sends a Set Chunk Size message on chunk stream 2 and uses the size.
    void announceChunkSize(std::uint32_t size);
    void write(const RtmpMessage& message, HeaderForm form = HeaderForm::Compact);
    // The messages' chunks interleaved: every first chunk in order, then the
    // remaining chunks round-robin.
    void writeInterleaved(std::span<const RtmpMessage> messages, HeaderForm form = HeaderForm::Compact);

    std::vector<std::uint8_t>& bytes() { return out_; }
    std::uint32_t chunkSize() const { return chunkSize_; }

private:
    struct Last {
        bool seen = false;
        std::uint32_t streamId = 0;
        std::uint8_t type = 0;
        std::uint32_t length = 0;
        std::uint32_t timestamp = 0;
        std::uint32_t delta = 0;
        bool extended = false;
    };
    void writeExtended(std::uint8_t csid);
    void writeHeader(const RtmpMessage& m, HeaderForm form);
    void writeChunkPayload(const RtmpMessage& m, std::size_t offset, std::size_t n);

    std::uint32_t chunkSize_;
    Last last_[64];
    std::vector<std::uint8_t> out_;
};

// AMF0 pieces for the messages tests need.
void amfString(std::vector<std::uint8_t>& out, std::string_view text);
void amfNumber(std::vector<std::uint8_t>& out, double value);
void amfPropertyName(std::vector<std::uint8_t>& out, std::string_view name);
void amfObjectEnd(std::vector<std::uint8_t>& out);

// onStatus(0, null, {level, code, description, details}) as a server sends it.
std::vector<std::uint8_t> statusMessage(std::string_view code, std::string_view description);
// onMetaData with a duration and a few fields.
std::vector<std::uint8_t> metaDataMessage(double duration);

}  // namespace kestrel::rtmprecords
