// The markup list control on the offscreen platform: row heights measured
// from the markup, selection by mouse and keys, rows coming and going, its
// signals, and what it paints.

#include "kestrel/shell/markup_list.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScrollBar>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "kestrel/shell/markup_painter.h"

using kestrel::shell::MarkupListCtrl;

namespace {

const std::string kTwoLines = "<b>File: </b>clip.flv<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S";
const std::string kOneLine = "<b>File: </b>clip.flv";
const std::string kLong =
    "<b>File: </b>a rather long recording name that wraps over several lines when the list is narrow.flv";

// A list the size of the main window's middle, shown so that its viewport
// has its real size.
struct ShownList {
    explicit ShownList(int width = 323, int height = 380) {
        list.resize(width, height);
        list.show();
        QApplication::processEvents();
    }
    MarkupListCtrl list;
};

int lineHeight(const MarkupListCtrl& list) {
    return QFontMetrics(list.font(), list.viewport()).height();
}

int rowTop(const MarkupListCtrl& list, int row) {
    int top = 0;
    for (int i = 0; i < row; ++i) top += list.rowHeight(i);
    return top - list.verticalScrollBar()->value();
}

QPoint rowPoint(const MarkupListCtrl& list, int row) {
    return {30, rowTop(list, row) + list.rowHeight(row) / 2};
}

void sendMouse(MarkupListCtrl& list, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::KeyboardModifiers mods = Qt::NoModifier) {
    // A move reports the buttons held, not a button that changed.
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    const Qt::MouseButton changed = type == QEvent::MouseMove ? Qt::NoButton : button;
    QMouseEvent event(type, QPointF(at), QPointF(list.viewport()->mapToGlobal(at)), changed, held, mods);
    QApplication::sendEvent(list.viewport(), &event);
}

void click(MarkupListCtrl& list, QPoint at, Qt::KeyboardModifiers mods = Qt::NoModifier,
           Qt::MouseButton button = Qt::LeftButton) {
    sendMouse(list, QEvent::MouseButtonPress, at, button, mods);
    sendMouse(list, QEvent::MouseButtonRelease, at, button, mods);
}

void key(MarkupListCtrl& list, int k, Qt::KeyboardModifiers mods = Qt::NoModifier, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, k, mods, text);
    QApplication::sendEvent(&list, &event);
}

void fill(MarkupListCtrl& list, int rows) {
    for (int i = 0; i < rows; ++i)
        list.addRow((i % 2 ? kTwoLines : kOneLine) + " #" + std::to_string(i), static_cast<std::uintptr_t>(100 + i));
}

TEST(MarkupList, RowHeightsFollowTheMarkup) {
    ShownList s;
    const int one = s.list.rowHeight(s.list.addRow(kOneLine));
    const int two = s.list.rowHeight(s.list.addRow(kTwoLines));
    const int five = s.list.rowHeight(s.list.addRow("a<br>b<br>c<br>d<br>e"));
    const int line = lineHeight(s.list);
    ASSERT_GT(line, 0);
    EXPECT_GT(one, line) << "a row is its text plus padding";
    EXPECT_EQ(two - one, line);
    EXPECT_EQ(five - one, 4 * line);

    // The height changes with the text.
    s.list.setRowText(0, kTwoLines);
    EXPECT_EQ(s.list.rowHeight(0), two);
    s.list.setRowText(0, kOneLine);
    EXPECT_EQ(s.list.rowHeight(0), one);
}

TEST(MarkupList, RowsAreMeasuredAgainWhenTheWidthChanges) {
    ShownList s;
    const int row = s.list.addRow(kLong);
    const int wide = s.list.rowHeight(row);
    s.list.resize(140, 380);
    QApplication::processEvents();
    const int narrow = s.list.rowHeight(row);
    EXPECT_GE(narrow - wide, 2 * lineHeight(s.list)) << "a narrow list wraps the name over more lines";
    EXPECT_EQ((narrow - wide) % lineHeight(s.list), 0);
    s.list.resize(323, 380);
    QApplication::processEvents();
    EXPECT_EQ(s.list.rowHeight(row), wide);
}

