#pragma once
// Writes small classic pcap files for tests that need exact frames.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::test {

struct PcapWriter {
    std::uint32_t linkType = 1;
    std::vector<std::vector<std::uint8_t>> frames;
    // Lengths on the wire, by frame; missing or 0: the captured length (a
    // larger one makes a frame cut by the snapshot length).
    std::vector<std::uint32_t> wireLengths;
    bool write(const std::string& path) const;
};

// An Ethernet/IPv4/TCP frame with 20-byte headers and the given payload size.
std::vector<std::uint8_t> tcpFrame(std::size_t payloadSize);

}  // namespace kestrel::test
