#include "kestrel/shell/player_window.h"

#include "kestrel/shell/picture_dialog.h"
#include "kestrel/shell/play_url_dialog.h"
#include "kestrel/shell/skin_button.h"
#include "kestrel/shell/video_view.h"

#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QScreen>

#include <algorithm>
#include <string>

namespace kestrel::shell {

namespace {

using namespace player_control_id;

constexpr SkinButtonPlace kPlayerButtons[] = {
    {kPlay, "Play", 42, 409, 29, 29, "player_play", false},
    {kPause, "Pause", 42, 409, 29, 29, "player_pause", false},
    {kStop, "Stop", 77, 409, 29, 29, "stop", true},
    {kMute, "Mute", 125, 409, 29, 29, "player_mute", false},
    {kUnmute, "Unmute", 125, 409, 29, 29, "player_muted", false},
    {kPicture, "Picture settings", 275, 409, 29, 29, "player_picture", false},
};

// Where the sliders and the read-outs sit.
constexpr QRect kSeekRect{21, 341, 301, 14};
constexpr QRect kVolumeRect{158, 417, 96, 14};
constexpr QRect kPositionRect{29, 362, 66, 18};
constexpr QRect kDurationRect{95, 362, 74, 18};
constexpr QRect kStatusRect{170, 362, 144, 18};

const char* const kReadOutStyle = R"(
QLabel { background: transparent; font-family: "DejaVu Sans Mono", monospace; font-size: 12px; }
QLabel#position { color: #6ae8da; }
QLabel#duration { color: #98a5b3; }
QLabel#status { color: #98a5b3; font-family: "DejaVu Sans", sans-serif; font-size: 10px; font-weight: bold; }
)";

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string utf8(const QString& text) {
    return text.toUtf8().toStdString();
}

}  // namespace

QString clockText(int seconds) {
    const int s = std::max(0, seconds);
    return QString::asprintf("%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
}

QRegion keyColourRegion(const QImage& skin) {
    // A see-through pixel is cut as well: nothing could be shown there.
    const QImage image = skin.convertToFormat(QImage::Format_ARGB32);
    QList<QRect> kept;
    bool cut = false;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        int runStart = -1;
        for (int x = 0; x <= image.width(); ++x) {
            const bool keep = x < image.width() && (line[x] & 0x00ffffffu) != 0 && qAlpha(line[x]) != 0;
            if (x < image.width() && !keep) cut = true;
            if (keep && runStart < 0) runStart = x;
            if (!keep && runStart >= 0) {
                kept.append(QRect(runStart, y, x - runStart, 1));
                runStart = -1;
            }
        }
    }
    if (!cut) return QRegion(image.rect());
    QRegion region;
    // One-pixel bands, left to right: the order setRects() wants.
    region.setRects(kept.constData(), static_cast<int>(kept.size()));
    return region;
}

// ------------------------------------------------------------------ window

