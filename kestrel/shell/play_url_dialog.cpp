#include "kestrel/shell/play_url_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel::shell {

PlayUrlDialog::PlayUrlDialog(QWidget* parent) : SkinnedDialog(QStringLiteral("Play URL"), QSize(400, 150), parent) {
    auto* prompt = new QLabel(QStringLiteral("The address of a stream, or a file path:"), this);
    edit_ = new QLineEdit(this);
    edit_->setPlaceholderText(QStringLiteral("http://"));

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setDefault(true);
    ok_->setEnabled(false);
    ok_->setCursor(Qt::PointingHandCursor);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("secondary"));
    cancel_->setAutoDefault(false);
    cancel_->setCursor(Qt::PointingHandCursor);
    connect(edit_, &QLineEdit::textChanged, this, [this](const QString& text) { ok_->setEnabled(!text.isEmpty()); });
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* strip = new QWidget(this);
    strip->setFixedHeight(kStripHeight);
    strip->setLayout(buttons);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(16, kTitleHeight + 6, 14, 0);
    page->setSpacing(8);
    page->addWidget(prompt);
    page->addWidget(edit_);
    page->addStretch();
    page->addWidget(strip);
    edit_->setFocus();
}

QString PlayUrlDialog::text() const {
    return edit_->text();
}

std::optional<QString> PlayUrlDialog::ask(QWidget* parent) {
    PlayUrlDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted || dialog.text().isEmpty()) return std::nullopt;
    return dialog.text();
}

}  // namespace kestrel::shell
