#include "kestrel/shell/video_view.h"

#include "kestrel/shell/media_player.h"
#include "kestrel/shell/skinned_window.h"

#include <mpv/render.h>
#include <mpv/render_gl.h>

#include <QContextMenuEvent>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPainter>

#include <atomic>
#include <functional>
#include <cstdio>

namespace kestrel::shell {

namespace {

const QColor kPanel(0x0c, 0x0f, 0x13);
const QColor kHint(0x55, 0x60, 0x6c);

// Says once per run why there are no pictures.
void sayNoPictures(const char* why) {
    static bool said = false;
    if (said) return;
    said = true;
    std::fprintf(stderr, "kestrel: %s; the player plays without pictures\n", why);
}

}  // namespace

void paintIdleVideo(QPainter& painter, const QRect& area, bool withHint) {
    painter.fillRect(area, kPanel);
    const QPixmap mark = applicationIcon().pixmap(QSize(48, 48));
    const QPoint centre = area.center();
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.setOpacity(0.28);
    painter.drawPixmap(centre.x() - 24, centre.y() - 40, mark);
    painter.restore();
    if (!withHint) return;
    QFont font = painter.font();
    font.setPixelSize(11);
    painter.setFont(font);
    painter.setPen(kHint);
    painter.drawText(QRect(area.left(), centre.y() + 16, area.width(), 18), Qt::AlignCenter,
                     QStringLiteral("Right-click to open a file or an address"));
}

// The GL surface mpv draws into. Mouse events fall through to the view.
class MpvSurface : public QOpenGLWidget {
public:
    MpvSurface(MediaPlayer& player, QWidget* parent) : QOpenGLWidget(parent), player_(player) {
        setAttribute(Qt::WA_TransparentForMouseEvents, true);
        QObject::connect(&player_, &MediaPlayer::coreAboutToBeDestroyed, this, [this] { release(); });
        QObject::connect(&player_, &MediaPlayer::coreCreated, this, [this] { attach(); });
    }
    ~MpvSurface() override { release(); }

    bool failed() const { return failed_; }
    bool started() const { return started_; }
    std::function<void()> onStarted;
    // Nothing open: the mark and the hint; open without pictures: the mark.
    void setShowing(bool fileOpen, bool pictures) {
        fileOpen_ = fileOpen;
        pictures_ = pictures;
        update();
    }

protected:
    void initializeGL() override {
        // The context goes when the surface moves to another window; the
        // render context must go before it.
        QObject::connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] { release(); },
                         Qt::DirectConnection);
        attach();
        if (!started_) {
            started_ = true;
            if (onStarted) onStarted();
        }
    }

    void paintGL() override {
        QOpenGLFunctions* gl = context()->functions();
        gl->glClearColor(0, 0, 0, 1);
        gl->glClear(GL_COLOR_BUFFER_BIT);
        if (render_ && fileOpen_ && pictures_) {
            const qreal ratio = devicePixelRatioF();
            mpv_opengl_fbo fbo{static_cast<int>(defaultFramebufferObject()), static_cast<int>(width() * ratio),
                               static_cast<int>(height() * ratio), 0};
            int flip = 1;
            mpv_render_param params[] = {
                {MPV_RENDER_PARAM_OPENGL_FBO, &fbo},
                {MPV_RENDER_PARAM_FLIP_Y, &flip},
                {MPV_RENDER_PARAM_INVALID, nullptr},
            };
            mpv_render_context_render(render_, params);
        } else {
            QPainter painter(this);
            paintIdleVideo(painter, rect(), !fileOpen_);
        }
    }

