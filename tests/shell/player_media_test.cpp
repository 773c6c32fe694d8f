// The player component over a real libmpv, playing real media: the labels
// and variables it is driven with, the events it reports and the order of
// its status words, what its commands do to mpv's own properties, and the
// small conversions it makes on the way.

#include "player_media_test.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

namespace kestrel::shell::testing {

namespace {

// Sets an FLV's onMetaData duration, so the file claims another length than it plays.
bool claimDuration(const QString& from, const QString& to, double seconds) {
    QFile in(from);
    if (!in.open(QIODevice::ReadOnly)) return false;
    QByteArray bytes = in.readAll();
    static const QByteArray key("\x00\x08" "duration\x00", 11);
    const qsizetype at = bytes.indexOf(key);
    if (at < 0 || at + key.size() + 8 > bytes.size()) return false;
    quint64 bits = 0;
    std::memcpy(&bits, &seconds, sizeof bits);
    for (int i = 0; i < 8; ++i)
        bytes[at + key.size() + i] = static_cast<char>((bits >> (56 - 8 * i)) & 0xff);
    QFile out(to);
    return out.open(QIODevice::WriteOnly | QIODevice::Truncate) && out.write(bytes) == bytes.size();
}

// The media are made once per build and script: every test runs in a
// process of its own, and ffmpeg need not run for each.
TestMedia makeMedia() {
    TestMedia media;
    if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty()) {
        media.why = QStringLiteral("ffmpeg is not installed: no test media (apt-get install ffmpeg)");
        return media;
    }
    QFile script(QStringLiteral(KESTREL_TEST_MEDIA_SCRIPT));
    if (!script.open(QIODevice::ReadOnly)) {
        media.why = QStringLiteral("the media script is missing: " KESTREL_TEST_MEDIA_SCRIPT);
        return media;
    }
    const QByteArray hash = QCryptographicHash::hash(script.readAll(), QCryptographicHash::Sha1);
    const QString stamp = QString::fromLatin1(hash.toHex());
    const QString base = QStringLiteral(KESTREL_BIN_DIR "/../player-test-media");
    const QString folder = base + QLatin1Char('/') + stamp;
    if (!QFile::exists(folder + QStringLiteral("/done"))) {
        QDir().mkpath(base);
        QTemporaryDir work(base + QStringLiteral("/making-XXXXXX"));
        work.setAutoRemove(true);
        QProcess run;
        run.setProcessChannelMode(QProcess::MergedChannels);
        run.start(QStringLiteral("/bin/sh"), {script.fileName(), work.path()});
        if (!run.waitForFinished(60000) || run.exitCode() != 0) {
            media.why = QStringLiteral("making the test media failed: ") + QString::fromUtf8(run.readAll());
            return media;
        }
        if (!claimDuration(work.filePath(QStringLiteral("long.flv")), work.filePath(QStringLiteral("short-claim.flv")),
                           1.0)) {
            media.why = QStringLiteral("the FLV made by ffmpeg has no duration to change");
            return media;
        }
        QFile done(work.filePath(QStringLiteral("done")));
        done.open(QIODevice::WriteOnly);
        done.close();
        // Another test process may have been quicker: then its folder stays.
        if (QDir().rename(work.path(), folder)) {
            work.setAutoRemove(false);
            // Media of an older script are not needed any more.
            const QDir all(base);
            for (const QString& old : all.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                if (old != stamp && !old.startsWith(QLatin1String("making-")))
                    QDir(all.filePath(old)).removeRecursively();
        }
        if (!QFile::exists(folder + QStringLiteral("/done"))) {
            media.why = QStringLiteral("the test media could not be kept in ") + folder;
            return media;
        }
    }
    media.folder = folder;
    media.flv = folder + QStringLiteral("/clip.flv");
    media.mp4 = folder + QStringLiteral("/clip.mp4");
    media.mp3 = folder + QStringLiteral("/clip.mp3");
    media.m4a = folder + QStringLiteral("/clip.m4a");
    media.shortClaim = folder + QStringLiteral("/short-claim.flv");
    media.missing = folder + QStringLiteral("/no such file.flv");
    media.ok = true;
    return media;
}

}  // namespace

const TestMedia& testMedia() {
    static const TestMedia media = makeMedia();
    return media;
}

MediaPlayer::Options quietPlayer(double speed) {
    MediaPlayer::Options options;
    options.video = MediaPlayer::VideoOutput::None;
    options.audio = false;
    if (speed != 1.0) options.extraOptions.emplace_back("speed", std::to_string(speed));
    return options;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

PlayerLog::PlayerLog(MediaPlayer& player) {
    QObject::connect(&player, &MediaPlayer::fsCommand, &player, [this](const QString& command, const QString& args) {
        if (command == QLatin1String("status")) statuses << args;
        if (command == QLatin1String("progress")) progress << args.toInt();
    });
    QObject::connect(&player, &MediaPlayer::labelCalled, &player, [this](const QString& label) { labels << label; });
}

int PlayerLog::find(const QString& word, int from) const {
    for (int i = std::max(0, from); i < statuses.size(); ++i)
        if (statuses[i] == word) return i;
    return -1;
}

}  // namespace kestrel::shell::testing

namespace {

using namespace kestrel::shell;
using namespace kestrel::shell::testing;

void load(MediaPlayer& player, const QString& target) {
    player.setVariable(player_variable::kTargetName, target.toStdString());
    player.callLabel(player_label::kLoad);
}

bool waitForStatus(const PlayerLog& log, const QString& word, int from = 0, int timeoutMs = 8000) {
    return waitFor([&] { return log.find(word, from) >= 0; }, timeoutMs);
}

// ------------------------------------------------------------ conversions

TEST(PlayerConversions, DecimalValueTakesTheLeadingNumber) {
    struct Case {
        const char* text;
        int value;
    };
    const Case cases[] = {
        {"", 0},          {"abc", 0},       {"12", 12},   {"  7", 7},         {"-5", -5},
        {"+3", 3},        {"12abc", 12},    {"3.9", 3},   {"- 4", 0},         {"0070", 70},
        {"2147483647", INT_MAX},            {"99999999999", INT_MAX},         {"-99999999999", INT_MIN},
    };
    for (const Case& c : cases) EXPECT_EQ(decimalValue(c.text), c.value) << '"' << c.text << '"';
}

TEST(PlayerConversions, WholeSecondsRoundUpWithSlack) {
    struct Case {
        double seconds;
        int whole;
    };
    const Case cases[] = {
        {0, 0},     {-1, 0},    {0.04, 0},  {0.5, 1},  {1.0, 1},    {2.96, 3},  {3.0, 3},
        {3.025, 3}, {3.03, 3},  {3.05, 3},  {3.06, 4}, {3.4, 4},    {3599.5, 3600},
        {std::numeric_limits<double>::quiet_NaN(), 0}, {std::numeric_limits<double>::infinity(), 0},
        {1e12, INT_MAX},
    };
    for (const Case& c : cases) EXPECT_EQ(wholeSeconds(c.seconds), c.whole) << c.seconds;
}

TEST(PlayerConversions, PictureValuesMapOntoTheEqualizersRange) {
    struct Case {
        PictureSetting setting;
        int value;
        int equalizer;
    };
    const Case cases[] = {
        {PictureSetting::Brightness, -100, -100}, {PictureSetting::Brightness, 0, 0},
        {PictureSetting::Brightness, 37, 37},     {PictureSetting::Brightness, 150, 100},
        {PictureSetting::Contrast, -120, -100},   {PictureSetting::Contrast, 100, 100},
        {PictureSetting::Saturation, 0, -100},    {PictureSetting::Saturation, 100, 0},
        {PictureSetting::Saturation, 150, 50},    {PictureSetting::Saturation, 200, 100},
        {PictureSetting::Saturation, 250, 100},   {PictureSetting::Saturation, -5, -100},
        {PictureSetting::Hue, -180, -100},        {PictureSetting::Hue, 180, 100},
        {PictureSetting::Hue, 90, 50},            {PictureSetting::Hue, 1, 1},
        {PictureSetting::Hue, -1, -1},            {PictureSetting::Hue, 0, 0},
        {PictureSetting::Hue, 400, 100},
    };
    for (const Case& c : cases)
        EXPECT_EQ(equalizerValue(c.setting, c.value), c.equalizer)
            << static_cast<int>(c.setting) << " " << c.value;
}

// -------------------------------------------------------------- commands

TEST(MediaPlayer, KnowsExactlyItsLabels) {
    MediaPlayer player(quietPlayer());
    ASSERT_TRUE(player.ready()) << player.error();
    for (std::string_view label : {player_label::kPlay, player_label::kPause, player_label::kStop,
                                   player_label::kSetVolume, player_label::kShowMessage,
                                   player_label::kPictureFilter, player_label::kSmooth, player_label::kSeek})
        EXPECT_TRUE(player.callLabel(label)) << label;
    for (const char* label : {"FL_REWIND", "fl_play", "", "FL_PLAY "}) EXPECT_FALSE(player.callLabel(label)) << label;
}

TEST(MediaPlayer, VariablesReadBackAsSetAndTotalTimeIsReadOnly) {
    MediaPlayer player(quietPlayer());
    player.setVariable(player_variable::kHomepage, "https://example.org/");
    player.setVariable("_root.anything", "x");
    EXPECT_EQ(player.getVariable(player_variable::kHomepage), "https://example.org/");
    EXPECT_EQ(player.getVariable("_root.anything"), "x");
    EXPECT_EQ(player.getVariable("_root.never"), "");
    player.setVariable(player_variable::kTotalTime, "99");
    EXPECT_EQ(player.getVariable(player_variable::kTotalTime), "0");
}

TEST(MediaPlayer, VolumeCommandSetsMpvsVolumeWithinItsRange) {
    MediaPlayer player(quietPlayer());
    struct Case {
        const char* text;
        double volume;
    };
    const Case cases[] = {{"35", 35}, {"100", 100}, {"150", 100}, {"-3", 0}, {"abc", 0}, {"70", 70}};
    for (const Case& c : cases) {
        player.setVariable(player_variable::kVolume, c.text);
        player.callLabel(player_label::kSetVolume);
        EXPECT_EQ(player.doubleProperty("volume").value_or(-1), c.volume) << c.text;
    }
}

TEST(MediaPlayer, PictureCommandSetsMpvsEqualizer) {
    MediaPlayer player(quietPlayer());
    struct Case {
        const char* brightness;
        const char* contrast;
        const char* saturation;
        const char* hue;
        double expected[4];
    };
    const Case cases[] = {
        {"0", "0", "100", "0", {0, 0, 0, 0}},
        {"25", "-40", "150", "90", {25, -40, 50, 50}},
        {"-100", "100", "0", "-180", {-100, 100, -100, -100}},
        {"300", "-300", "999", "999", {100, -100, 100, 100}},
    };
    const char* properties[] = {"brightness", "contrast", "saturation", "hue"};
    for (const Case& c : cases) {
        player.setVariable(player_variable::kBrightness, c.brightness);
        player.setVariable(player_variable::kContrast, c.contrast);
        player.setVariable(player_variable::kSaturation, c.saturation);
        player.setVariable(player_variable::kHue, c.hue);
        ASSERT_TRUE(player.callLabel(player_label::kPictureFilter));
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(player.doubleProperty(properties[i]).value_or(-999), c.expected[i])
                << properties[i] << " for " << c.brightness << "/" << c.contrast << "/" << c.saturation << "/"
                << c.hue;
    }
}

TEST(MediaPlayer, SmoothingChoosesTheScalingFilter) {
    MediaPlayer player(quietPlayer());
    const std::pair<const char*, const char*> cases[] = {{"0", "nearest"}, {"1", "bilinear"}, {"0", "nearest"},
                                                         {"7", "bilinear"}, {"", "nearest"}};
    for (const auto& [flag, scale] : cases) {
        player.setVariable(player_variable::kSmoothVideo, flag);
        player.callLabel(player_label::kSmooth);
        EXPECT_EQ(player.textProperty("scale").value_or(""), scale) << '"' << flag << '"';
    }
}

TEST(MediaPlayer, RecreateGivesAFreshCoreThatPlays) {
    KESTREL_REQUIRE_MEDIA();
    MediaPlayer player(quietPlayer(4));
    ASSERT_EQ(player.generation(), 1);
    player.setVariable(player_variable::kHomepage, "h");
    player.setVariable(player_variable::kVolume, "20");
    player.callLabel(player_label::kSetVolume);
    int created = 0;
    int destroyed = 0;
    QObject::connect(&player, &MediaPlayer::coreCreated, [&] { ++created; });
    QObject::connect(&player, &MediaPlayer::coreAboutToBeDestroyed, [&] { ++destroyed; });
    ASSERT_TRUE(player.recreate());
    EXPECT_EQ(player.generation(), 2);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(player.getVariable(player_variable::kHomepage), "");
    EXPECT_EQ(player.doubleProperty("volume").value_or(-1), 100) << "a fresh core has mpv's own volume";
    PlayerLog log(player);
    load(player, testMedia().flv);
    EXPECT_TRUE(waitForStatus(log, QStringLiteral("playing")));
}

// ------------------------------------------------------- events and status

TEST(MediaPlayer, FilePlayedToTheEndReportsLoadingPlayingStoppedAndEverySecond) {
    KESTREL_REQUIRE_MEDIA();
    MediaPlayer player(quietPlayer(4));
    PlayerLog log(player);
    QString totalWhilePlaying;
    QObject::connect(&player, &MediaPlayer::fsCommand, [&](const QString& command, const QString& args) {
        if (command == QLatin1String("status") && args == QLatin1String("playing") && totalWhilePlaying.isEmpty())
            totalWhilePlaying = QString::fromStdString(player.getVariable(player_variable::kTotalTime));
    });
    load(player, testMedia().flv);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("stopped"))) << log.statuses.join(u' ').toStdString();
    EXPECT_EQ(log.statuses.value(0), QStringLiteral("loading"));
    const int playing = log.find(QStringLiteral("playing"));
    ASSERT_GT(playing, 0);
    EXPECT_EQ(log.statuses.last(), QStringLiteral("stopped"));
    EXPECT_LT(playing, log.find(QStringLiteral("stopped")));
    EXPECT_FALSE(log.saw(QStringLiteral("connectionError")));
    EXPECT_EQ(totalWhilePlaying, QStringLiteral("3"));
    // Each whole second at most once, in order, from the start to the last.
    ASSERT_FALSE(log.progress.isEmpty());
    EXPECT_EQ(log.progress.first(), 0);
    EXPECT_EQ(log.progress.last(), 2);
    for (qsizetype i = 1; i < log.progress.size(); ++i) EXPECT_GT(log.progress[i], log.progress[i - 1]);
    EXPECT_EQ(player.flagProperty("idle-active"), true);
    EXPECT_EQ(player.getVariable(player_variable::kTotalTime), "0") << "nothing is loaded after the end";
}

