// The application icon (a teal "K" whose upper arm is a swept falcon's wing,
// on a dark slate tile) and the 24 x 24 icons of the two lists.

#include "art.h"
#include "painting.h"

#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <functional>

namespace skinmaker {

namespace {

QPainterPath tile(double size, double margin, double radius) {
    QPainterPath path;
    path.addRoundedRect(QRectF(margin, margin, size - 2 * margin, size - 2 * margin), radius, radius);
    return path;
}

// The letter in a unit box; the caller scales it. The wing and the leg
// start inside the stem, so their union has no notch where they meet.
QPainterPath letterK() {
    QPainterPath stem;
    stem.addRoundedRect(QRectF(0.22, 0.18, 0.15, 0.64), 0.04, 0.04);

    // Upper arm: a pointed wing sweeping up and out from the stem.
    QPainterPath wing;
    wing.moveTo(0.30, 0.43);
    wing.cubicTo(0.48, 0.35, 0.66, 0.24, 0.84, 0.14);
    wing.cubicTo(0.74, 0.30, 0.58, 0.48, 0.30, 0.66);
    wing.closeSubpath();

    // Lower arm: a straight leg down to the baseline.
    QPainterPath leg;
    leg.moveTo(0.44, 0.49);
    leg.lineTo(0.80, 0.82);
    leg.lineTo(0.61, 0.82);
    leg.lineTo(0.34, 0.57);
    leg.closeSubpath();

    return stem.united(wing).united(leg).simplified();
}

// Where the red recording dot sits: in the mouth of the K, the quarry the
// falcon has its eye on.
constexpr QPointF kDotCentre(0.76, 0.53);

// At 16 pixels the wing is only two pixels wide: the letter is set on whole
// pixels instead, so it reads as a K and not as a smudge.
void smallLetter(QPainter& p, const QColor& ink) {
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.drawRect(4, 3, 2, 10);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath arms;
    arms.moveTo(6, 7.2);
    arms.lineTo(11.8, 2.6);
    arms.lineTo(10.4, 5.6);
    arms.lineTo(6.6, 9.4);
    arms.closeSubpath();
    arms.moveTo(6.8, 7.6);
    arms.lineTo(12, 13);
    arms.lineTo(9.6, 13);
    arms.lineTo(6, 9.4);
    arms.closeSubpath();
    p.drawPath(arms);
    p.restore();
}

QImage fileSheet(const QColor& paper, const QColor& fold) {
    // A page with a folded corner, centred in 24 x 24.
    QImage image = blankPicture(24, 24);
    QPainterPath page;
    page.moveTo(5.5, 2.5);
    page.lineTo(14.5, 2.5);
    page.lineTo(19.5, 7.5);
    page.lineTo(19.5, 21.5);
    page.lineTo(5.5, 21.5);
    page.closeSubpath();
    softShadow(image, page, QColor(0, 0, 0, 140), 2, QPointF(0, 1));
    QPainter p(&image);
    smooth(p);
    p.setPen(QPen(mix(paper, QColor(0, 0, 0), 0.45), 1.0));
    p.setBrush(verticalGradient(QRectF(5, 2, 15, 20), paper, mix(paper, QColor(0, 0, 0), 0.12)));
    p.drawPath(page);
    QPainterPath ear;
    ear.moveTo(14.5, 2.5);
    ear.lineTo(14.5, 7.5);
    ear.lineTo(19.5, 7.5);
    ear.closeSubpath();
    p.setBrush(fold);
    p.drawPath(ear);
    return image;
}

QImage badge(QImage base, const QColor& fill, const std::function<void(QPainter&)>& mark) {
    // A small round badge at the lower right of a page.
    QPainterPath disc;
    disc.addEllipse(QPointF(17, 17), 6, 6);
    softShadow(base, disc, QColor(0, 0, 0, 160), 2, QPointF(0, 1));
    QPainter p(&base);
    smooth(p);
    p.setPen(QPen(QColor(0x10, 0x14, 0x19), 1.0));
    p.setBrush(verticalGradient(QRectF(11, 11, 12, 12), fill.lighter(115), fill));
    p.drawPath(disc);
    mark(p);
    return base;
}

QImage stateRecording() {
    // A lit red dot inside a faint ring: on air.
    QImage image = blankPicture(24, 24);
    QPainter p(&image);
    smooth(p);
    const QPointF c(12, 12);
    p.setPen(QPen(withAlpha(ink::red, 140), 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(c, 9.7, 9.7);
    QRadialGradient glow(c, 8.5);
    glow.setColorAt(0.7, withAlpha(ink::red, 110));
    glow.setColorAt(1.0, withAlpha(ink::red, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(c, 8.5, 8.5);
    p.setBrush(verticalGradient(QRectF(5.5, 5.5, 13, 13), ink::redLight, ink::red));
    p.setPen(QPen(ink::redDark, 1.0));
    p.drawEllipse(c, 6.5, 6.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 110));
    p.drawEllipse(QPointF(9.9, 9.5), 1.9, 1.3);
    return image;
}

QImage stateDone() {
    QImage image = blankPicture(24, 24);
    QPainterPath disc;
    disc.addEllipse(QPointF(12, 12), 9.5, 9.5);
    softShadow(image, disc, QColor(0, 0, 0, 140), 2, QPointF(0, 1));
    QPainter p(&image);
    smooth(p);
    p.setPen(QPen(ink::tealDark.darker(130), 1.0));
    p.setBrush(verticalGradient(QRectF(2, 2, 20, 20), ink::tealLight, ink::tealDark));
    p.drawPath(disc);
    QPen pen(QColor(0xff, 0xff, 0xff), 2.2);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(7.5, 12.3);
    tick.lineTo(10.6, 15.4);
    tick.lineTo(16.5, 8.9);
    p.drawPath(tick);
    return image;
}

QImage stateFailed() {
    QImage image = blankPicture(24, 24);
    QPainterPath sign;
    sign.moveTo(12, 2.8);
    sign.lineTo(21.6, 20.2);
    sign.lineTo(2.4, 20.2);
    sign.closeSubpath();
    QPainterPathStroker rounder;
    rounder.setWidth(2.4);
    rounder.setJoinStyle(Qt::RoundJoin);
    sign = sign.united(rounder.createStroke(sign)).simplified();
    softShadow(image, sign, QColor(0, 0, 0, 140), 2, QPointF(0, 1));
    QPainter p(&image);
    smooth(p);
    p.setPen(QPen(QColor(0x9a, 0x5c, 0x10), 1.0));
    p.setBrush(verticalGradient(QRectF(2, 2, 20, 20), QColor(0xff, 0xc1, 0x5e), ink::amber.darker(112)));
    p.drawPath(sign);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2a, 0x1a, 0x05));
    p.drawRoundedRect(QRectF(10.9, 8.0, 2.2, 6.8), 1.1, 1.1);
    p.drawEllipse(QPointF(12, 17.4), 1.3, 1.3);
    return image;
}

QImage filePlayable() {
    QImage page = fileSheet(QColor(0xdc, 0xe4, 0xec), QColor(0xa9, 0xb6, 0xc3));
    return badge(page, ink::teal, [](QPainter& p) {
        QPainterPath tri;
        tri.moveTo(15.4, 14.2);
        tri.lineTo(20.2, 17);
        tri.lineTo(15.4, 19.8);
        tri.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0xff, 0xff, 0xff));
        p.drawPath(tri);
    });
}

QImage fileUnchecked() {
    QImage page = fileSheet(QColor(0x9a, 0xa6, 0xb3), QColor(0x6e, 0x7a, 0x87));
    return badge(page, QColor(0x5a, 0x67, 0x75), [](QPainter& p) {
        // A clock face: not looked at yet.
        QPen pen(QColor(0xf0, 0xf4, 0xf8), 1.4);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.drawLine(QPointF(17, 17), QPointF(17, 13.8));
        p.drawLine(QPointF(17, 17), QPointF(19.3, 18.2));
    });
}

QImage fileDamaged() {
    // The page split by a jagged crack, with a red mark.
    QImage page = fileSheet(QColor(0xc9, 0xd1, 0xda), QColor(0x93, 0x9f, 0xac));
    {
        QPainter p(&page);
        smooth(p);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        QPen crack(Qt::transparent, 1.6);
        crack.setJoinStyle(Qt::MiterJoin);
        p.setPen(crack);
        QPainterPath line;
        line.moveTo(4.5, 11.0);
        line.lineTo(8.5, 13.5);
        line.lineTo(11.0, 10.5);
        line.lineTo(14.5, 14.0);
        line.lineTo(17.0, 11.5);
        line.lineTo(20.5, 13.0);
        p.drawPath(line);
    }
    return badge(page, ink::red, [](QPainter& p) {
        QPen pen(QColor(0xff, 0xff, 0xff), 1.6);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.drawLine(QPointF(15, 15), QPointF(19, 19));
        p.drawLine(QPointF(19, 15), QPointF(15, 19));
    });
}

QImage filePlaying() {
    // The entry being played: a lit disc with a play sign and a sound arc.
    QImage image = blankPicture(24, 24);
    QPainterPath disc;
    disc.addEllipse(QPointF(12, 12), 9.5, 9.5);
    softShadow(image, disc, withAlpha(ink::teal, 150), 2);
    QPainter p(&image);
    smooth(p);
    p.setPen(QPen(ink::tealDark.darker(140), 1.0));
    p.setBrush(verticalGradient(QRectF(2, 2, 20, 20), QColor(0x3b, 0x4a, 0x59), QColor(0x1c, 0x23, 0x2b)));
    p.drawPath(disc);
    p.setPen(QPen(ink::teal, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 8.4, 8.4);
    QPainterPath tri;
    tri.moveTo(9.6, 7.4);
    tri.lineTo(16.6, 12);
    tri.lineTo(9.6, 16.6);
    tri.closeSubpath();
    p.setPen(QPen(ink::tealLight, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(ink::tealLight);
    p.drawPath(tri);
    return image;
}

}  // namespace

QImage applicationIcon(int size) {
    QImage image = blankPicture(size, size);
    const double s = size;
    const bool tiny = size <= 16;
    const double margin = tiny ? 0.0 : s * 0.04;
    const double radius = tiny ? 3.0 : s * 0.2;
    const QPainterPath box = tile(s, margin, radius);
    if (!tiny) softShadow(image, box, QColor(0, 0, 0, 150), std::max(1.0, s * 0.025), QPointF(0, s * 0.012));

    QPainter p(&image);
    smooth(p);
    const QRectF r(margin, margin, s - 2 * margin, s - 2 * margin);
    p.setPen(Qt::NoPen);
    p.setBrush(verticalGradient(r, QColor(0x34, 0x42, 0x51), QColor(0x14, 0x1a, 0x21)));
    p.drawPath(box);
    // A teal glow rising from the bottom: the accent of the whole skin.
    QRadialGradient glow(QPointF(s * 0.5, s * 1.05), s * 0.75);
    glow.setColorAt(0, withAlpha(ink::teal, 90));
    glow.setColorAt(1, withAlpha(ink::teal, 0));
    p.setBrush(glow);
    p.drawPath(box);
    // Rim and the light along the top edge.
    p.setBrush(Qt::NoBrush);
    const double line = tiny ? 1.0 : std::max(1.0, s / 64.0);
    p.setPen(QPen(QColor(0x0a, 0x0d, 0x11), line));
    p.drawPath(tile(s, margin + line / 2, radius - line / 2));
    if (!tiny) {
        QLinearGradient shine(r.topLeft(), r.bottomLeft());
        shine.setColorAt(0, QColor(255, 255, 255, 70));
        shine.setColorAt(0.35, QColor(255, 255, 255, 0));
        p.setPen(QPen(QBrush(shine), line));
        p.drawPath(tile(s, margin + line * 1.5, radius - line * 1.5));
    }

    const QColor letterTop = ink::tealLight;
    const QColor letterBottom = ink::teal;
    if (tiny) {
        smallLetter(p, letterTop);
    } else {
        const double inset = margin + s * 0.06;
        const double box_size = s - 2 * inset;
        QTransform place;
        place.translate(inset, inset);
        place.scale(box_size, box_size);
        const QPainterPath k = place.map(letterK());
        if (size >= 48) {
            QImage shade = blankPicture(size, size);
            softShadow(shade, k, QColor(0, 0, 0, 170), s * 0.03, QPointF(0, s * 0.015));
            p.drawImage(0, 0, shade);
        }
        p.setPen(Qt::NoPen);
        p.setBrush(verticalGradient(r, letterTop, letterBottom));
        p.drawPath(k);
        if (size >= 32) {
            const QPointF dot = place.map(kDotCentre);
            const double dr = std::max(2.0, s * 0.06);
            p.setBrush(verticalGradient(QRectF(dot.x() - dr, dot.y() - dr, 2 * dr, 2 * dr), ink::redLight, ink::red));
            p.drawEllipse(dot, dr, dr);
        }
    }
    return image;
}

std::vector<Picture> listIcons() {
    return {
        {QStringLiteral("state_recording.png"), stateRecording()},
        {QStringLiteral("state_done.png"), stateDone()},
        {QStringLiteral("state_failed.png"), stateFailed()},
        {QStringLiteral("file_playable.png"), filePlayable()},
        {QStringLiteral("file_unchecked.png"), fileUnchecked()},
        {QStringLiteral("file_damaged.png"), fileDamaged()},
        {QStringLiteral("file_playing.png"), filePlaying()},
    };
}

}  // namespace skinmaker
