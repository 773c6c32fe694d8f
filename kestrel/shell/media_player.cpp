#include "kestrel/shell/media_player.h"

#include <mpv/client.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

namespace kestrel::shell {

namespace {

// Properties watched, by the id their change events carry.
enum Watched : std::uint64_t { kWatchTimePos = 1, kWatchPause, kWatchPausedForCache };

// mpv's scaling filters for smoothed and for blocky pictures.
constexpr const char* kSmoothScale = "bilinear";
constexpr const char* kSharpScale = "nearest";

// A message stays on the picture this long.
constexpr const char* kMessageMilliseconds = "3000";

QString latin(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

PictureRange pictureRange(PictureSetting setting) {
    switch (setting) {
    case PictureSetting::Brightness: return {-100, 100, 0};
    case PictureSetting::Contrast: return {-100, 100, 0};
    case PictureSetting::Saturation: return {0, 200, 100};
    case PictureSetting::Hue: return {-180, 180, 0};
    }
    return {0, 0, 0};
}

int equalizerValue(PictureSetting setting, int value) {
    const PictureRange range = pictureRange(setting);
    const int v = std::clamp(value, range.minimum, range.maximum);
    switch (setting) {
    case PictureSetting::Brightness:
    case PictureSetting::Contrast: return v;
    case PictureSetting::Saturation: return v - 100;
    case PictureSetting::Hue: return static_cast<int>(std::lround(v * 100.0 / 180.0));
    }
    return 0;
}

int decimalValue(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;
    }
    if (negative) value = -value;
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

int wholeSeconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return 0;
    const double up = std::ceil(seconds - 0.05);
    if (up >= static_cast<double>(INT_MAX)) return INT_MAX;
    return std::max(0, static_cast<int>(up));
}

// ------------------------------------------------------------------ core

MediaPlayer::MediaPlayer(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    createCore();
}

MediaPlayer::~MediaPlayer() {
    destroyCore();
}

bool MediaPlayer::createCore() {
    mpv_handle* h = mpv_create();
    if (!h) {
        error_ = "libmpv could not make a player";
        return false;
    }
    const bool video = options_.video == VideoOutput::RenderApi && !videoDropped_;
    const std::pair<const char*, const char*> required[] = {
        {"vo", video ? "libmpv" : "null"},
        {"ao", options_.audio ? "" : "null"},
        // Only what we ask for: no user configuration, scripts, key bindings
        // or helper programs, and an idle core between files.
        {"config", "no"},
        {"idle", "yes"},
        {"keep-open", "no"},
        {"input-default-bindings", "no"},
        {"input-vo-keyboard", "no"},
        {"load-scripts", "no"},
        {"ytdl", "no"},
        {"osc", "no"},
        // An MP3's cover picture is not a video.
        {"audio-display", "no"},
    };
    for (const auto& [name, value] : required) {
        if (*value == '\0') continue;
        if (mpv_set_option_string(h, name, value) < 0) {
            error_ = std::string("libmpv refused the option ") + name + "=" + value;
            mpv_destroy(h);
            return false;
        }
    }
    // Nice to have; older or newer libmpv may not know them.
    mpv_set_option_string(h, "audio-client-name", "Kestrel");
    mpv_set_option_string(h, "load-stats-overlay", "no");
    mpv_set_option_string(h, "load-osd-console", "no");
    mpv_set_option_string(h, "load-auto-profiles", "no");
    // Decoding is done in software: no probing for hardware-decoder interop.
    mpv_set_option_string(h, "gpu-hwdec-interop", "no");
    for (const auto& [name, value] : options_.extraOptions) mpv_set_option_string(h, name.c_str(), value.c_str());

    if (const int rc = mpv_initialize(h); rc < 0) {
        error_ = std::string("libmpv could not start: ") + mpv_error_string(rc);
        mpv_destroy(h);
        return false;
    }
    mpv_observe_property(h, kWatchTimePos, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(h, kWatchPause, "pause", MPV_FORMAT_FLAG);
    mpv_observe_property(h, kWatchPausedForCache, "paused-for-cache", MPV_FORMAT_FLAG);
    handle_ = h;
    error_.clear();
    ++generation_;
    mpv_set_wakeup_callback(h, &MediaPlayer::wakeUp, this);
    // What was queued before the call-back was set is read too.
    wakeUp(this);
    return true;
}

void MediaPlayer::destroyCore() {
    if (!handle_) return;
    emit coreAboutToBeDestroyed();
    mpv_handle* h = handle_;
    handle_ = nullptr;
    mpv_set_wakeup_callback(h, nullptr, nullptr);
    // Joins mpv's threads: no wake-up can come after this returns, and a
    // drain already queued finds no core.
    mpv_terminate_destroy(h);
    playback_ = Playback{};
}

bool MediaPlayer::recreate() {
    destroyCore();
    variables_.clear();
    if (!createCore()) return false;
    emit coreCreated();
    return true;
}

void MediaPlayer::dropVideoOutput() {
    if (videoDropped_) return;
    videoDropped_ = true;
    if (handle_) mpv_set_property_string(handle_, "vo", "null");
}

// Called on one of mpv's threads: only queue the drain, once.
void MediaPlayer::wakeUp(void* self) {
    auto* player = static_cast<MediaPlayer*>(self);
    if (player->drainQueued_.exchange(true)) return;
    QMetaObject::invokeMethod(player, [player] { player->drainEvents(); }, Qt::QueuedConnection);
}

// -------------------------------------------------------------- variables

void MediaPlayer::setVariable(std::string_view name, std::string_view value) {
    if (name == player_variable::kTotalTime) return;
    variables_.insert_or_assign(std::string(name), std::string(value));
}

std::string MediaPlayer::getVariable(std::string_view name) const {
    if (name == player_variable::kTotalTime) {
        if (!playback_.fileOpen) return "0";
        return std::to_string(wholeSeconds(doubleProperty("duration").value_or(0)));
    }
    const auto it = variables_.find(name);
    return it == variables_.end() ? std::string() : it->second;
}

std::optional<double> MediaPlayer::doubleProperty(const char* name) const {
    double value = 0;
    if (!handle_ || mpv_get_property(handle_, name, MPV_FORMAT_DOUBLE, &value) < 0) return std::nullopt;
    return value;
}

std::optional<bool> MediaPlayer::flagProperty(const char* name) const {
    int value = 0;
    if (!handle_ || mpv_get_property(handle_, name, MPV_FORMAT_FLAG, &value) < 0) return std::nullopt;
    return value != 0;
}

std::optional<std::string> MediaPlayer::textProperty(const char* name) const {
    if (!handle_) return std::nullopt;
    char* value = mpv_get_property_string(handle_, name);
    if (!value) return std::nullopt;
    std::string out(value);
    mpv_free(value);
    return out;
}

// --------------------------------------------------------------- commands

void MediaPlayer::command(std::vector<const char*> args) {
    args.push_back(nullptr);
    mpv_command(handle_, args.data());
}

void MediaPlayer::setFlag(const char* name, bool on) {
    int value = on ? 1 : 0;
    mpv_set_property(handle_, name, MPV_FORMAT_FLAG, &value);
}

void MediaPlayer::load() {
    const std::string target = getVariable(player_variable::kTargetName);
    // A pause left from the last file must not hold the next one.
    setFlag("pause", false);
    const char* args[] = {"loadfile", target.c_str(), "replace", nullptr};
    mpv_node result{};
    const int rc = target.empty() ? MPV_ERROR_INVALID_PARAMETER : mpv_command_ret(handle_, args, &result);
    playback_.entry = -1;
    if (rc >= 0) {
        if (result.format == MPV_FORMAT_NODE_MAP) {
            for (int i = 0; i < result.u.list->num; ++i) {
                const mpv_node& value = result.u.list->values[i];
                if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 && value.format == MPV_FORMAT_INT64)
                    playback_.entry = value.u.int64;
            }
        }
        mpv_free_node_contents(&result);
    }
    if (rc < 0) {
        // mpv refused before it began: tell it as a failed load, later, as
        // every other outcome of a load is told.
        QMetaObject::invokeMethod(
            this,
            [this] {
                emitStatus(player_status::kLoading);
                emitStatus(player_status::kConnectionError);
            },
            Qt::QueuedConnection);
    }
}

bool MediaPlayer::callLabel(std::string_view label) {
    emit labelCalled(QString::fromUtf8(label.data(), static_cast<qsizetype>(label.size())));
    if (!handle_) return false;
    using namespace player_label;
    if (label == kLoad) {
        load();
    } else if (label == kPlay) {
        // After the end or a stop there is nothing to resume: play it again.
        if (playback_.fileOpen && !playback_.stopRequested)
            setFlag("pause", false);
        else if (!getVariable(player_variable::kTargetName).empty())
            load();
    } else if (label == kPause) {
        if (playback_.fileOpen) setFlag("pause", true);
    } else if (label == kStop) {
        if (playback_.fileOpen) playback_.stopRequested = true;
        command({"stop"});
    } else if (label == kSeek) {
        if (playback_.fileOpen && !playback_.stopRequested) {
            const int to = std::max(0, decimalValue(getVariable(player_variable::kSeek)));
            playback_.seekBackward = to < static_cast<int>(playback_.position);
            const std::string seconds = std::to_string(to);
            command({"seek", seconds.c_str(), "absolute"});
        }
    } else if (label == kSetVolume) {
        double volume = std::clamp(decimalValue(getVariable(player_variable::kVolume)), 0, 100);
        mpv_set_property(handle_, "volume", MPV_FORMAT_DOUBLE, &volume);
    } else if (label == kShowMessage) {
        const std::string text = getVariable(player_variable::kMessage);
        if (text.empty())
            command({"show-text", "", "1"});
        else
            command({"show-text", text.c_str(), kMessageMilliseconds});
    } else if (label == kPictureFilter) {
        const std::pair<PictureSetting, std::pair<std::string_view, const char*>> settings[] = {
            {PictureSetting::Brightness, {player_variable::kBrightness, "brightness"}},
            {PictureSetting::Contrast, {player_variable::kContrast, "contrast"}},
            {PictureSetting::Saturation, {player_variable::kSaturation, "saturation"}},
            {PictureSetting::Hue, {player_variable::kHue, "hue"}},
        };
        for (const auto& [setting, names] : settings) {
            std::int64_t value = equalizerValue(setting, decimalValue(getVariable(names.first)));
            mpv_set_property(handle_, names.second, MPV_FORMAT_INT64, &value);
        }
    } else if (label == kSmooth) {
        const bool smooth = decimalValue(getVariable(player_variable::kSmoothVideo)) != 0;
        mpv_set_property_string(handle_, "scale", smooth ? kSmoothScale : kSharpScale);
    } else {
        return false;
    }
    return true;
}

// ----------------------------------------------------------------- events

void MediaPlayer::emitStatus(std::string_view word) {
    playback_.lastStatus = std::string(word);
    emit fsCommand(latin(player_event::kStatus), latin(word));
}

// The status that follows from what mpv has said, told when it changes.
void MediaPlayer::updateStatus() {
    const Playback& p = playback_;
    if (!p.fileOpen || !p.started || p.stopRequested) return;
    std::string_view word = player_status::kPlaying;
    if (p.seeking)
        word = p.seekBackward ? player_status::kRewinding : player_status::kSeeking;
    else if (p.pausedForCache)
        word = player_status::kBuffering;
    else if (p.pause)
        word = player_status::kPaused;
    if (word != p.lastStatus) emitStatus(word);
}

void MediaPlayer::drainEvents() {
    drainQueued_ = false;
    // A slot may make a new core; the rest of the old one's news is dropped.
    const int generation = generation_;
    mpv_handle* const h = handle_;
    while (h && handle_ && generation_ == generation) {
        const mpv_event* event = mpv_wait_event(h, 0);
        if (event->event_id == MPV_EVENT_NONE) break;
        // Copy what is needed first: a slot may call back into mpv, and the
        // event is only valid until the next wait.
        const mpv_event_id id = event->event_id;
        const std::uint64_t watched = event->reply_userdata;
        mpv_end_file_reason endReason = MPV_END_FILE_REASON_EOF;
        std::int64_t entry = -1;
        std::optional<double> number;
        std::optional<bool> flag;
        if (id == MPV_EVENT_START_FILE)
            entry = static_cast<const mpv_event_start_file*>(event->data)->playlist_entry_id;
        if (id == MPV_EVENT_END_FILE) {
            const auto* end = static_cast<const mpv_event_end_file*>(event->data);
            endReason = end->reason;
            entry = end->playlist_entry_id;
        }
        if (id == MPV_EVENT_PROPERTY_CHANGE) {
            const auto* property = static_cast<const mpv_event_property*>(event->data);
            if (property->format == MPV_FORMAT_DOUBLE) number = *static_cast<const double*>(property->data);
            if (property->format == MPV_FORMAT_FLAG) flag = *static_cast<const int*>(property->data) != 0;
        }

        Playback& p = playback_;
        switch (id) {
        case MPV_EVENT_START_FILE:
            if (entry != p.entry) {
                // A later entry is not what was asked for: the contents of
                // a folder or a playlist the target turned out to be, not
                // played. An earlier one is a load replaced before it
                // started, which mpv ends by itself; stopping here would
                // stop the load that replaced it.
                if (entry > p.entry) command({"stop"});
                break;
            }
            p.fileOpen = true;
            p.started = false;
            p.stopRequested = false;
            p.seeking = false;
            p.position = 0;
            p.lastSecond = -1;
            emitStatus(player_status::kLoading);
            break;
        case MPV_EVENT_SEEK:
            p.seeking = true;
            updateStatus();
            break;
        case MPV_EVENT_PLAYBACK_RESTART:
            p.seeking = false;
            p.started = true;
            updateStatus();
            break;
        case MPV_EVENT_END_FILE: {
            // The end of a file replaced by a later load, or of one never played.
            if (entry != p.entry) break;
            const bool wasOpen = p.fileOpen;
            p.fileOpen = false;
            p.started = false;
            p.seeking = false;
            p.lastSecond = -1;
            if (!wasOpen) break;
            if (endReason == MPV_END_FILE_REASON_ERROR || endReason == MPV_END_FILE_REASON_REDIRECT)
                emitStatus(player_status::kConnectionError);
            else if (endReason == MPV_END_FILE_REASON_EOF || endReason == MPV_END_FILE_REASON_STOP)
                emitStatus(player_status::kStopped);
            break;
        }
        case MPV_EVENT_PROPERTY_CHANGE:
            if (watched == kWatchTimePos) {
                if (!number) {
                    p.lastSecond = -1;
                    break;
                }
                p.position = std::max(0.0, *number);
                if (!p.fileOpen || p.stopRequested) break;
                const int second = static_cast<int>(std::min(std::floor(p.position), static_cast<double>(INT_MAX)));
                if (second == p.lastSecond) break;
                p.lastSecond = second;
                emit fsCommand(latin(player_event::kProgress), QString::number(second));
            } else if (watched == kWatchPause) {
                p.pause = flag.value_or(false);
                updateStatus();
            } else if (watched == kWatchPausedForCache) {
                p.pausedForCache = flag.value_or(false);
                updateStatus();
            }
            break;
        default:
            break;
        }
    }
}

}  // namespace kestrel::shell
