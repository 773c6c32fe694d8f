#include "kestrel/shell/playlist_file.h"

#include <string_view>

#include "platform/byte_reader.h"
#include "platform/profile.h"

namespace kestrel::shell {
namespace {

void putLe16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

void patchLe32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF);
}

// One record after its record-length field: nullopt when its fields do not
// fill it exactly.
std::optional<PlaylistEntry> readRecord(ByteReader record) {
    PlaylistEntry entry;
    entry.unplayable = record.u8();
    entry.size = record.le32();
    entry.added = record.le32();
    const std::size_t pathLength = record.le16();
    if (!record.ok() || record.remaining() != pathLength) return std::nullopt;
    const std::span<const std::uint8_t> path = record.bytes(pathLength);
    entry.path.assign(path.begin(), path.end());
    if (entry.size <= kLargestUnplayableSize) entry.unplayable = 1;
    entry.icon = restingIcon(entry);
    return entry;
}

}  // namespace

int restingIcon(const PlaylistEntry& entry) {
    return entry.unplayable != 0 ? kPlaylistIconDamaged : kPlaylistIconPlayable;
}

std::uint32_t clampPlaylistSize(std::uint64_t bytes) {
    return bytes > kLargestPlaylistSize ? kLargestPlaylistSize : static_cast<std::uint32_t>(bytes);
}

std::optional<PlaylistEntry> makePlaylistEntry(std::string path, std::uint64_t bytes, std::uint32_t added,
                                               bool unplayable) {
    if (path.size() > kMaxPlaylistPathBytes) return std::nullopt;
    PlaylistEntry entry;
    entry.path = std::move(path);
    entry.size = clampPlaylistSize(bytes);
    entry.added = added;
    entry.unplayable = unplayable || entry.size <= kLargestUnplayableSize ? 1 : 0;
    entry.icon = restingIcon(entry);
    return entry;
}

std::vector<PlaylistEntry> parsePlaylist(std::span<const std::uint8_t> bytes, std::size_t* consumed) {
    std::vector<PlaylistEntry> entries;
    ByteReader in(bytes);
    // The total is not trusted: the records themselves say where they end.
    in.le32();
    std::size_t whole = in.ok() ? in.position() : 0;
    while (in.ok() && in.has(2)) {
        const std::size_t recordLength = in.le16();
        const ByteReader record = in.sub(recordLength);
        if (!in.ok()) break;  // cut short
        std::optional<PlaylistEntry> entry = readRecord(record);
        if (!entry) break;  // its lengths disagree: nothing after it can be trusted
        entries.push_back(std::move(*entry));
        whole = in.position();
    }
    if (consumed) *consumed = whole;
    return entries;
}

std::vector<std::uint8_t> serializePlaylist(std::span<const PlaylistEntry> entries) {
    std::vector<std::uint8_t> out;
    // The total is known only at the end: 4 for now, patched after the
    // last record.
    putLe32(out, 4);
    for (const PlaylistEntry& entry : entries) {
        if (entry.path.size() > kMaxPlaylistPathBytes) continue;
        putLe16(out, entry.path.size() + kPlaylistRecordFixedBytes);
        out.push_back(entry.unplayable);
        putLe32(out, entry.size);
        putLe32(out, entry.added);
        putLe16(out, entry.path.size());
        out.insert(out.end(), entry.path.begin(), entry.path.end());
    }
    // Readers ignore the total; a list too long for it says as much as it can.
    patchLe32(out, 0, clampPlaylistSize(out.size()));
    return out;
}

std::vector<PlaylistEntry> readPlaylistFile(const std::string& path) {
    const std::optional<std::string> bytes = platform::readWholeFile(path);
    if (!bytes) return {};
    return parsePlaylist(asBytes(*bytes));
}

bool writePlaylistFile(const std::string& path, std::span<const PlaylistEntry> entries) {
    if (path.empty()) return false;
    const std::vector<std::uint8_t> bytes = serializePlaylist(entries);
    return platform::writeFileAtomically(
        path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace kestrel::shell
