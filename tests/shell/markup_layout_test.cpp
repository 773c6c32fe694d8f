// The markup layout on a fixed-pitch surface: every character 7 px wide
// (5 px in the small super- and subscript font), lines 10 px high (7 px in
// the small font), so positions, breaks and heights are exact.

#include "kestrel/shell/markup_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace kestrel::shell;

namespace {

struct Drawn {
    int x;
    int y;
    std::string text;
    MarkupRgb color;
    MarkupFontRequest font;
};

class FixedPitchSurface final : public MarkupSurface {
public:
    static constexpr MarkupRgb kStartColor = 0x102030;

    FixedPitchSurface() { fonts_.push_back({MarkupFontRequest{}, true}); }

    Font currentFont() override { return selected_; }
    Font createFont(Font base, const MarkupFontRequest& request) override {
        EXPECT_EQ(base, 0) << "styled fonts derive from the starting font";
        fonts_.push_back({request, true});
        ++created;
        return static_cast<Font>(fonts_.size() - 1);
    }
    void releaseFont(Font font) override {
        EXPECT_GT(font, 0) << "the starting font is not the layout's to release";
        EXPECT_TRUE(fonts_.at(static_cast<std::size_t>(font)).live) << "released twice";
        fonts_.at(static_cast<std::size_t>(font)).live = false;
        ++released;
    }
    void selectFont(Font font) override {
        EXPECT_TRUE(fonts_.at(static_cast<std::size_t>(font)).live) << "selected after release";
        selected_ = font;
    }
    int textWidth(std::string_view text) override {
        int chars = 0;
        for (char c : text)
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++chars;  // UTF-8 lead bytes
        return chars * (request().heightTenths == 10 ? 7 : 5);
    }
    int lineHeight() override { return request().heightTenths == 10 ? 10 : 7; }
    MarkupRgb textColor() override { return color; }
    void setTextColor(MarkupRgb c) override { color = c; }
    void drawText(int x, int y, std::string_view text) override {
        drawn.push_back({x, y, std::string(text), color, request()});
    }
    MarkupPoint currentPosition() override { return position; }
    int deviceWidth() override { return 640; }
    int deviceHeight() override { return 480; }

    const MarkupFontRequest& request() const { return fonts_.at(static_cast<std::size_t>(selected_)).request; }

    std::vector<Drawn> drawn;
    MarkupRgb color = kStartColor;
    MarkupPoint position;
    int created = 0;
    int released = 0;

private:
    struct FontEntry {
        MarkupFontRequest request;
        bool live;
    };
    std::vector<FontEntry> fonts_;
    Font selected_ = 0;
};

// "x,y:text" for every drawn piece, " | " between them.
std::string positions(const std::vector<Drawn>& drawn) {
    std::string out;
    for (const auto& d : drawn) {
        if (!out.empty()) out += " | ";
        out += std::to_string(d.x) + "," + std::to_string(d.y) + ":" + d.text;
    }
    return out;
}

// "kind[s]:text" per token: kind is the tag name ("/" before closing tags)
// or "w" for a word; "s" marks white space before the token.
std::string tokens(std::string_view text) {
    static const char* names[] = {"w", "b", "br", "em", "font", "i", "p", "strong", "sub", "sup", "u"};
    std::string out;
    std::size_t pos = 0;
    MarkupToken t;
    while (nextMarkupToken(text, pos, t)) {
        if (!out.empty()) out += " ";
        out += std::string(t.closing ? "/" : "") + names[static_cast<int>(t.tag)] + (t.spaceBefore ? "s" : "");
        if (t.tag == MarkupTag::None || t.tag == MarkupTag::Font) out += ":" + std::string(t.text);
    }
    return out;
}

TEST(MarkupTokens, SplitIntoTagsAndWords) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"", ""},
        {" \t\r\n ", ""},
        {"<b>File: </b>x", "b w:File: /bs w:x"},
        {"<B><BR><Br><STRONG></Sub>", "b br br strong /sub"},
        {"<em><i><u><sup><sub><p>", "em i u sup sub p"},
        // Not in the table: text, up to the next blank or "<".
        {"<q>x</q>", "w:<q>x w:</q>"},
        {"</>", "w:</>"},
        {"<", "w:<"},
        {"<<b>", "w:< b"},
        // A name must be followed by ">" at once.
        {"<b", "w:<b"},
        {"x<b", "w:x w:<b"},
        {"<bx>", "w:<bx>"},
        {"<br >a", "w:<br ws:>a"},
        {"<b r>", "w:<b ws:r>"},
        {"<sup", "w:<sup"},
        // Font takes anything up to ">" as attributes.
        {"<font color=red>", "font: color=red"},
        {"<fontcolor=#ff0000>", "font:color=#ff0000"},
        {"<FONT>x</font>", "font: w:x /font:"},
        {"<font color=x", "w:<font ws:color=x"},
        // White space after a block tag is not a space before the next word.
        {"a<br>   b", "w:a br w:b"},
        {"<p>\t\tb", "p w:b"},
        {"a</p>  b", "w:a /p w:b"},
        {"a<b>  b", "w:a b ws:b"},
        {"a <b>b", "w:a bs w:b"},
        {"a\t\tb", "w:a ws:b"},
        {"caf\xC3\xA9<b>", "w:caf\xC3\xA9 b"},
    };
    for (const auto& c : cases) EXPECT_EQ(tokens(c.text), c.expected) << '"' << c.text << '"';
}

