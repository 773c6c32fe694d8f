// The skinned window: frameless and of fixed size, painted with its skin,
// deaf to Enter and Escape, and moved by dragging its body but not its
// controls.

#include "kestrel/shell/skin_button.h"
#include "kestrel/shell/skinned_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>

#include <memory>
#include <vector>

using namespace kestrel::shell;

namespace {

// The main window as it is built: background and the twelve buttons, shown.
struct MainWindowFixture : ::testing::Test {
    void SetUp() override {
        window = std::make_unique<SkinnedWindow>(kMainWindowSize);
        QString error;
        ASSERT_TRUE(window->loadBackground(skinResourcePath(QString::fromLatin1(kMainBackground)), &error))
            << error.toStdString();
        buttons = createSkinButtons(window.get(), mainWindowButtons(), &error);
        ASSERT_FALSE(buttons.empty()) << error.toStdString();
        for (SkinButton* button : buttons)
            QObject::connect(button, &SkinButton::clicked, [this] { ++clicks; });
        QObject::connect(window.get(), &SkinnedWindow::moved, [this](QPoint p) { moves.push_back(p); });
        window->move(200, 150);
        window->show();
        moves.clear();
    }

    // A mouse event as the window sees it, with the global position the
    // window's placement gives.
    void mouseAt(QWidget* receiver, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButton button,
                 Qt::MouseButtons held) {
        QMouseEvent event(type, QPointF(local), QPointF(local), QPointF(global), button, held, Qt::NoModifier);
        QApplication::sendEvent(receiver, &event);
    }
    void press(QWidget* receiver, QPoint local) {
        mouseAt(receiver, QEvent::MouseButtonPress, local, receiver->mapToGlobal(local), Qt::LeftButton,
                Qt::LeftButton);
    }
    void dragTo(QPoint global) {
        mouseAt(window.get(), QEvent::MouseMove, window->mapFromGlobal(global), global, Qt::NoButton,
                Qt::LeftButton);
    }
    void releaseAt(QPoint global) {
        mouseAt(window.get(), QEvent::MouseButtonRelease, window->mapFromGlobal(global), global, Qt::LeftButton,
                Qt::NoButton);
    }

    std::unique_ptr<SkinnedWindow> window;
    std::vector<SkinButton*> buttons;
    std::vector<QPoint> moves;
    int clicks = 0;
};

}  // namespace

TEST(SkinnedWindowSkin, IsFramelessOfFixedSizeAndPaintsItsBackground) {
    SkinnedWindow window(kMainWindowSize);
    QString error;
    ASSERT_TRUE(window.loadBackground(skinResourcePath(QString::fromLatin1(kMainBackground)), &error))
        << error.toStdString();
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window.isWindow());
    EXPECT_EQ(window.minimumSize(), kMainWindowSize);
    EXPECT_EQ(window.maximumSize(), kMainWindowSize);
    const QImage painted = window.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(painted, window.background().toImage().convertToFormat(QImage::Format_RGB32));
    EXPECT_FALSE(window.windowIcon().isNull());
}

TEST(SkinnedWindowSkin, AMissingOrMisfitBackgroundIsReportedAndTheOldOneKept) {
    SkinnedWindow window(kMainWindowSize);
    ASSERT_TRUE(window.loadBackground(skinResourcePath(QString::fromLatin1(kMainBackground))));
    const QImage before = window.background().toImage();
    struct Case {
        const char* picture;
        const char* reported;
    };
    const Case cases[] = {
        {"no_such_background.png", "no_such_background.png"},
        {"start_normal.png", "start_normal.png"},  // exists, but 29 x 29
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.picture);
        QString error;
        EXPECT_FALSE(window.loadBackground(skinResourcePath(QString::fromLatin1(c.picture)), &error));
        EXPECT_TRUE(error.contains(QString::fromLatin1(c.reported))) << error.toStdString();
        EXPECT_EQ(window.background().toImage(), before);
    }
}

