// The player's dialogs and its skinned slider: the picture dialog's labels,
// ranges, shown values, Default and the messages it posts; Play URL's text
// handed over as typed; the slider worked by the mouse only.

#include "kestrel/shell/picture_dialog.h"
#include "kestrel/shell/play_url_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <QWheelEvent>

#include <vector>

namespace {

using namespace kestrel::shell;

void mouse(QWidget* target, QEvent::Type type, int x) {
    const QPoint at(x, target->height() / 2);
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

void wheel(QWidget* target, int notches) {
    const QPointF at(target->width() / 2.0, target->height() / 2.0);
    QWheelEvent event(at, target->mapToGlobal(at), QPoint(), QPoint(0, notches * 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(target, &event);
}

struct Posted {
    explicit Posted(PictureDialog& dialog) {
        QObject::connect(&dialog, &PictureDialog::posted, [this](std::uint32_t m) { messages.push_back(m); });
    }
    std::vector<std::uint32_t> messages;
};

// ------------------------------------------------------------------ slider

TEST(SkinSlider, APressTakesTheKnobThereAndOnlyTheUserIsReported) {
    SkinSlider slider;
    slider.resize(112, 14);  // 100 pixels of travel between the knob's halves
    slider.setRange(0, 100);
    std::vector<int> changed;
    std::vector<int> released;
    QObject::connect(&slider, &SkinSlider::userChanged, [&](int v) { changed.push_back(v); });
    QObject::connect(&slider, &SkinSlider::userReleased, [&](int v) { released.push_back(v); });

    const std::pair<int, int> ends[] = {{-20, 0}, {0, 0}, {6, 0}, {56, 50}, {106, 100}, {500, 100}};
    for (const auto& [x, value] : ends) EXPECT_EQ(slider.valueAt(x), value) << x;

    slider.setValue(40);
    EXPECT_TRUE(changed.empty()) << "the program's own move is not the user's";

    mouse(&slider, QEvent::MouseButtonPress, 26);
    EXPECT_TRUE(slider.isSliderDown());
    EXPECT_EQ(slider.value(), 20);
    mouse(&slider, QEvent::MouseMove, 86);
    mouse(&slider, QEvent::MouseMove, 86);
    EXPECT_EQ(slider.value(), 80);
    EXPECT_TRUE(released.empty()) << "not let go yet";
    mouse(&slider, QEvent::MouseButtonRelease, 86);
    EXPECT_FALSE(slider.isSliderDown());
    EXPECT_EQ(changed, (std::vector<int>{20, 80}));
    EXPECT_EQ(released, (std::vector<int>{80}));

    // A move without a press does nothing.
    mouse(&slider, QEvent::MouseMove, 6);
    EXPECT_EQ(slider.value(), 80);

    slider.setSingleStep(5);
    wheel(&slider, 1);
    EXPECT_EQ(slider.value(), 85);
    wheel(&slider, -3);
    EXPECT_EQ(slider.value(), 70);
    EXPECT_EQ(changed.back(), 70);
    EXPECT_EQ(released.back(), 70);
    EXPECT_EQ(slider.focusPolicy(), Qt::NoFocus);
}

TEST(SkinSlider, AnEmptyRangeStaysAtItsOnlyValue) {
    SkinSlider slider;
    slider.resize(100, 14);
    slider.setRange(0, 0);
    std::vector<int> changed;
    QObject::connect(&slider, &SkinSlider::userChanged, [&](int v) { changed.push_back(v); });
    mouse(&slider, QEvent::MouseButtonPress, 80);
    mouse(&slider, QEvent::MouseButtonRelease, 80);
    EXPECT_EQ(slider.value(), 0);
    EXPECT_TRUE(changed.empty());
}

// ------------------------------------------------------------ picture dialog

TEST(PictureDialog, ShowsValuesSignedOrAsPercent) {
    struct Case {
        PictureSetting setting;
        int value;
        const char* shown;
    };
    const Case cases[] = {
        {PictureSetting::Brightness, 5, "+5"},    {PictureSetting::Brightness, -5, "-5"},
        {PictureSetting::Brightness, 0, "0"},     {PictureSetting::Contrast, 100, "+100"},
        {PictureSetting::Contrast, -100, "-100"}, {PictureSetting::Hue, 180, "+180"},
        {PictureSetting::Hue, -180, "-180"},      {PictureSetting::Hue, 0, "0"},
        {PictureSetting::Saturation, 150, "150%"}, {PictureSetting::Saturation, 0, "0%"},
        {PictureSetting::Saturation, 100, "100%"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PictureDialog::shownValue(c.setting, c.value), QLatin1String(c.shown)) << c.shown;
}

TEST(PictureDialog, HasItsFourSlidersWithTheirRangesAndDefaults) {
    PictureDialog dialog;
    struct Case {
        PictureSetting setting;
        const char* name;
        int minimum;
        int maximum;
        int start;
        const char* shown;
    };
    const Case cases[] = {
        {PictureSetting::Brightness, "Brightness", -100, 100, 0, "0"},
        {PictureSetting::Contrast, "Contrast", -100, 100, 0, "0"},
        {PictureSetting::Saturation, "Saturation", 0, 200, 100, "100%"},
        {PictureSetting::Hue, "Hue", -180, 180, 0, "0"},
    };
    QStringList labels;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) labels << label->text();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(labels.contains(QLatin1String(c.name)));
        EXPECT_EQ(PictureDialog::settingName(c.setting), QLatin1String(c.name));
        EXPECT_EQ(dialog.slider(c.setting)->minimum(), c.minimum);
        EXPECT_EQ(dialog.slider(c.setting)->maximum(), c.maximum);
        EXPECT_EQ(dialog.value(c.setting), c.start);
        EXPECT_EQ(dialog.valueLabel(c.setting)->text(), QLatin1String(c.shown));
    }
    EXPECT_EQ(dialog.smoothingBox()->text(), QStringLiteral("Smoothing"));
    EXPECT_TRUE(dialog.smoothing());
    EXPECT_EQ(dialog.defaultButton()->text(), QStringLiteral("Default"));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Picture"));
}

TEST(PictureDialog, EveryChangePostsItsMessage) {
    PictureDialog dialog;
    Posted posted(dialog);
    dialog.slider(PictureSetting::Brightness)->setValue(5);
    EXPECT_EQ(dialog.valueLabel(PictureSetting::Brightness)->text(), QStringLiteral("+5"));
    dialog.slider(PictureSetting::Contrast)->setValue(-5);
    EXPECT_EQ(dialog.valueLabel(PictureSetting::Contrast)->text(), QStringLiteral("-5"));
    dialog.slider(PictureSetting::Saturation)->setValue(150);
    EXPECT_EQ(dialog.valueLabel(PictureSetting::Saturation)->text(), QStringLiteral("150%"));
    dialog.slider(PictureSetting::Saturation)->setValue(150);  // no change, no message
    EXPECT_EQ(posted.messages, (std::vector<std::uint32_t>{0x83E9, 0x83E9, 0x83E9}));
    posted.messages.clear();
    dialog.smoothingBox()->setChecked(false);
    dialog.smoothingBox()->setChecked(true);
    EXPECT_EQ(posted.messages, (std::vector<std::uint32_t>{0x83EA, 0x83EA}));
    EXPECT_EQ(kWmPictureChanged, 0x83E9u);
    EXPECT_EQ(kWmSmoothingChanged, 0x83EAu);
}

TEST(PictureDialog, DefaultResetsEverythingAndPostsBothOnce) {
    PictureDialog dialog;
    for (bool changedFirst : {true, false}) {
        SCOPED_TRACE(changedFirst ? "after changes" : "already default");
        if (changedFirst) {
            dialog.slider(PictureSetting::Brightness)->setValue(-60);
            dialog.slider(PictureSetting::Contrast)->setValue(30);
            dialog.slider(PictureSetting::Saturation)->setValue(20);
            dialog.slider(PictureSetting::Hue)->setValue(170);
            dialog.smoothingBox()->setChecked(false);
        }
        Posted posted(dialog);
        dialog.defaultButton()->click();
        EXPECT_EQ(posted.messages, (std::vector<std::uint32_t>{kWmPictureChanged, kWmSmoothingChanged}));
        for (PictureSetting setting : PictureDialog::kSettings) {
            EXPECT_EQ(dialog.value(setting), pictureRange(setting).defaultValue);
            EXPECT_EQ(dialog.valueLabel(setting)->text(),
                      PictureDialog::shownValue(setting, pictureRange(setting).defaultValue));
        }
        EXPECT_TRUE(dialog.smoothing());
        QObject::disconnect(&dialog, &PictureDialog::posted, nullptr, nullptr);
    }
}

// ---------------------------------------------------------------- Play URL

TEST(PlayUrlDialog, HandsOverTheTextAsTypedAndOnlyWhenThereIsSome) {
    PlayUrlDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Play URL"));
    EXPECT_FALSE(dialog.okButton()->isEnabled());
    const QString typed = QStringLiteral("  rtmp://example.org/live/stream name?x=1 ");
    dialog.edit()->setText(typed);
    EXPECT_TRUE(dialog.okButton()->isEnabled());
    EXPECT_EQ(dialog.text(), typed);
    dialog.edit()->clear();
    EXPECT_FALSE(dialog.okButton()->isEnabled());
}

TEST(PlayUrlDialog, AskGivesTheTextOnOkAndNothingOnCancel) {
    for (bool accept : {true, false}) {
        QTimer::singleShot(0, [accept] {
            auto* dialog = qobject_cast<PlayUrlDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            dialog->edit()->setText(QStringLiteral("http://example.org/a.flv"));
            (accept ? dialog->okButton() : dialog->cancelButton())->click();
        });
        const std::optional<QString> answer = PlayUrlDialog::ask(nullptr);
        if (accept) {
            ASSERT_TRUE(answer.has_value());
            EXPECT_EQ(*answer, QStringLiteral("http://example.org/a.flv"));
        } else {
            EXPECT_FALSE(answer.has_value());
        }
    }
}

}  // namespace
