#include "osprey/listing.h"

#include "common/adapter_text.h"

namespace kestrel::osprey {

std::string formatAdapterList(const std::vector<platform::AdapterInfo>& adapters) {
    std::string out;
    // Kept across adapters on purpose: an adapter without an IPv4 address
    // repeats the mask of the one before it.
    std::uint32_t netmask = 16777215;
    for (const auto& a : adapters) {
        std::string address = "N/A";
        for (const auto& ip : a.ipv4) {
            address = dottedAddress(ip.address);
            netmask = netmaskValue(ip.netmask);
        }
        out += a.name;
        out += '|';
        out += shortenAdapterDescription(a.description);
        out += '|';
        out += std::to_string(netmask);
        out += '|';
        out += address;
        out += "<|>";
    }
    return out;
}

std::string formatUsableAddresses(const std::vector<std::array<std::uint8_t, 4>>& addresses) {
    std::string out;
    for (const auto& a : addresses) {
        out += '|';
        out += dottedAddress(a);
    }
    return out;
}

}  // namespace kestrel::osprey
