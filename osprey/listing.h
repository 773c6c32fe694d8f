#pragma once
// The listing texts, built from plain data so that they can be checked
// without the machine's real adapters.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/capture.h"

namespace kestrel::osprey {

std::string formatAdapterList(const std::vector<platform::AdapterInfo>& adapters);
std::string formatUsableAddresses(const std::vector<std::array<std::uint8_t, 4>>& addresses);

}  // namespace kestrel::osprey
