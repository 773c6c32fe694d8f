#pragma once
// The last steps of a finished recording: the stray-prefix correction of
// FLV outputs and the unique final name.

#include <string>

namespace kestrel {

// When the file is at least 9 bytes long and "FLV" stands at offset 6, its
// first 6 bytes are cut off (through a copy named path + ".1.flv" that then
// replaces it). Returns false only when a cut was needed and failed; the
// file is then left as it was.
bool cutStrayFlvPrefix(const std::string& path);

// The first free name in folder for title: the title itself, else
// base(k)ext for k = 1, 2, ... where ext is the part from the title's last
// '.' on (empty when it has none).
std::string uniqueName(const std::string& folder, const std::string& title);

}  // namespace kestrel