TEST(MarkupList, AnIconTakesWidthFromTheText) {
    ShownList s;
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::darkGreen);
    const QIcon icon(pixmap);
    const std::string text = "<b>File: </b>a name of some length.flv";
    const int plain = s.list.addRow(text);
    const int withIcon = s.list.addRow(text, 0, icon);
    EXPECT_GE(s.list.rowHeight(withIcon), 24 + 2) << "the icon fits in its row";
    // At some width the text still fits on one line without the icon but
    // wraps beside it.
    const int plainOneLine = s.list.rowHeight(plain);
    const int iconOneLine = s.list.rowHeight(withIcon);
    bool wrappedOnlyBesideIcon = false;
    for (int width = 323; width >= 60 && !wrappedOnlyBesideIcon; width -= 2) {
        s.list.resize(width, 200);
        QApplication::processEvents();
        EXPECT_GE(s.list.rowHeight(withIcon), s.list.rowHeight(plain)) << width;
        wrappedOnlyBesideIcon = s.list.rowHeight(plain) == plainOneLine && s.list.rowHeight(withIcon) > iconOneLine;
    }
    EXPECT_TRUE(wrappedOnlyBesideIcon);
    s.list.resize(323, 200);
    QApplication::processEvents();
    s.list.setRowIcon(withIcon, QIcon());
    EXPECT_EQ(s.list.rowHeight(withIcon), s.list.rowHeight(plain));
}

TEST(MarkupList, RowAtFindsRowsByTheirMeasuredTops) {
    ShownList s;
    fill(s.list, 4);
    int top = 0;
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(s.list.rowAt(QPoint(5, top)), row);
        EXPECT_EQ(s.list.rowAt(QPoint(5, top + s.list.rowHeight(row) - 1)), row);
        top += s.list.rowHeight(row);
    }
    EXPECT_EQ(s.list.rowAt(QPoint(5, top)), -1) << "below the last row";
    EXPECT_EQ(s.list.rowAt(QPoint(5, -1)), -1);
    EXPECT_EQ(s.list.rowAt(QPoint(-1, 5)), -1);
    EXPECT_EQ(s.list.rowAt(QPoint(s.list.viewport()->width(), 5)), -1);
}

TEST(MarkupList, MouseSelection) {
    struct Step {
        int row;  // -1: below the rows
        Qt::KeyboardModifiers mods;
        std::vector<int> selected;
        int current;
    } steps[] = {
        {1, Qt::NoModifier, {1}, 1},
        {3, Qt::ControlModifier, {1, 3}, 3},
        {1, Qt::ControlModifier, {3}, 1},
        {5, Qt::ShiftModifier, {1, 2, 3, 4, 5}, 5},     // from the anchor, the last ctrl-clicked row
        {0, Qt::ShiftModifier, {0, 1}, 0},              // the anchor stays
        {2, Qt::NoModifier, {2}, 2},
        {6, Qt::ShiftModifier | Qt::ControlModifier, {2, 3, 4, 5, 6}, 6},
        {0, Qt::ControlModifier, {0, 2, 3, 4, 5, 6}, 0},
        {-1, Qt::ControlModifier, {0, 2, 3, 4, 5, 6}, 0},  // beside the rows with Ctrl: kept
        {-1, Qt::NoModifier, {}, 0},                      // beside the rows: cleared
    };
    ShownList s;
    fill(s.list, 7);
    int changes = 0;
    int lastChange = -2;
    QObject::connect(&s.list, &MarkupListCtrl::currentRowChanged, [&](int row) {
        ++changes;
        lastChange = row;
    });
    int expectedChanges = 0;
    int previous = s.list.currentRow();
    for (const auto& step : steps) {
        const int height = rowTop(s.list, 7) + 10;
        click(s.list, step.row >= 0 ? rowPoint(s.list, step.row) : QPoint(30, height), step.mods);
        EXPECT_EQ(s.list.selectedRows(), step.selected) << "after a click on " << step.row;
        EXPECT_EQ(s.list.currentRow(), step.current) << "after a click on " << step.row;
        for (int r = 0; r < 7; ++r)
            EXPECT_EQ(s.list.isSelected(r), std::count(step.selected.begin(), step.selected.end(), r) == 1);
        if (step.current != previous) ++expectedChanges;
        previous = step.current;
    }
    EXPECT_EQ(changes, expectedChanges) << "currentRowChanged once per change";
    EXPECT_EQ(lastChange, 0);
}

