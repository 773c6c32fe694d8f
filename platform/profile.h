#pragma once
// INI files with the semantics of the Windows profile functions that the
// settings rely on: sections and keys found without regard to case, the first
// of duplicate keys wins, values trimmed of blanks and of one pair of
// matching quotes, strings cut to 511 characters, integers read from a leading
// decimal number (0 when there is none, the default when the key is missing
// or empty), files written with CR LF and replaced atomically.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::platform {

inline constexpr std::size_t kProfileValueMax = 511;

class ProfileFile {
public:
    // Reads path; a missing or unreadable file reads as empty.
    static ProfileFile load(const std::string& path);
    static ProfileFile parse(std::string_view text);

    std::optional<std::string> find(std::string_view section, std::string_view key) const;
    std::string getString(std::string_view section, std::string_view key, std::string_view def) const;
    std::int32_t getInt(std::string_view section, std::string_view key, std::int32_t def) const;

    // Sets key=value, replacing the first existing key or appending it to the
    // section (created at the end of the file when missing). A value with
    // blanks at either end, or inside a pair of matching quotes, is written
    // inside one more pair of quotes, so that it reads back unchanged. A
    // line break cannot be stored: callers must not set one.
    void setString(std::string_view section, std::string_view key, std::string_view value);

    std::string text() const;  // the file's content with CR LF line ends
    // Writes the file through a temporary file and a rename; false on failure.
    bool save(const std::string& path) const;

private:
    struct Line {
        std::string raw;      // the line as read, without its line end
        std::string section;  // for a section header: its name
        std::string key;      // for key lines: the trimmed key
        std::string value;    // for key lines: the trimmed value
        enum class Kind { Other, Section, Key } kind = Kind::Other;
    };
    // Index range [first, last) of the lines of section, or nullopt.
    std::optional<std::pair<std::size_t, std::size_t>> sectionRange(std::string_view section) const;

    std::vector<Line> lines_;
};

// Parses like the profile functions do: optional blanks and sign, then
// decimal digits up to the first other character; 0 when there are none.
// Out-of-range values wrap to 32 bits.
std::int32_t parseProfileInt(std::string_view text);

// Writes bytes to path through a temporary file in the same folder and a
// rename, so readers see either the old file or the new one.
bool writeFileAtomically(const std::string& path, std::string_view bytes);

// Reads a whole file; nullopt when it cannot be opened.
std::optional<std::string> readWholeFile(const std::string& path);

}  // namespace kestrel::platform
