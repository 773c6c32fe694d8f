#pragma once
// The Rename Local File dialog: shows a recording's name and asks for a new
// one. It only asks; the recording list checks and applies the name.

#include <QDialog>
#include <string>

class QLineEdit;

namespace kestrel::shell {

class RenameDialog : public QDialog {
    Q_OBJECT
public:
    // Names are UTF-8.
    explicit RenameDialog(const std::string& oldName, QWidget* parent = nullptr);

    std::string oldName() const;
    std::string newName() const;
    void setNewName(const std::string& name);

private:
    QLineEdit* old_ = nullptr;
    QLineEdit* new_ = nullptr;
};

}  // namespace kestrel::shell
