#include "kestrel/shell/markup_list.h"

#include <QContextMenuEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <algorithm>

#include "kestrel/shell/markup_painter.h"

namespace kestrel::shell {

namespace {

constexpr int kPadX = 8;          // text and icon from the row's sides
constexpr int kPadY = 5;          // above and below the text
constexpr int kIconSize = 24;
constexpr int kIconGap = 7;       // between the icon and the text
constexpr int kSeparator = 1;     // the line under each row
constexpr int kAccentWidth = 3;   // the bar at the left of a selected row
constexpr int kScrollStep = 20;

// Dark rows in the window's slate, the selection tinted with its teal and
// marked by a bar at its left, so the rows' bold labels stay easy to read.
const QColor kBackground(0x15, 0x1B, 0x22);
const QColor kAlternate(0x19, 0x20, 0x28);
const QColor kHover(0x1F, 0x28, 0x31);
const QColor kSelected(0x1B, 0x38, 0x3C);
const QColor kSelectedInactive(0x22, 0x2B, 0x34);
const QColor kAccent(0x2E, 0xC4, 0xB6);
const QColor kAccentInactive(0x4A, 0x5A, 0x66);
const QColor kFocusFrame(0x2A, 0x8F, 0x86);
const QColor kSeparatorColor(0x24, 0x2D, 0x37);
const QColor kText(0xD5, 0xDD, 0xE5);

const std::string kNoText;

}  // namespace

struct MarkupListCtrl::Row {
    std::string text;
    std::uintptr_t data = 0;
    QIcon icon;
    bool selected = false;
    int height = 0;  // padding and separator included
    int top = 0;     // from the top of the first row
};

MarkupListCtrl::MarkupListCtrl(QWidget* parent) : QAbstractScrollArea(parent) {
    setFont(defaultMarkupFont());
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFrameShape(QFrame::NoFrame);
    viewport()->setMouseTracking(true);
    viewport()->setAutoFillBackground(false);
    verticalScrollBar()->setSingleStep(kScrollStep);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        // Another row is under the pointer now; the next move tells which.
        hover_ = -1;
        viewport()->update();
    });
}

MarkupListCtrl::~MarkupListCtrl() = default;

// ---------------------------------------------------------------- rows

int MarkupListCtrl::addRow(const std::string& markup, std::uintptr_t value, const QIcon& icon) {
    return insertRow(rowCount(), markup, value, icon);
}

int MarkupListCtrl::insertRow(int row, const std::string& markup, std::uintptr_t value, const QIcon& icon) {
    row = std::clamp(row, 0, rowCount());
    Row r;
    r.text = markup;
    r.data = value;
    r.icon = icon;
    measure(r);
    rows_.insert(rows_.begin() + row, std::move(r));
    if (anchor_ >= row) ++anchor_;
    hover_ = -1;
    placeRows();
    if (current_ >= row) setCurrent(current_ + 1);
    return row;
}

void MarkupListCtrl::setRowText(int row, const std::string& markup) {
    if (row < 0 || row >= rowCount()) return;
    Row& r = rows_[static_cast<std::size_t>(row)];
    if (r.text == markup) return;
    r.text = markup;
    const int before = r.height;
    measure(r);
    if (r.height != before)
        placeRows();
    else
        viewport()->update(rowRect(row));
}

void MarkupListCtrl::setRowIcon(int row, const QIcon& icon) {
    if (row < 0 || row >= rowCount()) return;
    Row& r = rows_[static_cast<std::size_t>(row)];
    r.icon = icon;
    measure(r);
    placeRows();
}

void MarkupListCtrl::removeRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    rows_.erase(rows_.begin() + row);
    hover_ = -1;
    if (anchor_ > row) --anchor_;
    else if (anchor_ == row) anchor_ = -1;
    placeRows();
    // The current row moves with its row; when it was the removed one, the
    // row that took its place (or the new last row) becomes current.
    if (current_ > row) {
        setCurrent(current_ - 1);
    } else if (current_ == row) {
        // Signalled even when the index stays: it is another row now.
        current_ = std::min(row, rowCount() - 1);
        if (current_ >= 0) viewport()->update(rowRect(current_));
        emit currentRowChanged(current_);
    }
    if (anchor_ < 0) anchor_ = current_;
}

void MarkupListCtrl::clear() {
    rows_.clear();
    anchor_ = -1;
    hover_ = -1;
    placeRows();
    setCurrent(-1);
}

int MarkupListCtrl::rowCount() const {
    return static_cast<int>(rows_.size());
}

