#pragma once
// The file name a recording gets from its URL.

#include <string>
#include <string_view>

namespace kestrel::osprey {

inline constexpr std::size_t kMaxLocalName = 100;

// Trailing blanks removed; the escapes %20 %5c %26 %3f %2f %3a %3d (lower
// case only, in that order) turned into " " "#" "&" "?" "/" ":" "="; cut at
// the first "?"; the part after the last "/"; only its last 100 characters;
// cut at the first ";" and then at the first "&"; each of / \ : * ? < > |
// and every control character replaced by a blank. A result that is empty,
// only blanks, "." or ".." (names that are no file of the save folder) is
// "Media".
std::string localNameOfUrl(std::string_view url);

}  // namespace kestrel::osprey
