#include "kestrel/shell/recording_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QFile>
#include <QMenu>
#include <QVBoxLayout>
#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "kestrel/engine/messages.h"
#include "kestrel/files/post_processor.h"
#include "kestrel/shell/markup_list.h"
#include "kestrel/shell/properties_dialog.h"
#include "kestrel/shell/recording_messages.h"
#include "kestrel/shell/rename_dialog.h"
#include "kestrel/shell/skinned_window.h"
#include "platform/shell.h"

namespace kestrel::shell {
namespace {

using engine::ItemState;
using engine::RecordItem;

// Row data: a record item index (1..1000), or from here on a library item.
// 0 is a row without entry.
constexpr std::uintptr_t kFirstLibraryData = 0x40000000;

// Stored bytes below which a recording cannot hold an FLV header and its
// first tag size: the playlist gets it as a file not worth checking.
constexpr std::int64_t kPlayableMinimumBytes = 14;

struct MenuEntry {
    int id;
    const char* text;
};
constexpr MenuEntry kMenu[] = {
    {ID_STOP_RECORDING_ITEMS, "Stop the recording item(s)"},
    {ID_DELETE_ITEMS, "Delete"},
    {ID_ITEM_PROPERTIES, "Properties"},
    {ID_RENAME_LOCAL_FILE, "Rename Local File"},
    {ID_ADD_TO_PLAYLIST, "Add to Playlist"},
    {ID_OPEN_CONTAINING_FOLDER, "Open Containing Folder"},
};

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool isRemovable(ItemState state) {
    // Recordings that are still recording, waiting or being processed stay.
    const auto value = static_cast<std::int32_t>(state);
    return value == 0 || value == 2 || value == 3 || value == 4;
}

}  // namespace

RecordingList::RecordingList(engine::Engine& engine, QWidget* parent)
    : QWidget(parent), engine_(engine), nextLibraryData_(kFirstLibraryData) {
    setObjectName(QStringLiteral("recordingList"));
    setGeometry(kGeometry);
    control_ = new MarkupListCtrl(this);
    control_->setObjectName(QStringLiteral("recordingRows"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(control_);

    setStateIcons(QIcon(listIcon(ListIcon::Recording)), QIcon(listIcon(ListIcon::Done)), QIcon(listIcon(ListIcon::Failed)));

    connect(control_, &MarkupListCtrl::rowDoubleClicked, this, &RecordingList::playRow);
    connect(control_, &MarkupListCtrl::contextMenuRequested, this, &RecordingList::onContextMenu);
}

RecordingList::~RecordingList() = default;

void RecordingList::setStateIcons(const QIcon& recording, const QIcon& done, const QIcon& failed) {
    recordingIcon_ = recording;
    doneIcon_ = done;
    failedIcon_ = failed;
    for (int row = 0; row < rowCount(); ++row)
        if (const RecordItem* item = recordingAt(row)) control_->setRowIcon(row, iconFor(*item));
}

int RecordingList::rowCount() const {
    return control_->rowCount();
}

RecordingList::RowEntry RecordingList::entryAt(int row) const {
    RowEntry entry;
    if (row < 0 || row >= rowCount()) return entry;
    const std::uintptr_t rowData = control_->rowData(row);
    if (rowData >= kFirstLibraryData) {
        const auto it = library_.find(rowData);
        if (it == library_.end()) return entry;
        entry.kind = RowKind::Library;
        entry.libraryKey = it->second.first;
    } else if (rowData > 0 && rowData <= static_cast<std::uintptr_t>(engine::kMaxRecordItems)) {
        entry.kind = RowKind::Recording;
        entry.itemIndex = static_cast<int>(rowData);
    }
    return entry;
}

RecordItem* RecordingList::recordingAt(int row) const {
    const RowEntry entry = entryAt(row);
    return entry.kind == RowKind::Recording ? engine_.items().at(entry.itemIndex) : nullptr;
}

std::string RecordingList::folderOf(const RecordItem& item) const {
    // Until it is processed an item has no folder of its own: it is going
    // to the save folder.
    std::string folder = item.outputFolder.str();
    return folder.empty() ? engine_.globals().saveFolder : folder;
}

std::string RecordingList::filePath(const RecordItem& item) const {
    return folderOf(item) + displayedName(item);
}

RecordingOutcome RecordingList::outcomeOf(int itemIndex) const {
    if (!postProcessor_) return RecordingOutcome::Unknown;
    return postProcessor_->completeOf(itemIndex) ? RecordingOutcome::Complete : RecordingOutcome::Incomplete;
}

QIcon RecordingList::iconFor(const RecordItem& item) const {
    switch (item.state.load()) {
    case ItemState::Recording:
    case ItemState::CaptureEnded:
    case ItemState::Processing:
        return recordingIcon_;
    case ItemState::Done:
        return doneIcon_;
    case ItemState::Failed:
        return failedIcon_;
    default:
        return {};
    }
}

int RecordingList::addEngineRow(int itemIndex) {
    const RecordItem* item = engine_.items().at(itemIndex);
    if (!item) return -1;
    return control_->addRow(newRecordingRowText(*item), static_cast<std::uintptr_t>(itemIndex), iconFor(*item));
}

void RecordingList::setRowFromItem(int row, int itemIndex) {
    const RecordItem* item = engine_.items().at(itemIndex);
    if (!item) return;
    const std::string text = recordingRowText(*item, outcomeOf(itemIndex));
    // Measuring a row again costs a layout; most refreshes change nothing.
    if (control_->rowText(row) != text) control_->setRowText(row, text);
    control_->setRowIcon(row, iconFor(*item));
}

void RecordingList::refreshEngineRow(int itemIndex) {
    const int row = findEngineRow(itemIndex);
    if (row >= 0) setRowFromItem(row, itemIndex);
}

int RecordingList::findEngineRow(int itemIndex) const {
    if (itemIndex < 1 || itemIndex > engine::kMaxRecordItems) return -1;
    return control_->findRow(static_cast<std::uintptr_t>(itemIndex));
}

void RecordingList::refreshAll() {
    for (int row = 0; row < rowCount(); ++row) {
        const RowEntry entry = entryAt(row);
        if (entry.kind != RowKind::Recording) continue;
        const RecordItem* item = engine_.items().at(entry.itemIndex);
        if (!item) continue;
        const ItemState state = item->state.load();
        if (state == ItemState::Recording || state == ItemState::CaptureEnded || state == ItemState::Processing)
            setRowFromItem(row, entry.itemIndex);
    }
}

int RecordingList::addLibraryRow(std::uintptr_t key, LibraryItem item) {
    const std::uintptr_t rowData = nextLibraryData_++;
    const std::string text = libraryRowText(item);
    library_.emplace(rowData, std::make_pair(key, std::move(item)));
    return control_->addRow(text, rowData);
}

int RecordingList::findLibraryRow(std::uintptr_t key) const {
    for (const auto& [rowData, entry] : library_)
        if (entry.first == key) return control_->findRow(rowData);
    return -1;
}

const LibraryItem* RecordingList::libraryItem(std::uintptr_t key) const {
    for (const auto& [rowData, entry] : library_)
        if (entry.first == key) return &entry.second;
    return nullptr;
}

void RecordingList::removeRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    library_.erase(control_->rowData(row));
    control_->removeRow(row);
}

std::unique_ptr<QMenu> RecordingList::makeContextMenu(int row, QWidget* parent) const {
    auto menu = std::make_unique<QMenu>(parent);
    const bool onRow = row >= 0 && row < rowCount();
    for (const MenuEntry& entry : kMenu) {
        QAction* action = menu->addAction(QString::fromUtf8(entry.text));
        action->setData(entry.id);
        action->setEnabled(onRow);
    }
    return menu;
}

void RecordingList::onContextMenu(int row, const QPoint& globalPos) {
    // The commands work on the selection: a right click on a row outside
    // it makes that row the selection first.
    if (row >= 0 && !control_->isSelected(row)) control_->setCurrentRow(row);
    const std::unique_ptr<QMenu> menu = makeContextMenu(row, this);
    if (QAction* chosen = menu->exec(globalPos)) runCommand(chosen->data().toInt());
}

void RecordingList::sendForRows(std::uint32_t msg, const std::vector<int>& rows) {
    int removedBefore = 0;
    for (const int row : rows) {
        const int before = rowCount();
        engine_.window().send(msg, static_cast<platform::WParam>(row - removedBefore));
        if (rowCount() < before) ++removedBefore;
    }
}

void RecordingList::runCommand(int commandId) {
    std::vector<int> selected = control_->selectedRows();
    std::sort(selected.begin(), selected.end());
    const int current = control_->currentRow();
    const auto sendCurrent = [&](std::uint32_t msg) {
        if (current >= 0) engine_.window().send(msg, static_cast<platform::WParam>(current));
    };
    switch (commandId) {
    case ID_STOP_RECORDING_ITEMS:
        sendForRows(WM_STOP_ITEM, selected);
        break;
    case ID_DELETE_ITEMS:
        // From the last row up, so each row number stays valid.
        for (auto it = selected.rbegin(); it != selected.rend(); ++it)
            engine_.window().send(WM_REMOVE_ITEM, static_cast<platform::WParam>(*it));
        break;
    case ID_ITEM_PROPERTIES:
        sendCurrent(WM_SHOW_PROPERTIES);
        break;
    case ID_RENAME_LOCAL_FILE:
        sendCurrent(WM_RENAME_LOCAL_FILE);
        break;
    case ID_ADD_TO_PLAYLIST:
        sendForRows(WM_ADD_ITEM_TO_PLAYLIST, selected);
        break;
    case ID_OPEN_CONTAINING_FOLDER:
        sendCurrent(WM_OPEN_CONTAINING_FOLDER);
        break;
    default:
        break;
    }
}

bool RecordingList::handleMessage(std::uint32_t msg, platform::WParam wParam, platform::LParam) {
    // Row numbers beyond int are no rows; every handler checks the range.
    const int row = wParam <= static_cast<platform::WParam>(rowCount()) ? static_cast<int>(wParam) : -1;
    switch (msg) {
    case WM_STOP_ITEM:
        stopRow(row);
        return true;
    case WM_REMOVE_ITEM:
        removeItemRow(row);
        return true;
    case WM_SHOW_PROPERTIES:
        showProperties(row);
        return true;
    case WM_RENAME_LOCAL_FILE:
        showRename(row);
        return true;
    case WM_ADD_ITEM_TO_PLAYLIST:
        addRowToPlaylist(row);
        return true;
    case WM_OPEN_CONTAINING_FOLDER:
        openContainingFolder(row);
        return true;
    case WM_ITEM_RENAMED:
    case engine::WM_ITEM_FINISHED:
    case engine::WM_ITEM_STATE_CHANGED:
        if (wParam >= 1 && wParam <= static_cast<platform::WParam>(engine::kMaxRecordItems))
            refreshEngineRow(static_cast<int>(wParam));
        return true;
    default:
        return false;
    }
}

void RecordingList::stopRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    const RowEntry entry = entryAt(row);
    if (entry.kind == RowKind::None) {
        removeRow(row);
        return;
    }
    const RecordItem* item = recordingAt(row);
    if (!item || !item->is(ItemState::Recording)) return;
    engine_.endItemCapture(entry.itemIndex);
    setRowFromItem(row, entry.itemIndex);
}

void RecordingList::removeItemRow(int row) {
    if (row < 0 || row >= rowCount()) return;
    const RowEntry entry = entryAt(row);
    if (entry.kind == RowKind::None) {
        removeRow(row);
        return;
    }
    RecordItem* item = recordingAt(row);
    if (!item) return;
    // The state may move on in another thread meanwhile (a finished
    // recording stays finished, but be exact about what is replaced).
    ItemState state = item->state.load();
    while (isRemovable(state)) {
        if (item->state.compare_exchange_weak(state, ItemState::Removed)) {
            removeRow(row);
            return;
        }
    }
}

std::unique_ptr<PropertiesDialog> RecordingList::makePropertiesDialog(int row) {
    const RecordItem* item = recordingAt(row);
    if (!item) return nullptr;
    return std::make_unique<PropertiesDialog>(filePath(*item), item->expectedSize.load(), item->url.str(), this);
}

void RecordingList::showProperties(int row) {
    if (const auto dialog = makePropertiesDialog(row)) dialog->exec();
}

std::unique_ptr<RenameDialog> RecordingList::makeRenameDialog(int row) {
    const RecordItem* item = recordingAt(row);
    if (!item) return nullptr;
    return std::make_unique<RenameDialog>(displayedName(*item), this);
}

void RecordingList::showRename(int row) {
    const auto dialog = makeRenameDialog(row);
    if (!dialog || dialog->exec() != QDialog::Accepted) return;
    renameItem(entryAt(row).itemIndex, dialog->newName());
}

bool RecordingList::renameItem(int itemIndex, const std::string& newName) {
    RecordItem* item = engine_.items().at(itemIndex);
    if (!item) return false;
    // The last characters of a long name, and no more bytes than the title
    // holds: the file and the title must keep the same name.
    const std::string name = lastCharacters(newName, kMaxLocalNameChars, item->title.capacity() - 1);
    // A path, "." or ".." would move the file out of the save folder or
    // onto a folder, now or when a later recording is finished.
    if (!isPlainFileName(name)) {
        message(kTextRenameFailed);
        return false;
    }
    if (item->is(ItemState::Done)) {
        // The file lies where it was finished, which need not be today's
        // save folder.
        const std::string folder = folderOf(*item);
        const std::string from = folder + displayedName(*item);
        const std::string to = folder + name;
        struct stat info {};
        const bool isFile = ::lstat(from.c_str(), &info) == 0 && S_ISREG(info.st_mode);
        if (!isFile || (from != to && !renameWithoutReplacing(from, to))) {
            message(kTextRenameFailed);
            return false;
        }
    }
    item->titleLength = static_cast<std::int32_t>(item->title.assign(name));
    engine_.window().send(WM_ITEM_RENAMED, static_cast<platform::WParam>(itemIndex));
    return true;
}

void RecordingList::addRowToPlaylist(int row) {
    const RecordItem* item = recordingAt(row);
    if (!item || !item->is(ItemState::Done)) return;
    const int status =
        item->storedBytes.load() < kPlayableMinimumBytes ? kPlaylistStatusEmpty : kPlaylistStatusPlayable;
    Q_EMIT addToPlaylist(fromUtf8(filePath(*item)), status);
}

void RecordingList::openContainingFolder(int row) {
    if (row < 0 || row >= rowCount()) return;
    const RecordItem* item = recordingAt(row);
    if (item && item->is(ItemState::Done)) {
        platform::shell().showInFolder(filePath(*item));
    } else {
        platform::shell().open(engine_.globals().saveFolder);
    }
}

void RecordingList::playRow(int row) {
    const RecordItem* item = recordingAt(row);
    if (!item) return;
    const ItemState state = item->state.load();
    if (state == ItemState::Recording || state == ItemState::CaptureEnded || state == ItemState::Processing) {
        message(kTextCannotPlay);
        return;
    }
    if (state != ItemState::Done) return;
    const std::string path = filePath(*item);
    if (!isFlvFile(path)) {
        message(kTextNotFlv);
        return;
    }
    Q_EMIT playFile(fromUtf8(path));
}

void RecordingList::message(const char* text) {
    engine_.ui().messageBox(text);
}

bool isFlvFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char head[3] = {};
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const bool flv = regular && info.st_size > 0 && ::read(fd, head, sizeof head) == 3 && head[0] == 'F' &&
                     head[1] == 'L' && head[2] == 'V';
    ::close(fd);
    return flv;
}

bool renameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without the no-replace rename: look first. Another
    // program could create the name in between, but nothing of ours does.
    struct stat info {};
    if (::lstat(to.c_str(), &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace kestrel::shell