TEST(MarkupList, DraggingSelectsFromWhereThePressWas) {
    ShownList s;
    fill(s.list, 6);
    sendMouse(s.list, QEvent::MouseButtonPress, rowPoint(s.list, 1), Qt::LeftButton);
    sendMouse(s.list, QEvent::MouseMove, rowPoint(s.list, 2), Qt::LeftButton);
    sendMouse(s.list, QEvent::MouseMove, rowPoint(s.list, 4), Qt::LeftButton);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(s.list.currentRow(), 4);
    sendMouse(s.list, QEvent::MouseMove, rowPoint(s.list, 0), Qt::LeftButton);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{0, 1}));
    sendMouse(s.list, QEvent::MouseButtonRelease, rowPoint(s.list, 0), Qt::LeftButton);
    // Moving without a button only changes the hover.
    sendMouse(s.list, QEvent::MouseMove, rowPoint(s.list, 5), Qt::NoButton);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{0, 1}));
    // A press beside the rows drags nothing in.
    const QPoint below(30, rowTop(s.list, 6) + 10);
    sendMouse(s.list, QEvent::MouseButtonPress, below, Qt::LeftButton);
    sendMouse(s.list, QEvent::MouseMove, rowPoint(s.list, 3), Qt::LeftButton);
    EXPECT_TRUE(s.list.selectedRows().empty());
}

TEST(MarkupList, RightClickSelectsOnlyOutsideTheSelection) {
    ShownList s;
    fill(s.list, 5);
    s.list.setSelected(1, true);
    s.list.setSelected(2, true);
    click(s.list, rowPoint(s.list, 2), Qt::NoModifier, Qt::RightButton);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{1, 2}));
    EXPECT_EQ(s.list.currentRow(), 2);
    click(s.list, rowPoint(s.list, 4), Qt::NoModifier, Qt::RightButton);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{4}));
    EXPECT_EQ(s.list.currentRow(), 4);
}

TEST(MarkupList, KeyboardSelection) {
    struct Step {
        int key;
        Qt::KeyboardModifiers mods;
        std::vector<int> selected;
        int current;
    } steps[] = {
        {Qt::Key_Down, Qt::NoModifier, {0}, 0},  // no current row yet: the first
        {Qt::Key_Down, Qt::NoModifier, {1}, 1},
        {Qt::Key_Down, Qt::ShiftModifier, {1, 2}, 2},
        {Qt::Key_Down, Qt::ShiftModifier, {1, 2, 3}, 3},
        {Qt::Key_Up, Qt::ShiftModifier, {1, 2}, 2},
        {Qt::Key_End, Qt::NoModifier, {19}, 19},
        {Qt::Key_Down, Qt::NoModifier, {19}, 19},  // stays on the last row
        {Qt::Key_Home, Qt::NoModifier, {0}, 0},
        {Qt::Key_Up, Qt::NoModifier, {0}, 0},
        {Qt::Key_Down, Qt::ControlModifier, {0}, 1},  // Ctrl moves only the current row
        {Qt::Key_Down, Qt::ControlModifier, {0}, 2},
        {Qt::Key_Space, Qt::ControlModifier, {0, 2}, 2},
        {Qt::Key_End, Qt::ShiftModifier, {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 19},
        {Qt::Key_A, Qt::ControlModifier, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19}, 19},
    };
    ShownList s;
    fill(s.list, 20);
    for (const auto& step : steps) {
        key(s.list, step.key, step.mods, step.key == Qt::Key_A ? QStringLiteral("a") : QString());
        EXPECT_EQ(s.list.selectedRows(), step.selected) << "key " << std::hex << step.key;
        EXPECT_EQ(s.list.currentRow(), step.current) << "key " << std::hex << step.key;
        // The current row is always scrolled into view.
        const int top = rowTop(s.list, step.current);
        EXPECT_GE(top, 0);
        EXPECT_LE(top + s.list.rowHeight(step.current), s.list.viewport()->height());
    }
}

