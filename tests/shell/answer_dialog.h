#pragma once
// Answers a modal dialog from inside its own event loop: the test starts
// this, then opens the dialog with exec().

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

namespace kestrel::test {

// Runs answer on the next visible top-level widget of type T once it is
// shown; gives up within two seconds (answered stays false and any open
// dialog is rejected, so the test fails instead of hanging).
template <typename T>
void answerNextDialog(std::function<void(T&)> answer, bool& answered) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, answer, &answered] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<T*>(w); dialog && dialog->isVisible()) {
                timer->stop();
                timer->deleteLater();
                answered = true;
                answer(*dialog);
                return;
            }
        }
        if (++*tries > 200) {
            timer->stop();
            timer->deleteLater();
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = qobject_cast<QDialog*>(w); d && d->isVisible()) d->reject();
        }
    });
    timer->start();
}

}  // namespace kestrel::test
