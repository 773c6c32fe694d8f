// libFuzzer target: the markup layout (kestrel/shell/markup_layout.h) on a
// fixed-pitch surface, measuring and drawing.
//
// Input: a format byte, then the text. Format byte bits: 0 word break,
// 1 single line, 2 vertical centre, 3 bottom, 4 expand tabs, 5 centre,
// 6 right, 7 draw without a rectangle (from a current position). At most
// 16 KiB.
//
// Checked besides memory safety:
// - measuring gives a rectangle with its left and top kept, a widest line
//   that is never negative and a height of at least one line, bounded by
//   the text's length, equal to what is returned;
// - drawing returns the measured height and draws every piece inside the
//   measured rectangle, with the surface's font and colour restored and
//   every font it was given back;
// - the whole input measured without flags from its first byte, given with
//   length -1, stops at its first NUL;
// - a line break put before the text adds exactly one line (a paragraph
//   that then no longer starts the text adds its one and a half lines),
//   and nothing in single-line mode.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kestrel/shell/markup_layout.h"

namespace {

constexpr const char* kTarget = "markup_fuzz";
constexpr std::size_t kMaxInput = 16 * 1024;
constexpr int kLine = 10;
constexpr int kSmallLine = 7;
constexpr int kWidth = 140;

using namespace kestrel::shell;
using kestrel::fuzz::broken;

// Every character 7 px wide and lines 10 px high; 5 and 7 px in the small
// font of super- and subscripts.
class FixedPitchSurface final : public MarkupSurface {
public:
    struct Piece {
        int x;
        int y;
        int width;
        int height;
    };

    FixedPitchSurface() { fonts_.push_back({10, true}); }

    Font currentFont() override { return selected_; }
    Font createFont(Font, const MarkupFontRequest& request) override {
        fonts_.push_back({request.heightTenths, true});
        ++live;
        return static_cast<Font>(fonts_.size() - 1);
    }
    void releaseFont(Font font) override {
        auto& f = entry(font);
        if (font == 0 || !f.live) broken(kTarget, "a font was released twice or was not the layout's own");
        f.live = false;
        --live;
    }
    void selectFont(Font font) override {
        if (!entry(font).live) broken(kTarget, "a released font was selected");
        selected_ = font;
    }
    int textWidth(std::string_view text) override {
        int chars = 0;
        for (char c : text)
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;
        return chars * (small() ? 5 : 7);
    }
    int lineHeight() override { return small() ? kSmallLine : kLine; }
    MarkupRgb textColor() override { return color; }
    void setTextColor(MarkupRgb c) override { color = c; }
    void drawText(int x, int y, std::string_view text) override {
        pieces.push_back({x, y, textWidth(text), lineHeight()});
    }
    MarkupPoint currentPosition() override { return {500, 7}; }
    int deviceWidth() override { return 500 + kWidth; }
    int deviceHeight() override { return 480; }

    std::vector<Piece> pieces;
    MarkupRgb color = 0x123456;
    int live = 0;

private:
    struct FontEntry {
        int tenths;
        bool live;
    };
    FontEntry& entry(Font font) {
        if (font < 0 || static_cast<std::size_t>(font) >= fonts_.size()) broken(kTarget, "an unknown font handle");
        return fonts_[static_cast<std::size_t>(font)];
    }
    bool small() { return entry(selected_).tenths != 10; }

