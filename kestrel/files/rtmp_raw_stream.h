#pragma once
// Rebuilds the raw chunk stream of an RTMP item from its stored payloads,
// in stream order, without repeats and without Ethernet padding.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/capture_files.h"

namespace kestrel::files {

struct RawStreamStats {
    std::uint64_t bytesWritten = 0;
    std::uint64_t repeats = 0;
    std::uint64_t gaps = 0;
    std::uint64_t clientRecordsLeftOut = 0;
    bool writeFailed = false;
    int writeError = 0;  // errno of the failed write
    // Raw stream offsets at which bytes are missing before them.
    std::vector<std::uint64_t> gapOffsets;
};

// Writes the gap offsets beside the raw stream (rawPath + ".gaps", one per
// line) for the outside converter; removes an old list when there are none.
bool writeGapList(const std::string& rawPath, const std::vector<std::uint64_t>& offsets);

// Writes the raw stream of the ordered entries to rawPath. The first entry
// sets the expected position; from the second on a repeat is skipped and a
// partial overlap contributes only its new bytes; a gap is counted and the
// next payload follows directly. An entry whose IP length says it carried
// no payload (only Ethernet padding) is skipped; an entry of length 0 ends
// the stream. The client's connect command, stored as an item's first
// record, is left out: it is not part of the server's stream. progress
// (optional) gets each entry's bytes taken.
RawStreamStats reassembleRawStream(std::FILE* data, const std::vector<capture_files::OrderedEntry>& entries,
                                   const std::string& rawPath, std::atomic<std::int64_t>* progress = nullptr);

}  // namespace kestrel::files
