#include "merlin/stream_name.h"

#include <array>

#include "platform/byte_reader.h"

namespace kestrel::merlin {

namespace {

constexpr std::string_view kDescription = "description";
constexpr std::string_view kStartedPlaying = "Started playing ";

std::uint8_t lower(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
}

// True when bytes at pos hold the prefix bytes and then text, the text
// compared without regard to case when foldCase is set.
bool matchesAt(std::span<const std::uint8_t> bytes, std::size_t pos, std::span<const std::uint8_t> prefix,
               std::string_view text, bool foldCase) {
    if (pos > bytes.size() || bytes.size() - pos < prefix.size() + text.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (bytes[pos + i] != prefix[i]) return false;
    pos += prefix.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint8_t have = bytes[pos + i];
        std::uint8_t want = static_cast<std::uint8_t>(text[i]);
        if (foldCase ? lower(have) != lower(want) : have != want) return false;
    }
    return true;
}

std::optional<std::size_t> searchMarker(std::span<const std::uint8_t> bytes, std::span<const std::uint8_t> prefix,
                                       std::string_view text, bool foldCase) {
    const std::size_t need = prefix.size() + text.size();
    for (std::size_t pos = 0; pos + need <= bytes.size(); ++pos)
        if (matchesAt(bytes, pos, prefix, text, foldCase)) return pos;
    return std::nullopt;
}

}  // namespace

bool holdsPlayStart(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint8_t kPrefix[] = {0x02, 0x00, 0x14};
    return searchMarker(bytes, kPrefix, "netstream.play.start", true).has_value();
}

std::optional<std::size_t> findOnMetaData(std::span<const std::uint8_t> bytes) {
    static constexpr std::uint8_t kPrefix[] = {0x00, 0x0A};
    return searchMarker(bytes, kPrefix, "onMetaData", false);
}

void streamNameFromDescription(std::span<const std::uint8_t> value, StreamName& name) {
    name.clear();
    // "Started playing " + path + one final character (normally a full stop).
    if (value.size() <= kStartedPlaying.size() + 1) return;
    if (!matchesAt(value, 0, {}, kStartedPlaying, false)) return;
    auto path = value.subspan(kStartedPlaying.size(), value.size() - kStartedPlaying.size() - 1);
    std::size_t start = 0;
    for (std::size_t i = 0; i < path.size(); ++i)
        if (path[i] == '/' || path[i] == '\\') start = i + 1;
    auto base = path.subspan(start);
    for (std::uint8_t c : base)
        if (c == 0) return;
    std::string_view text(reinterpret_cast<const char*>(base.data()), base.size());
    if (text.empty() || text == "." || text == "..") return;
    name.assign(text);
    // Control characters make file names that hosts cannot show or type.
    std::array<char, kMaxStreamName + 1> clean{};
    const auto kept = name.view();
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const auto c = static_cast<unsigned char>(kept[i]);
        clean[i] = (c < 0x20 || c == 0x7F) ? '_' : kept[i];
    }
    name.assign(std::string_view(clean.data(), kept.size()));
}

DescriptionScan scanDescription(std::span<const std::uint8_t> bytes, StreamName& name) {
    static constexpr std::uint8_t kPrefix[] = {0x00, 0x0B};
    name.clear();
    ByteReader in(bytes);
    // Property name (13 bytes), AMF0 type byte, 16-bit string length, string.
    constexpr std::size_t kValueOffset = 16;
    for (std::size_t pos = 0; pos + 14 <= bytes.size(); ++pos) {
        if (!matchesAt(bytes, pos, kPrefix, kDescription, true)) continue;
        if (!in.hasAt(pos + 14, 2)) continue;
        const std::size_t length = in.be16At(pos + 14);
        if (!in.hasAt(pos + kValueOffset, length)) continue;
        streamNameFromDescription(bytes.subspan(pos + kValueOffset, length), name);
        return DescriptionScan::Complete;
    }
    return DescriptionScan::Incomplete;
}

}  // namespace kestrel::merlin
