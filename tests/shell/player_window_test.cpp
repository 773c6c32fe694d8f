// The player window over a real player (no picture, no sound): loading with
// and without a fresh player, the progress and status handling and what it
// shows, the sliders, mute, the gestures on the video, full screen, docking,
// the video's menu, and the picture dialog's messages reaching mpv.

#include "kestrel/shell/picture_dialog.h"
#include "kestrel/shell/play_url_dialog.h"
#include "kestrel/shell/player_window.h"
#include "kestrel/shell/skin_button.h"
#include "kestrel/shell/video_view.h"
#include "player_media_test.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <cstdlib>

namespace {

using namespace kestrel::shell;
using namespace kestrel::shell::testing;
namespace id = kestrel::shell::player_control_id;

PlayerWindowOptions quietWindow(double speed = 1.0) {
    PlayerWindowOptions options;
    options.player = quietPlayer(speed);
    options.homePage = "https://kestrel-recorder.org/";
    return options;
}

void mouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButton button = Qt::LeftButton) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, QPointF(at), QPointF(target->mapToGlobal(at)), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Presses and releases the slider where value sits.
void clickSliderAt(SkinSlider* slider, int value) {
    int x = 0;
    while (x < slider->width() && slider->valueAt(x) < value) ++x;
    mouse(slider, QEvent::MouseButtonPress, QPoint(x, slider->height() / 2));
    mouse(slider, QEvent::MouseButtonRelease, QPoint(x, slider->height() / 2));
}

void pressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

bool visible(const PlayerWindow& window, int controlId) {
    const SkinButton* b = window.button(controlId);
    return b && !b->isHidden();
}

void emitStatus(PlayerWindow& window, const char* word) {
    emit window.player().fsCommand(QStringLiteral("status"), QString::fromLatin1(word));
}

void emitProgress(PlayerWindow& window, int seconds) {
    emit window.player().fsCommand(QStringLiteral("progress"), QString::number(seconds));
}

// Loads a file and waits until it plays.
bool loadAndPlay(PlayerWindow& window, const QString& path) {
    window.load(path);
    return waitFor([&] { return window.playing(); });
}

// ------------------------------------------------------------------ texts

