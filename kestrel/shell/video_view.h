#pragma once
// Where the player's pictures appear. With OpenGL it holds a GL surface that
// mpv draws into through its render API; without (a headless session, a
// broken driver) it stays a dark panel, the player decodes video without
// showing it, and the reason is said once on stderr.
//
// The view also turns the mouse into the player's gestures: a left press, a
// double click and a context-menu request, as signals.

#include <QWidget>

namespace kestrel::shell {

class MediaPlayer;
class MpvSurface;

class VideoView : public QWidget {
    Q_OBJECT
public:
    explicit VideoView(MediaPlayer& player, QWidget* parent = nullptr);
    ~VideoView() override;

    // Whether pictures are drawn (an OpenGL surface is in use).
    bool drawsPictures() const;
    // The surface exists but has not started yet (it starts when first
    // shown): mpv cannot open its video output until surfaceReady().
    bool awaitingSurface() const;
    // Whether an OpenGL context can be made here (checked once per run).
    static bool openGlAvailable();

signals:
    // The surface started, with or without mpv's render context.
    void surfaceReady();
    void leftPressed();
    void doubleClicked();
    void contextMenuWanted(const QPoint& globalPosition);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void onPlayerEvent(const QString& command, const QString& args);

    MediaPlayer& player_;
    MpvSurface* surface_ = nullptr;
    bool showingFile_ = false;  // a file is open: no idle picture over it
    bool hasVideo_ = true;      // it has pictures (not sound alone)
};

// The idle picture: the program's mark and a hint, over a dark panel.
void paintIdleVideo(QPainter& painter, const QRect& area, bool withHint);

}  // namespace kestrel::shell
