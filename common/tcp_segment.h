#pragma once
// Decoding of an Ethernet II / IPv4 / TCP frame into the fields the
// recorders use.
//
// The IPv4 and TCP header lengths are taken from the headers (options and
// TCP timestamps are common), and the payload length from the IPv4 total
// length, so Ethernet padding of short frames is never taken as payload.
// Frames whose headers do not fit in the captured bytes, non-IPv4 or
// non-TCP frames, and non-first fragments are not segments.

#include <cstdint>
#include <span>

namespace kestrel {

struct TcpSegment {
    std::uint8_t sourceAddress[4] = {};
    std::uint8_t destinationAddress[4] = {};
    std::uint16_t sourcePort = 0;
    std::uint16_t destinationPort = 0;
    std::uint32_t sequence = 0;
    std::uint32_t acknowledgement = 0;
    std::uint8_t flags = 0;  // TCP flags byte (FIN 0x01, SYN 0x02, RST 0x04, ...)
    std::span<const std::uint8_t> payload;
    // The frame's bytes up to the end of the IPv4 packet (no padding).
    std::span<const std::uint8_t> packet;

    // The value stored as a capture index entry's IP-length field: the
    // payload length plus 40, so every reader that takes "IP length − 40" as
    // the payload length gets it right whatever the real header sizes were.
    std::uint16_t storedIpLength(std::size_t storedPayloadLength) const {
        return static_cast<std::uint16_t>(storedPayloadLength + 40);
    }
};

inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;

// False when the frame is not a decodable IPv4 TCP segment.
bool decodeTcpSegment(std::span<const std::uint8_t> frame, TcpSegment& out);

}  // namespace kestrel
