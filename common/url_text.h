#pragma once
// Names taken from request URLs.

#include <string>
#include <string_view>

namespace kestrel {

// The extension of a URL: trailing blanks removed, cut at the first "?",
// the part after the last "/", then the part from its last "." on (point
// included), or empty. Case is kept; callers compare in upper case.
std::string urlExtension(std::string_view url);

// The title of a URL: a short, safe file name. Trailing blanks removed; the
// escapes %20 %26 %3f %2f %3a %3d (lower case only, in that order) decoded,
// and %5c turned into "_"; cut at the first "?"; the part after the last
// "/"; only its last 30 characters; each of / \ : * ? < > | and every
// control character replaced by a space. A result of "." or ".." (which
// would name a folder) or only blanks becomes empty.
std::string urlTitle(std::string_view url);

std::string toUpperAscii(std::string_view s);

}  // namespace kestrel
