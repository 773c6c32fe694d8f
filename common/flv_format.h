#pragma once
// The FLV container as written by every producer of FLV files in the
// project (stream converters, the built-in converters, the repair).
//
// File header (9 bytes): "FLV", version 1, type flags (0x04 audio, 0x01
// video), header size 9 (big-endian 32 bits). Then the previous-tag-size
// field of the (absent) tag before the first one, 0. Each tag: type (8
// audio, 9 video, 18 script data), data size (24 bits), timestamp (lower 24
// bits, then the upper 8 bits), stream id (24 bits, always 0), data, and
// the 32-bit size of the whole tag (11 + data size).

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel::flv {

inline constexpr std::uint8_t kTagAudio = 8;
inline constexpr std::uint8_t kTagVideo = 9;
inline constexpr std::uint8_t kTagScript = 18;

inline constexpr std::uint8_t kFlagsAudio = 0x04;
inline constexpr std::uint8_t kFlagsVideo = 0x01;

inline constexpr std::size_t kFileHeaderSize = 9;
inline constexpr std::size_t kTagHeaderSize = 11;
inline constexpr std::size_t kPreviousTagSizeSize = 4;
inline constexpr std::uint32_t kMaxTagDataSize = 0xFFFFFF;  // 24-bit size field

// The 9-byte header followed by the first previous-tag-size field (0).
inline std::array<std::uint8_t, kFileHeaderSize + kPreviousTagSizeSize> fileHeader(std::uint8_t typeFlags) {
    return {'F', 'L', 'V', 1, typeFlags, 0, 0, 0, 9, 0, 0, 0, 0};
}

inline void putBe24(std::uint8_t* out, std::uint32_t v) {
    out[0] = static_cast<std::uint8_t>(v >> 16);
    out[1] = static_cast<std::uint8_t>(v >> 8);
    out[2] = static_cast<std::uint8_t>(v);
}

inline void putBe32(std::uint8_t* out, std::uint32_t v) {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    putBe24(out + 1, v);
}

// The 11-byte tag header. dataSize must not exceed kMaxTagDataSize.
inline std::array<std::uint8_t, kTagHeaderSize> tagHeader(std::uint8_t type, std::uint32_t dataSize,
                                                         std::uint32_t timestampMs) {
    std::array<std::uint8_t, kTagHeaderSize> h{};
    h[0] = type;
    putBe24(&h[1], dataSize & kMaxTagDataSize);
    putBe24(&h[4], timestampMs & 0xFFFFFF);
    h[7] = static_cast<std::uint8_t>(timestampMs >> 24);
    return h;  // stream id stays 0
}

// The previous-tag-size field that follows a tag with dataSize bytes of data.
inline std::array<std::uint8_t, kPreviousTagSizeSize> previousTagSize(std::uint32_t dataSize) {
    std::array<std::uint8_t, kPreviousTagSizeSize> p{};
    putBe32(p.data(), dataSize + static_cast<std::uint32_t>(kTagHeaderSize));
    return p;
}

}  // namespace kestrel::flv
