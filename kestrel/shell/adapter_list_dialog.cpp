#include "kestrel/shell/adapter_list_dialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "platform/shell.h"

namespace kestrel::shell {

AdapterListDialog::AdapterListDialog(engine::AdapterListDialog& model, QWidget* parent)
    : QDialog(parent), model_(model) {
    setWindowTitle(QString::fromUtf8(engine::AdapterListDialog::kTitle));

    list_ = new ChoiceList(engine::AdapterListDialog::kColumns, this);
    for (const auto& row : model_.rows()) {
        const int index = list_->appendRow({row.description, row.address, row.netmask, row.interfaceName});
        list_->item(index, 0)->setData(kNetmaskRole, QVariant::fromValue<quint32>(row.itemData));
    }

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    ok_->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(ok_, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel_, QDialogButtonBox::RejectRole);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);

    connect(list_, &ChoiceList::rowClicked, this, &AdapterListDialog::clickRow);
    connect(list_, &ChoiceList::rowDoubleClicked, this, [this](int row) {
        clickRow(row);
        confirm();
    });
    connect(buttons, &QDialogButtonBox::accepted, this, &AdapterListDialog::confirm);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // OK waits for a click in this dialog.
    clickRow(-1);

    // Wide enough for every column where the screen allows; narrower
    // screens get the list's horizontal scroll bar.
    const QMargins margins = layout->contentsMargins();
    int width = list_->fullWidth() + margins.left() + margins.right();
    const QScreen* screen = parent ? parent->screen() : QApplication::primaryScreen();
    if (screen) width = std::min(width, screen->availableGeometry().width() * 9 / 10);
    resize(width, 320);
}

void AdapterListDialog::clickRow(int row) {
    model_.click(row);
    ok_->setEnabled(model_.okEnabled());
}

void AdapterListDialog::confirm() {
    if (model_.accept()) accept();
}

bool runAdapterList(engine::AdapterListDialog& model, QWidget* parent) {
    AdapterListDialog dialog(model, parent);
    return dialog.exec() == QDialog::Accepted;
}

AdapterErrorDialog::AdapterErrorDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(engine::AdapterListDialog::kErrorTitle));

    auto* icon = new QLabel(this);
    const int iconSize = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical, nullptr, this).pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop);

    text_ = new QLabel(QString::fromUtf8(engine::AdapterListDialog::kErrorText), this);
    text_->setWordWrap(true);
    text_->setMinimumWidth(fontMetrics().averageCharWidth() * 58);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    fallback_ = new QLabel(this);
    fallback_->setWordWrap(true);
    fallback_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fallback_->hide();

    moreDetails_ = new QPushButton(QStringLiteral("More Details"), this);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setDefault(true);
    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(moreDetails_, QDialogButtonBox::ActionRole);
    buttons->addButton(cancel_, QDialogButtonBox::RejectRole);

    auto* texts = new QVBoxLayout;
    texts->addWidget(text_);
    texts->addWidget(fallback_);
    auto* body = new QHBoxLayout;
    body->addWidget(icon);
    body->addSpacing(8);
    body->addLayout(texts, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetMinimumSize);
    layout->addLayout(body);
    layout->addSpacing(10);
    layout->addWidget(buttons);

    connect(moreDetails_, &QPushButton::clicked, this, &AdapterErrorDialog::openHelp);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void AdapterErrorDialog::openHelp() {
    if (platform::shell().open(kAdapterHelpAddress)) {
        accept();
        return;
    }
    fallback_->setText(QStringLiteral("No web browser could be started. The help page is at:\n") +
                       QString::fromUtf8(kAdapterHelpAddress));
    fallback_->show();
    adjustSize();
}

void showAdapterError(QWidget* parent) {
    AdapterErrorDialog dialog(parent);
    dialog.exec();
}

}  // namespace kestrel::shell
