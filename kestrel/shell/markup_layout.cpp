#include "kestrel/shell/markup_layout.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

namespace kestrel::shell {

namespace {

struct TagEntry {
    std::string_view name;
    MarkupTag tag;
    bool takesAttributes;
    bool block;
};

// Tried in this order; "b" is tried before "br", but "<br>" is still a line
// break because a name must be followed by ">" to count.
constexpr TagEntry kTags[] = {
    {"b", MarkupTag::B, false, false},       {"br", MarkupTag::Br, false, true},
    {"em", MarkupTag::Em, false, false},     {"font", MarkupTag::Font, true, false},
    {"i", MarkupTag::I, false, false},       {"p", MarkupTag::P, false, true},
    {"strong", MarkupTag::Strong, false, false}, {"sub", MarkupTag::Sub, false, false},
    {"sup", MarkupTag::Sup, false, false},   {"u", MarkupTag::U, false, false},
};

// ASCII only: bytes of multi-byte UTF-8 characters are never blanks.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lowerAscii(s[i]) != lowerAscii(prefix[i])) return false;
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = lowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::size_t skipBlanks(std::string_view text, std::size_t pos) {
    while (pos < text.size() && isBlank(text[pos])) ++pos;
    return pos;
}

int clampToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, INT_MIN, INT_MAX));
}

// The fonts of one layout, indexed by style bits. Entry 0 is the font the
// surface had when the layout began; the others are made on first use. The
// starting font is selected again and the made ones released at the end.
class FontCache {
public:
    explicit FontCache(MarkupSurface& surface) : surface_(surface) {
        fonts_[0] = surface.currentFont();
        made_[0] = true;
    }
    ~FontCache() {
        surface_.selectFont(fonts_[0]);
        for (std::size_t i = 1; i < fonts_.size(); ++i)
            if (made_[i]) surface_.releaseFont(fonts_[i]);
    }
    FontCache(const FontCache&) = delete;
    FontCache& operator=(const FontCache&) = delete;

    void select(std::uint32_t style) {
        const std::size_t i = style % kMarkupFontCacheSize;
        if (!made_[i]) {
            fonts_[i] = surface_.createFont(fonts_[0], markupFontRequest(style));
            made_[i] = true;
        }
        surface_.selectFont(fonts_[i]);
    }

private:
    MarkupSurface& surface_;
    std::array<MarkupSurface::Font, kMarkupFontCacheSize> fonts_{};
    std::array<bool, kMarkupFontCacheSize> made_{};
};

// Text colours saved by font tags. Eight are kept; a deeper tag still sets
// its colour but saves nothing, and a closing tag with nothing saved goes
// back to the first colour. The surface gets its starting colour back at
// the end.
class ColorStack {
public:
    explicit ColorStack(MarkupSurface& surface) : surface_(surface) {
        saved_[0] = surface.textColor();
    }
    ~ColorStack() { surface_.setTextColor(saved_[0]); }
    ColorStack(const ColorStack&) = delete;
    ColorStack& operator=(const ColorStack&) = delete;

    void push(std::optional<MarkupRgb> color) {
        const MarkupRgb current = surface_.textColor();
        if (count_ < saved_.size()) saved_[count_++] = current;
        if (color) surface_.setTextColor(*color);
    }
    void pop() { surface_.setTextColor(count_ > 0 ? saved_[--count_] : saved_[0]); }

private:
    MarkupSurface& surface_;
    std::array<MarkupRgb, kMarkupColorStackSize> saved_{};
    std::size_t count_ = 0;
};

void setStyle(std::uint32_t& style, std::uint32_t bit, bool closing) {
    if (closing)
        style &= ~bit;
    else
        style |= bit;
}

}  // namespace

std::uint32_t effectiveMarkupFormat(std::uint32_t format) {
    return (format & ~std::uint32_t{kMarkupCenter | kMarkupRight}) | kMarkupNoPrefix;
}

