#pragma once
// Builds Ethernet/IPv4/TCP frames for tests, with optional IP options, TCP
// options (timestamps) and Ethernet padding.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::test {

struct FrameSpec {
    std::uint8_t src[4] = {10, 0, 0, 1};
    std::uint8_t dst[4] = {10, 0, 0, 2};
    std::uint16_t sport = 80;
    std::uint16_t dport = 40000;
    std::uint32_t seq = 1000;
    std::uint32_t ack = 5000;
    std::uint8_t flags = 0x18;  // PSH ACK
    std::size_t ipOptions = 0;   // bytes, multiple of 4
    std::size_t tcpOptions = 0;  // bytes, multiple of 4 (12 = timestamps)
    std::size_t padding = 0;     // Ethernet padding after the IP packet
};

inline std::vector<std::uint8_t> buildFrame(const FrameSpec& s, std::string_view payload) {
    const std::size_t ipHeader = 20 + s.ipOptions;
    const std::size_t tcpHeader = 20 + s.tcpOptions;
    const std::size_t total = ipHeader + tcpHeader + payload.size();
    std::vector<std::uint8_t> f(14 + total + s.padding, 0);
    f[12] = 0x08;
    f[14] = static_cast<std::uint8_t>(0x40 | (ipHeader / 4));
    f[16] = static_cast<std::uint8_t>(total >> 8);
    f[17] = static_cast<std::uint8_t>(total);
    f[22] = 64;
    f[23] = 6;
    std::memcpy(&f[26], s.src, 4);
    std::memcpy(&f[30], s.dst, 4);
    const std::size_t t = 14 + ipHeader;
    f[t] = static_cast<std::uint8_t>(s.sport >> 8);
    f[t + 1] = static_cast<std::uint8_t>(s.sport);
    f[t + 2] = static_cast<std::uint8_t>(s.dport >> 8);
    f[t + 3] = static_cast<std::uint8_t>(s.dport);
    for (int i = 0; i < 4; ++i) {
        f[t + 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(s.seq >> (24 - 8 * i));
        f[t + 8 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(s.ack >> (24 - 8 * i));
    }
    f[t + 12] = static_cast<std::uint8_t>((tcpHeader / 4) << 4);
    f[t + 13] = s.flags;
    for (std::size_t i = 0; i < s.tcpOptions; ++i) f[t + 20 + i] = 0x01;  // NOPs stand in for the options
    std::memcpy(&f[t + tcpHeader], payload.data(), payload.size());
    for (std::size_t i = 0; i < s.padding; ++i) f[14 + total + i] = 0xEE;
    return f;
}

}  // namespace kestrel::test
