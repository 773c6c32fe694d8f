#include "test_pcap.h"

#include <pcap/pcap.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kestrel::test {

bool PcapWriter::write(const std::string& path) const {
    // Written with libpcap's own dump functions, as any capture tool would.
    pcap_t* dead = pcap_open_dead(static_cast<int>(linkType), 65535);
    if (!dead) return false;
    pcap_dumper_t* dumper = pcap_dump_open(dead, path.c_str());
    if (!dumper) {
        pcap_close(dead);
        return false;
    }
    long t = 1;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto& f = frames[i];
        pcap_pkthdr h{};
        h.ts.tv_sec = t++;
        h.caplen = static_cast<bpf_u_int32>(f.size());
        h.len = i < wireLengths.size() && wireLengths[i] ? wireLengths[i] : static_cast<bpf_u_int32>(f.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &h, f.data());
    }
    const bool ok = pcap_dump_flush(dumper) == 0;
    pcap_dump_close(dumper);
    pcap_close(dead);
    return ok;
}

std::vector<std::uint8_t> tcpFrame(std::size_t payloadSize) {
    std::vector<std::uint8_t> f(54 + payloadSize, 0);
    f[12] = 0x08;  // IPv4
    f[14] = 0x45;
    const auto total = static_cast<std::uint16_t>(40 + payloadSize);
    f[16] = static_cast<std::uint8_t>(total >> 8);
    f[17] = static_cast<std::uint8_t>(total);
    f[22] = 64;
    f[23] = 6;  // TCP
    f[26] = 10, f[29] = 1, f[30] = 10, f[33] = 2;
    f[34] = 0x00, f[35] = 80, f[36] = 0xC0, f[37] = 0x00;
    f[46] = 0x50;  // data offset 5
    f[47] = 0x18;
    return f;
}

}  // namespace kestrel::test
