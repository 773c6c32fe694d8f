#pragma once
// Text forms of adapters and addresses, shared by the adapter list dialog
// and the recording library's listings.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel {

// Drops the capture driver's wrapping around an adapter name: the first 17
// characters ("Network adapter '") and the last 15 ("' on local host"),
// then trailing white space. Shorter descriptions come out empty.
std::string shortenAdapterDescription(std::string_view description);

// "%d.%d.%d.%d" of the four bytes as they stand in memory. The text lives in
// a ring of 12 buffers of 16 bytes, so up to 12 results stay valid at once.
const char* dottedAddress(const std::uint8_t (&bytes)[4]);
const char* dottedAddress(const std::array<std::uint8_t, 4>& bytes);

// The four bytes of a netmask read as the 32-bit value they form in memory
// (network order read as little-endian): 255.255.255.0 gives 16777215.
std::uint32_t netmaskValue(const std::uint8_t (&bytes)[4]);

}  // namespace kestrel
