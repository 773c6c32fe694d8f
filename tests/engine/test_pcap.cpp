#include "test_pcap.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace kestrel::test {

namespace {
void le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void le16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
}  // namespace

bool PcapWriter::write(const std::string& path) const {
    std::vector<std::uint8_t> out;
    le32(out, 0xa1b2c3d4);
    le16(out, 2);
    le16(out, 4);
    le32(out, 0);
    le32(out, 0);
    le32(out, 65535);
    le32(out, linkType);
    std::uint32_t t = 1;
    for (const auto& f : frames) {
        le32(out, t++);
        le32(out, 0);
        le32(out, static_cast<std::uint32_t>(f.size()));
        le32(out, static_cast<std::uint32_t>(f.size()));
        out.insert(out.end(), f.begin(), f.end());
    }
    std::FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp) return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), fp) == out.size();
    return std::fclose(fp) == 0 && ok;
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

std::string makeTempFolder(const std::string& prefix) {
    std::string templ = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!::mkdtemp(templ.data())) return {};
    return templ + "/";
}

}  // namespace kestrel::test