    std::vector<FontEntry> fonts_;
    Font selected_ = 0;
};

std::uint32_t formatFrom(std::uint8_t bits) {
    static constexpr std::uint32_t flags[7] = {kMarkupWordBreak, kMarkupSingleLine, kMarkupVCenter, kMarkupBottom,
                                               kMarkupExpandTabs, kMarkupCenter, kMarkupRight};
    std::uint32_t format = 0;
    for (int i = 0; i < 7; ++i)
        if (bits & (1u << i)) format |= flags[i];
    return format;
}

void checkRestored(const FixedPitchSurface& s) {
    if (s.color != 0x123456) broken(kTarget, "the surface's colour was not restored");
    if (s.live != 0) broken(kTarget, "a font made for the layout was not released");
}

struct Measured {
    MarkupRect rect;
    int height;
};

Measured measure(std::string_view text, std::uint32_t format) {
    FixedPitchSurface s;
    MarkupRect rect{3, 5, 3 + kWidth, 5};
    const int height = drawMarkup(s, text, &rect, format | kMarkupCalcRect);
    if (!s.pieces.empty()) broken(kTarget, "measuring drew");
    checkRestored(s);
    if (rect.left != 3 || rect.top != 5) broken(kTarget, "measuring moved the rectangle's left or top");
    if (rect.right < rect.left) broken(kTarget, "the widest line is negative");
    if (height != rect.bottom - rect.top) broken(kTarget, "the height returned is not the measured height");
    // Each token moves down by at most one and a half lines.
    const long long most = kLine + static_cast<long long>(text.size()) * (kLine * 3 / 2);
    if (height < kLine || height > most) broken(kTarget, "the height is below one line or beyond the text's reach");
    if ((format & kMarkupSingleLine) && height != kLine) broken(kTarget, "a single line is taller than a line");
    return {rect, height};
}

void drawAndCompare(std::string_view text, std::uint32_t format, bool withRect, const Measured& m) {
    FixedPitchSurface s;
    MarkupRect rect{3, 5, 3 + kWidth, 1005};
    const int height = drawMarkup(s, text, withRect ? &rect : nullptr, format);
    checkRestored(s);
    if (height != m.height) broken(kTarget, "drawing and measuring give different heights");
    const int left = withRect ? 3 : 500;
    const int top = withRect ? 5 : 7;
    const int bottom = withRect ? 1005 : 480;
    int offset = 0;
    if (format & kMarkupSingleLine) {
        if (format & kMarkupVCenter)
            offset = (bottom - top - kLine) / 2;
        else if (format & kMarkupBottom)
            offset = bottom - top - kLine;
    }
    const int widest = m.rect.right - m.rect.left;
    for (const auto& p : s.pieces) {
        if (p.x < left || p.x + p.width > left + widest) broken(kTarget, "a piece was drawn beside the measured width");
        if (p.y < top + offset || p.y + p.height > top + offset + height)
            broken(kTarget, "a piece was drawn above or below the measured height");
    }
}

bool startsWithParagraph(std::string_view text) {
    std::size_t pos = 0;
    MarkupToken token;
    return nextMarkupToken(text, pos, token) && token.tag == MarkupTag::P && !token.closing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    if (size == 0) return 0;
    const std::string_view whole(reinterpret_cast<const char*>(data), size);
    const std::uint8_t bits = data[0];
    const std::uint32_t format = formatFrom(bits);
    const std::string_view text = whole.substr(1);

    const Measured m = measure(text, format);
    drawAndCompare(text, format, (bits & 0x80) == 0, m);

    // The whole input as a C string: the layout stops at the first NUL.
    const std::string copy(whole);
    FixedPitchSurface s;
    MarkupRect asCString{0, 0, kWidth, 0};
    const int cHeight = drawMarkup(s, copy.c_str(), -1, &asCString, kMarkupWordBreak | kMarkupCalcRect);
    const Measured upToNul = measure(whole.substr(0, std::strlen(copy.c_str())), kMarkupWordBreak);
    if (cHeight != upToNul.height || asCString.right != upToNul.rect.right - upToNul.rect.left)
        broken(kTarget, "length -1 does not stop at the first NUL");

    // A break before the text. Blanks after a break are skipped, so it is
    // compared with the text without its leading blanks.
    const std::size_t firstNonBlank = text.find_first_not_of(" \t\n\r\v\f");
    const std::string_view stripped = text.substr(std::min(firstNonBlank, text.size()));
    const Measured plain = measure(stripped, format);
    const std::string withBreak = "<br>" + std::string(stripped);
    const Measured afterBreak = measure(withBreak, format);
    int added = kLine;
    if (format & kMarkupSingleLine)
        added = 0;
    else if (startsWithParagraph(stripped))
        added = kLine + kLine * 3 / 2;
    if (afterBreak.height != plain.height + added) broken(kTarget, "a line break before the text does not add one line");
    if (afterBreak.rect.right != plain.rect.right) broken(kTarget, "a line break before the text changed the widest line");
    return 0;
}
