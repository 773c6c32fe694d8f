// The About dialog: name, the version the program is built as, one line on
// what it does, the icon, and OK that closes it.

#include "kestrel/shell/about_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>

using namespace kestrel::shell;

namespace {

QLabel* label(const QDialog& dialog, const char* name) {
    return dialog.findChild<QLabel*>(QString::fromLatin1(name));
}

}  // namespace

TEST(AboutDialog, ShowsNameVersionAndWhatTheProgramDoes) {
    AboutDialog dialog;
    dialog.show();
    QApplication::processEvents();
    ASSERT_NE(label(dialog, "name"), nullptr);
    ASSERT_NE(label(dialog, "version"), nullptr);
    ASSERT_NE(label(dialog, "description"), nullptr);
    EXPECT_EQ(label(dialog, "name")->text(), QStringLiteral("Kestrel"));
    EXPECT_EQ(label(dialog, "version")->text(), QStringLiteral("Version " KESTREL_EXPECTED_VERSION));

    // One line: the text fits the label's width without wrapping, and every
    // label is wholly inside the dialog.
    QLabel* description = label(dialog, "description");
    EXPECT_FALSE(description->text().isEmpty());
    EXPECT_LE(description->fontMetrics().horizontalAdvance(description->text()), description->contentsRect().width());
    for (const char* name : {"name", "version", "description", "icon"}) {
        SCOPED_TRACE(name);
        ASSERT_NE(label(dialog, name), nullptr);
        EXPECT_TRUE(dialog.rect().contains(label(dialog, name)->geometry()));
    }
    QLabel* icon = label(dialog, "icon");
    EXPECT_EQ(icon->pixmap().size(), QSize(48, 48));
    EXPECT_TRUE(dialog.windowFlags().testFlag(Qt::FramelessWindowHint));
}

TEST(AboutDialog, OkAcceptsAndCloses) {
    AboutDialog dialog;
    dialog.open();
    ASSERT_TRUE(dialog.isVisible());
    ASSERT_NE(dialog.okButton(), nullptr);
    EXPECT_EQ(dialog.okButton()->text(), QStringLiteral("OK"));
    EXPECT_TRUE(dialog.okButton()->isDefault());
    EXPECT_TRUE(dialog.rect().contains(dialog.okButton()->geometry()));
    dialog.okButton()->click();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

TEST(AboutDialog, IsDraggedByItsBodyButNotByOk) {
    AboutDialog dialog;
    dialog.move(300, 300);
    dialog.show();
    auto send = [](QWidget* to, QEvent::Type type, QPoint local, QPoint global, Qt::MouseButtons held) {
        QMouseEvent event(type, QPointF(local), QPointF(local), QPointF(global), Qt::LeftButton, held,
                          Qt::NoModifier);
        QApplication::sendEvent(to, &event);
    };
    const QPoint start = dialog.pos();
    const QPoint corner(4, 4);  // the frame's corner: no child there
    const QPoint global = dialog.mapToGlobal(corner);
    send(&dialog, QEvent::MouseButtonPress, corner, global, Qt::LeftButton);
    send(&dialog, QEvent::MouseMove, corner, global + QPoint(17, 23), Qt::LeftButton);
    send(&dialog, QEvent::MouseButtonRelease, corner, global + QPoint(17, 23), Qt::NoButton);
    EXPECT_EQ(dialog.pos(), start + QPoint(17, 23));

    const QPoint moved = dialog.pos();
    const QPoint onOk = dialog.okButton()->geometry().center();
    send(&dialog, QEvent::MouseButtonPress, onOk, dialog.mapToGlobal(onOk), Qt::LeftButton);
    send(&dialog, QEvent::MouseMove, onOk, dialog.mapToGlobal(onOk) + QPoint(30, 30), Qt::LeftButton);
    send(&dialog, QEvent::MouseButtonRelease, onOk, dialog.mapToGlobal(onOk) + QPoint(30, 30), Qt::NoButton);
    EXPECT_EQ(dialog.pos(), moved);
}
