// The picture buttons: round console buttons for the commands of the bottom
// bar, small caption buttons for the title strip, the player panel's handle
// and the two list tabs. Each look is drawn at the button's own size; glyphs
// sit on whole pixels where they are straight.

#include "art.h"
#include "painting.h"

#include <QPainterPath>

#include <cmath>
#include <functional>
#include <numbers>

namespace skinmaker {

QString lookName(Look look) {
    switch (look) {
    case Look::Normal: return QStringLiteral("normal");
    case Look::Hover: return QStringLiteral("hover");
    case Look::Pressed: return QStringLiteral("pressed");
    case Look::Disabled: return QStringLiteral("disabled");
    }
    return {};
}

GlyphInk glyphInk(Look look) {
    switch (look) {
    case Look::Normal: return {ink::text, look};
    case Look::Hover: return {QColor(0xff, 0xff, 0xff), look};
    case Look::Pressed: return {ink::textDim, look};
    case Look::Disabled: return {ink::textMuted, look};
    }
    return {ink::text, look};
}

namespace {

// ---------------------------------------------------------------- glyphs

void recordGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    const double r = 5.0;
    QRectF dot(c.x() - r, c.y() - r, 2 * r, 2 * r);
    p.setPen(Qt::NoPen);
    switch (g.look) {
    case Look::Disabled:
        p.setBrush(ink::textMuted);
        break;
    case Look::Pressed:
        p.setBrush(verticalGradient(dot, ink::red, ink::redDark));
        break;
    case Look::Hover: {
        QRadialGradient glow(c, r + 4);
        glow.setColorAt(0.5, withAlpha(ink::red, 110));
        glow.setColorAt(1.0, withAlpha(ink::red, 0));
        p.setBrush(glow);
        p.drawEllipse(c, r + 4, r + 4);
        p.setBrush(verticalGradient(dot, QColor(0xff, 0x9a, 0x9b), ink::red));
        break;
    }
    case Look::Normal:
        p.setBrush(verticalGradient(dot, ink::redLight, ink::red));
        break;
    }
    p.drawEllipse(dot);
}

void stopGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    const double half = 4.5;
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawRoundedRect(QRectF(c.x() - half, c.y() - half, 2 * half, 2 * half), 1.5, 1.5);
}

void linkGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    // Two chain links on the diagonal, the usual sign for an address.
    p.save();
    p.translate(c);
    p.rotate(-45);
    QPen pen(g.main, 1.7);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(-7.6, -2.6, 8.4, 5.2), 2.6, 2.6);
    p.drawRoundedRect(QRectF(-0.8, -2.6, 8.4, 5.2), 2.6, 2.6);
    p.restore();
}

void addToListGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    // Three lines of a list and a plus: whole pixels, so it stays sharp.
    const int x = static_cast<int>(std::floor(c.x())) - 6;
    const int y = static_cast<int>(std::floor(c.y())) - 5;
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawRect(x, y, 12, 2);
    p.drawRect(x, y + 4, 12, 2);
    p.drawRect(x, y + 8, 6, 2);
    QColor plus = g.look == Look::Disabled ? g.main : ink::tealLight;
    if (g.look == Look::Pressed) plus = ink::teal;
    p.setBrush(plus);
    p.drawRect(x + 8, y + 8, 6, 2);
    p.drawRect(x + 10, y + 6, 2, 6);
    p.restore();
}

void gearGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    const int teeth = 8;
    const double outer = 6.6;
    const double inner = 4.9;
    QPainterPath gear;
    for (int i = 0; i < teeth * 4; ++i) {
        // Each tooth: rise, top, fall, root; a quarter of its arc each.
        const double a = (i - 0.5) * std::numbers::pi / (teeth * 2);
        const double r = (i % 4 == 0 || i % 4 == 1) ? outer : inner;
        const QPointF pt(c.x() + r * std::cos(a), c.y() + r * std::sin(a));
        if (i == 0)
            gear.moveTo(pt);
        else
            gear.lineTo(pt);
    }
    gear.closeSubpath();
    QPainterPath hole;
    hole.addEllipse(c, 2.2, 2.2);
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawPath(gear.subtracted(hole));
}

void infoGlyph(QPainter& p, QPointF c, const GlyphInk& g) {
    const int x = static_cast<int>(std::floor(c.x())) - 1;
    const int y = static_cast<int>(std::floor(c.y()));
    p.save();
    p.setPen(Qt::NoPen);
    p.setBrush(g.main);
    p.drawEllipse(QRectF(x - 0.1, y - 7.2, 3.2, 3.2));
    p.setRenderHint(QPainter::Antialiasing, false);
    p.drawRect(x, y - 2, 3, 8);
    p.restore();
}

}  // namespace

// ---------------------------------------------------------- round buttons

