#include "kestrel/shell/address_chooser_dialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

namespace kestrel::shell {

ChoiceList::ChoiceList(std::span<const engine::ListColumn> columns, QWidget* parent) : QTableWidget(parent) {
    setColumnCount(static_cast<int>(columns.size()));
    QStringList titles;
    for (const auto& column : columns) titles << QString::fromUtf8(column.title);
    setHorizontalHeaderLabels(titles);
    horizontalHeader()->setStretchLastSection(false);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    for (int i = 0; i < columnCount(); ++i) setColumnWidth(i, columns[static_cast<std::size_t>(i)].width);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);

    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    setTabKeyNavigation(false);
}

int ChoiceList::appendRow(const std::vector<std::string>& cells) {
    const int row = rowCount();
    insertRow(row);
    for (int column = 0; column < columnCount() && static_cast<std::size_t>(column) < cells.size(); ++column) {
        auto* item = new QTableWidgetItem(QString::fromUtf8(cells[static_cast<std::size_t>(column)]));
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        setItem(row, column, item);
    }
    return row;
}

int ChoiceList::fullWidth() const {
    int width = 2 * frameWidth() + verticalScrollBar()->sizeHint().width();
    for (int i = 0; i < columnCount(); ++i) width += columnWidth(i);
    return width;
}

void ChoiceList::mousePressEvent(QMouseEvent* event) {
    const QModelIndex hit = indexAt(event->position().toPoint());
    QTableWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) emit rowClicked(hit.isValid() ? hit.row() : -1);
}

void ChoiceList::mouseDoubleClickEvent(QMouseEvent* event) {
    const QModelIndex hit = indexAt(event->position().toPoint());
    QTableWidget::mouseDoubleClickEvent(event);
    if (event->button() == Qt::LeftButton && hit.isValid()) emit rowDoubleClicked(hit.row());
}

void ChoiceList::keyPressEvent(QKeyEvent* event) {
    QTableWidget::keyPressEvent(event);
    // Focus alone makes a row current without selecting it: only a row the
    // keys selected is a choice.
    const QModelIndex current = currentIndex();
    if (current.isValid() && selectionModel()->isSelected(current)) emit rowClicked(current.row());
}

AddressChooserDialog::AddressChooserDialog(engine::AddressChooser& chooser, QWidget* parent)
    : QDialog(parent), chooser_(chooser) {
    setWindowTitle(QString::fromUtf8(kTitle));

    list_ = new ChoiceList(std::span(&engine::AddressChooser::kColumn, 1), this);
    for (const auto& address : chooser_.rows()) list_->appendRow({address});
    list_->setMinimumWidth(list_->fullWidth());

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    ok_->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(ok_, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel_, QDialogButtonBox::RejectRole);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);

    connect(list_, &ChoiceList::rowClicked, this, &AddressChooserDialog::clickRow);
    connect(list_, &ChoiceList::rowDoubleClicked, this, [this](int row) {
        clickRow(row);
        if (chooser_.okEnabled()) accept();
    });
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (chooser_.okEnabled()) accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // OK waits for a click in this dialog.
    clickRow(-1);
    resize(sizeHint().width(), 280);
}

void AddressChooserDialog::clickRow(int row) {
    chooser_.click(row);
    ok_->setEnabled(chooser_.okEnabled());
}

std::string runAddressChooser(engine::AddressChooser& chooser, QWidget* parent) {
    AddressChooserDialog dialog(chooser, parent);
    return dialog.exec() == QDialog::Accepted ? chooser.result() : std::string();
}

}  // namespace kestrel::shell