private:
    static void* procAddress(void*, const char* name) {
        QOpenGLContext* current = QOpenGLContext::currentContext();
        if (!current) return nullptr;
        return reinterpret_cast<void*>(current->getProcAddress(QByteArray(name)));
    }

    // Called on one of mpv's threads: only queue a repaint, once.
    static void frameReady(void* self) {
        auto* surface = static_cast<MpvSurface*>(self);
        if (surface->updateQueued_.exchange(true)) return;
        QMetaObject::invokeMethod(
            surface,
            [surface] {
                surface->updateQueued_ = false;
                surface->update();
            },
            Qt::QueuedConnection);
    }

    void attach() {
        if (render_ || failed_ || !context() || !player_.handle()) return;
        makeCurrent();
        mpv_opengl_init_params init{&MpvSurface::procAddress, nullptr};
        mpv_render_param params[] = {
            {MPV_RENDER_PARAM_API_TYPE, const_cast<char*>(MPV_RENDER_API_TYPE_OPENGL)},
            {MPV_RENDER_PARAM_OPENGL_INIT_PARAMS, &init},
            {MPV_RENDER_PARAM_INVALID, nullptr},
        };
        if (mpv_render_context_create(&render_, player_.handle(), params) < 0) {
            render_ = nullptr;
            failed_ = true;
            player_.dropVideoOutput();
            sayNoPictures("mpv cannot draw with this OpenGL");
        } else {
            mpv_render_context_set_update_callback(render_, &MpvSurface::frameReady, this);
        }
        doneCurrent();
    }

    void release() {
        if (!render_) return;
        makeCurrent();
        // No update call-back can come after this returns.
        mpv_render_context_free(render_);
        render_ = nullptr;
        doneCurrent();
    }

    MediaPlayer& player_;
    mpv_render_context* render_ = nullptr;
    bool failed_ = false;
    bool started_ = false;
    bool fileOpen_ = false;
    bool pictures_ = true;
    std::atomic<bool> updateQueued_{false};
};

VideoView::VideoView(MediaPlayer& player, QWidget* parent) : QWidget(parent), player_(player) {
    setAttribute(Qt::WA_OpaquePaintEvent, true);
    setFocusPolicy(Qt::NoFocus);
    if (player_.videoOutput() == MediaPlayer::VideoOutput::RenderApi && !player_.videoDropped()) {
        if (openGlAvailable()) {
            surface_ = new MpvSurface(player_, this);
            surface_->setGeometry(rect());
            surface_->onStarted = [this] { emit surfaceReady(); };
        } else {
            player_.dropVideoOutput();
            sayNoPictures("OpenGL is not available");
        }
    }
    connect(&player_, &MediaPlayer::fsCommand, this, &VideoView::onPlayerEvent);
    connect(&player_, &MediaPlayer::coreCreated, this, [this] { onPlayerEvent({}, {}); });
}

VideoView::~VideoView() = default;

bool VideoView::drawsPictures() const {
    return surface_ && !surface_->failed() && !player_.videoDropped();
}

bool VideoView::awaitingSurface() const {
    return surface_ && !surface_->started();
}

bool VideoView::openGlAvailable() {
    static const bool available = [] {
        QOpenGLContext context;
        if (!context.create()) return false;
        QOffscreenSurface surface;
        surface.setFormat(context.format());
        surface.create();
        if (!surface.isValid()) return false;
        const bool current = context.makeCurrent(&surface);
        if (current) context.doneCurrent();
        return current;
    }();
    return available;
}

void VideoView::onPlayerEvent(const QString& command, const QString& args) {
    if (!command.isEmpty() && command != QLatin1String(player_event::kStatus.data())) return;
    // Between a load and its end the picture is mpv's, when there is one:
    // sound alone keeps the program's mark on show.
    const bool ended = command.isEmpty() || args == QLatin1String(player_status::kStopped.data()) ||
                       args == QLatin1String(player_status::kConnectionError.data());
    showingFile_ = !ended;
    if (args == QLatin1String(player_status::kLoading.data())) hasVideo_ = true;
    if (args == QLatin1String(player_status::kPlaying.data())) {
        const std::string track = player_.textProperty("vid").value_or("no");
        hasVideo_ = !track.empty() && track != "no";
    }
    if (surface_) surface_->setShowing(showingFile_, hasVideo_);
    update();
}

void VideoView::paintEvent(QPaintEvent*) {
    if (surface_) return;  // the surface covers the whole view
    QPainter painter(this);
    paintIdleVideo(painter, rect(), !showingFile_);
}

void VideoView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (surface_) surface_->setGeometry(rect());
}

void VideoView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        event->accept();
        emit leftPressed();
        return;
    }
    QWidget::mousePressEvent(event);
}

void VideoView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        event->accept();
        emit doubleClicked();
        return;
    }
    QWidget::mouseDoubleClickEvent(event);
}

void VideoView::contextMenuEvent(QContextMenuEvent* event) {
    event->accept();
    emit contextMenuWanted(event->globalPos());
}

}  // namespace kestrel::shell