TEST(PlayerTexts, ClockTextIsHoursMinutesSeconds) {
    const std::pair<int, const char*> cases[] = {
        {0, "00:00:00"},     {5, "00:00:05"},     {59, "00:00:59"},      {60, "00:01:00"},
        {3599, "00:59:59"},  {3600, "01:00:00"},  {86399, "23:59:59"},   {360000, "100:00:00"},
        {-5, "00:00:00"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(clockText(seconds), QLatin1String(text)) << seconds;
}

TEST(PlayerShape, KeyColourBlackIsCutOut) {
    struct Case {
        const char* name;
        std::vector<QPoint> black;
        bool transparentCorner;
    };
    const Case cases[] = {
        {"no key colour", {}, false},
        {"one corner", {{0, 0}}, false},
        {"two corners and the middle", {{0, 0}, {9, 7}, {4, 3}}, false},
        {"a see-through corner counts as black", {}, true},
    };
    for (const Case& c : cases) {
        QImage skin(10, 8, QImage::Format_ARGB32);
        skin.fill(QColor(0x20, 0x27, 0x30));
        // Nearly black is not black.
        skin.setPixel(5, 5, qRgb(0, 0, 1));
        for (const QPoint& p : c.black) skin.setPixel(p, qRgb(0, 0, 0));
        if (c.transparentCorner) skin.setPixel(9, 0, qRgba(255, 255, 255, 0));
        const QRegion region = keyColourRegion(skin);
        const int cut = static_cast<int>(c.black.size()) + (c.transparentCorner ? 1 : 0);
        int area = 0;
        for (const QRect& r : region) area += r.width() * r.height();
        EXPECT_EQ(area, 80 - cut) << c.name;
        for (const QPoint& p : c.black) EXPECT_FALSE(region.contains(p)) << c.name;
        EXPECT_TRUE(region.contains(QPoint(5, 5))) << c.name;
        EXPECT_EQ(region.contains(QPoint(9, 0)), !c.transparentCorner) << c.name;
    }
    QImage black(4, 4, QImage::Format_RGB32);
    black.fill(Qt::black);
    EXPECT_TRUE(keyColourRegion(black).isEmpty());
}

TEST(PlayerShape, OurSkinKeepsTheWholeWindowAndTheVideoArea) {
    PlayerWindow window(quietWindow());
    ASSERT_FALSE(window.background().isNull());
    EXPECT_EQ(window.background().size(), kPlayerWindowSize);
    const QRegion region = keyColourRegion(window.background().toImage());
    EXPECT_TRUE(region.contains(kPlayerVideoRect)) << "the mask must never cut into the video";
    EXPECT_EQ(region, QRegion(window.rect()));
}

// --------------------------------------------------------------- creation

TEST(PlayerWindow, StartsEmptyWithItsControlsInPlace) {
    PlayerWindow window(quietWindow());
    EXPECT_EQ(window.size(), kPlayerWindowSize);
    EXPECT_EQ(window.videoView()->geometry(), kPlayerVideoRect);
    EXPECT_EQ(window.positionLabel()->text(), QStringLiteral("--:--:--"));
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/--:--:--"));
    EXPECT_TRUE(window.statusLabel()->text().isEmpty());
    ASSERT_NE(window.button(id::kStop), nullptr);
    EXPECT_FALSE(window.button(id::kStop)->isEnabled());
    EXPECT_TRUE(visible(window, id::kPlay));
    EXPECT_FALSE(visible(window, id::kPause));
    EXPECT_TRUE(visible(window, id::kMute));
    EXPECT_FALSE(visible(window, id::kUnmute));
    EXPECT_TRUE(visible(window, id::kPicture));
    EXPECT_EQ(window.volumeSlider()->value(), kInitialVolume);
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), kInitialVolume);
    EXPECT_EQ(window.player().getVariable(player_variable::kHomepage), "https://kestrel-recorder.org/");
    EXPECT_FALSE(window.reloadPending());
    // Every control lies inside the window, none over the video.
    for (QWidget* control : window.controls()) {
        EXPECT_TRUE(window.rect().contains(control->geometry())) << control->objectName().toStdString();
        EXPECT_FALSE(control->geometry().intersects(kPlayerVideoRect)) << control->objectName().toStdString();
    }
}

TEST(PlayerWindow, WithoutOpenGlThePlayerDecodesWithoutPictures) {
    // The offscreen platform in tests: the render path must fall back, not crash.
    PlayerWindowOptions options = quietWindow();
    options.player.video = MediaPlayer::VideoOutput::RenderApi;
    PlayerWindow window(options);
    if (VideoView::openGlAvailable()) {
        GTEST_SKIP() << "OpenGL works here; the fallback is not taken";
    }
    EXPECT_FALSE(window.videoView()->drawsPictures());
    EXPECT_TRUE(window.player().videoDropped());
    EXPECT_EQ(window.player().textProperty("vo").value_or(""), "null");
}

TEST(PlayerWindow, AClickOnTheEmptyVideoLoadsNothing) {
    PlayerWindow window(quietWindow());
    PlayerLog log(window.player());
    mouse(window.videoView(), QEvent::MouseButtonPress, QPoint(50, 50));
    waitFor([] { return false; }, 100);
    EXPECT_EQ(log.count(QStringLiteral("FL_LOAD")), 0);
    EXPECT_TRUE(log.statuses.isEmpty());
}

// ---------------------------------------------------------------- playing

TEST(PlayerWindow, PlayingAFileShowsItsLengthStatusAndButtons) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow(4));
    PlayerLog log(window.player());
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    EXPECT_EQ(window.target(), testMedia().flv);
    EXPECT_TRUE(window.loaded());
    EXPECT_EQ(window.duration(), 3);
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/00:00:03"));
    EXPECT_EQ(window.seekSlider()->maximum(), 3);
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("PLAYING"));
    EXPECT_TRUE(window.button(id::kStop)->isEnabled());
    EXPECT_FALSE(window.showsPlayLook());
    EXPECT_TRUE(visible(window, id::kPause));
    EXPECT_FALSE(visible(window, id::kPlay));

    ASSERT_TRUE(waitFor([&] { return window.statusLabel()->text() == QLatin1String("STOPPED"); }));
    EXPECT_FALSE(window.playing());
    EXPECT_TRUE(window.loaded()) << "the end keeps the file loaded: play starts it again";
    EXPECT_TRUE(window.showsPlayLook());
    EXPECT_FALSE(window.button(id::kStop)->isEnabled());
    EXPECT_EQ(window.positionLabel()->text(), QStringLiteral("00:00:02"));
    // The load's own stop only: the end came without one.
    EXPECT_EQ(log.count(QStringLiteral("FL_STOP")), 1);
}

