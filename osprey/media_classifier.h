#pragma once
// Which HTTP exchanges become recordings, and which of them the library
// records itself.
//
// The media decision looks at the extension of the requested path and the
// MIME type of the response: a listed media extension always wins; an
// unlisted one lets a listed media type decide unless it names a web page,
// script or image. The site list decides, from the request's Host and
// Referer, whether the body is stored or the download is only announced.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/fixed_text.h"

namespace kestrel::osprey {

// A fixed table of text slots, compared as the lookups below describe.
class TextTable {
public:
    constexpr explicit TextTable(const std::string_view* slots, std::size_t count) : slots_(slots), count_(count) {}
    // The probe is trimmed at both ends only to test for emptiness (an empty
    // probe answers emptyAnswer); otherwise each slot, trimmed, is compared
    // byte for byte with the probe as passed: " video/x-flv" matches nothing.
    bool contains(std::string_view probe, bool emptyAnswer) const;
    std::size_t size() const { return count_; }
    std::string_view operator[](std::size_t i) const { return slots_[i]; }

private:
    const std::string_view* slots_;
    std::size_t count_;
};

const TextTable& mediaTypeTable();       // 49 MIME types
const TextTable& mediaExtensionTable();  // 84 extensions, with their point, lower case
const TextTable& pageExtensionTable();   // 53 extensions of pages, scripts, images, modules

bool isMediaType(std::string_view mime);
bool isMediaExtension(std::string_view extension);  // an empty probe answers true
bool isPageExtension(std::string_view extension);

// The extension of a URL or path: trailing blanks removed, cut at the first
// "?", the part after the last "/", from its last "." on (point included),
// in lower case; empty when there is no point.
std::string lowerUrlExtension(std::string_view url);

// The media decision, without the rule of the full item table (the caller
// adds it).
bool isMediaDownload(std::string_view urlOrPath, std::string_view mime);

// The site list: 200 slots of up to 99 characters, loaded from a text file
// with one entry per line. A line longer than 99 characters leaves its slot
// empty: cut short, it would match sites it never named.
class SiteList {
public:
    static constexpr std::size_t kSlots = 200;
    static constexpr std::size_t kSlotSize = 100;

    // False (list unchanged) when the file's status cannot be read or it
    // cannot be opened. Otherwise line k fills slot k (line ends, LF or
    // CR LF, removed) up to 200 lines, and every slot after the last line
    // read is cleared.
    bool load(const std::string& path);
    // True when a non-empty entry occurs in host or referer, compared
    // without regard to ASCII case.
    bool matches(std::string_view host, std::string_view referer) const;
    std::string_view slot(std::size_t i) const { return slots_[i].view(); }
    void clear();

private:
    std::array<FixedText<kSlotSize>, kSlots> slots_{};
};

}  // namespace kestrel::osprey
