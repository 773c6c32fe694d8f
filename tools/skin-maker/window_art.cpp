// The main window's background: a slate frame with the title on top, a
// recessed panel for the lists with the tab row below it, and a console bar
// whose recessed trays hold the round command buttons. Every place where a
// button sits is left plain so the button pictures fit on top.

#include "art.h"
#include "painting.h"

#include <QPainterPath>

namespace skinmaker {

namespace {

constexpr int kWidth = 346;
constexpr int kHeight = 460;
// The list panel: the lists cover exactly this rectangle.
constexpr QRect kPanel(22, 32, 301, 348);

QPainterPath capsule(double left, double top, double right, double bottom) {
    QPainterPath path;
    const double r = (bottom - top) / 2.0;
    path.addRoundedRect(QRectF(left, top, right - left, bottom - top), r, r);
    return path;
}

void drawFrame(QImage& image) {
    QPainter p(&image);
    p.fillRect(image.rect(), verticalGradient(QRectF(image.rect()), ink::frameTop, ink::frameBottom));
    // The title strip: a lighter band that fades into the frame.
    QLinearGradient title(0, 0, 0, 40);
    title.setColorAt(0, ink::titleTop);
    title.setColorAt(1, withAlpha(ink::titleTop, 0));
    p.fillRect(QRect(0, 0, kWidth, 40), title);
    // A faint teal haze along the very top edge.
    QLinearGradient haze(0, 0, kWidth, 0);
    haze.setColorAt(0, withAlpha(ink::teal, 0));
    haze.setColorAt(0.5, withAlpha(ink::teal, 150));
    haze.setColorAt(1, withAlpha(ink::teal, 0));
    p.fillRect(QRect(0, 1, kWidth, 1), haze);

    hairline(p, 0, 0, kWidth - 1, 0, ink::outline);
    hairline(p, 0, kHeight - 1, kWidth - 1, kHeight - 1, ink::outline);
    hairline(p, 0, 0, 0, kHeight - 1, ink::outline);
    hairline(p, kWidth - 1, 0, kWidth - 1, kHeight - 1, ink::outline);
    hairline(p, 1, 2, 1, kHeight - 2, withAlpha(ink::edgeLight, 90));
}

void drawTitle(QImage& image) {
    QPainter p(&image);
    smooth(p);
    p.drawImage(kPanel.left(), 8, applicationIcon(16));
    p.setFont(skinFont(12, true));
    p.setPen(ink::text);
    const QRect strip(kPanel.left() + 23, 6, 200, 20);
    p.drawText(strip, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Kestrel"));
    const int nameWidth = QFontMetrics(skinFont(12, true)).horizontalAdvance(QStringLiteral("Kestrel"));
    p.setFont(skinFont(10));
    p.setPen(ink::textDim);
    p.drawText(strip.adjusted(nameWidth + 7, 1, 0, 1), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("stream recorder"));
    // A shallow groove behind the three caption buttons.
    const QPainterPath groove = capsule(280.5, 7.5, 328.5, 24.5);
    p.setPen(QPen(withAlpha(ink::edgeLight, 80), 1.0));
    p.setBrush(withAlpha(ink::outline, 90));
    p.drawPath(groove.translated(0, 0.5));
    p.setPen(QPen(withAlpha(ink::outline, 200), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(groove);
}

void drawPanel(QImage& image) {
    // A well sunk into the frame: a dark rim on the panel's edge, a light
    // rim one pixel further out on the lit sides, and a shadow around it.
    QPainterPath well;
    well.addRect(QRectF(kPanel.adjusted(-1, -1, 1, 1)));
    softShadow(image, well, QColor(0, 0, 0, 110), 4, QPointF(0, 1));
    QPainter p(&image);
    p.fillRect(kPanel, ink::wellFill);
    const int l = kPanel.left() - 1;
    const int t = kPanel.top() - 1;
    const int r = kPanel.right() + 1;
    const int b = kPanel.bottom() + 1;
    hairline(p, l, t, r, t, ink::outline);
    hairline(p, l, t, l, b, ink::outline);
    hairline(p, r, t, r, b, ink::outline);
    hairline(p, l, b, r, b, ink::outline);
    hairline(p, l - 1, b + 1, r + 1, b + 1, withAlpha(ink::edgeLight, 110));
    hairline(p, r + 1, t, r + 1, b + 1, withAlpha(ink::edgeLight, 70));
    // An inner shadow under the top rim, for the moment no list covers it.
    QLinearGradient shade(0, kPanel.top(), 0, kPanel.top() + 8);
    shade.setColorAt(0, QColor(0, 0, 0, 120));
    shade.setColorAt(1, QColor(0, 0, 0, 0));
    p.fillRect(QRect(kPanel.left(), kPanel.top(), kPanel.width(), 8), shade);
}

void drawConsole(QImage& image) {
    // The console bar below the tabs.
    {
        QPainter p(&image);
        const QRect bar(1, 399, kWidth - 2, kHeight - 400);
        p.fillRect(bar, verticalGradient(QRectF(bar), QColor(0x1f, 0x26, 0x2e), QColor(0x17, 0x1c, 0x22)));
        hairline(p, 1, 398, kWidth - 2, 398, ink::outline);
        hairline(p, 1, 399, kWidth - 2, 399, withAlpha(ink::edgeLight, 110));
    }
    // Recessed trays for the button groups: record controls, adding and
    // settings, and the About button on its own.
    const QPainterPath trays[] = {
        capsule(37.5, 405.5, 110.5, 442.5),
        capsule(120.5, 405.5, 218.5, 442.5),
        capsule(270.5, 405.5, 308.5, 442.5),
    };
    for (const QPainterPath& tray : trays) {
        QPainter p(&image);
        smooth(p);
        p.setPen(QPen(withAlpha(ink::edgeLight, 120), 1.0));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tray.translated(0, 1));
        p.setPen(Qt::NoPen);
        p.setBrush(verticalGradient(tray.boundingRect(), QColor(0x0f, 0x13, 0x18), QColor(0x16, 0x1b, 0x21)));
        p.drawPath(tray);
        p.end();
        innerShadow(image, tray, QColor(0, 0, 0, 200), 4, QPointF(0, 2));
        QPainter rim(&image);
        smooth(rim);
        rim.setPen(QPen(ink::outline, 1.0));
        rim.setBrush(Qt::NoBrush);
        rim.drawPath(tray);
    }
}

void drawTabRow(QImage& image) {
    // Where the tabs hang: a faint shelf the tab pictures sit on.
    QPainter p(&image);
    QLinearGradient shelf(0, kPanel.bottom() + 2, 0, kPanel.bottom() + 16);
    shelf.setColorAt(0, QColor(0, 0, 0, 60));
    shelf.setColorAt(1, QColor(0, 0, 0, 0));
    p.fillRect(QRect(kPanel.left(), kPanel.bottom() + 3, kPanel.width(), 14), shelf);
}

void drawHandleSeat(QImage& image) {
    // The player panel's handle sits flush on the right edge; a slot shows where.
    QPainter p(&image);
    smooth(p);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawRoundedRect(QRectF(335.5, 205.5, 14, 49), 4, 4);
}

}  // namespace

QImage mainBackground() {
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(ink::frameBottom);
    drawFrame(image);
    drawTitle(image);
    drawPanel(image);
    drawTabRow(image);
    drawConsole(image);
    drawHandleSeat(image);
    // The window is opaque: no pixel of the background may be see-through.
    return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace skinmaker
