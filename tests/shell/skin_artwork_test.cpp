// The compiled-in skin: every picture the resource file lists is there at
// the size it is used at, the committed pictures are what the skin maker
// draws (names and sizes), and the icons can be told apart.

#include "kestrel/shell/skin_button.h"
#include "kestrel/shell/skinned_window.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <map>

using namespace kestrel::shell;

namespace {

const QString kSkinFolder = QStringLiteral(KESTREL_SOURCE_DIR "/resources/skins");

// The file names the resource file lists.
QStringList listedPictures(const QString& qrcPath) {
    QFile qrc(qrcPath);
    if (!qrc.open(QIODevice::ReadOnly)) return {};
    const QString text = QString::fromUtf8(qrc.readAll());
    QStringList names;
    static const QRegularExpression file(QStringLiteral("<file>([^<]+)</file>"));
    for (auto it = file.globalMatch(text); it.hasNext();) names << it.next().captured(1);
    return names;
}

// Name -> size of every PNG in a folder.
std::map<QString, QSize> picturesIn(const QString& folder) {
    std::map<QString, QSize> out;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.png")}, QDir::Files))
        out[name] = QImage(dir.filePath(name)).size();
    return out;
}

// Mean colour of the clearly coloured, mostly opaque pixels of an icon.
QColor dominantColour(const QImage& icon) {
    double r = 0, g = 0, b = 0;
    int n = 0;
    const QImage img = icon.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const QColor c = img.pixelColor(x, y);
            if (c.alpha() < 200 || c.hsvSaturationF() < 0.35 || c.valueF() < 0.35) continue;
            r += c.redF();
            g += c.greenF();
            b += c.blueF();
            ++n;
        }
    if (n == 0) return {};
    return QColor::fromRgbF(static_cast<float>(r / n), static_cast<float>(g / n), static_cast<float>(b / n));
}

double opaqueShare(const QImage& icon) {
    const QImage img = icon.convertToFormat(QImage::Format_ARGB32);
    int opaque = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qAlpha(img.pixel(x, y)) >= 128) ++opaque;
    return static_cast<double>(opaque) / (img.width() * img.height());
}

}  // namespace

TEST(SkinArtwork, EveryListedPictureIsCompiledInAndEveryPictureIsListed) {
    const QStringList listed = listedPictures(kSkinFolder + QStringLiteral("/skins.qrc"));
    ASSERT_FALSE(listed.isEmpty());
    for (const QString& name : listed) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(QImage(skinResourcePath(name)).isNull());
    }
    for (const auto& [name, size] : picturesIn(kSkinFolder))
        EXPECT_TRUE(listed.contains(name)) << name.toStdString() << " is committed but not compiled in";
}

TEST(SkinArtwork, BackgroundIsOpaqueAndOfTheWindowsSize) {
    const QImage background(skinResourcePath(QString::fromLatin1(kMainBackground)));
    ASSERT_EQ(background.size(), kMainWindowSize);
    const QImage argb = background.convertToFormat(QImage::Format_ARGB32);
    int seeThrough = 0;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            if (qAlpha(argb.pixel(x, y)) != 255) ++seeThrough;
    EXPECT_EQ(seeThrough, 0);
}

TEST(SkinArtwork, ApplicationIconHasEverySizeDrawnForIt) {
    const QIcon icon = applicationIcon();
    const QList<QSize> sizes = icon.availableSizes();
    for (int size : {16, 32, 48, 256}) {
        SCOPED_TRACE(size);
        EXPECT_TRUE(sizes.contains(QSize(size, size)));
        // Asked for at its own size, the icon gives that drawing, not a scaled one.
        const QImage drawn(skinResourcePath(QStringLiteral("app_icon_%1.png").arg(size)));
        EXPECT_EQ(icon.pixmap(QSize(size, size)).toImage().convertToFormat(QImage::Format_ARGB32),
                  drawn.convertToFormat(QImage::Format_ARGB32));
    }
}

TEST(SkinArtwork, ListIconsAreDistinctVisibleAndColouredForTheirMeaning) {
    struct Case {
        ListIcon icon;
        const char* name;
        enum { Red, Teal, Amber, Any } hue;
    };
    const Case cases[] = {
        {ListIcon::Recording, "recording", Case::Red}, {ListIcon::Done, "done", Case::Teal},
        {ListIcon::Failed, "failed", Case::Amber},     {ListIcon::Playable, "playable", Case::Teal},
        {ListIcon::Unchecked, "unchecked", Case::Any}, {ListIcon::Damaged, "damaged", Case::Red},
        {ListIcon::NowPlaying, "now playing", Case::Teal},
    };
    std::vector<QImage> seen;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QPixmap pixmap = listIcon(c.icon);
        ASSERT_FALSE(pixmap.isNull());
        EXPECT_EQ(pixmap.size(), QSize(24, 24));
        const QImage image = pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        const double share = opaqueShare(image);
        EXPECT_GT(share, 0.15) << "too faint to see";
        EXPECT_LT(share, 0.95) << "an icon, not a filled square";
        for (const QImage& other : seen) EXPECT_NE(image, other);
        seen.push_back(image);

        const QColor colour = dominantColour(image);
        switch (c.hue) {
        case Case::Red:
            EXPECT_GT(colour.red(), colour.green() + 60);
            EXPECT_GT(colour.red(), colour.blue() + 60);
            break;
        case Case::Teal:
            EXPECT_GT(colour.green(), colour.red() + 60);
            EXPECT_GT(colour.blue(), colour.red() + 60);
            break;
        case Case::Amber:
            EXPECT_GT(colour.red(), colour.blue() + 80);
            EXPECT_GT(colour.green(), colour.blue() + 40);
            break;
        case Case::Any:
            break;
        }
    }
}

// The committed pictures must be what the skin maker draws today: the same
// files at the same sizes. A drawing changed without running the maker
// again, or a picture added by hand, shows up here.
TEST(SkinArtwork, CommittedPicturesMatchWhatTheSkinMakerWrites) {
    const QString maker = QStringLiteral(KESTREL_BIN_DIR "/skin-maker");
    if (!QFile::exists(maker)) GTEST_SKIP() << "skin-maker is not built";
    QTemporaryDir out;
    ASSERT_TRUE(out.isValid());
    QProcess run;
    run.start(maker, {out.path()});
    ASSERT_TRUE(run.waitForFinished(60000));
    ASSERT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    EXPECT_EQ(picturesIn(out.path()), picturesIn(kSkinFolder));
    EXPECT_EQ(listedPictures(out.filePath(QStringLiteral("skins.qrc"))),
              listedPictures(kSkinFolder + QStringLiteral("/skins.qrc")));
}
