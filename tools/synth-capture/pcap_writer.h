#pragma once
// Writes a classic pcap file (microsecond time stamps, link type Ethernet)
// of IPv4/TCP frames, streaming: frames are built in place in one output
// buffer, their payload first (so a caller can generate it straight into
// the frame), then the headers and both checksums.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::synth {

struct Endpoint {
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t ip = 0;  // host order
    std::uint16_t port = 0;
};

namespace tcp_flag {
inline constexpr std::uint8_t kFin = 0x01;
inline constexpr std::uint8_t kSyn = 0x02;
inline constexpr std::uint8_t kPsh = 0x08;
inline constexpr std::uint8_t kAck = 0x10;
}  // namespace tcp_flag

struct TcpSegment {
    const Endpoint* from = nullptr;
    const Endpoint* to = nullptr;
    std::uint32_t seq = 0;
    std::uint32_t ack = 0;
    std::uint8_t flags = 0;
    std::uint16_t ipId = 0;
    const std::uint8_t* options = nullptr;  // TCP options, a multiple of 4 bytes
    std::size_t optionsLen = 0;
    std::size_t payloadLen = 0;
};

// The Internet checksum's running sum over bytes in memory order; fold and
// complement it with finishChecksum. Sums of consecutive pieces add up as
// long as every piece but the last has an even length.
std::uint64_t addChecksumBytes(std::uint64_t sum, const std::uint8_t* p, std::size_t n);
// The 16-bit checksum, in memory order: store it with memcpy.
std::uint16_t finishChecksum(std::uint64_t sum);

class PcapWriter {
public:
    static constexpr std::size_t kMaxPayload = 65535 - 20 - 60;
    static constexpr std::uint32_t kSnapLength = 262144;

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // "-" writes to standard output. Writes the file header.
    bool open(const std::string& path, std::string& error);
    // Room for the payload of the frame described by seg; valid until commit.
    std::uint8_t* payloadSlot(const TcpSegment& seg);
    // Completes the frame whose payload slot was taken last.
    void commit(const TcpSegment& seg, std::uint64_t timeMicros);
    bool close(std::string& error);

    std::uint64_t frames() const { return frames_; }
    std::uint64_t bytesWritten() const { return written_ + used_; }

private:
    bool flush();

    int fd_ = -1;
    bool ownsFd_ = false;
    bool failed_ = false;
    int errno_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::size_t used_ = 0;
    std::uint64_t written_ = 0;
    std::uint64_t frames_ = 0;
};

}  // namespace kestrel::synth