TEST(PlayerWindow, ButtonsDriveMpvsProperties) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    PlayerLog log(window.player());
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    MediaPlayer& player = window.player();
    EXPECT_EQ(player.flagProperty("pause"), false);

    window.button(id::kPause)->click();
    ASSERT_TRUE(waitFor([&] { return !window.playing(); }));
    EXPECT_EQ(player.flagProperty("pause"), true);
    EXPECT_TRUE(window.showsPlayLook());
    EXPECT_EQ(window.statusLabel()->text(), QStringLiteral("PAUSED"));

    window.button(id::kPlay)->click();
    ASSERT_TRUE(waitFor([&] { return window.playing(); }));
    EXPECT_EQ(player.flagProperty("pause"), false);
    EXPECT_EQ(log.count(QStringLiteral("FL_PLAY")), 1);

    window.button(id::kStop)->click();
    EXPECT_FALSE(window.loaded());
    EXPECT_FALSE(window.playing());
    EXPECT_EQ(window.position(), 0);
    EXPECT_EQ(window.duration(), 0);
    EXPECT_EQ(window.positionLabel()->text(), QStringLiteral("--:--:--"));
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/--:--:--"));
    EXPECT_FALSE(window.button(id::kStop)->isEnabled());
    EXPECT_EQ(window.seekSlider()->maximum(), 0);
    EXPECT_TRUE(waitFor([&] { return player.flagProperty("idle-active") == true; }));
    EXPECT_TRUE(waitFor([&] { return window.statusLabel()->text() == QLatin1String("STOPPED"); }));
    EXPECT_EQ(player.getVariable(player_variable::kMessage), "") << "stop clears the message";
}

TEST(PlayerWindow, ProgressShowsThePositionAndMovesTheSeekSlider) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    window.togglePlay();
    ASSERT_TRUE(waitFor([&] { return !window.playing(); }));
    const struct {
        const char* args;
        int position;
        const char* label;
    } cases[] = {{"1", 1, "00:00:01"}, {"2", 2, "00:00:02"}, {"0", 0, "00:00:00"}, {"x", 0, "00:00:00"}};
    for (const auto& c : cases) {
        emit window.player().fsCommand(QStringLiteral("progress"), QString::fromLatin1(c.args));
        EXPECT_EQ(window.position(), c.position) << c.args;
        EXPECT_EQ(window.positionLabel()->text(), QLatin1String(c.label)) << c.args;
        EXPECT_EQ(window.seekSlider()->value(), c.position) << c.args;
    }
}

TEST(PlayerWindow, ProgressWithoutADurationMovesOnlyTheLabel) {
    PlayerWindow window(quietWindow());
    PlayerLog log(window.player());
    emitProgress(window, 75);
    EXPECT_EQ(window.positionLabel()->text(), QStringLiteral("00:01:15"));
    EXPECT_EQ(window.seekSlider()->value(), 0);
    EXPECT_EQ(log.count(QStringLiteral("FL_STOP")), 0);
}

