#pragma once
// The address chooser: the machine has several usable addresses, and the
// user picks the one whose adapter to capture on. A view over
// engine::AddressChooser, which holds the rows and the choice.

#include <QDialog>
#include <QTableWidget>
#include <span>
#include <string>
#include <vector>

#include "kestrel/engine/adapter_choice.h"

class QPushButton;

namespace kestrel::shell {

// A list of rows to pick one from, as both adapter dialogs show it: titled
// columns of fixed widths, grid lines, whole rows selected, read-only. It
// reports every left click with the row hit (-1 beside the rows), so the
// dialog can follow the last click; choosing a row with the keyboard counts
// as a click on it.
class ChoiceList : public QTableWidget {
    Q_OBJECT
public:
    ChoiceList(std::span<const engine::ListColumn> columns, QWidget* parent = nullptr);

    // Appends a row of texts (UTF-8), one per column; returns its index.
    int appendRow(const std::vector<std::string>& cells);
    // The width that shows every column whole, with frame and scroll bar.
    int fullWidth() const;

signals:
    void rowClicked(int row);
    void rowDoubleClicked(int row);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
};

class AddressChooserDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kTitle = "Choose Address";

    // The chooser must outlive the dialog; clicks are reported to it.
    explicit AddressChooserDialog(engine::AddressChooser& chooser, QWidget* parent = nullptr);

    ChoiceList* list() const { return list_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

private:
    void clickRow(int row);

    engine::AddressChooser& chooser_;
    ChoiceList* list_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

// Runs the chooser modally. The text of the row last clicked after OK; an
// empty text after Cancel.
std::string runAddressChooser(engine::AddressChooser& chooser, QWidget* parent);

}  // namespace kestrel::shell