TEST(MarkupList, PageKeysMoveByAboutAViewport) {
    ShownList s(323, 200);
    fill(s.list, 40);
    s.list.setCurrentRow(0);
    key(s.list, Qt::Key_PageDown);
    const int afterPage = s.list.currentRow();
    EXPECT_GT(afterPage, 1);
    // The rows passed over add up to no more than the view's height.
    EXPECT_LE(rowTop(s.list, afterPage) - rowTop(s.list, 0), s.list.viewport()->height());
    EXPECT_GT(rowTop(s.list, afterPage + 1) - rowTop(s.list, 0), s.list.viewport()->height());
    key(s.list, Qt::Key_PageUp);
    EXPECT_EQ(s.list.currentRow(), 0);
    key(s.list, Qt::Key_PageUp);
    EXPECT_EQ(s.list.currentRow(), 0);
    for (int i = 0; i < 20; ++i) key(s.list, Qt::Key_PageDown);
    EXPECT_EQ(s.list.currentRow(), 39);
    EXPECT_EQ(s.list.verticalScrollBar()->value(), s.list.verticalScrollBar()->maximum());
}

TEST(MarkupList, FindRow) {
    MarkupListCtrl list;
    list.addRow("a", 7);
    list.addRow("b", 9);
    list.addRow("c", 7);
    struct Case {
        std::uintptr_t data;
        int row;
    } cases[] = {{7, 0}, {9, 1}, {8, -1}, {0, -1}};
    for (const auto& c : cases) EXPECT_EQ(list.findRow(c.data), c.row) << c.data;
    list.removeRow(0);
    EXPECT_EQ(list.findRow(7), 1);
    EXPECT_EQ(list.rowText(1), "c");
    EXPECT_EQ(list.rowData(0), 9u);
}

TEST(MarkupList, RemovingRowsKeepsSelectionAndCurrentSane) {
    ShownList s;
    fill(s.list, 6);  // data 100..105
    s.list.setCurrentRow(3);
    s.list.setSelected(1, true);
    s.list.setSelected(4, true);
    std::vector<int> changes;
    QObject::connect(&s.list, &MarkupListCtrl::currentRowChanged, [&](int row) { changes.push_back(row); });

    struct Step {
        int remove;
        std::vector<std::uintptr_t> selectedData;
        std::uintptr_t currentData;  // 0: no current row
    } steps[] = {
        {0, {101, 103, 104}, 103},   // before the current row: everything moves up
        {2, {101, 104}, 104},        // the current row: the next row takes over (same index, signalled)
        {3, {101, 104}, 104},        // after it: nothing changes
        {2, {101}, 102},             // the current row, now last: the new last row
        {-1, {101}, 102},            // out of range: nothing
        {7, {101}, 102},
    };
    for (const auto& step : steps) {
        s.list.removeRow(step.remove);
        std::vector<std::uintptr_t> selected;
        for (int r : s.list.selectedRows()) selected.push_back(s.list.rowData(r));
        EXPECT_EQ(selected, step.selectedData) << "after removing " << step.remove;
        EXPECT_EQ(s.list.rowData(s.list.currentRow()), step.currentData) << "after removing " << step.remove;
    }
    EXPECT_EQ(changes, (std::vector<int>{2, 2, 1}));
    s.list.removeRow(0);
    s.list.removeRow(0);
    EXPECT_EQ(s.list.rowCount(), 0);
    EXPECT_EQ(s.list.currentRow(), -1);
    EXPECT_TRUE(s.list.selectedRows().empty());
    EXPECT_EQ(changes.back(), -1);
    // Shift+click with nothing left to anchor on starts from the clicked row.
    fill(s.list, 3);
    click(s.list, rowPoint(s.list, 2), Qt::ShiftModifier);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{2}));
}

