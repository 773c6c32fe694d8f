#include "common/tcp_segment.h"

#include <cstring>

#include "platform/byte_reader.h"

namespace kestrel {

namespace {
constexpr std::size_t kEthernetHeader = 14;
constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint8_t kProtocolTcp = 6;
}  // namespace

bool decodeTcpSegment(std::span<const std::uint8_t> frame, TcpSegment& out) {
    ByteReader r(frame);
    if (r.be16At(12) != kEtherTypeIpv4 || !r.hasAt(kEthernetHeader, 20)) return false;
    const std::size_t ip = kEthernetHeader;
    const std::uint8_t versionIhl = r.u8At(ip);
    if ((versionIhl >> 4) != 4) return false;
    const std::size_t ipHeader = static_cast<std::size_t>(versionIhl & 0x0F) * 4;
    std::size_t totalLength = r.be16At(ip + 2);
    // Segmentation offload can hand over packets larger than the field can
    // say; they carry 0 there and end with the frame.
    if (totalLength == 0) totalLength = frame.size() - ip;
    if (ipHeader < 20 || r.u8At(ip + 9) != kProtocolTcp) return false;
    if ((r.be16At(ip + 6) & 0x1FFF) != 0) return false;  // a later fragment carries no TCP header
    const std::size_t tcp = ip + ipHeader;
    if (!r.hasAt(tcp, 20) || totalLength < ipHeader + 20) return false;
    const std::size_t tcpHeader = static_cast<std::size_t>(r.u8At(tcp + 12) >> 4) * 4;
    if (tcpHeader < 20 || totalLength < ipHeader + tcpHeader || !r.hasAt(tcp, tcpHeader)) return false;

    std::memcpy(out.sourceAddress, frame.data() + ip + 12, 4);
    std::memcpy(out.destinationAddress, frame.data() + ip + 16, 4);
    out.sourcePort = r.be16At(tcp);
    out.destinationPort = r.be16At(tcp + 2);
    out.sequence = r.be32At(tcp + 4);
    out.acknowledgement = r.be32At(tcp + 8);
    out.flags = r.u8At(tcp + 13);

    // A frame cut short by the snapshot length keeps what was captured.
    const std::size_t packetEnd = ip + totalLength < frame.size() ? ip + totalLength : frame.size();
    const std::size_t payloadStart = tcp + tcpHeader;
    out.packet = frame.subspan(0, packetEnd);
    out.payload = payloadStart <= packetEnd ? frame.subspan(payloadStart, packetEnd - payloadStart)
                                            : std::span<const std::uint8_t>{};
    return true;
}

}  // namespace kestrel