QImage roundButton(int width, int height, Look look, const Glyph& glyph) {
    QImage image = blankPicture(width, height);
    const QPointF c(width / 2.0, height / 2.0);
    const double r = 13.0;
    QPainterPath disc;
    disc.addEllipse(c, r, r);

    if (look != Look::Pressed && look != Look::Disabled)
        softShadow(image, disc, QColor(0, 0, 0, 150), 3, QPointF(0, 1));
    if (look == Look::Hover)
        softShadow(image, disc, withAlpha(ink::teal, 120), 4);

    {
        QPainter p(&image);
        smooth(p);
        const QRectF box(c.x() - r, c.y() - r, 2 * r, 2 * r);
        QColor top = ink::surfaceLight;
        QColor bottom = ink::surfaceDark;
        if (look == Look::Hover) {
            top = QColor(0x4a, 0x57, 0x66);
            bottom = QColor(0x2a, 0x33, 0x3e);
        } else if (look == Look::Pressed) {
            top = QColor(0x15, 0x1a, 0x20);
            bottom = QColor(0x27, 0x2f, 0x39);
        } else if (look == Look::Disabled) {
            top = QColor(0x26, 0x2d, 0x36);
            bottom = QColor(0x21, 0x27, 0x2f);
        }
        p.setPen(Qt::NoPen);
        p.setBrush(verticalGradient(box, top, bottom));
        p.drawPath(disc);

        // Rim: dark outline, and a light edge along the top that catches the light.
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(look == Look::Disabled ? QColor(0x15, 0x1a, 0x1f) : ink::outline, 1.0));
        p.drawEllipse(c, r - 0.5, r - 0.5);
        if (look == Look::Normal || look == Look::Hover) {
            QLinearGradient shine(box.topLeft(), box.bottomLeft());
            shine.setColorAt(0, QColor(255, 255, 255, look == Look::Hover ? 70 : 48));
            shine.setColorAt(0.5, QColor(255, 255, 255, 0));
            p.setPen(QPen(QBrush(shine), 1.0));
            p.drawEllipse(c, r - 1.5, r - 1.5);
        }
        if (look == Look::Hover) {
            p.setPen(QPen(withAlpha(ink::teal, 200), 1.0));
            p.drawEllipse(c, r - 0.5, r - 0.5);
        }
    }
    if (look == Look::Pressed) innerShadow(image, disc, QColor(0, 0, 0, 190), 3, QPointF(0, 1.5));

    QPainter p(&image);
    smooth(p);
    const QPointF glyphCentre = look == Look::Pressed ? c + QPointF(0, 1) : c;
    glyph(p, glyphCentre, glyphInk(look));
    return image;
}

namespace {

// -------------------------------------------------------- caption buttons

enum class CaptionKind { Menu, Minimize, Close };

QImage captionButton(CaptionKind kind, Look look) {
    const int w = 13;
    const int h = 12;
    QImage image = blankPicture(w, h);
    QPainter p(&image);
    smooth(p);
    const bool close = kind == CaptionKind::Close;
    QColor glyph = ink::textDim;
    if (look == Look::Hover || look == Look::Pressed) {
        QColor fill = close ? ink::red : ink::surfaceLight;
        if (look == Look::Pressed) fill = close ? ink::redDark : ink::outline;
        p.setPen(Qt::NoPen);
        p.setBrush(fill);
        p.drawRoundedRect(QRectF(0, 0, w, h), 3, 3);
        glyph = look == Look::Hover ? QColor(0xff, 0xff, 0xff) : ink::textDim;
        if (close && look == Look::Pressed) glyph = QColor(0xff, 0xd8, 0xd8);
    } else if (look == Look::Disabled) {
        glyph = ink::textMuted;
    }

    switch (kind) {
    case CaptionKind::Menu:
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setPen(Qt::NoPen);
        p.setBrush(glyph);
        for (int y : {3, 6, 9}) p.drawRect(3, y, 7, 1);
        break;
    case CaptionKind::Minimize:
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setPen(Qt::NoPen);
        p.setBrush(glyph);
        p.drawRect(3, 8, 7, 1);
        break;
    case CaptionKind::Close: {
        QPen pen(glyph, 1.3);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        p.drawLine(QPointF(3.6, 3.1), QPointF(9.4, 8.9));
        p.drawLine(QPointF(9.4, 3.1), QPointF(3.6, 8.9));
        break;
    }
    }
    return image;
}

// ------------------------------------------------------- the panel handle

QImage panelHandle(Look look) {
    const int w = 8;
    const int h = 41;
    QImage image = blankPicture(w, h);
    QPainterPath tab;
    tab.addRoundedRect(QRectF(0.5, 0.5, w + 6, h - 1), 3.5, 3.5);  // right edge runs off the window
    QPainter p(&image);
    smooth(p);
    QColor left = ink::surfaceLight;
    QColor right = ink::surface;
    if (look == Look::Hover) {
        left = QColor(0x48, 0x56, 0x65);
        right = QColor(0x3a, 0x46, 0x54);
    } else if (look == Look::Pressed) {
        left = ink::surfaceDark;
        right = QColor(0x1a, 0x20, 0x27);
    } else if (look == Look::Disabled) {
        left = QColor(0x26, 0x2d, 0x36);
        right = QColor(0x23, 0x29, 0x31);
    }
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0, left);
    g.setColorAt(1, right);
    p.setPen(QPen(ink::outline, 1.0));
    p.setBrush(g);
    p.drawPath(tab);

