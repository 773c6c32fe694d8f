// The markup drawn with a QPainter into images on the offscreen platform:
// the pixels must agree with what measuring promised.

#include "kestrel/shell/markup_painter.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <string>

using namespace kestrel::shell;

namespace {

struct Box {
    int left = 1 << 20;
    int top = 1 << 20;
    int right = -1;   // exclusive
    int bottom = -1;  // exclusive
    bool empty() const { return right < 0; }
};

bool dark(const QColor& c) {
    return c.lightness() < 160;
}

// Where anything but the white background was painted.
Box inkBox(const QImage& image, bool (*ink)(const QColor&) = dark) {
    Box b;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (ink(image.pixelColor(x, y))) {
                b.left = std::min(b.left, x);
                b.top = std::min(b.top, y);
                b.right = std::max(b.right, x + 1);
                b.bottom = std::max(b.bottom, y + 1);
            }
    return b;
}

struct Drawing {
    QImage image;
    int height;
};

Drawing draw(const std::string& markup, const QRect& rect, QColor pen = Qt::black, QSize size = {400, 200}) {
    Drawing d{QImage(size, QImage::Format_RGB32), 0};
    d.image.fill(Qt::white);
    QPainter painter(&d.image);
    painter.setFont(defaultMarkupFont());
    painter.setPen(pen);
    d.height = drawMarkup(painter, markup, rect);
    return d;
}

TEST(MarkupPainter, DefaultFontIsTahomaOrTheSansFallback) {
    const QFont font = defaultMarkupFont();
    const QString resolved = QFontInfo(font).family();
    if (font.family() == QStringLiteral("Tahoma")) {
        EXPECT_EQ(resolved, QStringLiteral("Tahoma"));
    } else {
        // Debian's sans font, really found, not a substitute for a name.
        EXPECT_EQ(font.family(), QStringLiteral("DejaVu Sans"));
        EXPECT_EQ(resolved, QStringLiteral("DejaVu Sans"));
    }
    EXPECT_GE(font.pointSizeF(), 7.5);
    EXPECT_LE(font.pointSizeF(), 9.0);
    EXPECT_GT(measureMarkup("<b>recording</b>", font, 400).width(), measureMarkup("recording", font, 400).width())
        << "bold is drawn heavier and wider";
}

TEST(MarkupPainter, DrawingStaysInsideTheMeasuredRectangle) {
    const std::string texts[] = {
        "<b>File: </b>concert.flv<br>\t\t\t\t\t<b>Received: </b>12.40 M (48.22%)  <b>Total: </b>25.72 M",
        "<b>File: </b>a very long recording name that surely wraps somewhere.flv",
        "<p>H<sub>2</sub>O and x<sup>2</sup>, <i>italic</i> and <u>underlined words</u><p>after",
    };
    for (const auto& text : texts) {
        for (int width : {120, 200, 360}) {
            const QRect rect(10, 6, width, 180);
            const QSize measured = measureMarkup(text, defaultMarkupFont(), width, nullptr);
            const Drawing d = draw(text, rect);
            EXPECT_EQ(d.height, measured.height()) << text << " @" << width;
            const Box ink = inkBox(d.image);
            ASSERT_FALSE(ink.empty());
            // A glyph may reach a pixel or two past its advance (italics).
            EXPECT_GE(ink.left, rect.left() - 1) << text << " @" << width;
            EXPECT_LE(ink.right, rect.left() + measured.width() + 2) << text << " @" << width;
            EXPECT_GE(ink.top, rect.top()) << text << " @" << width;
            EXPECT_LE(ink.bottom, rect.top() + measured.height()) << text << " @" << width;
        }
    }
}

TEST(MarkupPainter, PainterFontAndPenAreRestored) {
    QImage image(200, 50, QImage::Format_RGB32);
    QPainter painter(&image);
    QFont font = defaultMarkupFont();
    font.setStrikeOut(true);
    painter.setFont(font);
    const QColor pen(10, 20, 30, 128);
    painter.setPen(QPen(pen, 3));
    drawMarkup(painter, "<b><i>a</i> <font color=ff0000>b <sub>c</sub></font> <font color=00ff00>", QRect(0, 0, 200, 50));
    EXPECT_EQ(painter.font(), font);
    EXPECT_EQ(painter.pen().color(), pen) << "the starting colour comes back with its alpha";
    EXPECT_EQ(painter.pen().width(), 3);
}

TEST(MarkupPainter, FontColourDrawsThatColour) {
    const Drawing d = draw("<font color=ff0000>red</font> black", QRect(0, 0, 400, 200));
    const Box red = inkBox(d.image, [](const QColor& c) { return c.red() > 180 && c.green() < 90 && c.blue() < 90; });
    const Box black = inkBox(d.image, [](const QColor& c) { return c.lightness() < 60 && c.red() < 60; });
    ASSERT_FALSE(red.empty());
    ASSERT_FALSE(black.empty());
    EXPECT_LE(red.right, black.left) << "the word after the closing tag is black again";
}

// The space before an underlined word is drawn, so the line runs on.
TEST(MarkupPainter, UnderlineRunsUnderTheSpace) {
    const Drawing d = draw("<u>aa bb</u>", QRect(0, 0, 400, 200));
    const Box ink = inkBox(d.image);
    ASSERT_FALSE(ink.empty());
    int longest = 0;
    for (int y = ink.top; y < ink.bottom; ++y) {
        int run = 0;
        for (int x = ink.left; x < ink.right; ++x) {
            run = dark(d.image.pixelColor(x, y)) ? run + 1 : 0;
            longest = std::max(longest, run);
        }
    }
    EXPECT_GE(longest, ink.right - ink.left - 1) << "one unbroken line from the first word to the last";

    // Without underline nothing is drawn between the words.
    const Drawing plain = draw("aa bb", QRect(0, 0, 400, 200));
    const int aa = measureMarkup("aa", defaultMarkupFont(), 400).width();
    const int space = measureMarkup("aa b", defaultMarkupFont(), 400).width() - aa - measureMarkup("b", defaultMarkupFont(), 400).width();
    ASSERT_GT(space, 1);
    for (int y = 0; y < plain.image.height(); ++y)
        for (int x = aa + 1; x < aa + space - 1; ++x)
            EXPECT_FALSE(dark(plain.image.pixelColor(x, y))) << x << "," << y;
}

TEST(MarkupPainter, SubscriptSitsLowSuperscriptHighAndBothAreSmaller) {
    const QRect rect(0, 0, 400, 200);
    const Box normal = inkBox(draw("x", rect).image);
    const Box sub = inkBox(draw("<sub>x</sub>", rect).image);
    const Box sup = inkBox(draw("<sup>x</sup>", rect).image);
    ASSERT_FALSE(normal.empty() || sub.empty() || sup.empty());
    EXPECT_LT(sub.bottom - sub.top, normal.bottom - normal.top);
    EXPECT_LT(sup.bottom - sup.top, normal.bottom - normal.top);
    EXPECT_GT(sub.bottom, sup.bottom + 2) << "the subscript is drawn at the bottom of the line";
    EXPECT_LT(sup.top, sub.top);
    EXPECT_EQ(draw("x<sub>2</sub>", rect).height, draw("x", rect).height) << "one line either way";
}

}  // namespace
