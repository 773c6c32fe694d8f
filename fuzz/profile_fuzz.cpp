// libFuzzer target: the INI profile reader and writer (platform/profile.h),
// with a write and re-read round trip.
//
// Input: an edit count byte (at most 8 edits are used), then per edit three
// fields, each a length byte and that many bytes: section, key, value; the
// rest is the file's text. At most 16 KiB.
//
// Checked besides memory safety:
// - the text a file is written as reads back as the same text, and every
//   look-up gives the same answer before and after;
// - after setString(section, key, value), find() gives the value, and does
//   so again once the file is saved and loaded, for every name and value the
//   format can hold on one line: a section without ']', a key that neither
//   holds '=' nor starts a section or a comment, names without blanks at
//   their ends, and no line break anywhere.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/byte_reader.h"
#include "platform/profile.h"

namespace {

constexpr const char* kTarget = "profile_fuzz";
constexpr std::size_t kMaxInput = 16 * 1024;
constexpr std::size_t kMaxEdits = 8;

using kestrel::fuzz::broken;
using kestrel::platform::ProfileFile;

struct Edit {
    std::string section;
    std::string key;
    std::string value;
};

std::string field(kestrel::ByteReader& in) {
    const std::size_t n = in.u8();
    const auto bytes = in.bytes(std::min(n, in.remaining()));
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool trimmed(std::string_view s) {
    return s.empty() || (!isBlank(s.front()) && !isBlank(s.back()));
}

bool oneLine(std::string_view s) {
    return s.find('\n') == std::string_view::npos;
}

bool storable(const Edit& e) {
    return oneLine(e.section) && oneLine(e.key) && oneLine(e.value) && trimmed(e.section) && trimmed(e.key) &&
           e.section.find(']') == std::string::npos && e.key.find('=') == std::string::npos &&
           (e.key.empty() || (e.key.front() != '[' && e.key.front() != ';'));
}

std::string savedAndLoaded(const ProfileFile& file, ProfileFile& loaded) {
    const std::string path = kestrel::fuzz::scratchFolder() + "setting.ini";
    if (!file.save(path)) broken(kTarget, "the profile could not be saved");
    loaded = ProfileFile::load(path);
    std::remove(path.c_str());
    return loaded.text();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    std::vector<Edit> edits(std::min<std::size_t>(in.u8(), kMaxEdits));
    for (auto& e : edits) {
        e.section = field(in);
        e.key = field(in);
        e.value = field(in);
    }
    const auto rest = in.rest();
    const std::string_view text(reinterpret_cast<const char*>(rest.data()), rest.size());

    ProfileFile file = ProfileFile::parse(text);
    const std::string written = file.text();
    const ProfileFile reread = ProfileFile::parse(written);
    if (reread.text() != written) broken(kTarget, "a written profile reads back as another text");
    for (const auto& e : edits) {
        if (file.find(e.section, e.key) != reread.find(e.section, e.key))
            broken(kTarget, "a look-up changed when the profile was written and read back");
        // Not checked, only run: the integer and length rules on any value.
        (void)file.getString(e.section, e.key, e.value);
        (void)file.getInt(e.section, e.key, 7);
    }

    bool allStorable = true;
    for (const auto& e : edits) {
        file.setString(e.section, e.key, e.value);
        if (!storable(e)) {
            allStorable = false;
            continue;
        }
        if (file.find(e.section, e.key) != std::optional<std::string>(e.value))
            broken(kTarget, "find() does not give the value setString() just set");
    }
    ProfileFile loaded;
    const std::string saved = savedAndLoaded(file, loaded);
    if (allStorable) {
        if (saved != file.text()) broken(kTarget, "a saved profile loads as another text");
        for (const auto& e : edits)
            if (loaded.find(e.section, e.key) != file.find(e.section, e.key))
                broken(kTarget, "a value set before saving reads back otherwise after loading");
    }
    return 0;
}
