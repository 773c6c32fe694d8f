#pragma once
// The About dialog: the application icon, the program's name and version,
// one line on what it does, and OK. Frameless and painted in the skin's
// colours; it is moved by dragging its body like the main window.

#include "kestrel/shell/skinned_window.h"

#include <QDialog>

class QLabel;
class QPushButton;

namespace kestrel::shell {

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    // "Version " and the version the program was built as.
    static QString versionText();

    QPushButton* okButton() const { return ok_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QPushButton* ok_ = nullptr;
    BodyDrag drag_;
};

}  // namespace kestrel::shell
