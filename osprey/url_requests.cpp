#include "osprey/url_requests.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "osprey/http_exchange.h"
#include "platform/byte_reader.h"

namespace kestrel::osprey {

namespace {
constexpr std::size_t kMmsNameOffset = 56;
constexpr std::size_t kMaxMmsName = 946;
constexpr std::uint16_t kMmsPort = 1755;
}  // namespace

bool isDescribeRequest(std::span<const std::uint8_t> payload) {
    return ByteReader(payload).startsWith("DESCRIBE ");
}

std::string describeUrl(std::span<const std::uint8_t> payload) {
    std::string_view line = asText(payload);
    line = line.substr(0, line.find("\r\n"));
    line = line.substr(0, kMaxLineLength);
    // A line of 13 to 18 characters has nothing between the two parts.
    if (line.size() <= 18) return {};
    std::string url(line.substr(9, line.size() - 18));
    if (url.size() > kMaxUrl) url.resize(kMaxUrl);
    return url;
}

bool isMmsOpenFile(std::span<const std::uint8_t> payload) {
    const ByteReader r(payload);
    return payload.size() > 38 && r.u8At(12) == 'M' && r.u8At(13) == 'M' && r.u8At(14) == 'S' && r.u8At(36) == 5 &&
           r.u8At(38) == 3;
}

std::string mmsOpenFileUrl(std::span<const std::uint8_t> payload, const std::uint8_t (&server)[4],
                           std::uint16_t serverPort) {
    const ByteReader r(payload);
    std::string name;
    for (std::size_t at = kMmsNameOffset; name.size() < kMaxMmsName && r.hasAt(at, 1); at += 2) {
        const std::uint8_t c = r.u8At(at);
        if (c == 0) break;
        name += static_cast<char>(c);
    }
    char host[40];
    if (serverPort == kMmsPort) {
        std::snprintf(host, sizeof host, "mms://%d.%d.%d.%d/", server[0], server[1], server[2], server[3]);
    } else {
        std::snprintf(host, sizeof host, "mms://%d.%d.%d.%d:%d/", server[0], server[1], server[2], server[3],
                      serverPort);
    }
    std::string url = host + name;
    if (url.size() > kMaxUrl) url.resize(kMaxUrl);
    return url;
}

}  // namespace kestrel::osprey