// A file that claims to last 1 s and plays 6: playback is stopped when the
// position reaches the length known when it began to play, and only once.
// (mpv corrects the claim as it reads ahead, so that length is a little more
// than the claim, but short of the real end.)
TEST(PlayerWindow, ProgressPastTheEndStopsPlaybackOnce) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow(2));
    PlayerLog log(window.player());
    ASSERT_TRUE(loadAndPlay(window, testMedia().shortClaim));
    const int length = window.duration();
    ASSERT_GE(length, 1);
    ASSERT_LT(length, 5);
    const int stopsBefore = log.count(QStringLiteral("FL_STOP"));
    ASSERT_TRUE(waitFor([&] { return window.statusLabel()->text() == QLatin1String("STOPPED"); }));
    EXPECT_EQ(log.count(QStringLiteral("FL_STOP")), stopsBefore + 1);
    EXPECT_EQ(window.player().flagProperty("idle-active"), true);
    EXPECT_EQ(window.positionLabel()->text(), clockText(length));
    EXPECT_EQ(log.progress.last(), length) << "it played on past the stop";
    EXPECT_EQ(window.duration(), length);

    // News from past the end, late or repeated, stops nothing more.
    for (int second : {length + 1, length + 2, length}) emitProgress(window, second);
    EXPECT_EQ(log.count(QStringLiteral("FL_STOP")), stopsBefore + 1);

    // Played again from the start, it is stopped at the end again, once.
    const int stopsAfterEnd = log.count(QStringLiteral("FL_STOP"));
    window.togglePlay();
    ASSERT_TRUE(waitFor([&] { return log.count(QStringLiteral("FL_STOP")) == stopsAfterEnd + 1; }));
    EXPECT_EQ(log.count(QStringLiteral("FL_PLAY")), 1);
}

TEST(PlayerWindow, StoppedWithAPositionPastTheDurationExtendsIt) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    window.togglePlay();
    ASSERT_TRUE(waitFor([&] { return !window.playing(); }));
    ASSERT_EQ(window.duration(), 3);
    // Not longer: stays; longer: grows to the position.
    emitProgress(window, 2);
    emitStatus(window, "stopped");
    EXPECT_EQ(window.duration(), 3);
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/00:00:03"));
    emitProgress(window, 5);
    emitStatus(window, "stopped");
    EXPECT_EQ(window.duration(), 5);
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/00:00:05"));
    EXPECT_EQ(window.seekSlider()->maximum(), 5);
    EXPECT_TRUE(window.showsPlayLook());
    EXPECT_FALSE(window.button(id::kStop)->isEnabled());
}

TEST(PlayerWindow, StoppedWithoutAKnownDurationTakesThePosition) {
    PlayerWindow window(quietWindow());
    emitProgress(window, 3725);
    emitStatus(window, "stopped");
    EXPECT_EQ(window.duration(), 3725);
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/01:02:05"));
    EXPECT_EQ(window.seekSlider()->maximum(), 3725);
}

TEST(PlayerWindow, StatusWordsSetTheReloadFlagAndShowInCapitals) {
    struct Case {
        const char* word;
        bool reload;
        const char* shown;
    };
    const Case cases[] = {
        {"loading", true, "LOADING"},     {"connectionError", true, "CONNECTIONERROR"},
        {"seeking", true, "SEEKING"},     {"somethingNew", true, "SOMETHINGNEW"},
        {"Playing", true, "PLAYING"},     {"playing", false, "PLAYING"},
        {"buffering", false, "BUFFERING"}, {"paused", false, "PAUSED"},
        {"rewinding", false, "REWINDING"}, {"stopped", false, "STOPPED"},
    };
    for (const Case& c : cases) {
        PlayerWindow window(quietWindow());
        emitStatus(window, c.word);
        EXPECT_EQ(window.reloadPending(), c.reload) << c.word;
        EXPECT_EQ(window.statusLabel()->text(), QLatin1String(c.shown)) << c.word;
    }
}

TEST(PlayerWindow, PlayingAndBufferingSetLoadedAndPlayingPausedClearsPlaying) {
    PlayerWindow window(quietWindow());
    emitStatus(window, "buffering");
    EXPECT_TRUE(window.loaded());
    EXPECT_TRUE(window.playing());
    EXPECT_FALSE(window.showsPlayLook());
    EXPECT_EQ(window.duration(), 0) << "nothing is loaded: the length stays unknown";
    EXPECT_EQ(window.durationLabel()->text(), QStringLiteral("/--:--:--"));
    emitStatus(window, "paused");
    EXPECT_TRUE(window.loaded());
    EXPECT_FALSE(window.playing());
    EXPECT_TRUE(window.showsPlayLook());
    emitProgress(window, 9);
    window.positionLabel()->setText(QString());
    emitStatus(window, "seeking");
    EXPECT_EQ(window.positionLabel()->text(), QStringLiteral("00:00:09"));
}

// --------------------------------------------------------------- reloading

