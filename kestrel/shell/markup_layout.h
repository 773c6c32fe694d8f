#pragma once
// The small markup of the list rows and their tips ("<b>File: </b>name<br>
// ..."): bold, italic, underline, super- and subscript, text colours and
// line breaks, word-wrapped into a rectangle, or only measured. The layout
// knows nothing of a toolkit: it measures and draws through a MarkupSurface,
// so the same code serves the painter of the lists and a fixed-pitch
// surface in the tests.
//
// Tags (names without regard to case; a closing tag is "</" and the name):
//   b, strong   bold            br  line break
//   em, i       italic          p   paragraph (one and a half lines down)
//   u           underline       font color=RRGGBB   colour, nested up to 8
//   sup, sub    super- and subscript at 7/10 of the base height
// A tag is recognised only when ">" follows its name directly ("font" takes
// attributes up to ">"); anything else, "<q>" for one, is text.

#include <array>
#include <cstdint>
#include <string_view>

namespace kestrel::shell {

// Format flags. The values are those of the system text-drawing flags they
// stand for, so callers holding such flags pass them unchanged.
enum MarkupFormat : std::uint32_t {
    kMarkupCenter = 0x0001,      // dropped: markup is always laid out from the left
    kMarkupRight = 0x0002,       // dropped, as centre
    kMarkupVCenter = 0x0004,     // with single line: the line centred in the rectangle
    kMarkupBottom = 0x0008,      // with single line: the line at the rectangle's bottom
    kMarkupWordBreak = 0x0010,   // wrap words at the rectangle's right edge
    kMarkupSingleLine = 0x0020,  // one line: br and p do nothing, nothing wraps
    kMarkupExpandTabs = 0x0040,  // passed on; tabs separate words like blanks
    kMarkupCalcRect = 0x0400,    // measure only: nothing is drawn, the rectangle is set
    kMarkupNoPrefix = 0x0800,    // always on: "&" is drawn as it is
};

// The flags a layout runs with: the horizontal alignment is dropped and
// no-prefix added; the rest passes through.
std::uint32_t effectiveMarkupFormat(std::uint32_t format);

// Style bits of a run of text; the index into the font cache.
enum MarkupStyle : std::uint32_t {
    kMarkupBold = 1,
    kMarkupItalic = 2,
    kMarkupUnderline = 4,
    kMarkupSuperscript = 8,
    kMarkupSubscript = 16,
};
inline constexpr std::size_t kMarkupFontCacheSize = 32;
inline constexpr std::size_t kMarkupColorStackSize = 8;

// A colour as 0xRRGGBB.
using MarkupRgb = std::uint32_t;

struct MarkupRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    friend bool operator==(const MarkupRect&, const MarkupRect&) = default;
};

struct MarkupPoint {
    int x = 0;
    int y = 0;
};

// How a styled font differs from the base font of a layout.
struct MarkupFontRequest {
    int weight = 400;        // 700 when bold
    bool italic = false;
    bool underline = false;
    int heightTenths = 10;   // 7 for super- and subscript: 7/10 of the base height
};
MarkupFontRequest markupFontRequest(std::uint32_t style);

// What a layout measures and draws on. Fonts are handles the surface hands
// out; a layout asks for each styled font once, selects fonts as it goes,
// and at its end selects the starting font again and releases the fonts it
// asked for. Widths and heights are in the surface's units (pixels).
class MarkupSurface {
public:
    using Font = int;
    virtual ~MarkupSurface() = default;

    virtual Font currentFont() = 0;
    // A font like the base font, changed as the request says.
    virtual Font createFont(Font base, const MarkupFontRequest& request) = 0;
    virtual void releaseFont(Font font) = 0;
    virtual void selectFont(Font font) = 0;

    // In the selected font: the advance of a text, and the height of a line.
    virtual int textWidth(std::string_view text) = 0;
    virtual int lineHeight() = 0;

    virtual MarkupRgb textColor() = 0;
    virtual void setTextColor(MarkupRgb color) = 0;

    // Draws text with its top-left corner at (x, y), in the selected font
    // and the text colour, on a transparent background.
    virtual void drawText(int x, int y, std::string_view text) = 0;

    // Where drawing starts when no rectangle is given, and the size of the
    // device (the width bounds such drawing on the right).
    virtual MarkupPoint currentPosition() = 0;
    virtual int deviceWidth() = 0;
    virtual int deviceHeight() = 0;
};

// Lays the markup out in rect and draws it (or, with kMarkupCalcRect, only
// measures it and sets rect's right edge to left + the widest line and its
// bottom to top + the height). length < 0: the text runs up to its first
// NUL. rect == nullptr: drawing starts at the surface's current position and
// may reach the device's right edge. Returns the height of the text: the
// offset of its last line plus one line height (also for an empty text, so
// that a row never measures as nothing). The surface's font and colour are
// as they were when this returns.
int drawMarkup(MarkupSurface& surface, const char* text, int length, MarkupRect* rect, std::uint32_t format);
int drawMarkup(MarkupSurface& surface, std::string_view text, MarkupRect* rect, std::uint32_t format);

// The tokens a text splits into, as the layout reads them.
enum class MarkupTag : std::uint8_t { None, B, Br, Em, Font, I, P, Strong, Sub, Sup, U };
struct MarkupToken {
    MarkupTag tag = MarkupTag::None;  // None: a word
    bool closing = false;
    bool spaceBefore = false;         // white space came before the token
    std::string_view text;            // the word; for font the attribute text
};
// The next token of text from pos on (pos moves past it); false at the end.
bool nextMarkupToken(std::string_view text, std::size_t& pos, MarkupToken& token);

// Parses a font tag's attribute text: true with the colour when it begins
// with color= and six hexadecimal digits follow (a quote and "#" allowed).
bool parseMarkupColor(std::string_view attributes, MarkupRgb& color);

}  // namespace kestrel::shell
