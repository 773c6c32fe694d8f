// Picture buttons: the main window's twelve buttons are made where they
// belong, each shows the picture of its state, and a broken skin is refused
// instead of giving blank buttons.

#include "kestrel/shell/skin_button.h"
#include "kestrel/shell/skinned_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

#include <cmath>
#include <set>

using namespace kestrel::shell;
using Look = SkinButton::Look;

namespace {

QImage imageOf(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// What the button paints, on a transparent canvas (grab() would put the
// palette's colour under the picture's transparent corners).
QImage shown(SkinButton& button) {
    QImage canvas(button.size(), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    button.render(&canvas, QPoint(), QRegion(), QWidget::RenderFlags());
    return canvas;
}

// Equal size and pixels; otherwise says where they first differ.
::testing::AssertionResult samePixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return ::testing::AssertionFailure() << "sizes " << a.width() << "x" << a.height() << " and " << b.width()
                                             << "x" << b.height();
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                return ::testing::AssertionFailure() << "pixel " << x << "," << y << ": " << std::hex << a.pixel(x, y)
                                                     << " and " << b.pixel(x, y);
    return ::testing::AssertionSuccess();
}

void hover(SkinButton& button) {
    const QPointF centre = QRectF(button.rect()).center();
    QEnterEvent enter(centre, centre, button.mapToGlobal(centre));
    QApplication::sendEvent(&button, &enter);
}

void leave(SkinButton& button) {
    QEvent event(QEvent::Leave);
    QApplication::sendEvent(&button, &event);
}

void mouse(SkinButton& button, QEvent::Type type) {
    const QPointF centre = QRectF(button.rect()).center();
    const Qt::MouseButtons held = type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton;
    QMouseEvent event(type, centre, centre, button.mapToGlobal(centre), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(&button, &event);
}

struct Stats {
    double mean = 0;
    double deviation = 0;
};

// Luminance of a button's picture as it is seen: over the window's background.
Stats seenOver(const QPixmap& background, const SkinButtonPlace& place, const QPixmap& picture) {
    QImage canvas = background.toImage().copy(place.left, place.top, place.width, place.height);
    canvas = canvas.convertToFormat(QImage::Format_RGB32);
    {
        QPainter p(&canvas);
        p.drawPixmap(0, 0, picture);
    }
    double sum = 0;
    double squares = 0;
    const int n = canvas.width() * canvas.height();
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x) {
            const QRgb c = canvas.pixel(x, y);
            const double l = 0.2126 * qRed(c) + 0.7152 * qGreen(c) + 0.0722 * qBlue(c);
            sum += l;
            squares += l * l;
        }
    Stats s;
    s.mean = sum / n;
    s.deviation = std::sqrt(std::max(0.0, squares / n - s.mean * s.mean));
    return s;
}

bool isTab(int id) {
    return id == control_id::kPlaylistTab || id == control_id::kRecordingsTab;
}

}  // namespace

// ------------------------------------------------------------- the table

TEST(SkinButtonTable, EveryButtonIsMadeAtItsPlaceWithItsIdTooltipAndState) {
    struct Expected {
        int id;
        const char* tooltip;
        QRect geometry;
        bool enabled;
    };
    const Expected expected[] = {
        {1000, "Start", {42, 409, 29, 29}, true},
        {1001, "Stop", {77, 409, 29, 29}, false},
        {1002, "Add URLs", {125, 410, 29, 28}, false},
        {1003, "Add files to playlist", {155, 410, 29, 29}, true},
        {1004, "Options", {185, 410, 29, 29}, true},
        {1007, "About", {275, 410, 29, 28}, true},
        {1008, "Show menu", {284, 10, 13, 12}, true},
        {1009, "Minimize", {298, 10, 13, 12}, true},
        {1010, "Exit", {312, 10, 13, 12}, true},
        {1011, "", {338, 209, 8, 41}, true},
        {1012, "", {29, 380, 76, 14}, true},
        {1013, "", {108, 380, 90, 14}, true},
    };
    QWidget parent;
    parent.resize(kMainWindowSize);
    QString error;
    const auto buttons = createSkinButtons(&parent, mainWindowButtons(), &error);
    ASSERT_EQ(buttons.size(), std::size(expected)) << error.toStdString();
    EXPECT_EQ(parent.findChildren<SkinButton*>().size(), std::size(expected));

    for (const Expected& e : expected) {
        SCOPED_TRACE(e.id);
        SkinButton* button = findSkinButton(&parent, e.id);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->geometry(), e.geometry);
        EXPECT_EQ(button->minimumSize(), e.geometry.size()) << "buttons have a fixed size";
        EXPECT_EQ(button->maximumSize(), e.geometry.size());
        EXPECT_EQ(button->toolTip(), QString::fromUtf8(e.tooltip));
        EXPECT_EQ(button->isEnabled(), e.enabled);
        EXPECT_EQ(button->property("controlId").toInt(), e.id);
        EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
    }
}