TEST(MarkupList, InsertingAndClearing) {
    ShownList s;
    fill(s.list, 3);
    s.list.setCurrentRow(1);
    EXPECT_EQ(s.list.insertRow(0, "new", 7), 0);
    EXPECT_EQ(s.list.currentRow(), 2);
    EXPECT_EQ(s.list.rowData(s.list.currentRow()), 101u);
    EXPECT_EQ(s.list.selectedRows(), (std::vector<int>{2}));
    EXPECT_EQ(s.list.insertRow(99, "end", 8), 4) << "past the end appends";
    EXPECT_EQ(s.list.insertRow(-5, "start", 9), 0) << "before the start prepends";
    s.list.clear();
    EXPECT_EQ(s.list.rowCount(), 0);
    EXPECT_EQ(s.list.currentRow(), -1);
    EXPECT_EQ(s.list.verticalScrollBar()->maximum(), 0);
    // Out of range is harmless.
    EXPECT_EQ(s.list.rowText(0), "");
    EXPECT_EQ(s.list.rowData(-1), 0u);
    EXPECT_EQ(s.list.rowHeight(3), 0);
    s.list.setRowText(2, "x");
    s.list.setSelected(2, true);
    EXPECT_FALSE(s.list.isSelected(2));
    s.list.setCurrentRow(5);
    EXPECT_EQ(s.list.currentRow(), -1);
}

TEST(MarkupList, DoubleClickAndContextMenuName_TheRow) {
    ShownList s;
    fill(s.list, 3);
    std::vector<int> doubleClicked;
    std::vector<std::pair<int, QPoint>> menus;
    QObject::connect(&s.list, &MarkupListCtrl::rowDoubleClicked, [&](int row) { doubleClicked.push_back(row); });
    QObject::connect(&s.list, &MarkupListCtrl::contextMenuRequested,
                     [&](int row, const QPoint& at) { menus.emplace_back(row, at); });

    const QPoint below(30, rowTop(s.list, 3) + 20);
    sendMouse(s.list, QEvent::MouseButtonDblClick, rowPoint(s.list, 1), Qt::LeftButton);
    sendMouse(s.list, QEvent::MouseButtonDblClick, below, Qt::LeftButton);
    sendMouse(s.list, QEvent::MouseButtonDblClick, rowPoint(s.list, 2), Qt::RightButton);
    EXPECT_EQ(doubleClicked, (std::vector<int>{1})) << "only a left double click on a row";

    for (const QPoint& at : {rowPoint(s.list, 2), below}) {
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, s.list.viewport()->mapToGlobal(at));
        QApplication::sendEvent(s.list.viewport(), &event);
    }
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[0].first, 2);
    EXPECT_EQ(menus[0].second, s.list.viewport()->mapToGlobal(rowPoint(s.list, 2)));
    EXPECT_EQ(menus[1].first, -1);

    // From the keyboard: the current row, the menu inside the list.
    s.list.setCurrentRow(1);
    QContextMenuEvent fromKeys(QContextMenuEvent::Keyboard, QPoint(0, 0), s.list.mapToGlobal(QPoint(0, 0)));
    QApplication::sendEvent(&s.list, &fromKeys);
    ASSERT_EQ(menus.size(), 3u);
    EXPECT_EQ(menus[2].first, 1);
    EXPECT_TRUE(s.list.viewport()->rect().contains(s.list.viewport()->mapFromGlobal(menus[2].second)));
    // Return plays the current row as a double click would.
    key(s.list, Qt::Key_Return);
    EXPECT_EQ(doubleClicked, (std::vector<int>{1, 1}));
}

