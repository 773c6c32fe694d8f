#include "kestrel/shell/skinned_window.h"

#include "kestrel/shell/skin_button.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace kestrel::shell {

QIcon applicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 256}) {
        const QString path = skinResourcePath(QStringLiteral("app_icon_%1.png").arg(size));
        QPixmap picture(path);
        if (!picture.isNull()) icon.addPixmap(picture);
    }
    return icon;
}

QPixmap listIcon(ListIcon icon) {
    const char* name = nullptr;
    switch (icon) {
    case ListIcon::Recording: name = "state_recording.png"; break;
    case ListIcon::Done: name = "state_done.png"; break;
    case ListIcon::Failed: name = "state_failed.png"; break;
    case ListIcon::Playable: name = "file_playable.png"; break;
    case ListIcon::Unchecked: name = "file_unchecked.png"; break;
    case ListIcon::Damaged: name = "file_damaged.png"; break;
    case ListIcon::NowPlaying: name = "file_playing.png"; break;
    }
    if (!name) return {};
    return QPixmap(skinResourcePath(QString::fromLatin1(name)));
}

// ------------------------------------------------------------------ drag

bool BodyDrag::press(QWidget* window, QPoint local, QPoint global, Qt::MouseButton button) {
    if (button != Qt::LeftButton) return false;
    // Labels are part of the body; any other child is a control of its own.
    if (QWidget* child = window->childAt(local); child && !qobject_cast<QLabel*>(child)) return false;
    // Wayland lets no client place its own windows; there the compositor
    // moves it. Everywhere else the window follows the pointer itself, which
    // keeps the moves (and the docked panel following them) under our control.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        if (QWindow* handle = window->windowHandle(); handle && handle->startSystemMove()) return true;
    }
    grab_ = global - window->pos();
    return true;
}

bool BodyDrag::move(QWidget* window, QPoint global, Qt::MouseButtons buttons) {
    if (!grab_) return false;
    if (!(buttons & Qt::LeftButton)) {
        // The release went elsewhere (a grab taken by a popup): stop quietly.
        grab_.reset();
        return false;
    }
    window->move(global - *grab_);
    return true;
}

bool BodyDrag::release(Qt::MouseButton button) {
    if (!grab_ || button != Qt::LeftButton) return false;
    grab_.reset();
    return true;
}

// ---------------------------------------------------------------- window

SkinnedWindow::SkinnedWindow(QSize size, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint) {
    setFixedSize(size);
    setWindowIcon(applicationIcon());
    // The background picture covers every pixel; nothing to clear first.
    setAttribute(Qt::WA_OpaquePaintEvent, true);
}

bool SkinnedWindow::loadBackground(const QString& resourcePath, QString* error) {
    QPixmap picture;
    if (!picture.load(resourcePath)) {
        if (error) *error = QStringLiteral("missing skin picture %1").arg(resourcePath);
        return false;
    }
    if (picture.size() != size()) {
        if (error)
            *error = QStringLiteral("skin picture %1 is %2 x %3, the window %4 x %5")
                         .arg(resourcePath)
                         .arg(picture.width())
                         .arg(picture.height())
                         .arg(width())
                         .arg(height());
        return false;
    }
    background_ = std::move(picture);
    update();
    return true;
}

void SkinnedWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (background_.isNull())
        painter.fillRect(rect(), palette().window());
    else
        painter.drawPixmap(0, 0, background_);
}

void SkinnedWindow::mousePressEvent(QMouseEvent* event) {
    if (drag_.press(this, event->position().toPoint(), event->globalPosition().toPoint(), event->button()))
        event->accept();
    else
        QWidget::mousePressEvent(event);
}

void SkinnedWindow::mouseMoveEvent(QMouseEvent* event) {
    if (drag_.move(this, event->globalPosition().toPoint(), event->buttons()))
        event->accept();
    else
        QWidget::mouseMoveEvent(event);
}

void SkinnedWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (drag_.release(event->button()))
        event->accept();
    else
        QWidget::mouseReleaseEvent(event);
}

void SkinnedWindow::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        // Swallowed here, so they reach nothing else either.
        event->accept();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void SkinnedWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    emit moved(pos());
}

namespace {

const QColor kDialogTop(0x2a, 0x33, 0x3e);
const QColor kDialogBottom(0x1a, 0x20, 0x27);
const QColor kDialogOutline(0x0b, 0x0e, 0x12);
const QColor kDialogEdgeLight(0x3c, 0x48, 0x56);
const QColor kDialogTeal(0x2e, 0xc4, 0xb6);

QColor faded(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

}  // namespace

void paintDialogBody(QPainter& p, const QWidget& dialog) {
    QLinearGradient body(0, 0, 0, dialog.height());
    body.setColorAt(0, kDialogTop);
    body.setColorAt(1, kDialogBottom);
    p.fillRect(dialog.rect(), body);
}

void paintDialogEdges(QPainter& p, const QWidget& dialog, int stripHeight) {
    const int width = dialog.width();
    // The button strip at the bottom sits a shade lower, under a groove.
    const int stripTop = dialog.height() - stripHeight;
    p.fillRect(QRect(1, stripTop, width - 2, stripHeight - 1), QColor(0x17, 0x1c, 0x22));
    p.setPen(kDialogOutline);
    p.drawLine(1, stripTop - 1, width - 2, stripTop - 1);
    p.setPen(faded(kDialogEdgeLight, 110));
    p.drawLine(1, stripTop, width - 2, stripTop);

    // A teal haze along the top edge, as on the windows.
    QLinearGradient haze(0, 0, width, 0);
    haze.setColorAt(0, faded(kDialogTeal, 0));
    haze.setColorAt(0.5, faded(kDialogTeal, 170));
    haze.setColorAt(1, faded(kDialogTeal, 0));
    p.fillRect(QRect(0, 1, width, 1), haze);

    p.setPen(kDialogOutline);
    p.setBrush(Qt::NoBrush);
    p.drawRect(dialog.rect().adjusted(0, 0, -1, -1));
}

}  // namespace kestrel::shell