MarkupFontRequest markupFontRequest(std::uint32_t style) {
    MarkupFontRequest request;
    request.weight = (style & kMarkupBold) ? 700 : 400;
    request.italic = (style & kMarkupItalic) != 0;
    request.underline = (style & kMarkupUnderline) != 0;
    request.heightTenths = (style & (kMarkupSuperscript | kMarkupSubscript)) ? 7 : 10;
    return request;
}

bool nextMarkupToken(std::string_view text, std::size_t& pos, MarkupToken& token) {
    token = MarkupToken{};
    const std::size_t start = skipBlanks(text, pos);
    token.spaceBefore = start > pos;
    pos = start;
    if (pos >= text.size()) return false;

    if (text[pos] == '<') {
        std::size_t at = pos + 1;
        const bool closing = at < text.size() && text[at] == '/';
        if (closing) ++at;
        const std::string_view name = text.substr(at);
        for (const TagEntry& entry : kTags) {
            if (!startsWithNoCase(name, entry.name)) continue;
            const std::size_t after = at + entry.name.size();
            std::size_t end;
            if (entry.takesAttributes) {
                const std::size_t close = text.find('>', after);
                if (close == std::string_view::npos) continue;
                token.text = text.substr(after, close - after);
                end = close + 1;
            } else {
                if (after >= text.size() || text[after] != '>') continue;
                end = after + 1;
            }
            token.tag = entry.tag;
            token.closing = closing;
            // A line starts with its first word, not with the blanks that
            // stood after the break in the text.
            pos = entry.block ? skipBlanks(text, end) : end;
            return true;
        }
    }

    // A word runs to the next blank or "<"; one that begins with a "<" that
    // was no tag keeps it.
    std::size_t end = pos + 1;
    while (end < text.size() && !isBlank(text[end]) && text[end] != '<') ++end;
    token.text = text.substr(pos, end - pos);
    pos = end;
    return true;
}

bool parseMarkupColor(std::string_view attributes, MarkupRgb& color) {
    std::string_view a = attributes.substr(skipBlanks(attributes, 0));
    constexpr std::string_view kColor = "color=";
    if (!startsWithNoCase(a, kColor)) return false;
    a.remove_prefix(kColor.size());
    if (!a.empty() && (a.front() == '"' || a.front() == '\'')) a.remove_prefix(1);
    if (!a.empty() && a.front() == '#') a.remove_prefix(1);
    if (a.size() < 6) return false;
    MarkupRgb value = 0;
    for (std::size_t i = 0; i < 6; ++i) {
        const int digit = hexValue(a[i]);
        if (digit < 0) return false;
        value = (value << 4) | static_cast<MarkupRgb>(digit);
    }
    color = value;
    return true;
}

int drawMarkup(MarkupSurface& surface, const char* text, int length, MarkupRect* rect, std::uint32_t format) {
    if (text == nullptr) return drawMarkup(surface, std::string_view(), rect, format);
    const std::size_t size = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    return drawMarkup(surface, std::string_view(text, size), rect, format);
}

