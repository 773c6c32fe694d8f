#pragma once
// Test-side FLV reading and writing, kept independent of the code under
// test: a plain walk over the bytes that the tests use to build inputs and
// to take repaired copies apart.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui_port.h"

namespace kestrel::testing {

struct FlvTag {
    std::uint32_t previousTagSize = 0;  // the field in front of the tag
    std::uint8_t type = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t timestamp24 = 0;
    std::uint8_t extension = 0;
    std::uint32_t streamId = 0;
    std::size_t dataOffset = 0;  // in the file's bytes
    std::uint32_t time() const { return timestamp24 | static_cast<std::uint32_t>(extension) << 24; }
};

struct FlvFile {
    bool hasHeader = false;
    std::string header;        // the 9 header bytes
    std::vector<FlvTag> tags;  // complete tags only
    std::size_t tailOffset = 0;
    std::string tail;          // bytes after the last complete tag
};

inline std::uint32_t be(const std::string& b, std::size_t off, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | static_cast<std::uint8_t>(b[off + static_cast<std::size_t>(i)]);
    return v;
}

inline FlvFile parseFlv(const std::string& bytes) {
    FlvFile f;
    if (bytes.size() < 9 || bytes.compare(0, 3, "FLV") != 0) {
        f.tail = bytes;
        return f;
    }
    f.hasHeader = true;
    f.header = bytes.substr(0, 9);
    std::size_t off = 9;
    while (off + 15 <= bytes.size()) {
        FlvTag t;
        t.previousTagSize = be(bytes, off, 4);
        t.type = static_cast<std::uint8_t>(bytes[off + 4]);
        t.dataSize = be(bytes, off + 5, 3);
        t.timestamp24 = be(bytes, off + 8, 3);
        t.extension = static_cast<std::uint8_t>(bytes[off + 11]);
        t.streamId = be(bytes, off + 12, 3);
        t.dataOffset = off + 15;
        if (t.dataOffset + t.dataSize > bytes.size()) break;
        f.tags.push_back(t);
        off = t.dataOffset + t.dataSize;
    }
    f.tailOffset = off;
    f.tail = bytes.substr(off);
    return f;
}

inline std::string_view tagData(const std::string& bytes, const FlvTag& t) {
    return std::string_view(bytes).substr(t.dataOffset, t.dataSize);
}

inline void putBe(std::string& out, std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<char>(v >> (8 * i)));
}

// What the tests put into an input file.
struct TagSpec {
    std::uint8_t type;
    std::uint32_t dataSize;
    std::uint32_t timestamp24 = 0;
    std::uint8_t extension = 0;
    std::uint32_t streamId = 0;
    std::uint32_t previousTagSize = 0;  // written as given, right or wrong
};

// Data bytes that differ from tag to tag, so a misplaced byte shows.
inline void appendTagData(std::string& out, std::uint32_t size, std::uint32_t seed) {
    for (std::uint32_t i = 0; i < size; ++i) out.push_back(static_cast<char>((i * 131u + seed * 7u + (i >> 8)) & 0xFF));
}

inline std::string flvHeader(std::uint8_t flags = 0x05) {
    return std::string("FLV\x01", 4) + static_cast<char>(flags) + std::string("\0\0\0\x09", 4);
}

inline void appendTag(std::string& out, const TagSpec& t, std::uint32_t seed) {
    putBe(out, t.previousTagSize, 4);
    out.push_back(static_cast<char>(t.type));
    putBe(out, t.dataSize, 3);
    putBe(out, t.timestamp24, 3);
    out.push_back(static_cast<char>(t.extension));
    putBe(out, t.streamId, 3);
    appendTagData(out, t.dataSize, seed);
}

inline std::string buildFlv(const std::vector<TagSpec>& tags, bool trailingSize = true) {
    std::string out = flvHeader();
    std::uint32_t seed = 1;
    for (const auto& t : tags) appendTag(out, t, seed++);
    if (trailingSize) putBe(out, tags.empty() ? 0 : tags.back().dataSize + 11, 4);
    return out;
}

// Records every message box; answers Ok.
class RecordingUi final : public platform::UiPort {
public:
    platform::Answer messageBox(std::string_view text, platform::Buttons) override {
        messages.emplace_back(text);
        return platform::Answer::Ok;
    }
    std::vector<std::string> messages;
};

}  // namespace kestrel::testing