TEST(MarkupList, ScrollsToTheRowsItShows) {
    ShownList s;
    fill(s.list, 60);
    QScrollBar* bar = s.list.verticalScrollBar();
    int total = 0;
    for (int r = 0; r < 60; ++r) total += s.list.rowHeight(r);
    EXPECT_EQ(bar->maximum(), total - s.list.viewport()->height());
    s.list.ensureVisible(59);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(s.list.rowAt(QPoint(5, s.list.viewport()->height() - 1)), 59);
    s.list.setCurrentRow(10);
    EXPECT_EQ(rowTop(s.list, 10), 0) << "scrolled up just enough";
    EXPECT_EQ(s.list.rowAt(QPoint(5, 0)), 10);
    // A click after scrolling hits the row under the pointer.
    click(s.list, rowPoint(s.list, 12));
    EXPECT_EQ(s.list.currentRow(), 12);
}

// Pixels of the list as drawn: the selection, the alternate rows, and the
// markup's colours show. The picture is saved for a look by eye when
// KESTREL_SHOT_DIR names a folder.
TEST(MarkupList, PaintsRowsSelectionAndMarkup) {
    ShownList s;
    s.list.activateWindow();
    QPixmap pixmap(24, 24);
    pixmap.fill(QColor(0x4C, 0xAF, 0x50));
    s.list.addRow("<b>File: </b>concert-2009-live.flv<br>\t\t\t\t\t<b>Received: </b>12.40 M (48.22%)  <b>Total: </b>25.72 M",
                  1, QIcon(pixmap));
    s.list.addRow("<b>File: </b>interview.flv<br>\t\t\t\t\t<b>Received: </b>3.10 M  <b>Total: </b>3.10 M", 2,
                  QIcon(pixmap));
    s.list.addRow("<b>File: </b>trailer.mp4<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S", 3, QIcon(pixmap));
    s.list.addRow("<b>File: </b>a very long recording name that does not fit on one line of the list.flv<br>"
                  "\t\t\t\t\t<b>Received: </b>1.00 G  <b>Total: </b><font color=#cc2222>unknown</font>",
                  4, QIcon(pixmap));
    s.list.addRow("<b>File: </b>radio.mp3<br>\t\t\t\t<b>Used time: </b>00:01:05<br>\t\t\t\t<b>Received: </b>1.02MB<br>"
                  "\t\t\t\t<b>Rate: </b>0015.70KB/S<br>\t\t\t\t<b>Handling: </b>N/A",
                  5);
    s.list.setCurrentRow(1);
    s.list.setSelected(4, true);
    s.list.setFocus();
    QApplication::processEvents();
    const QImage image = s.list.grab().toImage();
    if (const char* dir = std::getenv("KESTREL_SHOT_DIR")) image.save(QString::fromUtf8(dir) + "/markup_list.png");

    const int width = s.list.viewport()->width();
    auto background = [&](int row) { return image.pixelColor(width - 4, rowTop(s.list, row) + 2); };
    EXPECT_NE(background(0), background(1)) << "a selected row stands out";
    EXPECT_EQ(background(1), background(4)) << "selected rows look alike";
    EXPECT_NE(background(2), background(3)) << "alternate rows are tinted";
    EXPECT_EQ(background(0), background(2));

    // Dark text in every row, and the red word of row 3.
    for (int row = 0; row < 5; ++row) {
        int dark = 0;
        for (int y = rowTop(s.list, row); y < rowTop(s.list, row + 1); ++y)
            for (int x = 0; x < width; ++x) dark += image.pixelColor(x, y).lightness() < 80 ? 1 : 0;
        EXPECT_GT(dark, 20) << "row " << row;
    }
    int red = 0;
    for (int y = rowTop(s.list, 3); y < rowTop(s.list, 4); ++y)
        for (int x = 0; x < width; ++x) {
            const QColor c = image.pixelColor(x, y);
            red += (c.red() > 150 && c.green() < 100 && c.blue() < 100) ? 1 : 0;
        }
    EXPECT_GT(red, 5);
    // The icon sits at the left of its row.
    int green = 0;
    for (int y = rowTop(s.list, 0); y < rowTop(s.list, 1); ++y)
        for (int x = 0; x < 40; ++x) green += image.pixelColor(x, y) == QColor(0x4C, 0xAF, 0x50) ? 1 : 0;
    EXPECT_EQ(green, 24 * 24);
}

}  // namespace
