// skin-maker: draws every picture of Kestrel's skin and writes them, with the
// Qt resource file that lists them, into a folder.
//
//   skin-maker OUTPUT_FOLDER
//
// The pictures are committed under resources/skins/; run this again after
// changing a drawing and commit what it writes.

#include "art.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::vector<skinmaker::Picture> everyPicture() {
    using namespace skinmaker;
    std::vector<Picture> all;
    all.push_back({QStringLiteral("main_background.png"), mainBackground()});
    for (Picture& picture : buttonPictures()) all.push_back(std::move(picture));
    for (int size : {16, 32, 48, 256})
        all.push_back({QStringLiteral("app_icon_%1.png").arg(size), applicationIcon(size)});
    for (Picture& picture : listIcons()) all.push_back(std::move(picture));
    for (Picture& picture : playerPictures()) all.push_back(std::move(picture));
    return all;
}

bool writeResourceFile(const QDir& folder, const std::vector<skinmaker::Picture>& pictures) {
    QFile file(folder.filePath(QStringLiteral("skins.qrc")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) return false;
    QTextStream out(&file);
    out << "<!DOCTYPE RCC>\n<!-- Written by tools/skin-maker; run it again rather than editing. -->\n"
        << "<RCC version=\"1.0\">\n  <qresource prefix=\"/skins\">\n";
    for (const auto& picture : pictures) out << "    <file>" << picture.name << "</file>\n";
    out << "  </qresource>\n</RCC>\n";
    out.flush();
    return file.error() == QFileDevice::NoError;
}

}  // namespace

int main(int argc, char** argv) {
    // Drawing needs fonts but no screen.
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: skin-maker OUTPUT_FOLDER\n");
        return 2;
    }
    QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists() && !QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "skin-maker: cannot create %s\n", argv[1]);
        return 1;
    }
    const std::vector<skinmaker::Picture> pictures = everyPicture();
    for (const auto& picture : pictures) {
        const QString path = folder.filePath(picture.name);
        if (!picture.image.save(path, "PNG")) {
            std::fprintf(stderr, "skin-maker: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    if (!writeResourceFile(folder, pictures)) {
        std::fprintf(stderr, "skin-maker: cannot write skins.qrc\n");
        return 1;
    }
    std::printf("skin-maker: %zu pictures written to %s\n", pictures.size(), argv[1]);
    return 0;
}
