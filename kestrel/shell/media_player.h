#pragma once
// The player component: plays one file or address at a time through libmpv.
// It is driven as the player window drives it: text variables are set, then
// a label is called (a command); it answers with "progress" and "status"
// events. It has no widgets: the picture is drawn by VideoView through mpv's
// render API, or not at all (VideoOutput::None, used by tests and when
// OpenGL is missing).
//
// Threads: every member is called on the thread that made the object (the
// UI thread). mpv's own threads only wake that thread; events are read and
// delivered there, as signals.

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct mpv_handle;

namespace kestrel::shell {

// Variables the player reads when a label is called.
namespace player_variable {
inline constexpr std::string_view kTargetName = "_root.strTargetName";
inline constexpr std::string_view kSeek = "_root.tmSeek";
inline constexpr std::string_view kVolume = "_root.volumeSound";
inline constexpr std::string_view kMessage = "_root.strMessage";
inline constexpr std::string_view kBrightness = "_root.filter_brightness";
inline constexpr std::string_view kContrast = "_root.filter_contrast";
inline constexpr std::string_view kSaturation = "_root.filter_saturation";
inline constexpr std::string_view kHue = "_root.filter_hue";
inline constexpr std::string_view kSmoothVideo = "_root.bSmoothVideo";
inline constexpr std::string_view kHomepage = "_root.strHomepage";
// Read only: the length of what is loaded, in whole seconds ("0" when unknown).
inline constexpr std::string_view kTotalTime = "_root.player.totalTime";
}  // namespace player_variable

// The commands.
namespace player_label {
inline constexpr std::string_view kLoad = "FL_LOAD";
inline constexpr std::string_view kPlay = "FL_PLAY";
inline constexpr std::string_view kPause = "FL_PAUSE";
inline constexpr std::string_view kStop = "FL_STOP";
inline constexpr std::string_view kSeek = "FL_SEEK";
inline constexpr std::string_view kSetVolume = "FL_SET_VOLUME";
inline constexpr std::string_view kShowMessage = "FL_SHOW_MESSAGE";
inline constexpr std::string_view kPictureFilter = "FL_PICTURE_FILTER";
inline constexpr std::string_view kSmooth = "FL_SMOOTH";
}  // namespace player_label

// The events: "progress" carries the position in whole seconds, "status" one
// of the status words.
namespace player_event {
inline constexpr std::string_view kProgress = "progress";
inline constexpr std::string_view kStatus = "status";
}  // namespace player_event

namespace player_status {
inline constexpr std::string_view kLoading = "loading";
inline constexpr std::string_view kPlaying = "playing";
inline constexpr std::string_view kBuffering = "buffering";
inline constexpr std::string_view kPaused = "paused";
inline constexpr std::string_view kSeeking = "seeking";
inline constexpr std::string_view kRewinding = "rewinding";
inline constexpr std::string_view kStopped = "stopped";
inline constexpr std::string_view kConnectionError = "connectionError";
}  // namespace player_status

// The picture settings, their ranges and defaults.
enum class PictureSetting { Brightness, Contrast, Saturation, Hue };
struct PictureRange {
    int minimum;
    int maximum;
    int defaultValue;
};
PictureRange pictureRange(PictureSetting setting);
// mpv's equalizer value (-100..100) for a setting's value; values outside the
// setting's range are taken as its nearest end.
int equalizerValue(PictureSetting setting, int value);

// The leading decimal number of a text ("%d" as the variables carry it):
// optional blanks and sign, then digits; 0 when there are none. Saturates at
// the int range instead of overflowing.
int decimalValue(std::string_view text);

// Whole seconds of a length in seconds as the player reports it: rounded up,
// so stopping at the last whole second never cuts the end of a file, with a
// twentieth of a second of slack so 3.03 s still counts as 3.
int wholeSeconds(double seconds);

class MediaPlayer : public QObject {
    Q_OBJECT
public:
    enum class VideoOutput {
        RenderApi,  // pictures go to the render context a VideoView attaches
        None,       // video is decoded for its timing but never shown
    };
    struct Options {
        VideoOutput video = VideoOutput::RenderApi;
        bool audio = true;  // false: no sound device is opened
        // More mpv options (name, value), set on every core before it starts.
        std::vector<std::pair<std::string, std::string>> extraOptions;
    };

    explicit MediaPlayer(Options options, QObject* parent = nullptr);
    ~MediaPlayer() override;
    MediaPlayer(const MediaPlayer&) = delete;
    MediaPlayer& operator=(const MediaPlayer&) = delete;

    // Whether a core runs; when not, error() says why and labels do nothing.
    bool ready() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }

    // Throws the core away and starts a fresh one, as if the player had just
    // been made: nothing loaded, variables forgotten, mpv's defaults.
    bool recreate();
    // Counts the cores made so far (1 after construction).
    int generation() const { return generation_; }
    // The core, for the video view's render context; null when not ready.
    mpv_handle* handle() const { return handle_; }

    void setVariable(std::string_view name, std::string_view value);
    // A variable as last set ("" when never set), or the read-only total time.
    std::string getVariable(std::string_view name) const;
    // Runs a command; false for a label the player does not know or when no
    // core runs.
    bool callLabel(std::string_view label);

    // mpv's properties, read now (for the video view and for checks).
    std::optional<double> doubleProperty(const char* name) const;
    std::optional<bool> flagProperty(const char* name) const;
    std::optional<std::string> textProperty(const char* name) const;

    VideoOutput videoOutput() const { return options_.video; }
    // No picture can be drawn: decode video without showing it, on this core
    // and every later one.
    void dropVideoOutput();
    bool videoDropped() const { return videoDropped_; }

signals:
    // command "progress" or "status", args its text.
    void fsCommand(const QString& command, const QString& args);
    // Every label called, known or not, before it runs.
    void labelCalled(const QString& label);
    // recreate() made a new core (the constructor's first one is not
    // announced: ask handle()).
    void coreCreated();
    // The core is about to go: a render context must be freed now.
    void coreAboutToBeDestroyed();

private:
    bool createCore();
    void destroyCore();
    static void wakeUp(void* self);
    void drainEvents();
    void emitStatus(std::string_view word);
    void updateStatus();
    void load();
    void setFlag(const char* name, bool on);
    void command(std::vector<const char*> args);

    Options options_;
    mpv_handle* handle_ = nullptr;
    int generation_ = 0;
    std::string error_;
    bool videoDropped_ = false;
    std::atomic<bool> drainQueued_{false};
    std::map<std::string, std::string, std::less<>> variables_;

    // What mpv has told of the file being played.
    struct Playback {
        std::int64_t entry = -1;     // mpv's playlist entry of the last load
        bool fileOpen = false;       // between the start and the end of a file
        bool started = false;        // its playback has begun
        bool stopRequested = false;  // stopped by a command; its late news is ignored
        bool seeking = false;
        bool seekBackward = false;
        bool pause = false;
        bool pausedForCache = false;
        double position = 0;
        int lastSecond = -1;
        std::string lastStatus;
    };
    Playback playback_;
};

}  // namespace kestrel::shell
