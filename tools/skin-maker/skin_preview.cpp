// skin-preview: renders the skin as the program shows it, for looking at it
// without a desktop.
//
//   skin-preview [OUTPUT_FOLDER]     (default /tmp)
//
// Writes skin-preview.png (the main window with its twelve buttons, the
// recording list's tab selected), skin-preview-zoom.png (the same, 3x),
// skin-states.png (every button in its four looks over the window, 4x),
// skin-icons.png (application and list icons, 2x), skin-small.png (the
// small icons, 6x) and skin-about.png.

#include "kestrel/shell/about_dialog.h"
#include "kestrel/shell/skin_button.h"
#include "kestrel/shell/skinned_window.h"

#include <QApplication>
#include <QDir>
#include <QPainter>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace kestrel::shell;

namespace {

QImage zoomed(const QImage& image, int factor) {
    return image.scaled(image.size() * factor, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

bool save(const QImage& image, const QDir& folder, const char* name) {
    const QString path = folder.filePath(QString::fromLatin1(name));
    if (!image.save(path, "PNG")) {
        std::fprintf(stderr, "skin-preview: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Every button in its four looks, each over the piece of background it sits on.
QImage stateSheet(const QPixmap& background) {
    const auto table = mainWindowButtons();
    QImage sheet(4 * 96 + 8, static_cast<int>(table.size()) * 44 + 8, QImage::Format_RGB32);
    sheet.fill(QColor(0x10, 0x10, 0x10));
    QPainter p(&sheet);
    int y = 4;
    for (const SkinButtonPlace& place : table) {
        SkinButton::Pictures pictures;
        if (!SkinButton::loadPictures(QString::fromUtf8(place.picture), QSize(place.width, place.height), &pictures,
                                      nullptr))
            continue;
        for (int look = 0; look < 4; ++look) {
            const int x = 4 + look * (place.width + 6);
            p.drawPixmap(x, y, background, place.left, place.top, place.width, place.height);
            p.drawPixmap(x, y, pictures[static_cast<std::size_t>(look)]);
        }
        y += place.height + 4;
    }
    p.end();
    return zoomed(sheet.copy(0, 0, sheet.width(), y + 4), 4);
}

QImage iconSheet() {
    QImage sheet(8 + 256 + 8 + 48 + 8 + 32 + 8 + 16 + 8, 8 + 256 + 8 + 24 + 8, QImage::Format_RGB32);
    sheet.fill(QColor(0x1a, 0x20, 0x27));
    QPainter p(&sheet);
    int x = 8;
    for (int size : {256, 48, 32, 16}) {
        p.drawPixmap(x, 8, applicationIcon().pixmap(QSize(size, size)));
        x += size + 8;
    }
    x = 8;
    for (ListIcon icon : {ListIcon::Recording, ListIcon::Done, ListIcon::Failed, ListIcon::Playable,
                          ListIcon::Unchecked, ListIcon::Damaged, ListIcon::NowPlaying}) {
        p.drawPixmap(x, 8 + 256 + 8, listIcon(icon));
        x += 32;
    }
    p.end();
    return zoomed(sheet, 2);
}

// The small pictures at 6x, to judge them pixel by pixel.
QImage smallSheet() {
    QImage sheet(8 + 16 + 8 + 32 + 8 + 7 * 32, 40, QImage::Format_RGB32);
    sheet.fill(QColor(0x13, 0x18, 0x1e));
    QPainter p(&sheet);
    p.drawPixmap(8, 12, applicationIcon().pixmap(QSize(16, 16)));
    p.drawPixmap(32, 4, applicationIcon().pixmap(QSize(32, 32)));
    int x = 72;
    for (ListIcon icon : {ListIcon::Recording, ListIcon::Done, ListIcon::Failed, ListIcon::Playable,
                          ListIcon::Unchecked, ListIcon::Damaged, ListIcon::NowPlaying}) {
        p.drawPixmap(x, 8, listIcon(icon));
        x += 32;
    }
    p.end();
    return zoomed(sheet, 6);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("/tmp"));

    SkinnedWindow window(kMainWindowSize);
    QString error;
    if (!window.loadBackground(skinResourcePath(QString::fromLatin1(kMainBackground)), &error)) {
        std::fprintf(stderr, "skin-preview: %s\n", qPrintable(error));
        return 1;
    }
    const auto buttons = createSkinButtons(&window, mainWindowButtons(), &error);
    if (buttons.empty()) {
        std::fprintf(stderr, "skin-preview: %s\n", qPrintable(error));
        return 1;
    }
    // As the window stands after start-up: the recording list is shown.
    findSkinButton(&window, control_id::kRecordingsTab)->setEnabled(false);
    window.show();
    const QImage shot = window.grab().toImage();

    AboutDialog about;
    about.show();
    const QImage aboutShot = about.grab().toImage();

    const bool ok = save(shot, folder, "skin-preview.png") && save(zoomed(shot, 3), folder, "skin-preview-zoom.png") &&
                    save(stateSheet(window.background()), folder, "skin-states.png") &&
                    save(iconSheet(), folder, "skin-icons.png") &&
                    save(smallSheet(), folder, "skin-small.png") && save(aboutShot, folder, "skin-about.png");
    return ok ? 0 : 1;
}