TEST(SkinButtonTable, EveryButtonLiesInsideTheWindowAndNoneOverlap) {
    const QRect window(QPoint(0, 0), kMainWindowSize);
    const auto table = mainWindowButtons();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const QRect a(table[i].left, table[i].top, table[i].width, table[i].height);
        EXPECT_TRUE(window.contains(a)) << table[i].id;
        for (std::size_t j = i + 1; j < table.size(); ++j) {
            const QRect b(table[j].left, table[j].top, table[j].width, table[j].height);
            EXPECT_FALSE(a.intersects(b)) << table[i].id << " and " << table[j].id;
        }
    }
}

// ---------------------------------------------------------- broken skins

TEST(SkinButtonTable, AMissingPictureIsRefusedAndNoButtonIsMade) {
    const SkinButtonPlace table[] = {
        {1000, "Start", 42, 409, 29, 29, "start", false},
        {4242, "Ghost", 0, 0, 20, 20, "no_such_button", false},
    };
    QWidget parent;
    QString error;
    const auto buttons = createSkinButtons(&parent, table, &error);
    EXPECT_TRUE(buttons.empty());
    EXPECT_TRUE(parent.findChildren<SkinButton*>().isEmpty()) << "no half-made window";
    EXPECT_TRUE(error.contains(QStringLiteral(":/skins/no_such_button_normal.png"))) << error.toStdString();
}

TEST(SkinButtonTable, APictureOfTheWrongSizeIsRefused) {
    const SkinButtonPlace table[] = {{1000, "Start", 42, 409, 30, 29, "start", false}};
    QWidget parent;
    QString error;
    EXPECT_TRUE(createSkinButtons(&parent, table, &error).empty());
    EXPECT_TRUE(parent.findChildren<SkinButton*>().isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("start_normal.png"))) << error.toStdString();
}

// ------------------------------------------------------ state pictures

// Every button shows exactly the picture of its state, and the four
// pictures differ, so a wrong choice of picture cannot go unseen.
TEST(SkinButtonLooks, EachStateShowsItsOwnPicture) {
    for (const SkinButtonPlace& place : mainWindowButtons()) {
        SCOPED_TRACE(place.picture);
        QWidget parent;
        SkinButton::Pictures pictures;
        QString error;
        ASSERT_TRUE(SkinButton::loadPictures(QString::fromUtf8(place.picture), QSize(place.width, place.height),
                                             &pictures, &error))
            << error.toStdString();
        SkinButton button(place.id, pictures, &parent);
        for (int a = 0; a < 4; ++a)
            for (int b = a + 1; b < 4; ++b)
                EXPECT_FALSE(samePixels(imageOf(pictures[static_cast<std::size_t>(a)]),
                                       imageOf(pictures[static_cast<std::size_t>(b)])))
                    << "looks " << a << " and " << b << " are the same picture";

        int clicks = 0;
        QObject::connect(&button, &SkinButton::clicked, [&clicks] { ++clicks; });
        EXPECT_EQ(button.currentLook(), Look::Normal);
        EXPECT_TRUE(samePixels(shown(button), imageOf(button.picture(Look::Normal))));

        hover(button);
        EXPECT_EQ(button.currentLook(), Look::Hover);
        EXPECT_TRUE(samePixels(shown(button), imageOf(button.picture(Look::Hover))));

        mouse(button, QEvent::MouseButtonPress);
        EXPECT_EQ(button.currentLook(), Look::Pressed);
        EXPECT_TRUE(samePixels(shown(button), imageOf(button.picture(Look::Pressed))));
        EXPECT_EQ(clicks, 0) << "a click happens on release";

        mouse(button, QEvent::MouseButtonRelease);
        EXPECT_EQ(clicks, 1);
        EXPECT_EQ(button.currentLook(), Look::Hover) << "the pointer is still over it";

        leave(button);
        EXPECT_EQ(button.currentLook(), Look::Normal);
        EXPECT_TRUE(samePixels(shown(button), imageOf(button.picture(Look::Normal))));

        button.setEnabled(false);
        EXPECT_EQ(button.currentLook(), Look::Disabled);
        EXPECT_TRUE(samePixels(shown(button), imageOf(button.picture(Look::Disabled))));
        hover(button);
        mouse(button, QEvent::MouseButtonPress);
        EXPECT_EQ(button.currentLook(), Look::Disabled) << "disabled wins over hover and press";
        EXPECT_TRUE(samePixels(shown(button), imageOf(button.picture(Look::Disabled))));
        mouse(button, QEvent::MouseButtonRelease);
        EXPECT_EQ(clicks, 1) << "a disabled button does nothing";
    }
}

