#pragma once
// The player window: a skinned panel docked to the right of the main window
// with the video, play/pause, stop, mute, a seek and a volume slider, the
// position, length and status, and the picture dialog. It drives the player
// component with its labels and variables and follows its "progress" and
// "status" events. It is made once and then only shown and hidden.

#include "kestrel/shell/media_player.h"
#include "kestrel/shell/skinned_window.h"

#include <QRect>
#include <QSize>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QMenu;

namespace kestrel::shell {

class PictureDialog;
class SkinButton;
class SkinSlider;
class VideoView;

// Control IDs of the player window's picture buttons. Play and pause share
// a place, as do mute and unmute: one of each pair is shown.
namespace player_control_id {
inline constexpr int kPlay = 2010;
inline constexpr int kPause = 2011;
inline constexpr int kStop = 2012;
inline constexpr int kMute = 2013;
inline constexpr int kUnmute = 2014;
inline constexpr int kPicture = 2015;
}  // namespace player_control_id

// The player window's size and background picture, and where the video sits.
inline constexpr QSize kPlayerWindowSize{345, 460};
inline constexpr QRect kPlayerVideoRect{21, 32, 301, 302};
inline constexpr const char* kPlayerBackground = "player_background.png";
inline constexpr int kInitialVolume = 70;

// Texts of the window.
inline constexpr const char* kNoPosition = "--:--:--";
inline constexpr const char* kNoDuration = "/--:--:--";
inline constexpr const char* kOpenFileFilter = "Flash Video(*.flv);;All Files(*.*)";

// Whole seconds as "%02d:%02d:%02d" (hours, minutes, seconds); negative
// values count as 0.
QString clockText(int seconds);

// The region of a skin picture that stays when its key colour, black, is cut
// out (and any fully see-through pixel). A picture without either gives its
// whole rectangle.
QRegion keyColourRegion(const QImage& skin);

struct PlayerWindowOptions {
    MediaPlayer::Options player;
    std::string homePage;  // handed to the player as its home page
};

class PlayerWindow : public SkinnedWindow {
    Q_OBJECT
public:
    explicit PlayerWindow(PlayerWindowOptions options = {}, QWidget* parent = nullptr);
    ~PlayerWindow() override;

    // Plays a file or an address: a fresh player first when the last one
    // asked for it, then stop, then play. A window never shown yet is shown
    // first when it draws pictures: its video surface must start.
    void load(const QString& target);
    // Play when paused or stopped, pause when playing (the play button).
    void togglePlay();
    // The stop button.
    void stop();
    void toggleMute();
    void setFullScreen(bool on);
    bool fullScreen() const { return fullScreen_; }
    // Places the window with its left edge at the main window's right edge
    // and the same top; remembered for leaving full screen.
    void dockTo(const QRect& mainWindowGeometry);

    // "Open File" and "Open URL" of the video's menu.
    void openFile();
    void openUrl();
    // The video's context menu (the caller shows it).
    std::unique_ptr<QMenu> makeVideoMenu();
    // Where the two commands get their answer; tests answer without dialogs.
    // An empty QString or nothing means cancelled.
    void setFileChooser(std::function<QString(QWidget*)> chooser) { chooseFile_ = std::move(chooser); }
    void setUrlChooser(std::function<std::optional<QString>(QWidget*)> chooser) { chooseUrl_ = std::move(chooser); }

    MediaPlayer& player() { return *player_; }
    PictureDialog& pictureDialog() { return *picture_; }
    VideoView* videoView() const { return video_; }
    SkinButton* button(int controlId) const;
    SkinSlider* seekSlider() const { return seek_; }
    SkinSlider* volumeSlider() const { return volumeSlider_; }
    QLabel* positionLabel() const { return positionLabel_; }
    QLabel* durationLabel() const { return durationLabel_; }
    QLabel* statusLabel() const { return statusLabel_; }
    // Every control hidden in full screen.
    std::vector<QWidget*> controls() const;

    const QString& target() const { return target_; }
    bool loaded() const { return loaded_; }
    bool playing() const { return playing_; }
    bool reloadPending() const { return reload_; }
    int position() const { return position_; }
    int duration() const { return duration_; }
    int volume() const { return volume_; }
    bool muted() const { return muted_; }
    // Which look the two-look buttons show.
    bool showsPlayLook() const { return playLook_; }
    bool showsMutedLook() const { return mutedLook_; }

public slots:
    // The player's events.
    void onPlayerEvent(const QString& command, const QString& args);
    // The picture dialog's messages.
    void onPictureMessage(std::uint32_t message);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void setUpPlayer();
    void resetPlayback();
    void startLoad();
    void onProgress(const QString& args);
    void onStatus(const QString& args);
    void setDuration(int seconds);
    void sendVolume();
    void sendPicture();
    void sendSmoothing();
    void call(std::string_view label);
    void setPlayLook(bool play);
    void setMutedLook(bool muted);
    void onVideoPressed();
    void onVideoDoubleClicked();

    PlayerWindowOptions options_;
    std::unique_ptr<MediaPlayer> player_;
    VideoView* video_ = nullptr;
    PictureDialog* picture_ = nullptr;
    SkinSlider* seek_ = nullptr;
    SkinSlider* volumeSlider_ = nullptr;
    QLabel* positionLabel_ = nullptr;
    QLabel* durationLabel_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    std::function<QString(QWidget*)> chooseFile_;
    std::function<std::optional<QString>(QWidget*)> chooseUrl_;
    QRegion shape_;
    QTimer pressTimer_;   // a press on the video waits to be no double click
    QTimer surfaceWait_;  // a load waits for the video surface to start
    bool surfaceWaitOver_ = false;

    QString target_;
    bool loaded_ = false;
    bool playing_ = false;
    bool reload_ = false;
    bool endStopSent_ = false;  // stopped at the end already: once is enough
    int position_ = 0;
    int duration_ = 0;
    int volume_ = kInitialVolume;
    bool muted_ = false;
    bool fullScreen_ = false;
    bool pictureWasShown_ = false;
    bool picturePlaced_ = false;
    bool playLook_ = true;
    bool mutedLook_ = false;
    std::optional<QPoint> dockedAt_;
};

}  // namespace kestrel::shell