TEST(MarkupColor, ParsesSixHexDigitsAfterColor) {
    struct Case {
        const char* attributes;
        bool valid;
        MarkupRgb color;
    } cases[] = {
        {"color=ff0000", true, 0xFF0000},
        {" color=\"#00FF00\"", true, 0x00FF00},
        {"color='#0000ff'", true, 0x0000FF},
        {"COLOR=AbCdEf", true, 0xABCDEF},
        {"color=#1234567", true, 0x123456},
        {"color=#fff", false, 0},
        {"color=red", false, 0},
        {"color=12345g", false, 0},
        {"color= #ff0000", false, 0},
        {"size=2 color=ff0000", false, 0},
        {"", false, 0},
    };
    for (const auto& c : cases) {
        MarkupRgb color = 0xDEAD;
        EXPECT_EQ(parseMarkupColor(c.attributes, color), c.valid) << c.attributes;
        if (c.valid) {
            EXPECT_EQ(color, c.color) << c.attributes;
        }
    }
}

TEST(MarkupFormat, AlignmentDroppedNoPrefixAddedRestPassed) {
    struct Case {
        std::uint32_t in;
        std::uint32_t out;
    } cases[] = {
        {0, kMarkupNoPrefix},
        {kMarkupCenter | kMarkupRight, kMarkupNoPrefix},
        {kMarkupCenter | kMarkupWordBreak, kMarkupWordBreak | kMarkupNoPrefix},
        {kMarkupSingleLine | kMarkupVCenter | kMarkupBottom | kMarkupExpandTabs | kMarkupRight,
         kMarkupSingleLine | kMarkupVCenter | kMarkupBottom | kMarkupExpandTabs | kMarkupNoPrefix},
        {kMarkupCalcRect | kMarkupNoPrefix, kMarkupCalcRect | kMarkupNoPrefix},
    };
    for (const auto& c : cases) EXPECT_EQ(effectiveMarkupFormat(c.in), c.out) << std::hex << c.in;
}

struct LayoutCase {
    const char* name;
    const char* text;
    std::uint32_t format;
    int width;
    const char* expected;  // positions() of what is drawn
    int height;
};

void runLayout(const LayoutCase& c) {
    SCOPED_TRACE(c.name);
    FixedPitchSurface surface;
    MarkupRect rect{0, 0, c.width, 100};
    const int height = drawMarkup(surface, c.text, -1, &rect, c.format);
    EXPECT_EQ(positions(surface.drawn), c.expected);
    EXPECT_EQ(height, c.height);
    EXPECT_EQ(rect, (MarkupRect{0, 0, c.width, 100})) << "drawing leaves the rectangle alone";
}

