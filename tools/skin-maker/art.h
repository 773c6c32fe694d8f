#pragma once
// The pictures of the skin, each drawn at its exact pixel size.

#include <QImage>
#include <QString>

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

// The main window's background, 346 x 460.
QImage mainBackground();
// Every look of every picture button of the main window.
std::vector<Picture> buttonPictures();
// The application icon at size x size pixels (16, 32, 48, 256 are shipped).
QImage applicationIcon(int size);
// The 24 x 24 icons of the recording list and the playlist.
std::vector<Picture> listIcons();

}  // namespace skinmaker
