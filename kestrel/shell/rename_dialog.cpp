#include "kestrel/shell/rename_dialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel::shell {

RenameDialog::RenameDialog(const std::string& oldName, QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("Rename Local File"));
    setObjectName(QStringLiteral("renameDialog"));

    const QString current = QString::fromUtf8(oldName.data(), static_cast<qsizetype>(oldName.size()));
    old_ = new QLineEdit(current, this);
    old_->setObjectName(QStringLiteral("oldName"));
    old_->setReadOnly(true);
    // Starts as the old name, all selected: typing replaces it, and a small
    // change needs no retyping.
    new_ = new QLineEdit(current, this);
    new_->setObjectName(QStringLiteral("newName"));
    new_->selectAll();

    auto* form = new QFormLayout;
    form->setRowWrapPolicy(QFormLayout::WrapAllRows);
    form->addRow(new QLabel(QStringLiteral("Old File Name"), this), old_);
    form->addRow(new QLabel(QStringLiteral("New File Name(Length <= 30)"), this), new_);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setMinimumWidth(320);
    new_->setFocus();
}

std::string RenameDialog::oldName() const {
    return old_->text().toStdString();
}

std::string RenameDialog::newName() const {
    return new_->text().toStdString();
}

void RenameDialog::setNewName(const std::string& name) {
    new_->setText(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
}

}  // namespace kestrel::shell
