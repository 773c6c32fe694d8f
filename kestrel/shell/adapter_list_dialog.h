#pragma once
// The adapter list: every capture adapter with its IPv4 address and netmask,
// for the user to pick the one to capture on; and the error shown instead
// when the adapters cannot be listed at all. Views over
// engine::AdapterListDialog, which holds the rows and the results.

#include <QDialog>

#include "kestrel/engine/adapter_choice.h"
#include "kestrel/shell/address_chooser_dialog.h"

class QLabel;
class QPushButton;

namespace kestrel::shell {

// Where "More Details" leads: how to give the program the right to capture.
inline constexpr const char* kAdapterHelpAddress = "https://kestrel-recorder.org/help/capture-permissions";

class AdapterListDialog : public QDialog {
    Q_OBJECT
public:
    // Each row's column 0 item keeps the adapter's netmask value under this role.
    static constexpr int kNetmaskRole = Qt::UserRole;

    // The model must be enumerated already and outlive the dialog.
    explicit AdapterListDialog(engine::AdapterListDialog& model, QWidget* parent = nullptr);

    ChoiceList* list() const { return list_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    void clickRow(int row);
    void confirm();

    engine::AdapterListDialog& model_;
    ChoiceList* list_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// Runs the adapter list modally over an enumerated model. True after OK,
// with model.accept() done (its results filled); false after Cancel.
bool runAdapterList(engine::AdapterListDialog& model, QWidget* parent);

// The error dialog: the adapters cannot be listed. "More Details" opens the
// help page in the web browser and closes the dialog; when no browser can be
// started, the dialog stays and shows the address to copy instead.
class AdapterErrorDialog : public QDialog {
    Q_OBJECT
public:
    explicit AdapterErrorDialog(QWidget* parent = nullptr);

    QLabel* textLabel() const { return text_; }
    // Empty and hidden until the help page could not be opened.
    QLabel* fallbackLabel() const { return fallback_; }
    QPushButton* moreDetailsButton() const { return moreDetails_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    void openHelp();

    QLabel* text_ = nullptr;
    QLabel* fallback_ = nullptr;
    QPushButton* moreDetails_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

void showAdapterError(QWidget* parent);

}  // namespace kestrel::shell
