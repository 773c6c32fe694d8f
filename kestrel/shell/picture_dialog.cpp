#include "kestrel/shell/picture_dialog.h"

#include "kestrel/shell/skin_button.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

namespace kestrel::shell {

namespace {

// The skin's colours, for what is drawn here.
const QColor kTitleTop(0x31, 0x3b, 0x48);
const QColor kOutline(0x0b, 0x0e, 0x12);
const QColor kEdgeLight(0x3c, 0x48, 0x56);
const QColor kWell(0x10, 0x14, 0x19);
const QColor kText(0xe3, 0xea, 0xf1);
const QColor kTextDim(0x98, 0xa5, 0xb3);
const QColor kTextMuted(0x55, 0x60, 0x6c);
const QColor kTeal(0x2e, 0xc4, 0xb6);
const QColor kTealLight(0x6a, 0xe8, 0xda);
const QColor kTealDark(0x17, 0x8f, 0x84);

QColor withAlpha(QColor c, int alpha) {
    c.setAlpha(alpha);
    return c;
}

const char* const kDialogStyle = R"(
QLabel { color: #98a5b3; background: transparent; font-size: 12px; }
QLabel#setting { color: #c4ced9; }
QLabel#value { color: #6ae8da; font-family: "DejaVu Sans Mono", monospace; font-size: 11px; }
QCheckBox { color: #c4ced9; font-size: 12px; spacing: 7px; background: transparent; }
QCheckBox::indicator {
    width: 12px; height: 12px; border: 1px solid #0b0e12; border-radius: 3px;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #0f1318, stop:1 #1a2027);
}
QCheckBox::indicator:hover { border-color: #178f84; }
QCheckBox::indicator:checked {
    border-color: #0d5a53; image: url(:/skins/player_check.png);
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #38cdbf, stop:1 #1c9b8f);
}
QCheckBox:focus { outline: none; }
QLineEdit {
    color: #e3eaf1; font-size: 12px; padding: 3px 6px; min-height: 18px;
    border: 1px solid #0b0e12; border-radius: 4px; selection-background-color: #178f84;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #0f1318, stop:1 #161b21);
}
QLineEdit:focus { border-color: #178f84; }
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
QPushButton:disabled { color: #7d8a97; border-color: #20272f; background: #2a333e; }
QPushButton#secondary {
    color: #c4ced9; border-color: #0b0e12;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #3a4654, stop:1 #2a333e);
}
QPushButton#secondary:hover {
    color: #ffffff;
    background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #4a5766, stop:1 #2f3945);
}
QPushButton#secondary:pressed { background: #20272f; }
QPushButton:focus { outline: none; }
)";

}  // namespace

// ------------------------------------------------------------------ slider

SkinSlider::SkinSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
    setFocusPolicy(Qt::NoFocus);
    setFixedHeight(14);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover, true);
}

int SkinSlider::knobRadius() const {
    return 6;
}

int SkinSlider::valueAt(int x) const {
    const int span = std::max(1, width() - 2 * knobRadius());
    const int along = std::clamp(x - knobRadius(), 0, span);
    return QStyle::sliderValueFromPosition(minimum(), maximum(), along, span);
}

void SkinSlider::moveByUser(int value) {
    const int before = this->value();
    setValue(value);
    if (this->value() != before) emit userChanged(this->value());
}

void SkinSlider::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    const int r = knobRadius();
    const int span = std::max(1, width() - 2 * r);
    const double cy = height() / 2.0;
    const bool live = isEnabled() && maximum() > minimum();
    const double knobX = r + QStyle::sliderPositionFromValue(minimum(), maximum(), value(), span);

    // The groove: sunk, with a light edge below it.
    const QRectF groove(r - 2.5, cy - 2.5, span + 5.0, 5.0);
    p.setPen(QPen(withAlpha(kEdgeLight, 120), 1.0));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(groove.translated(0, 1), 2.5, 2.5);
    p.setPen(QPen(kOutline, 1.0));
    p.setBrush(kWell);
    p.drawRoundedRect(groove, 2.5, 2.5);

    if (live && knobX > groove.left() + 1) {
        QLinearGradient lit(groove.left(), 0, knobX, 0);
        lit.setColorAt(0, kTealDark);
        lit.setColorAt(1, kTeal);
        p.setPen(Qt::NoPen);
        p.setBrush(lit);
        p.drawRoundedRect(QRectF(groove.left() + 1, groove.top() + 1, knobX - groove.left() - 1, groove.height() - 2),
                          1.5, 1.5);
    }

