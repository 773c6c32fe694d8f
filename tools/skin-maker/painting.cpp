#include "painting.h"

#include <QFont>
#include <QLinearGradient>

#include <algorithm>
#include <cmath>
#include <vector>

namespace skinmaker {

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

QColor mix(const QColor& a, const QColor& b, double t) {
    auto lerp = [t](int x, int y) { return static_cast<int>(std::lround(x + (y - x) * t)); };
    return QColor(lerp(a.red(), b.red()), lerp(a.green(), b.green()), lerp(a.blue(), b.blue()),
                  lerp(a.alpha(), b.alpha()));
}

QImage blankPicture(int width, int height) {
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void smooth(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.setRenderHint(QPainter::TextAntialiasing, true);
}

namespace {

// One horizontal and one vertical box pass over premultiplied ARGB.
void boxPass(QImage& image, int radius) {
    const int w = image.width();
    const int h = image.height();
    const int window = 2 * radius + 1;
    std::vector<int> sums(4);
    std::vector<QRgb> line(static_cast<std::size_t>(std::max(w, h)));

    auto run = [&](int count, auto&& get, auto&& set) {
        for (int i = 0; i < count; ++i) line[static_cast<std::size_t>(i)] = get(i);
        std::fill(sums.begin(), sums.end(), 0);
        auto add = [&](int i, int sign) {
            if (i < 0 || i >= count) return;
            const QRgb c = line[static_cast<std::size_t>(i)];
            sums[0] += sign * qAlpha(c);
            sums[1] += sign * qRed(c);
            sums[2] += sign * qGreen(c);
            sums[3] += sign * qBlue(c);
        };
        for (int i = -radius; i <= radius; ++i) add(i, 1);
        for (int i = 0; i < count; ++i) {
            set(i, qRgba(sums[1] / window, sums[2] / window, sums[3] / window, sums[0] / window));
            add(i - radius, -1);
            add(i + radius + 1, 1);
        }
    };

    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        run(w, [&](int x) { return row[x]; }, [&](int x, QRgb c) { row[x] = c; });
    }
    for (int x = 0; x < w; ++x) {
        run(h, [&](int y) { return reinterpret_cast<const QRgb*>(image.constScanLine(y))[x]; },
            [&](int y, QRgb c) { reinterpret_cast<QRgb*>(image.scanLine(y))[x] = c; });
    }
}

}  // namespace

void blur(QImage& image, int radius) {
    if (radius < 1) return;
    if (image.format() != QImage::Format_ARGB32_Premultiplied)
        image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // Three box passes of a third of the radius each come close to a Gaussian.
    const int r = std::max(1, radius / 2);
    for (int pass = 0; pass < 3; ++pass) boxPass(image, r);
}

void softShadow(QImage& target, const QPainterPath& path, const QColor& color, double radius,
                QPointF offset) {
    QImage layer = blankPicture(target.width(), target.height());
    {
        QPainter p(&layer);
        smooth(p);
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.translate(offset);
        p.drawPath(path);
    }
    blur(layer, static_cast<int>(std::lround(radius)));
    QPainter p(&target);
    p.drawImage(0, 0, layer);
}

void innerShadow(QImage& target, const QPainterPath& path, const QColor& color, double radius,
                 QPointF offset) {
    // Everything outside the path, shifted and blurred, then clipped to the
    // path: the shadow falls just inside the edge the light comes from.
    QImage layer = blankPicture(target.width(), target.height());
    {
        QPainter p(&layer);
        smooth(p);
        QPainterPath outside;
        outside.addRect(QRectF(-50, -50, target.width() + 100, target.height() + 100));
        outside = outside.subtracted(path.translated(offset));
        p.setPen(Qt::NoPen);
        p.setBrush(color);
        p.drawPath(outside);
    }
    blur(layer, static_cast<int>(std::lround(radius)));
    QImage clipped = blankPicture(target.width(), target.height());
    {
        QPainter p(&clipped);
        smooth(p);
        p.setClipPath(path);
        p.drawImage(0, 0, layer);
    }
    QPainter p(&target);
    p.drawImage(0, 0, clipped);
}

void hairline(QPainter& p, int x1, int y1, int x2, int y2, const QColor& color) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(color, 1));
    p.drawLine(x1, y1, x2, y2);
    p.restore();
}

QLinearGradient verticalGradient(const QRectF& r, const QColor& top, const QColor& bottom) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

QFont skinFont(int pixelSize, bool bold) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setHintingPreference(QFont::PreferFullHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

}  // namespace skinmaker