const std::string& MarkupListCtrl::rowText(int row) const {
    if (row < 0 || row >= rowCount()) return kNoText;
    return rows_[static_cast<std::size_t>(row)].text;
}

std::uintptr_t MarkupListCtrl::rowData(int row) const {
    if (row < 0 || row >= rowCount()) return 0;
    return rows_[static_cast<std::size_t>(row)].data;
}

int MarkupListCtrl::findRow(std::uintptr_t value) const {
    const auto it = std::find_if(rows_.begin(), rows_.end(), [value](const Row& r) { return r.data == value; });
    return it == rows_.end() ? -1 : static_cast<int>(it - rows_.begin());
}

int MarkupListCtrl::rowHeight(int row) const {
    if (row < 0 || row >= rowCount()) return 0;
    return rows_[static_cast<std::size_t>(row)].height;
}

// ---------------------------------------------------------------- selection

int MarkupListCtrl::currentRow() const {
    return current_;
}

void MarkupListCtrl::setCurrentRow(int row) {
    if (row >= rowCount()) row = -1;
    if (row < 0) {
        for (Row& r : rows_) r.selected = false;
        anchor_ = -1;
        setCurrent(-1);
        viewport()->update();
        return;
    }
    selectOnly(row);
    anchor_ = row;
    setCurrent(row);
    ensureVisible(row);
}

std::vector<int> MarkupListCtrl::selectedRows() const {
    std::vector<int> out;
    for (std::size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].selected) out.push_back(static_cast<int>(i));
    return out;
}

bool MarkupListCtrl::isSelected(int row) const {
    return row >= 0 && row < rowCount() && rows_[static_cast<std::size_t>(row)].selected;
}

void MarkupListCtrl::setSelected(int row, bool selected) {
    if (row < 0 || row >= rowCount()) return;
    rows_[static_cast<std::size_t>(row)].selected = selected;
    viewport()->update(rowRect(row));
}

void MarkupListCtrl::selectAll() {
    for (Row& r : rows_) r.selected = true;
    viewport()->update();
}

void MarkupListCtrl::ensureVisible(int row) {
    if (row < 0 || row >= rowCount()) return;
    const Row& r = rows_[static_cast<std::size_t>(row)];
    QScrollBar* bar = verticalScrollBar();
    const int visible = viewport()->height();
    if (r.top < bar->value())
        bar->setValue(r.top);
    else if (r.top + r.height > bar->value() + visible)
        bar->setValue(std::min(r.top, r.top + r.height - visible));
}

int MarkupListCtrl::rowAt(const QPoint& viewportPoint) const {
    if (viewportPoint.x() < 0 || viewportPoint.x() >= viewport()->width() || viewportPoint.y() < 0) return -1;
    const int y = viewportPoint.y() + verticalScrollBar()->value();
    if (y >= totalHeight_) return -1;
    // The last row whose top is at or above y.
    const auto it = std::upper_bound(rows_.begin(), rows_.end(), y, [](int v, const Row& r) { return v < r.top; });
    return static_cast<int>(it - rows_.begin()) - 1;
}

void MarkupListCtrl::setCurrent(int row) {
    if (row == current_) return;
    const int old = current_;
    current_ = row;
    if (old >= 0 && old < rowCount()) viewport()->update(rowRect(old));
    if (row >= 0) viewport()->update(rowRect(row));
    emit currentRowChanged(row);
}

void MarkupListCtrl::selectOnly(int row) {
    for (std::size_t i = 0; i < rows_.size(); ++i) rows_[i].selected = static_cast<int>(i) == row;
    viewport()->update();
}

void MarkupListCtrl::selectRange(int from, int to) {
    if (from > to) std::swap(from, to);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        const int r = static_cast<int>(i);
        rows_[i].selected = r >= from && r <= to;
    }
    viewport()->update();
}

// ---------------------------------------------------------------- layout

int MarkupListCtrl::textWidthFor(const Row& row) const {
    int width = viewport()->width() - 2 * kPadX;
    if (!row.icon.isNull()) width -= kIconSize + kIconGap;
    return std::max(1, width);
}

void MarkupListCtrl::measure(Row& row) const {
    const QSize text = measureMarkup(row.text, font(), textWidthFor(row), viewport());
    const int content = std::max(text.height(), row.icon.isNull() ? 0 : kIconSize);
    row.height = content + 2 * kPadY + kSeparator;
}

void MarkupListCtrl::relayout() {
    measuredWidth_ = viewport()->width();
    for (Row& r : rows_) measure(r);
    placeRows();
}