// Enter and Escape, sent to the window or to a control in it, are swallowed:
// the window stays, nothing runs, it does not move.
TEST_F(MainWindowFixture, EnterAndEscapeDoNothing) {
    findSkinButton(window.get(), control_id::kStop)->setEnabled(true);
    const QPoint placed = window->pos();
    for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        for (QWidget* target : std::vector<QWidget*>{window.get(), findSkinButton(window.get(), control_id::kStart),
                                                     findSkinButton(window.get(), control_id::kExit)}) {
            SCOPED_TRACE(::testing::Message() << "key " << key << " to " << target->objectName().toStdString());
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            press.ignore();
            QApplication::sendEvent(target, &press);
            EXPECT_TRUE(press.isAccepted()) << "swallowed by the window";
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
            QApplication::sendEvent(target, &release);
            QApplication::processEvents();
            EXPECT_TRUE(window->isVisible());
        }
    }
    EXPECT_EQ(clicks, 0);
    EXPECT_TRUE(moves.empty());
    EXPECT_EQ(window->pos(), placed);
}

TEST_F(MainWindowFixture, DraggingTheBodyMovesTheWindowByTheMouseDelta) {
    struct Case {
        QPoint grab;  // where the body is pressed, in the window
        std::vector<QPoint> deltas;  // pointer positions, relative to the press
    };
    const Case cases[] = {
        {{150, 20}, {{30, 40}}},                       // the title strip
        {{10, 200}, {{-25, 10}, {-60, -5}}},           // the left margin, dragged on
        {{240, 452}, {{0, -15}, {120, -80}, {3, 4}}},  // the console bar, and back
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "grab at " << c.grab.x() << "," << c.grab.y());
        moves.clear();
        const QPoint start = window->pos();
        const QPoint grabbed = window->mapToGlobal(c.grab);
        press(window.get(), c.grab);
        for (QPoint delta : c.deltas) {
            dragTo(grabbed + delta);
            EXPECT_EQ(window->pos(), start + delta);
            ASSERT_FALSE(moves.empty()) << "moved is emitted for the docked panel";
            EXPECT_EQ(moves.back(), start + delta);
        }
        releaseAt(grabbed + c.deltas.back());
        // After the release, moving the pointer moves nothing.
        const QPoint after = window->pos();
        mouseAt(window.get(), QEvent::MouseMove, QPoint(5, 5), grabbed + QPoint(99, 99), Qt::NoButton,
                Qt::NoButton);
        EXPECT_EQ(window->pos(), after);
    }
    EXPECT_EQ(clicks, 0);
}

TEST_F(MainWindowFixture, PressingAControlDoesNotDrag) {
    const QPoint start = window->pos();
    struct Case {
        int id;
        bool enabled;
    };
    // Enabled buttons take the press; a disabled one passes it on to the
    // window, which must still not drag by it.
    const Case cases[] = {{control_id::kStart, true}, {control_id::kStop, false}, {control_id::kPlayerToggle, true},
                          {control_id::kRecordingsTab, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        SkinButton* button = findSkinButton(window.get(), c.id);
        button->setEnabled(c.enabled);
        const QPoint local(button->width() / 2, button->height() / 2);
        const QPoint global = button->mapToGlobal(local);
        press(button, local);
        dragTo(global + QPoint(40, 30));
        releaseAt(global + QPoint(40, 30));
        EXPECT_EQ(window->pos(), start);
        // The same press delivered straight to the window, as a press
        // passed up from the control would arrive.
        press(window.get(), button->geometry().center());
        dragTo(global + QPoint(-20, 15));
        releaseAt(global + QPoint(-20, 15));
        EXPECT_EQ(window->pos(), start);
    }
    EXPECT_TRUE(moves.empty());
}

TEST_F(MainWindowFixture, OnlyTheLeftButtonDragsAndALabelCountsAsBody) {
    const QPoint start = window->pos();
    const QPoint grab(150, 20);
    const QPoint global = window->mapToGlobal(grab);
    mouseAt(window.get(), QEvent::MouseButtonPress, grab, global, Qt::RightButton, Qt::RightButton);
    mouseAt(window.get(), QEvent::MouseMove, grab, global + QPoint(30, 30), Qt::NoButton, Qt::RightButton);
    mouseAt(window.get(), QEvent::MouseButtonRelease, grab, global + QPoint(30, 30), Qt::RightButton, Qt::NoButton);
    EXPECT_EQ(window->pos(), start);

    // A caption drawn as a label on the body drags like the body.
    auto* label = new QLabel(QStringLiteral("caption"), window.get());
    label->setGeometry(40, 440, 100, 16);
    label->show();
    press(label, QPoint(5, 5));
    const QPoint labelGlobal = label->mapToGlobal(QPoint(5, 5));
    dragTo(labelGlobal + QPoint(12, -7));
    releaseAt(labelGlobal + QPoint(12, -7));
    EXPECT_EQ(window->pos(), start + QPoint(12, -7));
}
