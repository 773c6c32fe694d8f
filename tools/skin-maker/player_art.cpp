// The player window's pictures: its background (the frame and title of the
// main window, a sunk well for the video, a read-out strip for the times and
// the status, the console bar with its trays), the round buttons that only
// the player has, and the check mark of its dialogs' check boxes.

#include "art.h"
#include "painting.h"

#include <QPainterPath>

#include <cmath>

namespace skinmaker {

namespace {

constexpr int kWidth = 345;
constexpr int kHeight = 460;
// The video covers exactly this rectangle.
constexpr QRect kVideo(21, 32, 301, 302);
// The strip behind the position, length and status.
constexpr QRectF kReadOut(21.5, 359.5, 301, 24);

QPainterPath capsule(double left, double top, double right, double bottom) {
    QPainterPath path;
    const double r = (bottom - top) / 2.0;
    path.addRoundedRect(QRectF(left, top, right - left, bottom - top), r, r);
    return path;
}

void drawFrame(QImage& image) {
    QPainter p(&image);
    p.fillRect(image.rect(), verticalGradient(QRectF(image.rect()), ink::frameTop, ink::frameBottom));
    QLinearGradient title(0, 0, 0, 40);
    title.setColorAt(0, ink::titleTop);
    title.setColorAt(1, withAlpha(ink::titleTop, 0));
    p.fillRect(QRect(0, 0, kWidth, 40), title);
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
    p.drawImage(kVideo.left(), 8, applicationIcon(16));
    p.setFont(skinFont(12, true));
    p.setPen(ink::text);
    const QRect strip(kVideo.left() + 23, 6, 200, 20);
    p.drawText(strip, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Kestrel"));
    const int nameWidth = QFontMetrics(skinFont(12, true)).horizontalAdvance(QStringLiteral("Kestrel"));
    p.setFont(skinFont(10));
    p.setPen(ink::textDim);
    p.drawText(strip.adjusted(nameWidth + 7, 1, 0, 1), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("player"));
}

void drawVideoWell(QImage& image) {
    QPainterPath well;
    well.addRect(QRectF(kVideo.adjusted(-1, -1, 1, 1)));
    softShadow(image, well, QColor(0, 0, 0, 110), 4, QPointF(0, 1));
    QPainter p(&image);
    p.fillRect(kVideo, ink::wellFill);
    const int l = kVideo.left() - 1;
    const int t = kVideo.top() - 1;
    const int r = kVideo.right() + 1;
    const int b = kVideo.bottom() + 1;
    hairline(p, l, t, r, t, ink::outline);
    hairline(p, l, t, l, b, ink::outline);
    hairline(p, r, t, r, b, ink::outline);
    hairline(p, l, b, r, b, ink::outline);
    hairline(p, l - 1, b + 1, r + 1, b + 1, withAlpha(ink::edgeLight, 110));
    hairline(p, r + 1, t, r + 1, b + 1, withAlpha(ink::edgeLight, 70));
}

void drawReadOut(QImage& image) {
    const QPainterPath strip = [] {
        QPainterPath path;
        path.addRoundedRect(kReadOut, 5, 5);
        return path;
    }();
    {
        QPainter p(&image);
        smooth(p);
        p.setPen(QPen(withAlpha(ink::edgeLight, 110), 1.0));
        p.setBrush(Qt::NoBrush);
        p.drawPath(strip.translated(0, 1));
        p.setPen(Qt::NoPen);
        p.setBrush(verticalGradient(kReadOut, QColor(0x0d, 0x11, 0x15), QColor(0x14, 0x19, 0x1f)));
        p.drawPath(strip);
    }
    innerShadow(image, strip, QColor(0, 0, 0, 170), 3, QPointF(0, 1.5));
    QPainter p(&image);
    smooth(p);
    p.setPen(QPen(ink::outline, 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawPath(strip);
    // A faint teal line under the numbers, as on a lit display.
    QLinearGradient glow(kReadOut.left(), 0, kReadOut.right(), 0);
    glow.setColorAt(0, withAlpha(ink::teal, 0));
    glow.setColorAt(0.25, withAlpha(ink::teal, 45));
    glow.setColorAt(0.75, withAlpha(ink::teal, 45));
    glow.setColorAt(1, withAlpha(ink::teal, 0));
    p.fillRect(QRectF(kReadOut.left() + 6, kReadOut.bottom() - 3, kReadOut.width() - 12, 1), glow);
}

void drawConsole(QImage& image) {
    {
        QPainter p(&image);
        const QRect bar(1, 399, kWidth - 2, kHeight - 400);
        p.fillRect(bar, verticalGradient(QRectF(bar), QColor(0x1f, 0x26, 0x2e), QColor(0x17, 0x1c, 0x22)));
        hairline(p, 1, 398, kWidth - 2, 398, ink::outline);
        hairline(p, 1, 399, kWidth - 2, 399, withAlpha(ink::edgeLight, 110));
    }
    // Trays: play and stop, the sound with its slider, the picture button.
    const QPainterPath trays[] = {
        capsule(37.5, 405.5, 110.5, 442.5),
        capsule(120.5, 405.5, 262.5, 442.5),
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

QImage playerBackground() {
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    image.fill(ink::frameBottom);
    drawFrame(image);
    drawTitle(image);
    drawVideoWell(image);
    drawReadOut(image);
    drawConsole(image);
    // Opaque, and without the key colour: the window keeps its whole rectangle.
    return image.convertToFormat(QImage::Format_RGB32);
}

// ---------------------------------------------------------------- glyphs

// The accent glyphs (play) are teal where the others are light.
QColor accent(const GlyphInk& g) {
    switch (g.look) {
    case Look::Normal: return ink::tealLight;
    case Look::Hover: return QColor(0x9a, 0xf4, 0xea);
    case Look::Pressed: return ink::teal;
    case Look::Disabled: return ink::textMuted;
    }
    return ink::tealLight;
}

void playGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    // A rounded triangle, a pixel right of centre so it looks centred.
    QPainterPath tri;
    const double x = c.x() + 1.2;
    tri.moveTo(x - 4.2, c.y() - 5.6);
    tri.lineTo(x + 5.4, c.y());
    tri.lineTo(x - 4.2, c.y() + 5.6);
    tri.closeSubpath();
    QPen pen(accent(g), 1.6);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(accent(g));
    p.drawPath(tri);
}

void pauseGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    const int x = static_cast<int>(std::floor(c.x()));
    const int y = static_cast<int>(std::floor(c.y()));
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(accent(g));
    p.drawRoundedRect(QRectF(x - 4.5, y - 5.5, 3.5, 11), 1, 1);
    p.drawRoundedRect(QRectF(x + 1.5, y - 5.5, 3.5, 11), 1, 1);
    p.restore();
}

QPainterPath speaker(QPointF c) {
    QPainterPath body;
    const double x = c.x() - 6.5;
    body.moveTo(x, c.y() - 2.4);
    body.lineTo(x + 3.0, c.y() - 2.4);
    body.lineTo(x + 6.6, c.y() - 5.6);
    body.lineTo(x + 6.6, c.y() + 5.6);
    body.lineTo(x + 3.0, c.y() + 2.4);
    body.lineTo(x, c.y() + 2.4);
    body.closeSubpath();
    return body;
}

void soundGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawPath(speaker(c));
    QPen wave(g.main, 1.4);
    wave.setCapStyle(Qt::RoundCap);
    p.setPen(wave);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(c.x() - 3.5, c.y() - 3.5, 7, 7), -50 * 16, 100 * 16);
    p.drawArc(QRectF(c.x() - 6.5, c.y() - 6.5, 13, 13), -50 * 16, 100 * 16);
}

void mutedGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawPath(speaker(c));
    QColor cross = g.look == Look::Disabled ? g.main : ink::redLight;
    if (g.look == Look::Pressed) cross = ink::red;
    QPen pen(cross, 1.6);
    pen.setCapStyle(Qt::RoundCap);
    p.setPen(pen);
    p.drawLine(QPointF(c.x() + 2.2, c.y() - 3.0), QPointF(c.x() + 7.2, c.y() + 2.0));
    p.drawLine(QPointF(c.x() + 7.2, c.y() - 3.0), QPointF(c.x() + 2.2, c.y() + 2.0));
}

void pictureGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    // The contrast sign: a ring with its left half filled.
    const double r = 6.0;
    p.setPen(QPen(g.main, 1.5));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, r, r);
    QPainterPath half;
    half.moveTo(c.x(), c.y() - r);
    half.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 90, 180);
    half.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawPath(half);
}

QImage checkMark() {
    QImage image = blankPicture(12, 12);
    QPainter p(&image);
    smooth(p);
    QPen pen(QColor(0xff, 0xff, 0xff), 1.8);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    QPainterPath tick;
    tick.moveTo(2.5, 6.3);
    tick.lineTo(5.0, 8.8);
    tick.lineTo(9.6, 3.4);
    p.drawPath(tick);
    return image;
}

}  // namespace

std::vector<Picture> playerPictures() {
    std::vector<Picture> out;
    out.push_back({QStringLiteral("player_background.png"), playerBackground()});
    struct Round {
        const char* base;
        Glyph glyph;
    };
    const Round round[] = {
        {"player_play", playGlyph},   {"player_pause", pauseGlyph},     {"player_mute", soundGlyph},
        {"player_muted", mutedGlyph}, {"player_picture", pictureGlyph},
    };
    for (const Round& b : round)
        for (Look look : kLooks)
            out.push_back({QStringLiteral("%1_%2.png").arg(QLatin1String(b.base), lookName(look)),
                           roundButton(29, 29, look, b.glyph)});
    out.push_back({QStringLiteral("player_check.png"), checkMark()});
    return out;
}

}  // namespace skinmaker