void MarkupListCtrl::placeRows() {
    int top = 0;
    for (Row& r : rows_) {
        r.top = top;
        top += r.height;
    }
    totalHeight_ = top;
    QScrollBar* bar = verticalScrollBar();
    const int visible = viewport()->height();
    bar->setPageStep(std::max(1, visible));
    bar->setRange(0, std::max(0, totalHeight_ - visible));
    viewport()->update();
}

QRect MarkupListCtrl::rowRect(int row) const {
    if (row < 0 || row >= rowCount()) return {};
    const Row& r = rows_[static_cast<std::size_t>(row)];
    return {0, r.top - verticalScrollBar()->value(), viewport()->width(), r.height};
}

int MarkupListCtrl::rowAfterPage(int row, int direction) const {
    if (rows_.empty()) return -1;
    if (row < 0) return 0;
    const Row& r = rows_[static_cast<std::size_t>(row)];
    const int visible = std::max(1, viewport()->height());
    int target = direction > 0 ? r.top + visible : r.top - visible;
    target = std::clamp(target, 0, std::max(0, totalHeight_ - 1));
    const auto it =
        std::upper_bound(rows_.begin(), rows_.end(), target, [](int v, const Row& x) { return v < x.top; });
    int found = static_cast<int>(it - rows_.begin()) - 1;
    // Always move at least one row, so a row taller than the view still
    // lets the keys go on.
    if (found == row) found += direction > 0 ? 1 : -1;
    return std::clamp(found, 0, rowCount() - 1);
}

// ---------------------------------------------------------------- events

void MarkupListCtrl::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QRect exposed = event->rect();
    painter.fillRect(exposed, kBackground);
    // The selection keeps its colour while the window is active; the frame
    // of the current row shows where the keys act, so only with focus.
    const bool active = isActiveWindow();
    const bool focused = hasFocus();
    const int offset = verticalScrollBar()->value();
    const int width = viewport()->width();

    const int firstY = exposed.top() + offset;
    auto it = std::upper_bound(rows_.begin(), rows_.end(), firstY, [](int v, const Row& r) { return v < r.top; });
    if (it != rows_.begin()) --it;
    for (; it != rows_.end(); ++it) {
        const Row& r = *it;
        const int index = static_cast<int>(it - rows_.begin());
        const int top = r.top - offset;
        if (top > exposed.bottom()) break;
        const QRect body(0, top, width, r.height - kSeparator);

        QColor fill = index % 2 == 1 ? kAlternate : kBackground;
        if (index == hover_) fill = kHover;
        if (r.selected) fill = active ? kSelected : kSelectedInactive;
        painter.fillRect(body, fill);
        if (r.selected) painter.fillRect(QRect(0, top, kAccentWidth, body.height()), active ? kAccent : kAccentInactive);
        if (index == current_ && focused) {
            painter.setPen(QPen(kFocusFrame, 1));
            painter.drawRect(body.adjusted(0, 0, -1, -1));
        }
        painter.fillRect(QRect(0, top + body.height(), width, kSeparator), kSeparatorColor);

        int textLeft = kPadX;
        if (!r.icon.isNull()) {
            const int iconTop = top + (body.height() - kIconSize) / 2;
            r.icon.paint(&painter, QRect(kPadX, iconTop, kIconSize, kIconSize));
            textLeft += kIconSize + kIconGap;
        }
        painter.setFont(font());
        painter.setPen(kText);
        const int textWidth = textWidthFor(r);
        // The same rectangle the row was measured in: the text wraps where
        // measuring wrapped it.
        drawMarkup(painter, r.text, QRect(textLeft, top + kPadY, textWidth, body.height() - 2 * kPadY));
    }
}

void MarkupListCtrl::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    if (viewport()->width() != measuredWidth_)
        relayout();
    else
        placeRows();
}

void MarkupListCtrl::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) relayout();
    if (event->type() == QEvent::ActivationChange) viewport()->update();
}