TEST(MarkupLayout, BlockTagsAndSpaces) {
    constexpr std::uint32_t W = kMarkupWordBreak;
    const LayoutCase cases[] = {
        {"p at the very start adds no space", "<p>x", W, 200, "0,0:x", 10},
        {"p after text: one and a half lines", "a<p>x", W, 200, "0,0:a | 0,15:x", 25},
        {"p after a break", "<br><p>x", W, 200, "0,25:x", 35},
        {"p after leading blanks is still first", "  <p>x", W, 200, "0,0:x", 10},
        {"br", "a<br>  b", W, 200, "0,0:a | 0,10:b", 20},
        {"br at the start", "<br>x", W, 200, "0,10:x", 20},
        {"closing br and p do not break", "a</br>b</p> c", W, 200, "0,0:a | 7,0:b | 14,0:c", 10},
        {"a trailing br counts its line", "a<br>", W, 200, "0,0:a", 20},
        {"one space for any run of blanks", "a \t\n b", W, 200, "0,0:a | 14,0:b", 10},
        {"leading blanks give a space", " a", W, 200, "7,0:a", 10},
        {"space before a closing tag stays", "<b>File: </b>name", W, 200, "0,0:File: | 42,0:name", 10},
        {"words join across tags", "a<b>b</b>c", W, 200, "0,0:a | 7,0:b | 14,0:c", 10},
        {"unknown tag is text", "<q>x</q>", W, 200, "0,0:<q>x | 28,0:</q>", 10},
        {"unknown closing tag is text", "a</q>b", W, 200, "0,0:a | 7,0:</q>b", 10},
        {"unterminated tag is text", "x <b", W, 200, "0,0:x | 14,0:<b", 10},
        {"empty text draws nothing", "", W, 200, "", 10},
        {"blanks only draw nothing", "   ", W, 200, "", 10},
    };
    for (const auto& c : cases) runLayout(c);
}

TEST(MarkupLayout, WordBreak) {
    constexpr std::uint32_t W = kMarkupWordBreak;
    const LayoutCase cases[] = {
        {"fits exactly", "aa bb", W, 35, "0,0:aa | 21,0:bb", 10},
        {"one pixel short wraps", "aa bb", W, 34, "0,0:aa | 0,10:bb", 20},
        {"wrapped word loses its space", "aa bb cc", W, 35, "0,0:aa | 21,0:bb | 0,10:cc", 20},
        {"first word on a line never moves", "abcdefghij", W, 20, "0,0:abcdefghij", 10},
        {"first word after a break never moves", "a<br>abcdefghij k", W, 20, "0,0:a | 0,10:abcdefghij | 0,20:k", 30},
        {"a long word after a short one wraps", "a abcdefghij", W, 20, "0,0:a | 0,10:abcdefghij", 20},
        {"first word with a leading space stays", " abcdefghij", W, 20, "7,0:abcdefghij", 10},
        {"no word break: no wrap", "aa bb cc", 0, 10, "0,0:aa | 21,0:bb | 42,0:cc", 10},
        {"tags between words keep the break rule", "aa <b>bb</b>", W, 34, "0,0:aa | 0,10:bb", 20},
        {"UTF-8 counts characters", "\xC3\xA9\xC3\xA9 \xC3\xA9\xC3\xA9", W, 35,
         "0,0:\xC3\xA9\xC3\xA9 | 21,0:\xC3\xA9\xC3\xA9", 10},
    };
    for (const auto& c : cases) runLayout(c);
}

TEST(MarkupLayout, SingleLine) {
    constexpr std::uint32_t S = kMarkupSingleLine;
    const LayoutCase cases[] = {
        {"br and p do nothing", "a<br>b<p>c", S, 200, "0,0:a | 7,0:b | 14,0:c", 10},
        {"no wrap even with word break", "aa bb cc", S | kMarkupWordBreak, 20, "0,0:aa | 21,0:bb | 42,0:cc", 10},
        {"centred vertically", "a", S | kMarkupVCenter, 200, "0,45:a", 10},
        {"at the bottom", "a", S | kMarkupBottom, 200, "0,90:a", 10},
        {"vertical flags need single line", "a", kMarkupVCenter | kMarkupBottom, 200, "0,0:a", 10},
        {"p at the start is no paragraph either", "<p>a", S, 200, "0,0:a", 10},
    };
    for (const auto& c : cases) runLayout(c);
}