PlayerWindow::PlayerWindow(PlayerWindowOptions options, QWidget* parent)
    : SkinnedWindow(kPlayerWindowSize, parent), options_(std::move(options)) {
    setWindowTitle(QStringLiteral("Kestrel player"));
    setFocusPolicy(Qt::ClickFocus);
    QString error;
    if (loadBackground(skinResourcePath(QString::fromLatin1(kPlayerBackground)), &error)) {
        shape_ = keyColourRegion(background().toImage());
        if (shape_ != QRegion(rect())) setMask(shape_);
    } else {
        qWarning("kestrel: %s", qPrintable(error));
    }

    player_ = std::make_unique<MediaPlayer>(options_.player);
    if (!player_->ready()) qWarning("kestrel: %s", player_->error().c_str());
    connect(player_.get(), &MediaPlayer::fsCommand, this, &PlayerWindow::onPlayerEvent);

    video_ = new VideoView(*player_, this);
    video_->setGeometry(kPlayerVideoRect);
    connect(video_, &VideoView::leftPressed, this, &PlayerWindow::onVideoPressed);
    connect(video_, &VideoView::doubleClicked, this, &PlayerWindow::onVideoDoubleClicked);
    connect(video_, &VideoView::contextMenuWanted, this, [this](const QPoint& at) { makeVideoMenu()->exec(at); });
    connect(video_, &VideoView::surfaceReady, this, [this] {
        if (surfaceWait_.isActive()) startLoad();
    });
    pressTimer_.setSingleShot(true);
    connect(&pressTimer_, &QTimer::timeout, this, &PlayerWindow::togglePlay);
    surfaceWait_.setSingleShot(true);
    surfaceWait_.setInterval(2000);
    connect(&surfaceWait_, &QTimer::timeout, this, [this] {
        surfaceWaitOver_ = true;
        startLoad();
    });

    const std::vector<SkinButton*> buttons = createSkinButtons(this, kPlayerButtons, &error);
    if (buttons.empty()) qWarning("kestrel: %s", qPrintable(error));
    for (SkinButton* b : buttons) {
        b->setCursor(Qt::PointingHandCursor);
        switch (b->controlId()) {
        case kPlay:
        case kPause: connect(b, &SkinButton::clicked, this, &PlayerWindow::togglePlay); break;
        case kStop: connect(b, &SkinButton::clicked, this, &PlayerWindow::stop); break;
        case kMute:
        case kUnmute: connect(b, &SkinButton::clicked, this, &PlayerWindow::toggleMute); break;
        case kPicture:
            connect(b, &SkinButton::clicked, this, [this] {
                if (picture_->isVisible()) {
                    picture_->hide();
                    return;
                }
                // First shown beside the window, by the video (over the video's
                // lower part when there is no room); later where the user left it.
                if (!picturePlaced_) {
                    QRect place(mapToGlobal(QPoint(width() + 6, kPlayerVideoRect.top())), picture_->size());
                    if (screen() && !screen()->availableGeometry().contains(place)) {
                        const int left = kPlayerVideoRect.left() + (kPlayerVideoRect.width() - place.width()) / 2;
                        place.moveTopLeft(mapToGlobal(QPoint(left, kPlayerVideoRect.bottom() - place.height() - 8)));
                    }
                    picture_->move(place.topLeft());
                    picturePlaced_ = true;
                }
                picture_->show();
                picture_->raise();
            });
            break;
        default: break;
        }
    }

    seek_ = new SkinSlider(this);
    seek_->setGeometry(kSeekRect);
    seek_->setRange(0, 0);
    seek_->setSingleStep(5);
    seek_->setToolTip(QStringLiteral("Position"));
    connect(seek_, &SkinSlider::userReleased, this, [this](int value) {
        if (duration_ <= 0) return;
        player_->setVariable(player_variable::kSeek, std::to_string(value));
        call(player_label::kSeek);
    });

    volumeSlider_ = new SkinSlider(this);
    volumeSlider_->setGeometry(kVolumeRect);
    volumeSlider_->setRange(0, 100);
    volumeSlider_->setSingleStep(5);
    volumeSlider_->setValue(volume_);
    volumeSlider_->setToolTip(QStringLiteral("Volume"));
    // Letting go counts as a choice too: a knob left at 0 while muted means
    // silence, even though it did not move.
    const auto onVolume = [this](int value) {
        volume_ = value;
        // Turning the sound up ends a mute; the button shows mute at 0.
        if (value > 0) muted_ = false;
        setMutedLook(value == 0);
        sendVolume();
    };
    connect(volumeSlider_, &SkinSlider::userChanged, this, onVolume);
    connect(volumeSlider_, &SkinSlider::userReleased, this, onVolume);

    auto makeLabel = [this](const char* name, const QRect& where, Qt::Alignment align) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setGeometry(where);
        label->setAlignment(align | Qt::AlignVCenter);
        label->setStyleSheet(QString::fromLatin1(kReadOutStyle));
        return label;
    };
    positionLabel_ = makeLabel("position", kPositionRect, Qt::AlignLeft);
    positionLabel_->setText(QString::fromLatin1(kNoPosition));
    durationLabel_ = makeLabel("duration", kDurationRect, Qt::AlignLeft);
    durationLabel_->setText(QString::fromLatin1(kNoDuration));
    statusLabel_ = makeLabel("status", kStatusRect, Qt::AlignRight);

    picture_ = new PictureDialog(this);
    // Posted, as a window message is: handled after the dialog's change is done.
    connect(picture_, &PictureDialog::posted, this, &PlayerWindow::onPictureMessage, Qt::QueuedConnection);

    setPlayLook(true);
    setMutedLook(false);
    setUpPlayer();
}

PlayerWindow::~PlayerWindow() {
    // The core goes first, while the video view can still free its render context.
    player_.reset();
}

SkinButton* PlayerWindow::button(int controlId) const {
    return findSkinButton(this, controlId);
}

std::vector<QWidget*> PlayerWindow::controls() const {
    std::vector<QWidget*> out;
    for (const SkinButtonPlace& place : kPlayerButtons)
        if (SkinButton* b = button(place.id)) out.push_back(b);
    out.insert(out.end(), {seek_, volumeSlider_, positionLabel_, durationLabel_, statusLabel_});
    return out;
}

// Each pair of buttons shares a place; the look decides which one shows
// (neither in full screen).
void PlayerWindow::setPlayLook(bool play) {
    playLook_ = play;
    if (SkinButton* b = button(kPlay)) b->setHidden(!play || fullScreen_);
    if (SkinButton* b = button(kPause)) b->setHidden(play || fullScreen_);
}