bool MarkupListCtrl::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::Leave && hover_ >= 0) {
        const int old = hover_;
        hover_ = -1;
        viewport()->update(rowRect(old));
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void MarkupListCtrl::mousePressEvent(QMouseEvent* event) {
    const int row = rowAt(event->position().toPoint());
    const Qt::KeyboardModifiers mods = event->modifiers();
    if (event->button() == Qt::LeftButton) {
        dragSelect_ = row >= 0 && !(mods & Qt::ControlModifier);
        if (row < 0) {
            // A click beside the rows clears the selection, as in any list.
            if (!(mods & (Qt::ControlModifier | Qt::ShiftModifier))) {
                for (Row& r : rows_) r.selected = false;
                viewport()->update();
            }
        } else if (mods & Qt::ShiftModifier) {
            if (anchor_ < 0) anchor_ = current_ >= 0 ? current_ : row;
            if (mods & Qt::ControlModifier) {
                for (int i = std::min(anchor_, row); i <= std::max(anchor_, row); ++i) setSelected(i, true);
            } else {
                selectRange(anchor_, row);
            }
            setCurrent(row);
        } else if (mods & Qt::ControlModifier) {
            setSelected(row, !isSelected(row));
            anchor_ = row;
            setCurrent(row);
        } else {
            selectOnly(row);
            anchor_ = row;
            setCurrent(row);
        }
        if (row >= 0) ensureVisible(row);
        event->accept();
        return;
    }
    if (event->button() == Qt::RightButton) {
        // A right click on a row outside the selection makes it the
        // selection; on a selected row it keeps the selection, so a menu
        // acts on all of it.
        if (row >= 0) {
            if (!isSelected(row)) {
                selectOnly(row);
                anchor_ = row;
            }
            setCurrent(row);
        }
        event->accept();
        return;
    }
    QAbstractScrollArea::mousePressEvent(event);
}

void MarkupListCtrl::mouseMoveEvent(QMouseEvent* event) {
    const int row = rowAt(event->position().toPoint());
    if (row != hover_) {
        const int old = hover_;
        hover_ = row;
        if (old >= 0) viewport()->update(rowRect(old));
        if (row >= 0) viewport()->update(rowRect(row));
    }
    // Dragging with the left button extends the selection from the anchor.
    if ((event->buttons() & Qt::LeftButton) && dragSelect_ && row >= 0 && anchor_ >= 0) {
        selectRange(anchor_, row);
        setCurrent(row);
        ensureVisible(row);
    }
    QAbstractScrollArea::mouseMoveEvent(event);
}

void MarkupListCtrl::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const int row = rowAt(event->position().toPoint());
    if (row >= 0) emit rowDoubleClicked(row);
    event->accept();
}

void MarkupListCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        event->accept();
        return;
    }
    const Qt::KeyboardModifiers mods = event->modifiers();
    int target = -2;
    switch (event->key()) {
    case Qt::Key_Up: target = current_ < 0 ? 0 : current_ - 1; break;
    case Qt::Key_Down: target = current_ < 0 ? 0 : current_ + 1; break;
    case Qt::Key_Home: target = 0; break;
    case Qt::Key_End: target = rowCount() - 1; break;
    case Qt::Key_PageUp: target = rowAfterPage(current_, -1); break;
    case Qt::Key_PageDown: target = rowAfterPage(current_, 1); break;
    case Qt::Key_Space:
        if (current_ >= 0 && (mods & Qt::ControlModifier)) {
            setSelected(current_, !isSelected(current_));
            anchor_ = current_;
            event->accept();
            return;
        }
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // The keyboard's way to the double-click action.
        if (current_ >= 0) {
            emit rowDoubleClicked(current_);
            event->accept();
            return;
        }
        break;
    default: break;
    }
    if (target == -2 || rows_.empty()) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    target = std::clamp(target, 0, rowCount() - 1);
    if (mods & Qt::ShiftModifier) {
        if (anchor_ < 0) anchor_ = current_ >= 0 ? current_ : target;
        selectRange(anchor_, target);
    } else if (!(mods & Qt::ControlModifier)) {
        // Ctrl moves only the current row, so Ctrl+Space can pick rows
        // apart from each other.
        selectOnly(target);
        anchor_ = target;
    }
    setCurrent(target);
    ensureVisible(target);
    event->accept();
}

void MarkupListCtrl::contextMenuEvent(QContextMenuEvent* event) {
    int row;
    QPoint global;
    if (event->reason() == QContextMenuEvent::Mouse) {
        row = rowAt(event->pos());
        global = event->globalPos();
    } else {
        // From the keyboard: at the current row, or at the list's corner.
        row = current_;
        const QRect r = rowRect(row);
        const QPoint local = r.isValid() ? QPoint(r.left() + 2 * kPadX, std::clamp(r.center().y(), 0, viewport()->height()))
                                         : QPoint(kPadX, kPadY);
        global = viewport()->mapToGlobal(local);
    }
    emit contextMenuRequested(row, global);
    event->accept();
}

}  // namespace kestrel::shell