TEST(MediaPlayer, PlaysEveryFormatTheRecorderStores) {
    KESTREL_REQUIRE_MEDIA();
    const std::pair<const char*, QString> files[] = {{"flv", testMedia().flv},
                                                     {"mp4", testMedia().mp4},
                                                     {"mp3", testMedia().mp3},
                                                     {"m4a", testMedia().m4a}};
    MediaPlayer player(quietPlayer());
    for (const auto& [kind, path] : files) {
        PlayerLog log(player);
        load(player, path);
        ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing")))
            << kind << ": " << log.statuses.join(u' ').toStdString();
        EXPECT_EQ(player.getVariable(player_variable::kTotalTime), "3") << kind;
        EXPECT_FALSE(log.saw(QStringLiteral("connectionError"))) << kind;
        player.callLabel(player_label::kStop);
        ASSERT_TRUE(waitForStatus(log, QStringLiteral("stopped"))) << kind;
        QObject::disconnect(&player, nullptr, nullptr, nullptr);
    }
}

TEST(MediaPlayer, MissingOrEmptyTargetEndsInConnectionError) {
    KESTREL_REQUIRE_MEDIA();
    for (const QString& target : {testMedia().missing, QString(), testMedia().folder}) {
        MediaPlayer player(quietPlayer());
        PlayerLog log(player);
        load(player, target);
        ASSERT_TRUE(waitForStatus(log, QStringLiteral("connectionError")))
            << target.toStdString() << ": " << log.statuses.join(u' ').toStdString();
        EXPECT_EQ(log.statuses.first(), QStringLiteral("loading")) << target.toStdString();
        // Nothing else is played on its behalf (a folder's files, say).
        waitFor([] { return false; }, 200);
        EXPECT_FALSE(log.saw(QStringLiteral("playing"))) << target.toStdString();
        EXPECT_TRUE(log.progress.isEmpty());
        EXPECT_EQ(player.flagProperty("idle-active"), true) << target.toStdString();
    }
}

