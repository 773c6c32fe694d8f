#include "kestrel/shell/playlist_view.h"

#include <QAction>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QVBoxLayout>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "kestrel/shell/markup_list.h"
#include "kestrel/shell/recording_list.h"
#include "kestrel/shell/recording_texts.h"
#include "kestrel/shell/skinned_window.h"
#include "platform/shell.h"

namespace kestrel::shell {
namespace {

struct MenuEntry {
    int command;
    const char* text;
    bool needsRow;  // greyed when the click is beside the rows
};
constexpr MenuEntry kMenu[] = {
    {PlaylistView::kPlayFile, "Play File", true},
    {PlaylistView::kOpenFolder, "Open Folder", true},
    {PlaylistView::kAddFiles, "Add Files", false},
    {PlaylistView::kDeleteFiles, "Delete Files", true},
    {PlaylistView::kCleanAll, "Clean All", false},
};

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool isContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

std::size_t characterCount(std::string_view utf8) {
    std::size_t count = 0;
    for (const char c : utf8)
        if (!isContinuation(c)) ++count;
    return count;
}

// Seconds since 1970 as the entry keeps them (32 bits, never negative).
std::uint32_t now() {
    const std::time_t t = std::time(nullptr);
    if (t <= 0) return 0;
    return t >= 0xFFFFFFFF ? 0xFFFFFFFFu : static_cast<std::uint32_t>(t);
}

// The size of a file now; 0 when it cannot be asked (the entry then shows
// as one that cannot be played).
std::uint64_t fileSizeOf(const std::string& path) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace

std::string shownPlaylistPath(std::string_view path) {
    if (characterCount(path) <= kPlaylistPathShownChars) return std::string(path);
    return "..." + lastCharacters(path, kPlaylistPathTailChars, path.size());
}

std::string playlistRowText(const PlaylistEntry& entry) {
    return "<b>File:</b> " + shownPlaylistPath(entry.path) + "<br>\t\t\t\t\t<b>Size:</b> " + listSize(entry.size);
}

std::string folderOfPath(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    return std::string(path.substr(0, slash + 1));
}

// ---------------------------------------------------------------- prompts

platform::Answer DesktopPlaylistPrompts::ask(std::string_view caption, std::string_view text) {
    QMessageBox box(QMessageBox::Warning, fromUtf8(caption), fromUtf8(text), QMessageBox::Yes | QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? platform::Answer::Yes : platform::Answer::No;
}

std::vector<std::string> DesktopPlaylistPrompts::chooseFiles(QWidget* parent) {
    std::vector<std::string> paths;
    const QStringList chosen =
        QFileDialog::getOpenFileNames(parent, QString(), QString(), QString::fromLatin1(kPlaylistFileFilter));
    for (const QString& path : chosen) {
        const QByteArray utf8 = path.toUtf8();
        paths.emplace_back(utf8.constData(), static_cast<std::size_t>(utf8.size()));
    }
    return paths;
}

// ---------------------------------------------------------------- view

PlaylistView::PlaylistView(platform::UiPort& ui, QWidget* parent) : QWidget(parent), ui_(ui) {
    setObjectName(QStringLiteral("playlist"));
    setGeometry(RecordingList::kGeometry);
    control_ = new MarkupListCtrl(this);
    control_->setObjectName(QStringLiteral("playlistRows"));
    control_->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(control_);

    setIcons(QIcon(listIcon(ListIcon::Playable)), QIcon(listIcon(ListIcon::Damaged)),
             QIcon(listIcon(ListIcon::NowPlaying)));

    connect(control_, &MarkupListCtrl::rowDoubleClicked, this, [this](int row) { playRow(row); });
    connect(control_, &MarkupListCtrl::contextMenuRequested, this, &PlaylistView::onContextMenu);
}

PlaylistView::~PlaylistView() = default;

void PlaylistView::setPrompts(PlaylistPrompts* prompts) {
    prompts_ = prompts;
}

PlaylistPrompts& PlaylistView::prompts() {
    return prompts_ ? *prompts_ : desktopPrompts_;
}

void PlaylistView::setIcons(const QIcon& playable, const QIcon& damaged, const QIcon& playing) {
    playableIcon_ = playable;
    damagedIcon_ = damaged;
    playingIcon_ = playing;
    for (int row = 0; row < rowCount(); ++row)
        control_->setRowIcon(row, iconFor(entries_[static_cast<std::size_t>(row)].icon));
}

QIcon PlaylistView::iconFor(int icon) const {
    switch (icon) {
    case kPlaylistIconPlayable: return playableIcon_;
    case kPlaylistIconDamaged: return damagedIcon_;
    case kPlaylistIconPlaying: return playingIcon_;
    default: return {};
    }
}

void PlaylistView::load(const std::string& path) {
    filePath_ = path;
    entries_.clear();
    control_->clear();
    for (PlaylistEntry& entry : readPlaylistFile(path)) appendEntry(std::move(entry));
}

bool PlaylistView::save() {
    return writePlaylistFile(filePath_, entries_);
}

int PlaylistView::rowCount() const {
    return static_cast<int>(entries_.size());
}

const PlaylistEntry& PlaylistView::entry(int row) const {
    return entries_.at(static_cast<std::size_t>(row));
}

int PlaylistView::playingRow() const {
    for (std::size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i].icon == kPlaylistIconPlaying) return static_cast<int>(i);
    return -1;
}

int PlaylistView::appendEntry(PlaylistEntry entry) {
    const std::string text = playlistRowText(entry);
    const QIcon icon = iconFor(entry.icon);
    entries_.push_back(std::move(entry));
    return control_->addRow(text, 0, icon);
}

void PlaylistView::setIcon(int row, int icon) {
    if (row < 0 || row >= rowCount()) return;
    entries_[static_cast<std::size_t>(row)].icon = icon;
    control_->setRowIcon(row, iconFor(icon));
}

int PlaylistView::addFiles(const std::vector<std::string>& paths) {
    int added = 0;
    int last = -1;
    const std::uint32_t time = now();
    for (const std::string& path : paths) {
        std::optional<PlaylistEntry> entry = makePlaylistEntry(path, fileSizeOf(path), time);
        if (!entry) continue;
        last = appendEntry(std::move(*entry));
        ++added;
    }
    if (added == 0) return 0;
    control_->ensureVisible(last);
    save();
    return added;
}

int PlaylistView::addRecording(const std::string& path, int status) {
    // The caller judged the recording by the bytes it stored; the file's own
    // size decides as well, as it will when the list is read back.
    std::optional<PlaylistEntry> entry =
        makePlaylistEntry(path, fileSizeOf(path), now(), status == kPlaylistIconDamaged);
    if (!entry) return -1;
    const int row = appendEntry(std::move(*entry));
    control_->setCurrentRow(row);
    control_->ensureVisible(row);
    save();
    return row;
}

void PlaylistView::onAddToPlaylist(const QString& path, int status) {
    const QByteArray utf8 = path.toUtf8();
    addRecording(std::string(utf8.constData(), static_cast<std::size_t>(utf8.size())), status);
}

bool PlaylistView::playRow(int row) {
    if (row < 0 || row >= rowCount()) return false;
    const std::string path = entries_[static_cast<std::size_t>(row)].path;
    // An entry marked unplayable is a file too short to hold a tag: it is
    // refused as a file that is no FLV, so a double-click is never met with
    // silence.
    if (entries_[static_cast<std::size_t>(row)].unplayable != 0 || !isFlvFile(path)) {
        ui_.messageBox(kTextNotFlv);
        return false;
    }
    // Told first: whoever loads it may clear the mark of what played before.
    Q_EMIT playRequested(fromUtf8(path));
    const int before = playingRow();
    if (before >= 0 && before != row) setIcon(before, restingIcon(entries_[static_cast<std::size_t>(before)]));
    setIcon(row, kPlaylistIconPlaying);
    return true;
}

void PlaylistView::clearPlayingMark() {
    const int row = playingRow();
    if (row >= 0) setIcon(row, restingIcon(entries_[static_cast<std::size_t>(row)]));
}

bool PlaylistView::deleteSelected() {
    const std::vector<int> rows = control_->selectedRows();
    if (rows.empty()) return false;
    if (prompts().ask(kPlaylistCaption, kTextDeleteEntries) != platform::Answer::Yes) return false;
    // From the last up, so each row number stays valid.
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        entries_.erase(entries_.begin() + *it);
        control_->removeRow(*it);
    }
    save();
    return true;
}

bool PlaylistView::cleanAll() {
    if (prompts().ask(kPlaylistCaption, kTextCleanAll) != platform::Answer::Yes) return false;
    entries_.clear();
    control_->clear();
    save();
    return true;
}

void PlaylistView::openFolder(int row) {
    if (row < 0 || row >= rowCount()) return;
    const std::string folder = folderOfPath(entries_[static_cast<std::size_t>(row)].path);
    // A bare name has no folder to open.
    if (!folder.empty()) platform::shell().open(folder);
}

void PlaylistView::chooseAndAddFiles() {
    const std::vector<std::string> paths = prompts().chooseFiles(this);
    if (!paths.empty()) addFiles(paths);
}

std::unique_ptr<QMenu> PlaylistView::makeContextMenu(int row, QWidget* parent) const {
    auto menu = std::make_unique<QMenu>(parent);
    const bool onRow = row >= 0 && row < rowCount();
    for (const MenuEntry& item : kMenu) {
        QAction* action = menu->addAction(QString::fromLatin1(item.text));
        action->setData(item.command);
        action->setEnabled(onRow || !item.needsRow);
    }
    return menu;
}

void PlaylistView::onContextMenu(int row, const QPoint& globalPos) {
    // Delete Files works on the selection: a click on a row outside it
    // makes that row the selection first.
    if (row >= 0 && !control_->isSelected(row)) control_->setCurrentRow(row);
    const std::unique_ptr<QMenu> menu = makeContextMenu(row, this);
    if (QAction* chosen = menu->exec(globalPos)) runCommand(chosen->data().toInt(), row);
}

void PlaylistView::runCommand(int command, int row) {
    switch (command) {
    case kPlayFile: playRow(row); break;
    case kOpenFolder: openFolder(row); break;
    case kAddFiles: chooseAndAddFiles(); break;
    case kDeleteFiles: deleteSelected(); break;
    case kCleanAll: cleanAll(); break;
    default: break;
    }
}

bool PlaylistView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == control_ && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
        if (key->key() == Qt::Key_Delete && mods == Qt::NoModifier) {
            deleteSelected();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace kestrel::shell
