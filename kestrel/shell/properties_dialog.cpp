#include "kestrel/shell/properties_dialog.h"

#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextOption>
#include <QVBoxLayout>

namespace kestrel::shell {
namespace {

constexpr int kDialogWidth = 440;
constexpr int kUrlLines = 4;

QLabel* caption(const char* text, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

}  // namespace

PropertiesDialog::PropertiesDialog(const std::string& file, std::int64_t size, const std::string& url, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(QStringLiteral("Properties"));
    setObjectName(QStringLiteral("propertiesDialog"));

    // A line edit keeps a long path on one line, scrollable and selectable.
    file_ = new QLineEdit(QString::fromUtf8(file.data(), static_cast<qsizetype>(file.size())), this);
    file_->setObjectName(QStringLiteral("file"));
    file_->setReadOnly(true);
    file_->setCursorPosition(0);
    file_->setToolTip(file_->text());

    size_ = new QLabel(QString::number(size), this);
    size_->setObjectName(QStringLiteral("size"));
    size_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    // URLs rarely have spaces to break at: wrap anywhere, and scroll past
    // a few lines rather than grow.
    url_ = new QPlainTextEdit(this);
    url_->setObjectName(QStringLiteral("url"));
    url_->setReadOnly(true);
    url_->setPlainText(QString::fromUtf8(url.data(), static_cast<qsizetype>(url.size())));
    url_->setWordWrapMode(QTextOption::WrapAnywhere);
    url_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    url_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    const QFontMetrics metrics(url_->font());
    url_->setFixedHeight(metrics.lineSpacing() * kUrlLines + 2 * static_cast<int>(url_->document()->documentMargin()) +
                         2 * url_->frameWidth());

    auto* grid = new QGridLayout;
    grid->setColumnStretch(1, 1);
    grid->addWidget(caption("File", this), 0, 0);
    grid->addWidget(file_, 0, 1);
    grid->addWidget(caption("Size", this), 1, 0);
    grid->addWidget(size_, 1, 1);
    grid->addWidget(caption("URL", this), 2, 0);
    grid->addWidget(url_, 2, 1);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(buttons);
    setFixedWidth(kDialogWidth);
}

QString PropertiesDialog::fileText() const {
    return file_->text();
}

QString PropertiesDialog::sizeText() const {
    return size_->text();
}

QString PropertiesDialog::urlText() const {
    return url_->toPlainText();
}

}  // namespace kestrel::shell
