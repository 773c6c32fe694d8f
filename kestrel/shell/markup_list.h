#pragma once
// The markup list control: a scrolling list whose rows are short markup
// texts ("<b>File: </b>name<br>..."), each row as tall as its text measures
// when word-wrapped to the list's width. Rows carry one integer of data for
// their owner (the recording list keeps a record item index there). Several
// rows may be selected (Ctrl/Shift clicks, Ctrl+A); one is current.

#include <QAbstractScrollArea>
#include <QFont>
#include <QIcon>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::shell {

class MarkupListCtrl : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit MarkupListCtrl(QWidget* parent = nullptr);
    ~MarkupListCtrl() override;

    // Rows. Texts are UTF-8 markup. Returns the new row's index.
    int addRow(const std::string& markup, std::uintptr_t data = 0, const QIcon& icon = QIcon());
    int insertRow(int row, const std::string& markup, std::uintptr_t data = 0, const QIcon& icon = QIcon());
    void setRowText(int row, const std::string& markup);
    void setRowIcon(int row, const QIcon& icon);
    void removeRow(int row);
    void clear();
    int rowCount() const;
    const std::string& rowText(int row) const;
    std::uintptr_t rowData(int row) const;
    // The first row whose data is data, or -1.
    int findRow(std::uintptr_t data) const;
    // Height of a row as measured (markup height plus the row's padding).
    int rowHeight(int row) const;

    // Selection. selectedRows() is in ascending order.
    int currentRow() const;
    void setCurrentRow(int row);  // selects only that row (-1: none)
    std::vector<int> selectedRows() const;
    bool isSelected(int row) const;
    void setSelected(int row, bool selected);
    void selectAll();
    void ensureVisible(int row);
    // The row at a point of the viewport, or -1.
    int rowAt(const QPoint& viewportPoint) const;

signals:
    void rowDoubleClicked(int row);
    // A right click or the menu key: the row under the pointer (-1 when
    // none) and where the menu goes, in global coordinates.
    void contextMenuRequested(int row, const QPoint& globalPos);
    void currentRowChanged(int row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    struct Row;
    // Measures every row again (the width or the font changed).
    void relayout();
    void measure(Row& row) const;
    int textWidthFor(const Row& row) const;
    // Row tops from the heights, and the scroll bar's range.
    void placeRows();
    QRect rowRect(int row) const;  // in viewport coordinates
    void setCurrent(int row);
    void selectOnly(int row);
    void selectRange(int from, int to);  // only these, inclusive
    int rowAfterPage(int row, int direction) const;

    void mouseMoveEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;

    std::vector<Row> rows_;
    int current_ = -1;
    int anchor_ = -1;
    int hover_ = -1;
    int totalHeight_ = 0;
    int measuredWidth_ = -1;
    bool dragSelect_ = false;  // the left button went down on a row
};

}  // namespace kestrel::shell