TEST(MarkupLayout, SubscriptSuperscriptAndUnderline) {
    constexpr std::uint32_t W = kMarkupWordBreak;
    const LayoutCase cases[] = {
        {"subscript sits on the line's bottom", "a<sub>bc</sub>d", W, 200, "0,0:a | 7,3:bc | 17,0:d", 10},
        {"superscript at the line's top", "a<sup>bc</sup>d", W, 200, "0,0:a | 7,0:bc | 17,0:d", 10},
        {"subscript on a later line", "a<br><sub>b</sub>", W, 200, "0,0:a | 0,13:b", 20},
        {"underline draws the space before", "<u>a b</u>", W, 200, "0,0:a | 7,0:  | 14,0:b", 10},
        {"underline begun before the space", "a <u>b</u>", W, 200, "0,0:a | 7,0:  | 14,0:b", 10},
        {"underline ended before the space", "<u>a</u> b", W, 200, "0,0:a | 14,0:b", 10},
        {"no underline: the space is not drawn", "a b", W, 200, "0,0:a | 14,0:b", 10},
        {"underlined word that wraps: no space", "<u>aa bb</u>", W, 30, "0,0:aa | 0,10:bb", 20},
    };
    for (const auto& c : cases) runLayout(c);
}

TEST(MarkupLayout, StylesSelectTheirFonts) {
    struct Case {
        const char* text;
        int weight;
        bool italic;
        bool underline;
        int heightTenths;
    } cases[] = {
        {"x", 400, false, false, 10},
        {"<b>x", 700, false, false, 10},
        {"<strong>x", 700, false, false, 10},
        {"<i>x", 400, true, false, 10},
        {"<em>x", 400, true, false, 10},
        {"<u>x", 400, false, true, 10},
        {"<sup>x", 400, false, false, 7},
        {"<sub>x", 400, false, false, 7},
        {"<b><i><u><sub>x", 700, true, true, 7},
        {"<b><i></b>x", 400, true, false, 10},
        {"<B>x", 700, false, false, 10},
        {"<b></strong>x", 400, false, false, 10},
        {"<i></em>x", 400, false, false, 10},
    };
    for (const auto& c : cases) {
        FixedPitchSurface surface;
        MarkupRect rect{0, 0, 200, 100};
        drawMarkup(surface, c.text, -1, &rect, kMarkupWordBreak);
        ASSERT_EQ(surface.drawn.size(), 1u) << c.text;
        const MarkupFontRequest& f = surface.drawn[0].font;
        EXPECT_EQ(f.weight, c.weight) << c.text;
        EXPECT_EQ(f.italic, c.italic) << c.text;
        EXPECT_EQ(f.underline, c.underline) << c.text;
        EXPECT_EQ(f.heightTenths, c.heightTenths) << c.text;
    }
}

TEST(MarkupLayout, FontsAreMadeOncePerStyleAndReleased) {
    FixedPitchSurface surface;
    MarkupRect rect{0, 0, 200, 100};
    drawMarkup(surface, "<b>a</b>b<b>c</b><i>d</i><b>e<i>f</i></b>g", -1, &rect, kMarkupWordBreak);
    EXPECT_EQ(surface.created, 3);  // bold, italic, bold italic
    EXPECT_EQ(surface.released, 3);
    EXPECT_EQ(surface.currentFont(), 0) << "the starting font is selected again";
    EXPECT_EQ(positions(surface.drawn), "0,0:a | 7,0:b | 14,0:c | 21,0:d | 28,0:e | 35,0:f | 42,0:g");
}