int drawMarkup(MarkupSurface& surface, std::string_view text, MarkupRect* rect, std::uint32_t format) {
    format = effectiveMarkupFormat(format);
    const bool measureOnly = (format & kMarkupCalcRect) != 0;
    const bool singleLine = (format & kMarkupSingleLine) != 0;
    // One line cannot wrap, whatever else the flags say.
    const bool wrap = (format & kMarkupWordBreak) != 0 && !singleLine;

    MarkupRect area;
    if (rect != nullptr) {
        area = *rect;
    } else {
        const MarkupPoint at = surface.currentPosition();
        area = {at.x, at.y, surface.deviceWidth(), surface.deviceHeight()};
    }
    const std::int64_t width = std::int64_t{area.right} - area.left;

    FontCache fonts(surface);
    ColorStack colors(surface);
    // Lines are as high as the starting font's characters: a line of small
    // super- or subscript words is no lower than the others.
    const std::int64_t line = std::max(0, surface.lineHeight());

    // Vertical placement of a single line inside the rectangle.
    std::int64_t lineOffset = 0;
    if (singleLine && !measureOnly) {
        const std::int64_t room = std::int64_t{area.bottom} - area.top - line;
        if (format & kMarkupVCenter)
            lineOffset = room / 2;
        else if (format & kMarkupBottom)
            lineOffset = room;
    }

    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t widest = 0;
    std::uint32_t style = 0;
    bool spaceBefore = false;
    bool firstToken = true;
    int wordsOnLine = 0;

    std::size_t pos = 0;
    MarkupToken token;
    while (nextMarkupToken(text, pos, token)) {
        // Blanks before a tag belong to the next word: "<b>File: </b>name"
        // keeps its space.
        spaceBefore = spaceBefore || token.spaceBefore;
        switch (token.tag) {
        case MarkupTag::B:
        case MarkupTag::Strong:
            setStyle(style, kMarkupBold, token.closing);
            break;
        case MarkupTag::Em:
        case MarkupTag::I:
            setStyle(style, kMarkupItalic, token.closing);
            break;
        case MarkupTag::U:
            setStyle(style, kMarkupUnderline, token.closing);
            break;
        case MarkupTag::Sup:
            setStyle(style, kMarkupSuperscript, token.closing);
            break;
        case MarkupTag::Sub:
            setStyle(style, kMarkupSubscript, token.closing);
            break;
        case MarkupTag::Br:
            if (!token.closing && !singleLine) {
                x = 0;
                y += line;
                wordsOnLine = 0;
            }
            spaceBefore = false;
            break;
        case MarkupTag::P:
            if (!token.closing && !singleLine) {
                if (!firstToken) y += line * 3 / 2;
                x = 0;
                wordsOnLine = 0;
            }
            spaceBefore = false;
            break;
        case MarkupTag::Font:
            if (token.closing) {
                colors.pop();
            } else {
                // Every opening font tag saves a colour, also one without a
                // (valid) colour, so that its closing tag pops what it
                // pushed and not the colour of an enclosing tag.
                MarkupRgb color = 0;
                const bool valid = parseMarkupColor(token.text, color);
                colors.push(valid ? std::optional<MarkupRgb>(color) : std::nullopt);
            }
            break;
        case MarkupTag::None: {
            fonts.select(style);
            const std::int64_t wordWidth = surface.textWidth(token.text);
            std::int64_t spaceWidth = 0;
            if (spaceBefore) {
                spaceWidth = surface.textWidth(" ");
                x += spaceWidth;
            }
            bool drawSpace = spaceBefore && (style & kMarkupUnderline) != 0;
            if (wrap && wordsOnLine > 0 && x + wordWidth > width) {
                x = 0;
                y += line;
                wordsOnLine = 0;
                drawSpace = false;  // the space stays at the end of the line above
            }
            if (!measureOnly) {
                std::int64_t top = std::int64_t{area.top} + y + lineOffset;
                // A subscript sits on the bottom of the line, a superscript
                // at its top.
                if (style & kMarkupSubscript) top += line - std::max(0, surface.lineHeight());
                const std::int64_t left = std::int64_t{area.left} + x;
                if (drawSpace) surface.drawText(clampToInt(left - spaceWidth), clampToInt(top), " ");
                surface.drawText(clampToInt(left), clampToInt(top), token.text);
            }
            x += wordWidth;
            widest = std::max(widest, x);
            ++wordsOnLine;
            spaceBefore = false;
            break;
        }
        }
        firstToken = false;
    }

    const std::int64_t height = y + line;
    if (measureOnly && rect != nullptr) {
        rect->right = clampToInt(std::int64_t{rect->left} + widest);
        rect->bottom = clampToInt(std::int64_t{rect->top} + height);
    }
    return clampToInt(height);
}

}  // namespace kestrel::shell
