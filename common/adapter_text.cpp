#include "common/adapter_text.h"

#include <atomic>
#include <cstdio>

namespace kestrel {

namespace {
constexpr std::size_t kWrapFront = 17;  // "Network adapter '"
constexpr std::size_t kWrapBack = 15;   // "' on local host"
constexpr int kRingSize = 12;
constexpr std::size_t kDottedSize = 16;
}  // namespace

std::string shortenAdapterDescription(std::string_view description) {
    if (description.size() <= kWrapFront + kWrapBack) return {};
    std::string_view s = description.substr(kWrapFront, description.size() - kWrapFront - kWrapBack);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return std::string(s);
}

const char* dottedAddress(const std::uint8_t (&bytes)[4]) {
    static char ring[kRingSize][kDottedSize];
    static std::atomic<unsigned> next{0};
    char* out = ring[next.fetch_add(1, std::memory_order_relaxed) % kRingSize];
    std::snprintf(out, kDottedSize, "%d.%d.%d.%d", bytes[0], bytes[1], bytes[2], bytes[3]);
    return out;
}

const char* dottedAddress(const std::array<std::uint8_t, 4>& bytes) {
    const std::uint8_t raw[4] = {bytes[0], bytes[1], bytes[2], bytes[3]};
    return dottedAddress(raw);
}

std::uint32_t netmaskValue(const std::uint8_t (&bytes)[4]) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace kestrel