    // The knob.
    const QPointF c(knobX, cy);
    QRadialGradient shadow(c + QPointF(0, 1), r + 2);
    shadow.setColorAt(0.6, QColor(0, 0, 0, 120));
    shadow.setColorAt(1, QColor(0, 0, 0, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shadow);
    p.drawEllipse(c + QPointF(0, 1), r + 2.0, r + 2.0);
    QLinearGradient face(0, cy - r, 0, cy + r);
    if (!live) {
        face.setColorAt(0, QColor(0x3a, 0x46, 0x54));
        face.setColorAt(1, QColor(0x2a, 0x33, 0x3e));
    } else if (isSliderDown()) {
        face.setColorAt(0, QColor(0xb8, 0xc4, 0xcf));
        face.setColorAt(1, QColor(0xe3, 0xea, 0xf1));
    } else {
        face.setColorAt(0, QColor(0xf4, 0xf7, 0xfa));
        face.setColorAt(1, QColor(0xa9, 0xb5, 0xc1));
    }
    p.setPen(QPen(kOutline, 1.0));
    p.setBrush(face);
    p.drawEllipse(c, r - 0.5, r - 0.5);
    if (live) {
        p.setPen(Qt::NoPen);
        p.setBrush(hovered_ || isSliderDown() ? kTeal : kTealDark);
        p.drawEllipse(c, 2.0, 2.0);
    }
}

void SkinSlider::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    setSliderDown(true);
    moveByUser(valueAt(event->position().toPoint().x()));
    update();
}

void SkinSlider::mouseMoveEvent(QMouseEvent* event) {
    if (!isSliderDown()) {
        event->ignore();
        return;
    }
    event->accept();
    moveByUser(valueAt(event->position().toPoint().x()));
}

void SkinSlider::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !isSliderDown()) {
        event->ignore();
        return;
    }
    event->accept();
    setSliderDown(false);
    update();
    emit userReleased(value());
}

void SkinSlider::wheelEvent(QWheelEvent* event) {
    const int notches = event->angleDelta().y() / 120;
    if (notches == 0 || isSliderDown()) {
        event->ignore();
        return;
    }
    event->accept();
    moveByUser(value() + notches * singleStep());
    emit userReleased(value());
}

void SkinSlider::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QSlider::enterEvent(event);
}

void SkinSlider::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QSlider::leaveEvent(event);
}

// ------------------------------------------------------------------ dialog

SkinnedDialog::SkinnedDialog(const QString& title, QSize size, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setWindowTitle(title);
    setWindowIcon(applicationIcon());
    setFixedSize(size);
    // The check box's mark is a skin picture: make sure the pictures are in.
    skinResourcePath(QString());
    setStyleSheet(QString::fromLatin1(kDialogStyle));
    SkinButton::Pictures pictures;
    if (SkinButton::loadPictures(QStringLiteral("exit"), QSize(13, 12), &pictures, nullptr)) {
        close_ = new SkinButton(0, std::move(pictures), this);
        close_->move(width() - 13 - 10, 9);
        close_->setToolTip(QStringLiteral("Close"));
        connect(close_, &SkinButton::clicked, this, &QDialog::reject);
    }
}

void SkinnedDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paintDialogBody(p, *this);

    // The title strip, lighter, fading into the body.
    QLinearGradient title(0, 0, 0, kTitleHeight + 6);
    title.setColorAt(0, kTitleTop);
    title.setColorAt(1, withAlpha(kTitleTop, 0));
    p.fillRect(QRect(0, 0, width(), kTitleHeight + 6), title);
    QFont font = p.font();
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(kText);
    p.drawText(QRect(14, 0, width() - 50, kTitleHeight), Qt::AlignLeft | Qt::AlignVCenter, windowTitle());

    paintDialogEdges(p, *this, kStripHeight);
}

void SkinnedDialog::mousePressEvent(QMouseEvent* event) {
    if (drag_.press(this, event->position().toPoint(), event->globalPosition().toPoint(), event->button()))
        event->accept();
    else
        QDialog::mousePressEvent(event);
}

void SkinnedDialog::mouseMoveEvent(QMouseEvent* event) {
    if (drag_.move(this, event->globalPosition().toPoint(), event->buttons()))
        event->accept();
    else
        QDialog::mouseMoveEvent(event);
}