TEST(MarkupLayout, FontColors) {
    constexpr MarkupRgb S = FixedPitchSurface::kStartColor;
    struct Case {
        const char* name;
        const char* text;
        std::vector<MarkupRgb> colors;  // of the drawn words, in order
    } cases[] = {
        {"red", "<font color=ff0000>r</font>k", {0xFF0000, S}},
        {"quoted, hash, upper case", "<font color=\"#00FF00\">g <FONT COLOR='#0000Ff'>b</font></font>", {0x00FF00, 0x0000FF}},
        {"closing with nothing saved: the first colour", "</font>a<font color=ff0000>b</font></font>c", {S, 0xFF0000, S}},
        {"invalid colour keeps the colour", "<font color=red>a<font color=00ff00>b</font>c</font>d", {S, 0x00FF00, S, S}},
        // A font tag without a colour saves one too, so its closing tag
        // does not take the enclosing tag's colour away.
        {"font without colour", "<font color=ff0000>a<font size=2>b</font>c</font>d", {0xFF0000, 0xFF0000, 0xFF0000, S}},
        {"nested", "<font color=111111>a<font color=222222>b</font>c</font>d", {0x111111, 0x222222, 0x111111, S}},
    };
    for (const auto& c : cases) {
        FixedPitchSurface surface;
        MarkupRect rect{0, 0, 400, 100};
        drawMarkup(surface, c.text, -1, &rect, kMarkupWordBreak);
        std::vector<MarkupRgb> got;
        for (const auto& d : surface.drawn) got.push_back(d.color);
        EXPECT_EQ(got, c.colors) << c.name;
        EXPECT_EQ(surface.color, S) << c.name << ": the starting colour is restored";
    }
}

TEST(MarkupLayout, NinthNestedColourIsNotSaved) {
    // Nine nested colours 000001..000009, a word after each closing tag.
    std::string text;
    for (int i = 1; i <= 9; ++i) text += "<font color=00000" + std::to_string(i) + ">" + std::to_string(i);
    for (int i = 1; i <= 9; ++i) text += "</font>x";
    FixedPitchSurface surface;
    MarkupRect rect{0, 0, 1000, 100};
    drawMarkup(surface, text, &rect, 0);
    ASSERT_EQ(surface.drawn.size(), 18u);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(surface.drawn[static_cast<std::size_t>(i)].color, MarkupRgb(i + 1));
    // Only eight colours were saved (the start and 1..7): closing the
    // ninth goes back to 7, and colour 8 is never seen again.
    const MarkupRgb afterClosing[9] = {7, 6, 5, 4, 3, 2, 1, FixedPitchSurface::kStartColor,
                                       FixedPitchSurface::kStartColor};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(surface.drawn[static_cast<std::size_t>(9 + i)].color, afterClosing[i]) << "after closing " << i + 1;
}

TEST(MarkupLayout, CalculateRectangle) {
    constexpr std::uint32_t C = kMarkupCalcRect | kMarkupWordBreak;
    struct Case {
        const char* name;
        const char* text;
        std::uint32_t format;
        MarkupRect rect;
        MarkupRect expected;
        int height;
    } cases[] = {
        {"two rows of a list", "<b>File: </b>name<br>\t\t\t\t<b>Received: </b>0", C, {5, 3, 300, 3}, {5, 3, 82, 23}, 20},
        {"empty: one line high, no width", "", C, {5, 3, 300, 3}, {5, 3, 5, 13}, 10},
        {"p at the start", "<p>abc", C, {0, 0, 300, 0}, {0, 0, 21, 10}, 10},
        {"paragraph", "abc<p>ab", C, {0, 0, 300, 0}, {0, 0, 21, 25}, 25},
        {"wrapped", "aa bb cc", C, {0, 0, 35, 0}, {0, 0, 35, 20}, 20},
        {"a word wider than the rectangle widens it", "abcdefghij k", C, {0, 0, 20, 0}, {0, 0, 70, 20}, 20},
        {"trailing space is not measured", "ab ", C, {0, 0, 300, 0}, {0, 0, 14, 10}, 10},
        {"single line ignores breaks", "ab<br>cd", C | kMarkupSingleLine, {0, 0, 300, 0}, {0, 0, 28, 10}, 10},
        {"alignment flags change nothing", "ab<br>c", C | kMarkupCenter | kMarkupRight, {0, 0, 300, 0}, {0, 0, 14, 20}, 20},
    };
    for (const auto& c : cases) {
        FixedPitchSurface surface;
        MarkupRect rect = c.rect;
        const int height = drawMarkup(surface, c.text, -1, &rect, c.format);
        EXPECT_TRUE(surface.drawn.empty()) << c.name << ": measuring draws nothing";
        EXPECT_EQ(rect, c.expected) << c.name;
        EXPECT_EQ(height, c.height) << c.name;
        EXPECT_EQ(height, rect.bottom - rect.top) << c.name;
    }
}