TEST(PlayerWindow, AFailedLoadGivesAFreshPlayerForTheNextOne) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    // Settings that a fresh player must be given again.
    window.toggleMute();
    window.toggleMute();
    window.pictureDialog().slider(PictureSetting::Brightness)->setValue(40);
    window.pictureDialog().smoothingBox()->setChecked(false);
    ASSERT_TRUE(waitFor([&] { return window.player().doubleProperty("brightness") == 40.0; }));

    window.load(testMedia().missing);
    ASSERT_TRUE(waitFor([&] { return window.statusLabel()->text() == QLatin1String("CONNECTIONERROR"); }));
    EXPECT_TRUE(window.reloadPending());
    EXPECT_FALSE(window.loaded());
    const int generation = window.player().generation();

    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    EXPECT_EQ(window.player().generation(), generation + 1);
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), kInitialVolume);
    EXPECT_EQ(window.player().doubleProperty("brightness").value_or(-1), 40);
    EXPECT_EQ(window.player().textProperty("scale").value_or(""), "nearest");
    EXPECT_EQ(window.player().getVariable(player_variable::kHomepage), "https://kestrel-recorder.org/");
}

TEST(PlayerWindow, OnlyAPendingReloadMakesAFreshPlayer) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    const int generation = window.player().generation();
    window.load(testMedia().flv);
    EXPECT_EQ(window.player().generation(), generation) << "the first load uses the player made with the window";
    ASSERT_TRUE(waitFor([&] { return window.playing(); }));
    // Its "loading" asked for a fresh one next time.
    EXPECT_TRUE(window.reloadPending());
    window.load(testMedia().mp3);
    EXPECT_EQ(window.player().generation(), generation + 1);
    EXPECT_FALSE(window.reloadPending());
    ASSERT_TRUE(waitFor([&] { return window.playing(); }));
}

// Two plays asked for at once (the recording list and the playlist, or a
// double-click followed by another): the second load wins and plays.
TEST(PlayerWindow, ASecondLoadBeforeTheFirstPlaysStillPlays) {
    KESTREL_REQUIRE_MEDIA();
    for (const bool waitForLoading : {false, true}) {
        SCOPED_TRACE(waitForLoading ? "second load after the first's loading" : "second load at once");
        PlayerWindow window(quietWindow());
        window.load(testMedia().flv);
        if (waitForLoading) {
            ASSERT_TRUE(waitFor([&] { return window.reloadPending(); }));
        }
        window.load(testMedia().flv);
        EXPECT_TRUE(waitFor([&] { return window.playing(); })) << window.statusLabel()->text().toStdString();
    }
}

// ----------------------------------------------------------------- sliders

TEST(PlayerWindow, TheSeekSliderSeeksOnlyWhenTheLengthIsKnown) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    PlayerLog log(window.player());
    clickSliderAt(window.seekSlider(), 0);
    EXPECT_EQ(log.count(QStringLiteral("FL_SEEK")), 0);

    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    window.togglePlay();
    ASSERT_TRUE(waitFor([&] { return !window.playing(); }));
    clickSliderAt(window.seekSlider(), 2);
    EXPECT_EQ(log.count(QStringLiteral("FL_SEEK")), 1);
    EXPECT_EQ(window.player().getVariable(player_variable::kSeek), "2");
    EXPECT_TRUE(waitFor([&] { return window.position() == 2; }));
    EXPECT_NEAR(window.player().doubleProperty("time-pos").value_or(-1), 2.0, 0.05);
}

TEST(PlayerWindow, TheVolumeSliderSetsTheVolumeAndTheMuteLook) {
    PlayerWindow window(quietWindow());
    PlayerLog log(window.player());
    const struct {
        int value;
        bool mutedLook;
    } cases[] = {{30, false}, {0, true}, {100, false}, {55, false}};
    for (const auto& c : cases) {
        clickSliderAt(window.volumeSlider(), c.value);
        EXPECT_EQ(window.volume(), c.value);
        EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), c.value);
        EXPECT_EQ(window.showsMutedLook(), c.mutedLook) << c.value;
        EXPECT_EQ(visible(window, id::kUnmute), c.mutedLook) << c.value;
    }
    // The program's own moves of the slider send nothing.
    const int sent = log.count(QStringLiteral("FL_SET_VOLUME"));
    window.volumeSlider()->setValue(10);
    EXPECT_EQ(log.count(QStringLiteral("FL_SET_VOLUME")), sent);
}

