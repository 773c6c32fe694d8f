#pragma once
// Picture buttons of the main window. Each button shows one of four
// pictures of its own size: normal, hover (pointer over it), pressed (held
// down) and disabled. They never take the keyboard focus and ignore keys:
// only the mouse works them, so Enter or Space pressed in the window never
// runs a command behind the user's back.
//
// The pictures are compiled into the program (":/skins/<base>_<look>.png").

#include <QAbstractButton>
#include <QPixmap>
#include <QString>

#include <array>
#include <span>
#include <vector>

namespace kestrel::shell {

// Control IDs of the main window's picture buttons.
namespace control_id {
inline constexpr int kStart = 1000;
inline constexpr int kStop = 1001;
inline constexpr int kAddUrls = 1002;
inline constexpr int kAddFiles = 1003;
inline constexpr int kOptions = 1004;
inline constexpr int kAbout = 1007;
inline constexpr int kShowMenu = 1008;
inline constexpr int kMinimize = 1009;
inline constexpr int kExit = 1010;
inline constexpr int kPlayerToggle = 1011;
inline constexpr int kPlaylistTab = 1012;
inline constexpr int kRecordingsTab = 1013;
}  // namespace control_id

// Resource path of a skin picture by file name: ":/skins/" + name.
QString skinResourcePath(const QString& fileName);

class SkinButton : public QAbstractButton {
    Q_OBJECT
    Q_PROPERTY(int controlId READ controlId CONSTANT)
public:
    enum class Look { Normal = 0, Hover = 1, Pressed = 2, Disabled = 3 };
    using Pictures = std::array<QPixmap, 4>;  // indexed by Look

    // Loads the four pictures of a base name ("start" -> ":/skins/start_normal.png",
    // ...). Every picture must exist and be exactly `size`; otherwise false, and
    // *error (when given) names the first picture that is missing or wrong.
    static bool loadPictures(const QString& base, QSize size, Pictures* out, QString* error);

    // A button of the pictures' size. Use createSkinButtons() for the main
    // window's buttons; this is for callers that hold their own pictures.
    SkinButton(int controlId, Pictures pictures, QWidget* parent = nullptr);

    int controlId() const { return controlId_; }
    // The look the button shows now: disabled wins, then pressed, then hover.
    Look currentLook() const;
    const QPixmap& picture(Look look) const { return pictures_[static_cast<std::size_t>(look)]; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    int controlId_;
    Pictures pictures_;
    bool hovered_ = false;
};

// One picture button of a window: where it sits and what it shows.
struct SkinButtonPlace {
    int id;
    const char* tooltip;  // empty: no tooltip
    int left;
    int top;
    int width;
    int height;
    const char* picture;  // base name of its four pictures
    bool startsDisabled;
};

// The twelve picture buttons of the main window.
std::span<const SkinButtonPlace> mainWindowButtons();

// Creates one button per row of `table` on `parent`, at its place, with its
// ID, tooltip and pictures, in table order. All or nothing: when a picture
// is missing or of the wrong size no button is created, the result is
// empty and *error (when given) says which picture.
std::vector<SkinButton*> createSkinButtons(QWidget* parent, std::span<const SkinButtonPlace> table,
                                           QString* error = nullptr);

// The button with a control ID among parent's children, or nullptr.
SkinButton* findSkinButton(const QWidget* parent, int controlId);

}  // namespace kestrel::shell
