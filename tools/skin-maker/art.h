#pragma once
// The pictures of the skin, each drawn at its exact pixel size.

#include <QImage>
#include <QPainter>
#include <QString>

#include <functional>
#include <vector>

namespace skinmaker {

struct Picture {
    QString name;  // file name, e.g. "start_hover.png"
    QImage image;
};

// The four looks every picture button has, in file-name order.
enum class Look { Normal, Hover, Pressed, Disabled };
inline constexpr Look kLooks[] = {Look::Normal, Look::Hover, Look::Pressed, Look::Disabled};
QString lookName(Look look);

// Colours a button's glyph is drawn in for one look, and a glyph drawer.
struct GlyphInk {
    QColor main;
    Look look;
};
GlyphInk glyphInk(Look look);
using Glyph = std::function<void(QPainter&, QPointF centre, const GlyphInk&)>;
// A round console button of the given size (a 26-pixel disc) with its glyph.
QImage roundButton(int width, int height, Look look, const Glyph& glyph);

// The main window's background, 346 x 460.
QImage mainBackground();
// Every look of every picture button of the main window.
std::vector<Picture> buttonPictures();
// The application icon at size x size pixels (16, 32, 48, 256 are shipped).
QImage applicationIcon(int size);
// The 24 x 24 icons of the recording list and the playlist.
std::vector<Picture> listIcons();
// The player window's background and buttons, and its dialogs' check mark.
std::vector<Picture> playerPictures();

}  // namespace skinmaker
