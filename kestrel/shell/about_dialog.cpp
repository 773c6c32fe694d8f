#include "kestrel/shell/about_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#ifndef KESTREL_VERSION
#error "KESTREL_VERSION must name the version the program is built as"
#endif

namespace kestrel::shell {

namespace {

constexpr int kWidth = 360;
constexpr int kHeight = 190;

const char* const kStyle = R"(
QLabel { color: #98a5b3; background: transparent; }
QLabel#name { color: #e3eaf1; font-size: 22px; font-weight: bold; }
QLabel#version { color: #6ae8da; font-size: 12px; }
QLabel#description { color: #c4ced9; font-size: 12px; }
QPushButton {
    color: #ffffff; font-weight: bold; font-size: 12px;
    min-width: 76px; min-height: 24px; padding: 0 14px;
    border: 1px solid #0d5a53; border-radius: 5px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #38cdbf, stop:1 #1c9b8f);
}
QPushButton:hover {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #55ddd0, stop:1 #22ab9e);
}
QPushButton:pressed {
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #168479, stop:1 #21a397);
    padding-top: 1px;
}
QPushButton:focus { outline: none; }
)";

}  // namespace

QString AboutDialog::versionText() {
    return QStringLiteral("Version ") + QStringLiteral(KESTREL_VERSION);
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle(QStringLiteral("About Kestrel"));
    setWindowIcon(applicationIcon());
    setFixedSize(kWidth, kHeight);
    setStyleSheet(QString::fromLatin1(kStyle));

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("icon"));
    icon->setPixmap(applicationIcon().pixmap(QSize(48, 48)));
    icon->setFixedSize(56, 56);
    icon->setAlignment(Qt::AlignCenter);

    auto* name = new QLabel(QStringLiteral("Kestrel"), this);
    name->setObjectName(QStringLiteral("name"));
    auto* version = new QLabel(versionText(), this);
    version->setObjectName(QStringLiteral("version"));
    auto* description = new QLabel(QStringLiteral("Records the media streams played on this computer."), this);
    description->setObjectName(QStringLiteral("description"));
    description->setWordWrap(true);

    ok_ = new QPushButton(QStringLiteral("OK"), this);
    ok_->setDefault(true);
    ok_->setCursor(Qt::PointingHandCursor);
    connect(ok_, &QPushButton::clicked, this, &QDialog::accept);

    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    titles->addStretch();
    titles->addWidget(name);
    titles->addWidget(version);
    titles->addStretch();

    auto* head = new QHBoxLayout;
    head->setSpacing(14);
    head->addWidget(icon);
    head->addLayout(titles, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(22, 22, 18, 16);
    page->setSpacing(12);
    page->addLayout(head);
    page->addWidget(description);
    page->addStretch();
    page->addLayout(buttons);
}

void AboutDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintDialogBody(p, *this);
    paintDialogEdges(p, *this, 50);
}

void AboutDialog::mousePressEvent(QMouseEvent* event) {
    if (drag_.press(this, event->position().toPoint(), event->globalPosition().toPoint(), event->button()))
        event->accept();
    else
        QDialog::mousePressEvent(event);
}

void AboutDialog::mouseMoveEvent(QMouseEvent* event) {
    if (drag_.move(this, event->globalPosition().toPoint(), event->buttons()))
        event->accept();
    else
        QDialog::mouseMoveEvent(event);
}

void AboutDialog::mouseReleaseEvent(QMouseEvent* event) {
    if (drag_.release(event->button()))
        event->accept();
    else
        QDialog::mouseReleaseEvent(event);
}

}  // namespace kestrel::shell