void PlayerWindow::setMutedLook(bool muted) {
    mutedLook_ = muted;
    if (SkinButton* b = button(kMute)) b->setHidden(muted || fullScreen_);
    if (SkinButton* b = button(kUnmute)) b->setHidden(!muted || fullScreen_);
}

void PlayerWindow::call(std::string_view label) {
    player_->callLabel(label);
}

// A fresh player gets everything the window has set: volume, home page,
// and the picture settings, which the dialog still shows.
void PlayerWindow::setUpPlayer() {
    sendVolume();
    player_->setVariable(player_variable::kHomepage, options_.homePage);
    sendPicture();
    sendSmoothing();
}

void PlayerWindow::sendVolume() {
    player_->setVariable(player_variable::kVolume, muted_ ? std::string("0") : std::to_string(volume_));
    call(player_label::kSetVolume);
}

void PlayerWindow::sendPicture() {
    using namespace player_variable;
    const std::pair<PictureSetting, std::string_view> variables[] = {
        {PictureSetting::Brightness, kBrightness},
        {PictureSetting::Contrast, kContrast},
        {PictureSetting::Saturation, kSaturation},
        {PictureSetting::Hue, kHue},
    };
    for (const auto& [setting, name] : variables) player_->setVariable(name, std::to_string(picture_->value(setting)));
    call(player_label::kPictureFilter);
}

void PlayerWindow::sendSmoothing() {
    player_->setVariable(player_variable::kSmoothVideo, picture_->smoothing() ? "1" : "0");
    call(player_label::kSmooth);
}

void PlayerWindow::onPictureMessage(std::uint32_t message) {
    if (message == kWmPictureChanged) sendPicture();
    if (message == kWmSmoothingChanged) sendSmoothing();
}

// ------------------------------------------------------------- playback

void PlayerWindow::load(const QString& target) {
    target_ = target;
    if (reload_) {
        player_->recreate();
        reload_ = false;
        setUpPlayer();
    }
    resetPlayback();
    togglePlay();
}

void PlayerWindow::stop() {
    resetPlayback();
}

void PlayerWindow::resetPlayback() {
    surfaceWait_.stop();
    call(player_label::kStop);
    player_->setVariable(player_variable::kMessage, "");
    call(player_label::kShowMessage);
    if (SkinButton* b = button(kStop)) b->setEnabled(false);
    setPlayLook(true);
    seek_->setRange(0, 0);
    seek_->setValue(0);
    position_ = 0;
    duration_ = 0;
    durationLabel_->setText(QString::fromLatin1(kNoDuration));
    positionLabel_->setText(QString::fromLatin1(kNoPosition));
    loaded_ = false;
    playing_ = false;
    endStopSent_ = false;
}

void PlayerWindow::togglePlay() {
    if (playing_) {
        call(player_label::kPause);
    } else if (loaded_) {
        endStopSent_ = false;
        call(player_label::kPlay);
    } else if (!target_.isEmpty()) {
        // With nothing chosen there is nothing to load.
        startLoad();
    }
}

// mpv opens its video output with the first picture, and can only do so
// into a started surface: a load waits for the surface to start (it starts
// when first shown), but not for ever.
void PlayerWindow::startLoad() {
    endStopSent_ = false;
    if (video_->awaitingSurface() && !surfaceWaitOver_) {
        // Showing may start it at once.
        if (!isVisible()) show();
        if (video_->awaitingSurface()) {
            surfaceWait_.start();
            return;
        }
    }
    surfaceWait_.stop();
    player_->setVariable(player_variable::kTargetName, utf8(target_));
    call(player_label::kLoad);
}

void PlayerWindow::onPlayerEvent(const QString& command, const QString& args) {
    if (command == fromUtf8(player_event::kProgress))
        onProgress(args);
    else if (command == fromUtf8(player_event::kStatus))
        onStatus(args);
}

void PlayerWindow::onProgress(const QString& args) {
    position_ = std::max(0, decimalValue(utf8(args)));
    positionLabel_->setText(clockText(position_));
    if (duration_ <= 0) return;
    // The user's drag wins over the player's news.
    if (!seek_->isSliderDown()) seek_->setValue(position_);
    // Late news can pass the end more than once; one stop is enough.
    if (position_ >= duration_ && !endStopSent_) {
        endStopSent_ = true;
        call(player_label::kStop);
    }
}

void PlayerWindow::setDuration(int seconds) {
    duration_ = seconds;
    durationLabel_->setText(QStringLiteral("/") + clockText(seconds));
    seek_->setRange(0, seconds);
}

