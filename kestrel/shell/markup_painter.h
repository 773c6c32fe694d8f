#pragma once
// Markup on Qt: a MarkupSurface that draws with a QPainter and measures
// with QFontMetrics, and the font the lists draw their rows in.

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QSize>
#include <optional>
#include <string_view>
#include <vector>

#include "kestrel/shell/markup_layout.h"

class QPainter;
class QPaintDevice;
class QRect;

namespace kestrel::shell {

// The font of markup rows: Tahoma when it is installed, else DejaVu Sans
// (Debian's sans-serif), else the desktop's general font; sized like the
// text of an ordinary list.
QFont defaultMarkupFont();

class PainterMarkupSurface final : public MarkupSurface {
public:
    // Draws with painter, starting with its font and pen colour; both are
    // as they were once a layout has ended.
    explicit PainterMarkupSurface(QPainter& painter);
    // Measures only, as font would be drawn on device (nullptr: the
    // screen). Drawing does nothing.
    PainterMarkupSurface(const QFont& font, const QPaintDevice* device);

    // Where a layout without a rectangle starts; (0, 0) unless set.
    void setCurrentPosition(MarkupPoint at) { position_ = at; }

    Font currentFont() override { return selected_; }
    Font createFont(Font base, const MarkupFontRequest& request) override;
    void releaseFont(Font font) override;
    void selectFont(Font font) override;
    int textWidth(std::string_view text) override;
    int lineHeight() override;
    MarkupRgb textColor() override;
    void setTextColor(MarkupRgb color) override;
    void drawText(int x, int y, std::string_view text) override;
    MarkupPoint currentPosition() override { return position_; }
    int deviceWidth() override;
    int deviceHeight() override;

private:
    const QFont& font(Font handle) const;

    QPainter* painter_ = nullptr;
    const QPaintDevice* device_ = nullptr;
    std::vector<std::optional<QFont>> fonts_;  // index = handle; 0 is the starting font
    Font selected_ = 0;
    QFontMetrics metrics_;  // of the selected font
    QColor startColor_;
    QColor color_;
    MarkupPoint position_;
};

// Draws markup word-wrapped into rect with painter's font and pen colour;
// returns the height of the text.
int drawMarkup(QPainter& painter, std::string_view markup, const QRect& rect,
               std::uint32_t format = kMarkupWordBreak);

// The size markup takes in font on device (nullptr: the screen) when
// wrapped to width: the widest line and the height.
QSize measureMarkup(std::string_view markup, const QFont& font, int width, const QPaintDevice* device = nullptr,
                    std::uint32_t format = kMarkupWordBreak);

}  // namespace kestrel::shell
