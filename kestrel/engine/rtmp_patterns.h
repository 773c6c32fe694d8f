#pragma once
// Byte patterns of the RTMP chunk stream that mark a stream's start and end
// in single segments. Offsets count from the start of the TCP payload; a
// pattern that would reach past the payload does not match.

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace kestrel::engine::rtmp {

inline bool bytesAt(std::span<const std::uint8_t> p, std::size_t at, std::string_view text) {
    return at <= p.size() && text.size() <= p.size() - at && std::memcmp(p.data() + at, text.data(), text.size()) == 0;
}

inline bool byteAt(std::span<const std::uint8_t> p, std::size_t at, std::uint8_t value) {
    return at < p.size() && p[at] == value;
}

// A connect command: a full 12-byte header on chunk stream 3, then the AMF0
// string "connect".
inline bool connectAt(std::span<const std::uint8_t> p, std::size_t at) {
    return byteAt(p, at, 0x03) && byteAt(p, at + 12, 0x02) && bytesAt(p, at + 15, "connect");
}

// Part of the status code a server sends when playback starts.
inline bool playStartAt(std::span<const std::uint8_t> p, std::size_t at) {
    return bytesAt(p, at, "Play.Start");
}

// A play command at the payload start (with a 12- or 13-byte lead).
inline bool playAtStart(std::span<const std::uint8_t> p) {
    return byteAt(p, 0, 0x08) &&
           ((byteAt(p, 12, 0x02) && bytesAt(p, 15, "play")) || (byteAt(p, 13, 0x02) && bytesAt(p, 16, "play")));
}

// The server's end-of-stream status: an AMF0 command on chunk stream 5 whose
// status code ends in "Stop", or in "Pause".
inline bool streamEndStatus(std::span<const std::uint8_t> p) {
    if (!byteAt(p, 0, 0x45) || !byteAt(p, 7, 0x14)) return false;
    return (p.size() >= 74 && bytesAt(p, 70, "Stop")) || (p.size() >= 70 && bytesAt(p, 65, "Pause"));
}

inline bool isRtmpPort(std::uint16_t port) {
    return port == 80 || port == 443 || port == 1935;
}

}  // namespace kestrel::engine::rtmp