void PlayerWindow::onStatus(const QString& args) {
    using namespace player_status;
    if (args == fromUtf8(kPlaying) || args == fromUtf8(kBuffering)) {
        loaded_ = true;
        playing_ = true;
        setPlayLook(false);
        if (SkinButton* b = button(kStop)) b->setEnabled(true);
        if (duration_ == 0) {
            const int total = decimalValue(player_->getVariable(player_variable::kTotalTime));
            if (total > 0) setDuration(total);
        }
    } else if (args == fromUtf8(kPaused)) {
        playing_ = false;
        setPlayLook(true);
    } else if (args == fromUtf8(kSeeking)) {
        reload_ = true;
        positionLabel_->setText(clockText(position_));
    } else if (args == fromUtf8(kRewinding)) {
        // Nothing more than the word.
    } else if (args == fromUtf8(kStopped)) {
        if (duration_ < position_) setDuration(position_);
        setPlayLook(true);
        if (SkinButton* b = button(kStop)) b->setEnabled(false);
        playing_ = false;
    } else {
        // "loading", "connectionError" and anything unknown: a fresh player next time.
        reload_ = true;
    }
    statusLabel_->setText(args.toUpper());
}

void PlayerWindow::toggleMute() {
    if (!muted_) {
        muted_ = true;
        sendVolume();
        volumeSlider_->setValue(0);
        setMutedLook(true);
        return;
    }
    // Nothing to give back.
    if (volume_ == 0) return;
    muted_ = false;
    sendVolume();
    volumeSlider_->setValue(volume_);
    setMutedLook(false);
}

// ------------------------------------------------------------ gestures

// A press toggles playback once it is clear that no double click follows:
// the press that begins a double click must not pause the video on its way
// to full screen.
void PlayerWindow::onVideoPressed() {
    pressTimer_.start(QApplication::doubleClickInterval());
}

void PlayerWindow::onVideoDoubleClicked() {
    pressTimer_.stop();
    setFullScreen(!fullScreen_);
}

void PlayerWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && fullScreen_) {
        setFullScreen(false);
        event->accept();
        return;
    }
    SkinnedWindow::keyPressEvent(event);
}

void PlayerWindow::hideEvent(QHideEvent* event) {
    // The dialog belongs with the window: it does not float on alone. (Full
    // screen hides the window for a moment too; it puts the dialog back.)
    picture_->hide();
    SkinnedWindow::hideEvent(event);
}

void PlayerWindow::setFullScreen(bool on) {
    if (on == fullScreen_) return;
    fullScreen_ = on;
    if (on) {
        pictureWasShown_ = picture_->isVisible();
        picture_->hide();
        for (QWidget* control : controls()) control->hide();
        clearMask();
        const QRect screenRect = screen() ? screen()->geometry() : QRect(QPoint(0, 0), size());
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
        setFixedSize(screenRect.size());
        move(screenRect.topLeft());
        video_->setGeometry(QRect(QPoint(0, 0), screenRect.size()));
        showFullScreen();
        raise();
        activateWindow();
        setFocus();
        return;
    }
    setWindowFlag(Qt::WindowStaysOnTopHint, false);
    showNormal();
    setFixedSize(kPlayerWindowSize);
    if (dockedAt_) move(*dockedAt_);
    video_->setGeometry(kPlayerVideoRect);
    if (shape_ != QRegion(rect())) setMask(shape_);
    for (QWidget* control : controls()) control->show();
    setPlayLook(playLook_);
    setMutedLook(mutedLook_);
    show();
    if (pictureWasShown_) picture_->show();
}

void PlayerWindow::dockTo(const QRect& mainWindowGeometry) {
    dockedAt_ = QPoint(mainWindowGeometry.x() + mainWindowGeometry.width(), mainWindowGeometry.y());
    if (!fullScreen_) move(*dockedAt_);
}

// ---------------------------------------------------------------- menu

std::unique_ptr<QMenu> PlayerWindow::makeVideoMenu() {
    auto menu = std::make_unique<QMenu>(this);
    connect(menu->addAction(QStringLiteral("Open File")), &QAction::triggered, this, &PlayerWindow::openFile);
    connect(menu->addAction(QStringLiteral("Open URL")), &QAction::triggered, this, &PlayerWindow::openUrl);
    return menu;
}

void PlayerWindow::openFile() {
    const QString path = chooseFile_ ? chooseFile_(this)
                                     : QFileDialog::getOpenFileName(this, QStringLiteral("Open File"), QString(),
                                                                    QString::fromLatin1(kOpenFileFilter));
    if (!path.isEmpty()) load(path);
}

void PlayerWindow::openUrl() {
    const std::optional<QString> text = chooseUrl_ ? chooseUrl_(this) : PlayUrlDialog::ask(this);
    if (text && !text->isEmpty()) load(*text);
}

}  // namespace kestrel::shell
