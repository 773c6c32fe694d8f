#pragma once
// The RTMP chunk header as the converter sees it, decoded from untrusted
// bytes, and the plausibility test that decides whether a full header (type
// 0 or 1) can be the start of a real message.
//
// Only the one-byte basic header is recognised (chunk stream IDs 0..63 as
// the six low bits); the two- and three-byte forms do not parse, which the
// plausibility test and the resynchronisation then handle like any other
// damage. The extended timestamp field is recognised: it follows a header
// whose timestamp field is 0xFFFFFF, and every type-3 header of a chunk
// stream whose last type 0, 1 or 2 header had one (streams more than 4.6
// hours into their time line carry it on every header).

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel::merlin {

inline constexpr std::uint8_t kMsgSetChunkSize = 1;
inline constexpr std::uint8_t kMsgAbort = 2;
inline constexpr std::uint8_t kMsgAudio = 8;
inline constexpr std::uint8_t kMsgVideo = 9;
inline constexpr std::uint8_t kMsgDataAmf0 = 18;
inline constexpr std::uint8_t kMsgCommandAmf0 = 20;

struct ChunkHeader {
    std::uint8_t format = 0;      // 0..3: the header types of 12, 8, 4 and 1 bytes
    std::uint8_t size = 0;        // bytes of the header, extended timestamp included
    bool extended = false;        // an extended timestamp field was present
    std::uint8_t csid = 0;        // chunk stream ID
    std::uint32_t timestamp = 0;  // types 0, 1, 2 (from the extended field when present)
    std::uint32_t length = 0;     // sizes 12, 8
    std::uint8_t type = 0;        // sizes 12, 8
    std::uint32_t streamId = 0;   // size 12, the four bytes read big-endian
    bool hasPayload = false;      // a message byte follows the header
    std::uint8_t firstPayloadByte = 0;

    bool isFull() const { return format <= 1; }
    // The message stream ID as the little-endian field it is on the wire.
    std::uint32_t streamIdLittleEndian() const {
        return (streamId >> 24) | ((streamId >> 8) & 0xFF00) | ((streamId << 8) & 0xFF0000) | (streamId << 24);
    }
};

// The header size that the first byte of a chunk announces, without an
// extended timestamp.
inline std::size_t chunkHeaderSize(std::uint8_t basicHeader) {
    static constexpr std::size_t kSizes[4] = {12, 8, 4, 1};
    return kSizes[basicHeader >> 6];
}

// Decodes the header at the start of bytes; false when they are fewer than
// the header size. extendedOnType3 tells whether a type-3 header on this
// chunk stream carries the extended timestamp. The payload byte is reported
// for full headers of a non-empty message when a byte follows the header.
bool decodeChunkHeader(std::span<const std::uint8_t> bytes, ChunkHeader& header, bool extendedOnType3 = false);

// Sound formats and video codec IDs that FLV defines.
bool isDefinedSoundFormat(std::uint8_t soundFormat);
bool isDefinedVideoCodec(std::uint8_t codecId);

// The plausibility test of a full header; headers of size 1 and 4 never pass.
bool isPlausible(const ChunkHeader& header);

}  // namespace kestrel::merlin