TEST(MarkupLayout, RowTextsMeasureTheirLines) {
    struct Case {
        const char* text;
        int lines;
    } cases[] = {
        {"<b>File: </b>clip.flv<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S", 2},
        {"<b>File: </b>clip.flv<br>\t\t\t\t\t<b>Received: </b>2.79 G (50.00%)  <b>Total: </b>5.59 G", 2},
        {"<b>File: </b>clip.flv<br>\t\t\t\t<b>Used time: </b>00:01:02<br>\t\t\t\t<b>Received: </b>1.00MB<br>"
         "\t\t\t\t<b>Rate: </b>0010.00KB/S<br>\t\t\t\t<b>Handling: </b>N/A",
         5},
        {"<b>File:</b> .../home/user/Kestrel/recording.flv<br>\t\t\t\t\t<b>Size:</b> 1.00 M", 2},
    };
    for (const auto& c : cases) {
        FixedPitchSurface surface;
        MarkupRect rect{0, 0, 1000, 0};
        EXPECT_EQ(drawMarkup(surface, c.text, -1, &rect, kMarkupCalcRect | kMarkupWordBreak), c.lines * 10) << c.text;
        // Block tags swallow the tabs after them: every line starts at 0.
        FixedPitchSurface draw;
        MarkupRect area{0, 0, 1000, 100};
        drawMarkup(draw, c.text, -1, &area, kMarkupWordBreak);
        int starts = 0;
        for (const auto& d : draw.drawn) starts += d.x == 0 ? 1 : 0;
        EXPECT_EQ(starts, c.lines) << c.text;
    }
}

TEST(MarkupLayout, TextLength) {
    const char text[] = "ab\0cd ef";
    struct Case {
        int length;
        std::string expected;
    } cases[] = {
        {-1, "0,0:ab"},
        {-7, "0,0:ab"},
        {1, "0,0:a"},
        {0, ""},
        // With a length a NUL is a character like any other.
        {8, std::string("0,0:ab\0cd | 42,0:ef", 19)},
    };
    for (const auto& c : cases) {
        FixedPitchSurface surface;
        MarkupRect rect{0, 0, 200, 100};
        drawMarkup(surface, text, c.length, &rect, kMarkupWordBreak);
        EXPECT_EQ(positions(surface.drawn), c.expected) << c.length;
    }
    FixedPitchSurface none;
    MarkupRect rect{0, 0, 200, 100};
    EXPECT_EQ(drawMarkup(none, nullptr, -1, &rect, kMarkupWordBreak), 10);
    EXPECT_TRUE(none.drawn.empty());
}

TEST(MarkupLayout, RectangleOffsetsAndNoRectangle) {
    FixedPitchSurface inRect;
    MarkupRect rect{100, 50, 135, 200};
    drawMarkup(inRect, "aa bb cc", -1, &rect, kMarkupWordBreak);
    EXPECT_EQ(positions(inRect.drawn), "100,50:aa | 121,50:bb | 100,60:cc");

    // Without a rectangle: from the current position to the device's right
    // edge (640 - 590 = 50 px).
    FixedPitchSurface atPosition;
    atPosition.position = {590, 40};
    const int height = drawMarkup(atPosition, "aaaa bbbb cccc", -1, nullptr, kMarkupWordBreak);
    EXPECT_EQ(positions(atPosition.drawn), "590,40:aaaa | 590,50:bbbb | 590,60:cccc");
    EXPECT_EQ(height, 30);

    FixedPitchSurface measuring;
    measuring.position = {600, 0};
    EXPECT_EQ(drawMarkup(measuring, "a<br>b", -1, nullptr, kMarkupCalcRect | kMarkupWordBreak), 20);
    EXPECT_TRUE(measuring.drawn.empty());
}

}  // namespace
