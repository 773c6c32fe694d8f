#include "tools/synth-capture/pcap_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrel::synth {
namespace {

constexpr std::size_t kBufferSize = 4u << 20;
constexpr std::size_t kRecordHeader = 16;
constexpr std::size_t kEthernet = 14;
constexpr std::size_t kIpv4 = 20;
constexpr std::size_t kTcp = 20;
constexpr std::size_t kMaxFrame = kRecordHeader + kEthernet + kIpv4 + kTcp + 40 + PcapWriter::kMaxPayload;

void be16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

template <typename T>
void putNative(std::uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace

std::uint64_t addChecksumBytes(std::uint64_t sum, const std::uint8_t* p, std::size_t n) {
    // 32-bit words in memory order; the end-around carry of the one's
    // complement sum makes the word size and the byte order of the
    // additions irrelevant, as long as the result is stored the same way.
    while (n >= 16) {
        std::uint32_t w[4];
        std::memcpy(w, p, sizeof w);
        sum += std::uint64_t{w[0]} + w[1] + w[2] + w[3];
        p += 16;
        n -= 16;
    }
    while (n >= 4) {
        std::uint32_t w;
        std::memcpy(&w, p, 4);
        sum += w;
        p += 4;
        n -= 4;
    }
    if (n >= 2) {
        std::uint16_t w;
        std::memcpy(&w, p, 2);
        sum += w;
        p += 2;
        n -= 2;
    }
    if (n == 1) {
        std::uint8_t last[2] = {p[0], 0};
        std::uint16_t w;
        std::memcpy(&w, last, 2);
        sum += w;
    }
    return sum;
}

std::uint16_t finishChecksum(std::uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

PcapWriter::~PcapWriter() {
    if (ownsFd_ && fd_ >= 0) ::close(fd_);
}

bool PcapWriter::open(const std::string& path, std::string& error) {
    if (path == "-") {
        fd_ = STDOUT_FILENO;
    } else {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            error = "cannot create " + path + ": " + std::strerror(errno);
            return false;
        }
        ownsFd_ = true;
    }
    buffer_.resize(kBufferSize + kMaxFrame);
    std::uint8_t* h = buffer_.data();
    putNative<std::uint32_t>(h, 0xA1B2C3D4);  // microsecond time stamps, this machine's byte order
    putNative<std::uint16_t>(h + 4, 2);
    putNative<std::uint16_t>(h + 6, 4);
    putNative<std::uint32_t>(h + 8, 0);
    putNative<std::uint32_t>(h + 12, 0);
    putNative<std::uint32_t>(h + 16, kSnapLength);
    putNative<std::uint32_t>(h + 20, 1);  // Ethernet
    used_ = 24;
    return true;
}

std::uint8_t* PcapWriter::payloadSlot(const TcpSegment& seg) {
    if (used_ > kBufferSize) flush();
    return buffer_.data() + used_ + kRecordHeader + kEthernet + kIpv4 + kTcp + seg.optionsLen;
}

void PcapWriter::commit(const TcpSegment& seg, std::uint64_t timeMicros) {
    const std::size_t tcpLen = kTcp + seg.optionsLen;
    const std::size_t ipLen = kIpv4 + tcpLen + seg.payloadLen;
    const std::size_t frameLen = kEthernet + ipLen;
    std::uint8_t* rec = buffer_.data() + used_;
    putNative<std::uint32_t>(rec, static_cast<std::uint32_t>(timeMicros / 1000000));
    putNative<std::uint32_t>(rec + 4, static_cast<std::uint32_t>(timeMicros % 1000000));
    putNative<std::uint32_t>(rec + 8, static_cast<std::uint32_t>(frameLen));
    putNative<std::uint32_t>(rec + 12, static_cast<std::uint32_t>(frameLen));

    std::uint8_t* eth = rec + kRecordHeader;
    std::memcpy(eth, seg.to->mac.data(), 6);
    std::memcpy(eth + 6, seg.from->mac.data(), 6);
    be16(eth + 12, 0x0800);

    std::uint8_t* ip = eth + kEthernet;
    ip[0] = 0x45;
    ip[1] = 0;
    be16(ip + 2, static_cast<std::uint32_t>(ipLen));
    be16(ip + 4, seg.ipId);
    be16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = 6;
    ip[10] = ip[11] = 0;
    be32(ip + 12, seg.from->ip);
    be32(ip + 16, seg.to->ip);
    const std::uint16_t ipSum = finishChecksum(addChecksumBytes(0, ip, kIpv4));
    std::memcpy(ip + 10, &ipSum, 2);

    std::uint8_t* tcp = ip + kIpv4;
    be16(tcp, seg.from->port);
    be16(tcp + 2, seg.to->port);
    be32(tcp + 4, seg.seq);
    be32(tcp + 8, seg.ack);
    tcp[12] = static_cast<std::uint8_t>((tcpLen / 4) << 4);
    tcp[13] = seg.flags;
    be16(tcp + 14, 0xFFFF);
    tcp[16] = tcp[17] = 0;
    be16(tcp + 18, 0);
    if (seg.optionsLen > 0) std::memcpy(tcp + kTcp, seg.options, seg.optionsLen);

    std::uint8_t pseudo[12];
    be32(pseudo, seg.from->ip);
    be32(pseudo + 4, seg.to->ip);
    pseudo[8] = 0;
    pseudo[9] = 6;
    be16(pseudo + 10, static_cast<std::uint32_t>(tcpLen + seg.payloadLen));
    std::uint64_t sum = addChecksumBytes(0, pseudo, sizeof pseudo);
    sum = addChecksumBytes(sum, tcp, tcpLen + seg.payloadLen);
    const std::uint16_t tcpSum = finishChecksum(sum);
    std::memcpy(tcp + 16, &tcpSum, 2);

    used_ += kRecordHeader + frameLen;
    ++frames_;
}

bool PcapWriter::flush() {
    std::size_t off = 0;
    while (off < used_ && !failed_) {
        const ssize_t n = ::write(fd_, buffer_.data() + off, used_ - off);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            errno_ = errno;
            break;
        }
        off += static_cast<std::size_t>(n);
    }
    written_ += used_;
    used_ = 0;
    return !failed_;
}

bool PcapWriter::close(std::string& error) {
    flush();
    if (ownsFd_ && fd_ >= 0) {
        if (::close(fd_) != 0 && !failed_) {
            failed_ = true;
            errno_ = errno;
        }
        fd_ = -1;
    }
    if (failed_) error = std::string("write failed: ") + std::strerror(errno_);
    return !failed_;
}

}  // namespace kestrel::synth