void SkinnedDialog::mouseReleaseEvent(QMouseEvent* event) {
    if (drag_.release(event->button()))
        event->accept();
    else
        QDialog::mouseReleaseEvent(event);
}

// ----------------------------------------------------------------- picture

QString PictureDialog::settingName(PictureSetting setting) {
    switch (setting) {
    case PictureSetting::Brightness: return QStringLiteral("Brightness");
    case PictureSetting::Contrast: return QStringLiteral("Contrast");
    case PictureSetting::Saturation: return QStringLiteral("Saturation");
    case PictureSetting::Hue: return QStringLiteral("Hue");
    }
    return {};
}

QString PictureDialog::shownValue(PictureSetting setting, int value) {
    if (setting == PictureSetting::Saturation) return QStringLiteral("%1%").arg(value);
    return value > 0 ? QStringLiteral("+%1").arg(value) : QString::number(value);
}

std::size_t PictureDialog::indexOf(PictureSetting setting) {
    return static_cast<std::size_t>(setting);
}

PictureDialog::PictureDialog(QWidget* parent) : SkinnedDialog(QStringLiteral("Picture"), QSize(300, 212), parent) {
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(12);
    for (PictureSetting setting : kSettings) {
        const std::size_t i = indexOf(setting);
        const PictureRange range = pictureRange(setting);
        auto* name = new QLabel(settingName(setting), this);
        name->setObjectName(QStringLiteral("setting"));
        auto* slider = new SkinSlider(this);
        slider->setRange(range.minimum, range.maximum);
        slider->setSingleStep(5);
        slider->setValue(range.defaultValue);
        auto* shown = new QLabel(shownValue(setting, range.defaultValue), this);
        shown->setObjectName(QStringLiteral("value"));
        shown->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        shown->setFixedWidth(40);
        connect(slider, &QSlider::valueChanged, this, [this, setting, shown](int value) {
            shown->setText(shownValue(setting, value));
            if (!resetting_) emit posted(kWmPictureChanged);
        });
        const int row = static_cast<int>(i);
        grid->addWidget(name, row, 0);
        grid->addWidget(slider, row, 1);
        grid->addWidget(shown, row, 2);
        sliders_[i] = slider;
        values_[i] = shown;
    }
    grid->setColumnStretch(1, 1);

    smoothing_ = new QCheckBox(QStringLiteral("Smoothing"), this);
    smoothing_->setChecked(true);
    smoothing_->setFocusPolicy(Qt::NoFocus);
    connect(smoothing_, &QCheckBox::toggled, this, [this] {
        if (!resetting_) emit posted(kWmSmoothingChanged);
    });
    default_ = new QPushButton(QStringLiteral("Default"), this);
    default_->setObjectName(QStringLiteral("secondary"));
    default_->setAutoDefault(false);
    default_->setFocusPolicy(Qt::NoFocus);
    default_->setCursor(Qt::PointingHandCursor);
    connect(default_, &QPushButton::clicked, this, &PictureDialog::resetToDefaults);

    auto* strip = new QHBoxLayout;
    strip->addWidget(smoothing_);
    strip->addStretch();
    strip->addWidget(default_);

    auto* page = new QVBoxLayout(this);
    page->setContentsMargins(16, kTitleHeight + 8, 14, 0);
    page->setSpacing(0);
    page->addLayout(grid);
    page->addStretch();
    auto* stripBox = new QWidget(this);
    stripBox->setFixedHeight(kStripHeight);
    stripBox->setLayout(strip);
    strip->setContentsMargins(2, 0, 0, 0);
    page->addWidget(stripBox);
}

int PictureDialog::value(PictureSetting setting) const {
    return sliders_[indexOf(setting)]->value();
}

bool PictureDialog::smoothing() const {
    return smoothing_->isChecked();
}

SkinSlider* PictureDialog::slider(PictureSetting setting) const {
    return sliders_[indexOf(setting)];
}

QLabel* PictureDialog::valueLabel(PictureSetting setting) const {
    return values_[indexOf(setting)];
}

void PictureDialog::resetToDefaults() {
    resetting_ = true;
    for (PictureSetting setting : kSettings) sliders_[indexOf(setting)]->setValue(pictureRange(setting).defaultValue);
    smoothing_->setChecked(true);
    resetting_ = false;
    emit posted(kWmPictureChanged);
    emit posted(kWmSmoothingChanged);
}

}  // namespace kestrel::shell
