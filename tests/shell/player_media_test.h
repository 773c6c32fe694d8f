#pragma once
// What the player's tests share: real media made with ffmpeg once per run,
// a player without picture and sound, and a way to wait for its events.

#include "kestrel/shell/media_player.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace kestrel::shell::testing {

struct TestMedia {
    bool ok = false;
    QString why;        // why there is none
    QString flv;        // 3 s, Sorenson video and MP3 sound
    QString mp4;        // 3 s, H.264 and AAC
    QString mp3;        // 3 s tone
    QString m4a;        // 3 s tone, AAC
    QString shortClaim; // a 6 s FLV whose metadata claims 1 s
    QString missing;    // a path that does not exist
    QString folder;
};

// Made on first use in a temporary folder that lives until the run ends.
const TestMedia& testMedia();

#define KESTREL_REQUIRE_MEDIA()                                                        \
    do {                                                                               \
        if (!::kestrel::shell::testing::testMedia().ok)                                \
            GTEST_SKIP() << ::kestrel::shell::testing::testMedia().why.toStdString();  \
    } while (false)

// A player with no picture and no sound device; speed > 1 plays faster.
MediaPlayer::Options quietPlayer(double speed = 1.0);

// Runs the event loop until done() or the time is up; returns done().
bool waitFor(const std::function<bool()>& done, int timeoutMs = 8000);

// Every event of a player, and every label called on it.
class PlayerLog {
public:
    explicit PlayerLog(MediaPlayer& player);
    QStringList statuses;
    QList<int> progress;
    QStringList labels;
    // Index of the first status word equal to word at or after from, or -1.
    int find(const QString& word, int from = 0) const;
    bool saw(const QString& word) const { return find(word) >= 0; }
    int count(const QString& label) const { return static_cast<int>(labels.count(label)); }
};

}  // namespace kestrel::shell::testing
