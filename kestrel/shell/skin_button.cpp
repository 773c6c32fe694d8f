#include "kestrel/shell/skin_button.h"

#include <QEnterEvent>
#include <QKeyEvent>
#include <QPainter>

#include <mutex>

// The skin's pictures live in a static library; nothing else refers to the
// generated resource object, so it is registered by hand before first use.
static void registerSkinResources() {
    Q_INIT_RESOURCE(skins);
}

namespace kestrel::shell {

namespace {

constexpr const char* kLookNames[] = {"normal", "hover", "pressed", "disabled"};

// Where each button of the main window sits, and its pictures.
constexpr SkinButtonPlace kMainWindowButtons[] = {
    {control_id::kStart, "Start", 42, 409, 29, 29, "start", false},
    {control_id::kStop, "Stop", 77, 409, 29, 29, "stop", true},
    {control_id::kAddUrls, "Add URLs", 125, 410, 29, 28, "add_urls", true},
    {control_id::kAddFiles, "Add files to playlist", 155, 410, 29, 29, "add_files", false},
    {control_id::kOptions, "Options", 185, 410, 29, 29, "options", false},
    {control_id::kAbout, "About", 275, 410, 29, 28, "about", false},
    {control_id::kShowMenu, "Show menu", 284, 10, 13, 12, "menu", false},
    {control_id::kMinimize, "Minimize", 298, 10, 13, 12, "minimize", false},
    {control_id::kExit, "Exit", 312, 10, 13, 12, "exit", false},
    {control_id::kPlayerToggle, "", 338, 209, 8, 41, "player_toggle", false},
    {control_id::kPlaylistTab, "", 29, 380, 76, 14, "tab_playlist", false},
    {control_id::kRecordingsTab, "", 108, 380, 90, 14, "tab_recordings", false},
};

}  // namespace

QString skinResourcePath(const QString& fileName) {
    static std::once_flag once;
    std::call_once(once, registerSkinResources);
    return QStringLiteral(":/skins/") + fileName;
}

bool SkinButton::loadPictures(const QString& base, QSize size, Pictures* out, QString* error) {
    Pictures loaded;
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        const QString path = skinResourcePath(QStringLiteral("%1_%2.png").arg(base, QLatin1String(kLookNames[i])));
        if (!loaded[i].load(path)) {
            if (error) *error = QStringLiteral("missing skin picture %1").arg(path);
            return false;
        }
        if (loaded[i].size() != size) {
            if (error)
                *error = QStringLiteral("skin picture %1 is %2 x %3, the button %4 x %5")
                             .arg(path)
                             .arg(loaded[i].width())
                             .arg(loaded[i].height())
                             .arg(size.width())
                             .arg(size.height());
            return false;
        }
    }
    if (out) *out = std::move(loaded);
    return true;
}

SkinButton::SkinButton(int controlId, Pictures pictures, QWidget* parent)
    : QAbstractButton(parent), controlId_(controlId), pictures_(std::move(pictures)) {
    setFocusPolicy(Qt::NoFocus);
    setFixedSize(pictures_[0].size());
}

SkinButton::Look SkinButton::currentLook() const {
    if (!isEnabled()) return Look::Disabled;
    if (isDown()) return Look::Pressed;
    if (hovered_) return Look::Hover;
    return Look::Normal;
}

QSize SkinButton::sizeHint() const {
    return pictures_[0].size();
}

void SkinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawPixmap(rect(), picture(currentLook()));
}

void SkinButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SkinButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void SkinButton::keyPressEvent(QKeyEvent* event) {
    event->ignore();
}

void SkinButton::keyReleaseEvent(QKeyEvent* event) {
    event->ignore();
}

void SkinButton::changeEvent(QEvent* event) {
    // A button disabled under the pointer gets no leave event; it must not
    // come back lit when it is enabled again elsewhere.
    if (event->type() == QEvent::EnabledChange && !isEnabled()) hovered_ = false;
    QAbstractButton::changeEvent(event);
}

std::span<const SkinButtonPlace> mainWindowButtons() {
    return kMainWindowButtons;
}

std::vector<SkinButton*> createSkinButtons(QWidget* parent, std::span<const SkinButtonPlace> table,
                                           QString* error) {
    // Load everything first, so a broken skin leaves no half-built window.
    std::vector<SkinButton::Pictures> pictures(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        const SkinButtonPlace& place = table[i];
        if (!SkinButton::loadPictures(QString::fromUtf8(place.picture), QSize(place.width, place.height),
                                      &pictures[i], error))
            return {};
    }
    std::vector<SkinButton*> buttons;
    buttons.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        const SkinButtonPlace& place = table[i];
        auto* button = new SkinButton(place.id, std::move(pictures[i]), parent);
        button->move(place.left, place.top);
        button->setToolTip(QString::fromUtf8(place.tooltip));
        button->setEnabled(!place.startsDisabled);
        button->setObjectName(QString::fromUtf8(place.picture));
        buttons.push_back(button);
    }
    return buttons;
}

SkinButton* findSkinButton(const QWidget* parent, int controlId) {
    if (!parent) return nullptr;
    for (SkinButton* button : parent->findChildren<SkinButton*>(Qt::FindDirectChildrenOnly))
        if (button->controlId() == controlId) return button;
    return nullptr;
}

}  // namespace kestrel::shell
