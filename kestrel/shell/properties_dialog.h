#pragma once
// The Properties dialog of a recording: where its file lies, the size it
// was expected to have and the URL it came from. The texts can be selected
// and copied; a long URL wraps inside a small box instead of widening the
// dialog.

#include <QDialog>
#include <cstdint>
#include <string>

class QLineEdit;
class QLabel;
class QPlainTextEdit;

namespace kestrel::shell {

class PropertiesDialog : public QDialog {
    Q_OBJECT
public:
    // Texts are UTF-8.
    PropertiesDialog(const std::string& file, std::int64_t size, const std::string& url, QWidget* parent = nullptr);

    QString fileText() const;
    QString sizeText() const;
    QString urlText() const;

private:
    QLineEdit* file_ = nullptr;
    QLabel* size_ = nullptr;
    QPlainTextEdit* url_ = nullptr;
};

}  // namespace kestrel::shell