TEST(PlayerWindow, MuteAndUnmuteGiveTheVolumeBack) {
    PlayerWindow window(quietWindow());
    window.button(id::kMute)->click();
    EXPECT_TRUE(window.muted());
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), 0);
    EXPECT_EQ(window.volumeSlider()->value(), 0);
    EXPECT_TRUE(visible(window, id::kUnmute));
    EXPECT_EQ(window.volume(), kInitialVolume) << "the volume is kept for unmuting";
    window.button(id::kUnmute)->click();
    EXPECT_FALSE(window.muted());
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), kInitialVolume);
    EXPECT_EQ(window.volumeSlider()->value(), kInitialVolume);
    EXPECT_TRUE(visible(window, id::kMute));
}

TEST(PlayerWindow, MuteThenVolumeZeroThenUnmuteStaysSilent) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    MediaPlayer& player = window.player();
    QStringList volumesSent;
    QObject::connect(&player, &MediaPlayer::labelCalled, [&](const QString& label) {
        if (label == QLatin1String("FL_SET_VOLUME"))
            volumesSent << QString::fromStdString(player.getVariable(player_variable::kVolume));
    });
    window.toggleMute();
    clickSliderAt(window.volumeSlider(), 0);
    window.toggleMute();
    EXPECT_EQ(player.doubleProperty("volume").value_or(-1), 0);
    EXPECT_EQ(window.volumeSlider()->value(), 0);
    EXPECT_TRUE(window.showsMutedLook());
    for (const QString& sent : volumesSent) EXPECT_EQ(sent, QStringLiteral("0"));
    // A fresh player is given the silence too.
    window.load(testMedia().mp3);
    EXPECT_EQ(player.doubleProperty("volume").value_or(-1), 0);
}

TEST(PlayerWindow, TurningTheSoundUpWhileMutedEndsTheMute) {
    PlayerWindow window(quietWindow());
    window.toggleMute();
    clickSliderAt(window.volumeSlider(), 30);
    EXPECT_FALSE(window.muted());
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), 30);
    window.toggleMute();
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), 0);
    window.toggleMute();
    EXPECT_EQ(window.player().doubleProperty("volume").value_or(-1), 30);
}

// ---------------------------------------------------------------- gestures

TEST(PlayerWindow, APressOnTheVideoTogglesPlayback) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    mouse(window.videoView(), QEvent::MouseButtonPress, QPoint(100, 100));
    ASSERT_TRUE(waitFor([&] { return !window.playing(); }));
    EXPECT_EQ(window.player().flagProperty("pause"), true);
    mouse(window.videoView(), QEvent::MouseButtonPress, QPoint(100, 100), Qt::RightButton);
    mouse(window.videoView(), QEvent::MouseButtonPress, QPoint(100, 100));
    ASSERT_TRUE(waitFor([&] { return window.playing(); }));
    EXPECT_EQ(window.player().flagProperty("pause"), false);
}

TEST(PlayerWindow, DoubleClickTogglesFullScreenAndLeavesPlaybackAsItWas) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    window.show();
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    QWidget* video = window.videoView();
    mouse(video, QEvent::MouseButtonPress, QPoint(10, 10));
    mouse(video, QEvent::MouseButtonRelease, QPoint(10, 10));
    mouse(video, QEvent::MouseButtonDblClick, QPoint(10, 10));
    mouse(video, QEvent::MouseButtonRelease, QPoint(10, 10));
    EXPECT_TRUE(window.fullScreen());
    waitFor([] { return false; }, 150);
    EXPECT_EQ(window.player().flagProperty("pause"), false);
    EXPECT_TRUE(window.playing());
}