    // A small play sign: the handle opens the player.
    QColor arrow = ink::textDim;
    if (look == Look::Hover) arrow = ink::tealLight;
    if (look == Look::Pressed) arrow = ink::teal;
    if (look == Look::Disabled) arrow = ink::textMuted;
    QPainterPath tri;
    const double cy = h / 2.0;
    tri.moveTo(2.5, cy - 3.5);
    tri.lineTo(6.0, cy);
    tri.lineTo(2.5, cy + 3.5);
    tri.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(arrow);
    p.drawPath(tri);
    return image;
}

// ------------------------------------------------------------------ tabs

// Tabs hang from the bottom edge of the list panel. The shown list's tab is
// the disabled one, so the disabled look is the selected tab: lit, with an
// accent along the panel's edge.
QImage listTab(int width, const QString& label, Look look) {
    const int h = 14;
    QImage image = blankPicture(width, h);
    QPainter p(&image);
    smooth(p);
    // Open at the top, where the tab meets the panel; rounded below.
    auto outline = [](double left, double right, double bottom) {
        QPainterPath path;
        path.moveTo(left, 0);
        path.lineTo(left, bottom - 4);
        path.quadTo(left, bottom, left + 4, bottom);
        path.lineTo(right - 4, bottom);
        path.quadTo(right, bottom, right, bottom - 4);
        path.lineTo(right, 0);
        return path;
    };
    QPainterPath shape = outline(0, width, h);
    shape.closeSubpath();

    const bool selected = look == Look::Disabled;
    QColor fill = ink::surfaceDark;
    QColor labelInk = ink::textDim;
    if (look == Look::Hover) {
        fill = ink::surface;
        labelInk = ink::text;
    } else if (look == Look::Pressed) {
        fill = ink::outline;
        labelInk = ink::textDim;
    } else if (selected) {
        fill = QColor(0x1d, 0x3a, 0x3c);
        labelInk = QColor(0xff, 0xff, 0xff);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(verticalGradient(QRectF(0, 0, width, h), fill, mix(fill, ink::outline, 0.35)));
    p.drawPath(shape);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ink::outline, 1.0));
    p.drawPath(outline(0.5, width - 0.5, h - 0.5));

    p.setRenderHint(QPainter::Antialiasing, false);
    if (selected) {
        p.fillRect(QRect(0, 0, width, 2), ink::teal);
    } else {
        p.fillRect(QRect(0, 0, width, 1), ink::outline);
    }

    p.setRenderHint(QPainter::Antialiasing, true);
    p.setFont(skinFont(10, selected));
    p.setPen(labelInk);
    QRect textBox(0, 1, width, h - 1);
    if (look == Look::Pressed) textBox.translate(0, 1);
    p.drawText(textBox, Qt::AlignCenter, label);
    return image;
}

}  // namespace

std::vector<Picture> buttonPictures() {
    struct Round {
        const char* base;
        int width;
        int height;
        Glyph glyph;
    };
    const Round round[] = {
        {"start", 29, 29, recordGlyph},      {"stop", 29, 29, stopGlyph},
        {"add_urls", 29, 28, linkGlyph},     {"add_files", 29, 29, addToListGlyph},
        {"options", 29, 29, gearGlyph},      {"about", 29, 28, infoGlyph},
    };
    std::vector<Picture> out;
    auto name = [](const char* base, Look look) {
        return QStringLiteral("%1_%2.png").arg(QLatin1String(base), lookName(look));
    };
    for (const Round& b : round)
        for (Look look : kLooks) out.push_back({name(b.base, look), roundButton(b.width, b.height, look, b.glyph)});
    for (Look look : kLooks) {
        out.push_back({name("menu", look), captionButton(CaptionKind::Menu, look)});
        out.push_back({name("minimize", look), captionButton(CaptionKind::Minimize, look)});
        out.push_back({name("exit", look), captionButton(CaptionKind::Close, look)});
        out.push_back({name("player_toggle", look), panelHandle(look)});
        out.push_back({name("tab_playlist", look), listTab(76, QStringLiteral("Playlist"), look)});
        out.push_back({name("tab_recordings", look), listTab(90, QStringLiteral("Recordings"), look)});
    }
    return out;
}

}  // namespace skinmaker
