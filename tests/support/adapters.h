#pragma once
// Adapter descriptions as libpcap would list them, for tests.

#include <string>
#include <vector>

#include "platform/capture.h"

namespace kestrel::test {

inline platform::AdapterInfo adapter(std::string name, std::string description,
                                     std::vector<platform::AdapterAddress> ips) {
    platform::AdapterInfo a;
    a.name = std::move(name);
    a.description = std::move(description);
    a.ipv4 = std::move(ips);
    return a;
}

}  // namespace kestrel::test