TEST(PlayerWindow, FullScreenCoversTheScreenAndEscapeBringsTheDockedWindowBack) {
    PlayerWindow window(quietWindow());
    const QRect main(100, 60, 346, 460);
    window.dockTo(main);
    window.show();
    window.pictureDialog().show();
    ASSERT_TRUE(window.screen());
    const QRect screen = window.screen()->geometry();

    window.setFullScreen(true);
    EXPECT_TRUE(window.fullScreen());
    EXPECT_EQ(window.geometry(), screen);
    EXPECT_EQ(window.videoView()->geometry(), QRect(QPoint(0, 0), screen.size()));
    EXPECT_TRUE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window.isVisible());
    for (QWidget* control : window.controls())
        EXPECT_FALSE(control->isVisible()) << control->objectName().toStdString();
    EXPECT_FALSE(window.pictureDialog().isVisible());
    EXPECT_TRUE(window.mask().isEmpty());

    // Docking while in full screen is kept for later.
    const QRect moved(40, 20, 346, 460);
    window.dockTo(moved);
    EXPECT_EQ(window.geometry(), screen);

    pressKey(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.fullScreen());
    EXPECT_EQ(window.geometry(), QRect(QPoint(386, 20), kPlayerWindowSize));
    EXPECT_EQ(window.videoView()->geometry(), kPlayerVideoRect);
    EXPECT_FALSE(window.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.pictureDialog().isVisible()) << "it was open before";
    // One button of each pair, and every other control, is back.
    EXPECT_TRUE(visible(window, id::kPlay));
    EXPECT_FALSE(visible(window, id::kPause));
    EXPECT_TRUE(visible(window, id::kMute));
    EXPECT_FALSE(visible(window, id::kUnmute));
    for (QWidget* control : {static_cast<QWidget*>(window.seekSlider()), static_cast<QWidget*>(window.volumeSlider()),
                             static_cast<QWidget*>(window.positionLabel()), static_cast<QWidget*>(window.statusLabel()),
                             static_cast<QWidget*>(window.button(id::kStop))})
        EXPECT_TRUE(control->isVisible()) << control->objectName().toStdString();

    // Escape outside full screen does nothing.
    pressKey(&window, Qt::Key_Escape);
    EXPECT_FALSE(window.fullScreen());
    EXPECT_EQ(window.geometry(), QRect(QPoint(386, 20), kPlayerWindowSize));
}

TEST(PlayerWindow, DocksToTheRightEdgeOfTheMainWindow) {
    PlayerWindow window(quietWindow());
    const std::pair<QRect, QPoint> cases[] = {
        {QRect(0, 0, 346, 460), QPoint(346, 0)},
        {QRect(200, 150, 346, 460), QPoint(546, 150)},
        {QRect(-100, 30, 346, 460), QPoint(246, 30)},
    };
    for (const auto& [main, at] : cases) {
        window.dockTo(main);
        EXPECT_EQ(window.pos(), at);
        EXPECT_EQ(window.size(), kPlayerWindowSize);
    }
}

// -------------------------------------------------------------------- menu

TEST(PlayerWindow, TheVideosMenuOpensAFileOrAnAddressAsGiven) {
    PlayerWindow window(quietWindow());
    const std::unique_ptr<QMenu> menu = window.makeVideoMenu();
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("Open File"));
    EXPECT_EQ(actions[1]->text(), QStringLiteral("Open URL"));

    QString fileAnswer;
    std::optional<QString> urlAnswer;
    window.setFileChooser([&](QWidget*) { return fileAnswer; });
    window.setUrlChooser([&](QWidget*) { return urlAnswer; });

    actions[0]->trigger();
    EXPECT_TRUE(window.target().isEmpty()) << "cancelled: nothing loaded";
    fileAnswer = QStringLiteral("/videos/a clip.mp4");
    actions[0]->trigger();
    EXPECT_EQ(window.target(), fileAnswer);
    EXPECT_EQ(window.player().getVariable(player_variable::kTargetName), "/videos/a clip.mp4");

    actions[1]->trigger();
    EXPECT_EQ(window.target(), fileAnswer) << "cancelled: the target stays";
    urlAnswer = QStringLiteral("  http://example.org/live?id=1&q=\"x\"  ");
    actions[1]->trigger();
    EXPECT_EQ(window.target(), *urlAnswer) << "the text is loaded as entered";
    EXPECT_EQ(window.player().getVariable(player_variable::kTargetName), urlAnswer->toStdString());
}

// ---------------------------------------------------------- picture dialog

