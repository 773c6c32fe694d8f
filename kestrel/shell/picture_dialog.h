#pragma once
// The picture dialog of the player: brightness, contrast, saturation and hue
// sliders, the smoothing box and Default. It holds the settings; the player
// window reads them when the dialog tells it, by message, that they changed.
//
// Also here, because the player window and both of its dialogs use them: the
// skinned slider and the frameless dialog frame in the skin's colours.

#include "kestrel/shell/media_player.h"
#include "kestrel/shell/skinned_window.h"

#include <QDialog>
#include <QSlider>

#include <array>
#include <cstdint>

class QCheckBox;
class QLabel;
class QPushButton;

namespace kestrel::shell {

class SkinButton;

// Messages from the picture dialog to the player window.
inline constexpr std::uint32_t kWmPictureChanged = 0x83E9;    // answered with the picture command
inline constexpr std::uint32_t kWmSmoothingChanged = 0x83EA;  // answered with the smoothing command

// A horizontal slider drawn in the skin: a thin groove lit up to a round
// knob. A press anywhere on it takes the knob there. Only the mouse works it
// (and the wheel); it never takes the keyboard focus. Changes the program
// makes with setValue() are not the user's: only the user's raise
// userChanged and userReleased.
class SkinSlider : public QSlider {
    Q_OBJECT
public:
    explicit SkinSlider(QWidget* parent = nullptr);

    // The value at a point along the slider (clamped to the range).
    int valueAt(int x) const;

signals:
    // The user moved the knob to value (while dragging, or by the wheel).
    void userChanged(int value);
    // The user let go of it there (also after each wheel step).
    void userReleased(int value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void moveByUser(int value);
    int knobRadius() const;

    bool hovered_ = false;
};

// A frameless dialog painted in the skin's colours: its title on top, a
// close button in the corner, a strip for its buttons at the bottom. It is
// moved by dragging its body.
class SkinnedDialog : public QDialog {
    Q_OBJECT
public:
    SkinnedDialog(const QString& title, QSize size, QWidget* parent);

    SkinButton* closeButton() const { return close_; }

protected:
    static constexpr int kTitleHeight = 30;
    static constexpr int kStripHeight = 48;

    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    SkinButton* close_ = nullptr;
    BodyDrag drag_;
};

class PictureDialog : public SkinnedDialog {
    Q_OBJECT
public:
    static constexpr std::array<PictureSetting, 4> kSettings{PictureSetting::Brightness, PictureSetting::Contrast,
                                                             PictureSetting::Saturation, PictureSetting::Hue};

    explicit PictureDialog(QWidget* parent = nullptr);

    int value(PictureSetting setting) const;
    bool smoothing() const;
    // Sets the sliders to their defaults and smoothing on, then posts both
    // messages once (the Default button).
    void resetToDefaults();

    // A setting's value as the dialog shows it: "+5", "-5", "0"; saturation "150%".
    static QString shownValue(PictureSetting setting, int value);
    // The slider's label: "Brightness", "Contrast", "Saturation", "Hue".
    static QString settingName(PictureSetting setting);

    SkinSlider* slider(PictureSetting setting) const;
    QLabel* valueLabel(PictureSetting setting) const;
    QCheckBox* smoothingBox() const { return smoothing_; }
    QPushButton* defaultButton() const { return default_; }

signals:
    // kWmPictureChanged or kWmSmoothingChanged, for the player window.
    void posted(std::uint32_t message);

private:
    static std::size_t indexOf(PictureSetting setting);

    std::array<SkinSlider*, 4> sliders_{};
    std::array<QLabel*, 4> values_{};
    QCheckBox* smoothing_ = nullptr;
    QPushButton* default_ = nullptr;
    bool resetting_ = false;
};

}  // namespace kestrel::shell