TEST(MediaPlayer, PausePlayAndStopDriveMpvsProperties) {
    KESTREL_REQUIRE_MEDIA();
    MediaPlayer player(quietPlayer());
    PlayerLog log(player);
    load(player, testMedia().flv);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing")));
    EXPECT_EQ(player.flagProperty("pause"), false);
    EXPECT_EQ(player.flagProperty("idle-active"), false);
    EXPECT_TRUE(player.doubleProperty("time-pos").has_value());

    player.callLabel(player_label::kPause);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("paused")));
    EXPECT_EQ(player.flagProperty("pause"), true);
    const double pausedAt = player.doubleProperty("time-pos").value_or(-1);
    QThread::msleep(150);
    QCoreApplication::processEvents();
    EXPECT_EQ(player.doubleProperty("time-pos").value_or(-2), pausedAt) << "paused playback must not move";

    const int resumedFrom = static_cast<int>(log.statuses.size());
    player.callLabel(player_label::kPlay);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing"), resumedFrom));
    EXPECT_EQ(player.flagProperty("pause"), false);

    player.callLabel(player_label::kStop);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("stopped")));
    EXPECT_TRUE(waitFor([&] { return player.flagProperty("idle-active") == true; }));
    EXPECT_FALSE(player.doubleProperty("time-pos").has_value());

    // After a stop there is nothing to resume: play starts the file again.
    const int againFrom = static_cast<int>(log.statuses.size());
    player.callLabel(player_label::kPlay);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing"), againFrom));
    EXPECT_EQ(log.statuses.value(againFrom), QStringLiteral("loading"));
    EXPECT_EQ(player.flagProperty("idle-active"), false);
}

