// libFuzzer target: playlist.dat through its reader
// (kestrel/shell/playlist_file.h), without Qt.
//
// Input: the file's bytes, at most 64 KiB.
//
// Checked besides memory safety:
// - the reader takes no more bytes than there are, and exactly the whole,
//   consistent records from the start: walking the input here record by
//   record gives the same number of entries, each with a path as long as
//   its record declares and equal to the bytes there, and with the size,
//   time and flag stored (the flag set for sizes up to 13 bytes);
// - each entry's icon follows its flag;
// - what was read, written again, is taken whole by the reader and reads
//   back equal; written once more, it is the same bytes.

#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kestrel/shell/playlist_file.h"

namespace {

constexpr const char* kTarget = "playlist_fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;

using namespace kestrel::shell;
using kestrel::fuzz::broken;

std::uint32_t le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
    return le16(b, at) | le16(b, at + 2) << 16;
}

// Walks the records as laid out and compares each with what the reader
// made of it. Returns where the whole records end.
std::size_t checkAgainstInput(std::span<const std::uint8_t> in, const std::vector<PlaylistEntry>& entries) {
    if (in.size() < 4) {
        if (!entries.empty()) broken(kTarget, "entries from a file shorter than its total field");
        return 0;
    }
    std::size_t at = 4;
    std::size_t count = 0;
    while (in.size() - at >= 2) {
        const std::size_t recordLength = le16(in, at);
        if (recordLength < 11 || in.size() - at - 2 < recordLength) break;
        const std::size_t pathLength = le16(in, at + 11);
        if (pathLength + 11 != recordLength) break;
        if (count >= entries.size()) broken(kTarget, "a whole record was not read");
        const PlaylistEntry& e = entries[count];
        if (e.path.size() != pathLength) broken(kTarget, "a path is not as long as its record declares");
        for (std::size_t i = 0; i < pathLength; ++i)
            if (static_cast<std::uint8_t>(e.path[i]) != in[at + 13 + i]) broken(kTarget, "a path differs from its bytes");
        const std::uint32_t size = le32(in, at + 3);
        if (e.size != size || e.added != le32(in, at + 7)) broken(kTarget, "a size or time differs from its bytes");
        const std::uint8_t flag = in[at + 2];
        const std::uint8_t wanted = size <= kLargestUnplayableSize ? 1 : flag;
        if (e.unplayable != wanted) broken(kTarget, "the unplayable flag is not as stored or as the size demands");
        if (e.icon != (wanted ? kPlaylistIconDamaged : kPlaylistIconPlayable))
            broken(kTarget, "an icon does not follow its flag");
        at += 2 + recordLength;
        ++count;
    }
    if (count != entries.size()) broken(kTarget, "entries beyond the whole records were read");
    return at;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    const std::span<const std::uint8_t> in(data, size);

    std::size_t consumed = 0;
    const std::vector<PlaylistEntry> entries = parsePlaylist(in, &consumed);
    if (consumed > size) broken(kTarget, "the reader took more bytes than there are");
    if (consumed != checkAgainstInput(in, entries)) broken(kTarget, "the reader stopped elsewhere than the records end");

    const std::vector<std::uint8_t> written = serializePlaylist(entries);
    if (written.size() < 4 || le32(written, 0) != written.size()) broken(kTarget, "the written total is not the length");
    std::size_t rereadConsumed = 0;
    const std::vector<PlaylistEntry> reread = parsePlaylist(written, &rereadConsumed);
    if (rereadConsumed != written.size()) broken(kTarget, "a written list is not read whole");
    if (reread != entries) broken(kTarget, "a written list reads back otherwise");
    if (serializePlaylist(reread) != written) broken(kTarget, "writing what was read back changes the bytes");
    return 0;
}
