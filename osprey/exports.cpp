// The C interface of libosprey. Nothing may throw across it.

#include <array>
#include <string>
#include <vector>

#include "osprey/listing.h"
#include "osprey/osprey.h"
#include "platform/capture.h"

extern "C" OSPREY_API const char* GetAdapterList(void* /*window*/) {
    thread_local std::string text;
    try {
        std::vector<kestrel::platform::AdapterInfo> adapters;
        std::string error;
        text = kestrel::platform::listAdapters(adapters, error) ? kestrel::osprey::formatAdapterList(adapters)
                                                                : std::string();
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}

extern "C" OSPREY_API const char* GetUsableIPInfo(void* /*window*/) {
    thread_local std::string text;
    try {
        std::vector<std::array<std::uint8_t, 4>> addresses;
        text = kestrel::platform::listUsableAddresses(addresses) ? kestrel::osprey::formatUsableAddresses(addresses)
                                                                 : std::string();
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}
