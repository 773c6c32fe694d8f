#pragma once
// A frameless window of fixed size that paints a skin picture as its
// background and is moved by dragging its body. Enter and Escape do nothing
// in it: a recorder must not be closed or started by a stray key.

#include <QIcon>
#include <QPainter>
#include <QPixmap>
#include <QPoint>
#include <QWidget>

#include <optional>

namespace kestrel::shell {

// The main window's size and background picture.
inline constexpr QSize kMainWindowSize{346, 460};
inline constexpr const char* kMainBackground = "main_background.png";

// The application icon at every size the skin has (16, 32, 48, 256).
QIcon applicationIcon();

// The 24 x 24 icons of the recording list and the playlist.
enum class ListIcon {
    Recording,    // a recording in progress
    Done,         // finished and stored
    Failed,       // processing failed
    Playable,     // a playlist file that plays
    Unchecked,    // a playlist file not looked at yet
    Damaged,      // a playlist file that is empty or broken
    NowPlaying,   // the playlist entry being played
};
// The icon's picture, or a null pixmap when the skin lacks it.
QPixmap listIcon(ListIcon icon);

// The frame our dialogs share, in the main window's colours: the body's
// gradient first; then, over whatever the dialog draws on the body, a
// button strip stripHeight high at the bottom under a groove, a teal haze
// along the top edge, and the outline.
void paintDialogBody(QPainter& p, const QWidget& dialog);
void paintDialogEdges(QPainter& p, const QWidget& dialog, int stripHeight);

// Moves a top-level widget by dragging: press on its body, move, release.
// Kept apart from the window class so dialogs drag the same way.
class BodyDrag {
public:
    // A left press at a point of `window` not covered by a child control
    // (labels count as body) starts a drag; returns whether it did.
    bool press(QWidget* window, QPoint local, QPoint global, Qt::MouseButton button);
    // While dragging, moves the window so the grabbed point follows `global`.
    bool move(QWidget* window, QPoint global, Qt::MouseButtons buttons);
    bool release(Qt::MouseButton button);
    bool active() const { return grab_.has_value(); }

private:
    std::optional<QPoint> grab_;  // pointer position relative to the window's top-left
};

class SkinnedWindow : public QWidget {
    Q_OBJECT
public:
    explicit SkinnedWindow(QSize size, QWidget* parent = nullptr);

    // Takes a skin picture as the background. It must exist and be exactly
    // the window's size; otherwise false with the reason in *error, and the
    // window keeps the background it had.
    bool loadBackground(const QString& resourcePath, QString* error = nullptr);
    const QPixmap& background() const { return background_; }

signals:
    // The window's new top-left position, on every move.
    void moved(QPoint topLeft);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    QPixmap background_;
    BodyDrag drag_;
};

}  // namespace kestrel::shell