TEST(PlayerWindow, PictureDialogMessagesReachMpv) {
    PlayerWindow window(quietWindow());
    PlayerLog log(window.player());
    PictureDialog& dialog = window.pictureDialog();
    dialog.slider(PictureSetting::Saturation)->setValue(150);
    dialog.slider(PictureSetting::Hue)->setValue(-90);
    ASSERT_TRUE(waitFor([&] { return window.player().doubleProperty("hue") == -50.0; }));
    EXPECT_EQ(window.player().doubleProperty("saturation").value_or(-999), 50);
    EXPECT_EQ(window.player().getVariable(player_variable::kSaturation), "150");
    EXPECT_EQ(log.count(QStringLiteral("FL_SMOOTH")), 0);

    dialog.smoothingBox()->setChecked(false);
    ASSERT_TRUE(waitFor([&] { return window.player().textProperty("scale") == "nearest"; }));
    EXPECT_EQ(log.count(QStringLiteral("FL_SMOOTH")), 1);

    dialog.defaultButton()->click();
    ASSERT_TRUE(waitFor([&] { return log.count(QStringLiteral("FL_SMOOTH")) == 2; }));
    EXPECT_EQ(window.player().textProperty("scale").value_or(""), "bilinear");
    for (const char* property : {"brightness", "contrast", "saturation", "hue"})
        EXPECT_EQ(window.player().doubleProperty(property).value_or(-999), 0) << property;
}

TEST(PlayerWindow, ThePictureButtonShowsAndHidesTheDialog) {
    PlayerWindow window(quietWindow());
    window.show();
    EXPECT_FALSE(window.pictureDialog().isVisible());
    window.button(id::kPicture)->click();
    EXPECT_TRUE(window.pictureDialog().isVisible());
    window.button(id::kPicture)->click();
    EXPECT_FALSE(window.pictureDialog().isVisible());
    // Hiding the player takes the dialog along.
    window.button(id::kPicture)->click();
    window.hide();
    EXPECT_FALSE(window.pictureDialog().isVisible());
}

TEST(PlayerWindow, ThePictureDialogOpensBesideTheWindowOrOverTheVideo) {
    struct Case {
        const char* name;
        QPoint window;
        bool beside;
    };
    const Case cases[] = {{"room on the right", {0, 0}, true}, {"at the screen's right edge", {600, 0}, false}};
    for (const Case& c : cases) {
        PlayerWindow window(quietWindow());
        window.dockTo(QRect(c.window - QPoint(346, 0), QSize(346, 460)));
        window.show();
        ASSERT_TRUE(window.screen());
        window.button(id::kPicture)->click();
        const QRect dialog = window.pictureDialog().frameGeometry();
        const QRect video(window.mapToGlobal(kPlayerVideoRect.topLeft()), kPlayerVideoRect.size());
        EXPECT_EQ(dialog.left() > window.frameGeometry().right(), c.beside) << c.name;
        EXPECT_EQ(video.contains(dialog), !c.beside) << c.name;
    }
}

// Pictures of the window for looking at (KESTREL_SCREENSHOT_DIR set).
TEST(PlayerWindow, RendersAtItsSize) {
    KESTREL_REQUIRE_MEDIA();
    PlayerWindow window(quietWindow());
    window.show();
    const QImage idle = window.grab().toImage();
    EXPECT_EQ(idle.size(), kPlayerWindowSize);
    ASSERT_TRUE(loadAndPlay(window, testMedia().flv));
    window.togglePlay();
    ASSERT_TRUE(waitFor([&] { return !window.playing(); }));
    const QImage paused = window.grab().toImage();
    EXPECT_NE(paused, idle) << "the read-outs and buttons must change";
    if (const char* folder = std::getenv("KESTREL_SCREENSHOT_DIR")) {
        const QDir dir(QString::fromLocal8Bit(folder));
        idle.save(dir.filePath(QStringLiteral("player-idle.png")));
        paused.save(dir.filePath(QStringLiteral("player-paused.png")));
        window.pictureDialog().grab().save(dir.filePath(QStringLiteral("player-picture-dialog.png")));
        PlayUrlDialog ask(&window);
        ask.edit()->setText(QStringLiteral("http://example.org/stream.flv"));
        ask.grab().save(dir.filePath(QStringLiteral("player-play-url.png")));
    }
}

}  // namespace