TEST(MediaPlayer, PauseHeldOverFromTheLastFileDoesNotHoldTheNext) {
    KESTREL_REQUIRE_MEDIA();
    MediaPlayer player(quietPlayer());
    PlayerLog log(player);
    load(player, testMedia().flv);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing")));
    player.callLabel(player_label::kPause);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("paused")));
    const int from = static_cast<int>(log.statuses.size());
    load(player, testMedia().mp3);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing"), from)) << log.statuses.join(u' ').toStdString();
    EXPECT_EQ(player.flagProperty("pause"), false);
}

TEST(MediaPlayer, SeekMovesThePositionAndReportsSeekingOrRewinding) {
    KESTREL_REQUIRE_MEDIA();
    MediaPlayer player(quietPlayer());
    PlayerLog log(player);
    load(player, testMedia().flv);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("playing")));
    player.callLabel(player_label::kPause);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("paused")));

    int from = static_cast<int>(log.statuses.size());
    player.setVariable(player_variable::kSeek, "2");
    ASSERT_TRUE(player.callLabel(player_label::kSeek));
    ASSERT_TRUE(waitFor([&] {
        return log.find(QStringLiteral("paused"), from + 1) > log.find(QStringLiteral("seeking"), from);
    }))
        << log.statuses.join(u' ').toStdString();
    EXPECT_EQ(log.statuses.value(from), QStringLiteral("seeking"));
    EXPECT_NEAR(player.doubleProperty("time-pos").value_or(-1), 2.0, 0.05);
    EXPECT_TRUE(waitFor([&] { return !log.progress.isEmpty() && log.progress.last() == 2; }));

    from = static_cast<int>(log.statuses.size());
    player.setVariable(player_variable::kSeek, "0");
    player.callLabel(player_label::kSeek);
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("paused"), from + 1));
    EXPECT_EQ(log.statuses.value(from), QStringLiteral("rewinding"));
    EXPECT_NEAR(player.doubleProperty("time-pos").value_or(-1), 0.0, 0.05);
    EXPECT_TRUE(waitFor([&] { return !log.progress.isEmpty() && log.progress.last() == 0; }));
}

TEST(MediaPlayer, NoProgressIsReportedAfterAStop) {
    KESTREL_REQUIRE_MEDIA();
    MediaPlayer player(quietPlayer(2));
    PlayerLog log(player);
    load(player, testMedia().flv);
    ASSERT_TRUE(waitFor([&] { return log.progress.contains(1); }));
    player.callLabel(player_label::kStop);
    const qsizetype progressAtStop = log.progress.size();
    ASSERT_TRUE(waitForStatus(log, QStringLiteral("stopped")));
    // Give any late news from mpv time to arrive.
    waitFor([] { return false; }, 300);
    EXPECT_EQ(log.progress.size(), progressAtStop);
    EXPECT_EQ(log.statuses.last(), QStringLiteral("stopped")) << log.statuses.join(u' ').toStdString();
}

}  // namespace