TEST(SkinButtonLooks, AButtonDisabledUnderThePointerComesBackUnlit) {
    QWidget parent;
    SkinButton::Pictures pictures;
    ASSERT_TRUE(SkinButton::loadPictures(QStringLiteral("stop"), QSize(29, 29), &pictures, nullptr));
    SkinButton button(control_id::kStop, pictures, &parent);
    hover(button);
    button.setEnabled(false);  // the engine stopped while the pointer rested on Stop
    button.setEnabled(true);   // and started again with the pointer elsewhere
    EXPECT_EQ(button.currentLook(), Look::Normal);
}

TEST(SkinButtonLooks, KeysNeverWorkAButton) {
    QWidget parent;
    SkinButton::Pictures pictures;
    ASSERT_TRUE(SkinButton::loadPictures(QStringLiteral("start"), QSize(29, 29), &pictures, nullptr));
    SkinButton button(control_id::kStart, pictures, &parent);
    int clicks = 0;
    QObject::connect(&button, &SkinButton::clicked, [&clicks] { ++clicks; });
    for (int key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Select, Qt::Key_Escape}) {
        SCOPED_TRACE(key);
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&button, &press);
        EXPECT_FALSE(button.isDown());
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
        QApplication::sendEvent(&button, &release);
    }
    EXPECT_EQ(clicks, 0);
}

// What the user sees: over the window's background, hover lights a button
// up, pressing sinks it below hover, and a disabled button is flatter (less
// contrast) than an enabled one. A tab is disabled while its list is shown:
// that look is the selected tab, lit rather than greyed.
TEST(SkinButtonLooks, LooksReadAsTheirStateOverTheBackground) {
    QPixmap background(skinResourcePath(QString::fromLatin1(kMainBackground)));
    ASSERT_FALSE(background.isNull());
    for (const SkinButtonPlace& place : mainWindowButtons()) {
        SCOPED_TRACE(place.picture);
        SkinButton::Pictures pictures;
        ASSERT_TRUE(SkinButton::loadPictures(QString::fromUtf8(place.picture), QSize(place.width, place.height),
                                             &pictures, nullptr));
        auto stats = [&](Look look) { return seenOver(background, place, pictures[static_cast<std::size_t>(look)]); };
        const Stats normal = stats(Look::Normal);
        const Stats hovered = stats(Look::Hover);
        const Stats pressed = stats(Look::Pressed);
        const Stats disabled = stats(Look::Disabled);
        EXPECT_GT(hovered.mean, normal.mean + 1.0);
        EXPECT_LT(pressed.mean, hovered.mean - 1.0);
        if (isTab(place.id)) {
            EXPECT_GT(disabled.mean, normal.mean + 1.0) << "the selected tab stands out";
        } else {
            EXPECT_LT(disabled.deviation, normal.deviation * 0.9) << "greyed: less contrast";
        }
    }
}
