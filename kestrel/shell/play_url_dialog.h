#pragma once
// "Play URL": asks for an address (or a path) to play. The text is handed
// over exactly as typed; OK is offered once there is something to play.

#include "kestrel/shell/picture_dialog.h"

#include <optional>

class QLineEdit;
class QPushButton;

namespace kestrel::shell {

class PlayUrlDialog : public SkinnedDialog {
    Q_OBJECT
public:
    explicit PlayUrlDialog(QWidget* parent = nullptr);

    // The text as entered, untouched.
    QString text() const;

    QLineEdit* edit() const { return edit_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

    // Shows the dialog and waits: the text entered, or nothing when cancelled.
    static std::optional<QString> ask(QWidget* parent);

private:
    QLineEdit* edit_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace kestrel::shell
