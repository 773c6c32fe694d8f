#pragma once
// Drawing helpers shared by every picture of the skin: the palette, crisp
// pixel-aligned shapes, and soft shadows made by blurring a silhouette.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRectF>
#include <QString>

namespace skinmaker {

// One palette for the whole skin: dark slate surfaces, a teal accent, and a
// warm red kept for recording.
namespace ink {
inline const QColor frameTop{0x2a, 0x33, 0x3e};
inline const QColor frameBottom{0x1a, 0x20, 0x27};
inline const QColor titleTop{0x31, 0x3b, 0x48};
inline const QColor titleBottom{0x25, 0x2d, 0x37};
inline const QColor wellFill{0x13, 0x18, 0x1e};
inline const QColor outline{0x0b, 0x0e, 0x12};
inline const QColor edgeLight{0x3c, 0x48, 0x56};
inline const QColor surface{0x2f, 0x39, 0x45};
inline const QColor surfaceLight{0x3a, 0x46, 0x54};
inline const QColor surfaceDark{0x20, 0x27, 0x30};
inline const QColor text{0xe3, 0xea, 0xf1};
inline const QColor textDim{0x98, 0xa5, 0xb3};
inline const QColor textMuted{0x55, 0x60, 0x6c};
inline const QColor teal{0x2e, 0xc4, 0xb6};
inline const QColor tealLight{0x6a, 0xe8, 0xda};
inline const QColor tealDark{0x17, 0x8f, 0x84};
inline const QColor red{0xef, 0x4b, 0x50};
inline const QColor redLight{0xff, 0x7a, 0x7c};
inline const QColor redDark{0xb3, 0x2d, 0x33};
inline const QColor amber{0xf2, 0xa5, 0x3a};
}  // namespace ink

QColor withAlpha(QColor c, int alpha);
QColor mix(const QColor& a, const QColor& b, double t);

// An empty ARGB picture of the given size.
QImage blankPicture(int width, int height);

// A painter with antialiasing and smooth pixmap drawing on.
void smooth(QPainter& p);

// Paints path filled with color, blurred by radius pixels and offset, under
// whatever is drawn next: a soft drop shadow or glow.
void softShadow(QImage& target, const QPainterPath& path, const QColor& color, double radius,
                QPointF offset = {});

// The same path as a blurred inner shadow: darkens the inside near the
// path's edge, strongest at the top.
void innerShadow(QImage& target, const QPainterPath& path, const QColor& color, double radius,
                 QPointF offset);

// Blurs an ARGB picture in place (three box passes, close to a Gaussian).
void blur(QImage& image, int radius);

// A 1-pixel line between pixel centres, without antialiasing smear.
void hairline(QPainter& p, int x1, int y1, int x2, int y2, const QColor& color);

// A vertical linear gradient over a rectangle.
QLinearGradient verticalGradient(const QRectF& r, const QColor& top, const QColor& bottom);

// Text set in the skin's face at a pixel size; hinted so small labels stay sharp.
QFont skinFont(int pixelSize, bool bold = false);

}  // namespace skinmaker
