#pragma once
// The recording list: one row per recording of the engine and per item of
// the URL recorder library, drawn by a markup list control, with the
// context menu of per-row commands, play on double-click, and the
// Properties and Rename Local File dialogs.
//
// Everything runs on the user-interface thread, which owns the main
// window's message sink. The context menu sends its commands to that sink
// (WM_STOP_ITEM and the others of recording_messages.h, wParam a row); the
// main window hands them back to handleMessage(), as it does with
// WM_ITEM_RENAMED, WM_ITEM_FINISHED and WM_ITEM_STATE_CHANGED, which
// refresh an item's row.

#include <QIcon>
#include <QRect>
#include <QWidget>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "kestrel/engine/engine.h"
#include "kestrel/shell/recording_texts.h"
#include "platform/message.h"

class QMenu;

namespace kestrel::files {
class PostProcessor;
}

namespace kestrel::shell {

class MarkupListCtrl;
class PropertiesDialog;
class RenameDialog;

inline constexpr const char* kTextCannotPlay = "Cannot play the recording item.";
inline constexpr const char* kTextNotFlv = "The file is not flv file, failed to play.";
inline constexpr const char* kTextRenameFailed = "Failed to rename local file.";

// Longest new name of a local file, in characters.
inline constexpr std::size_t kMaxLocalNameChars = 30;

// Playlist states a recording is added with.
inline constexpr int kPlaylistStatusPlayable = 2;
inline constexpr int kPlaylistStatusEmpty = 3;  // fewer bytes than an FLV header and its first tag size

class RecordingList : public QWidget {
    Q_OBJECT
public:
    // Where the main window puts the list: from (22, 32) to the right and
    // bottom edges 323 and 380, so the tabs below it and the player panel's
    // handle at the right stay clear.
    static constexpr QRect kGeometry{22, 32, 323 - 22, 380 - 32};

    enum class RowKind {
        None,       // a row without entry
        Recording,  // a record item of the engine
        Library,    // an item of the URL recorder library
    };
    struct RowEntry {
        RowKind kind = RowKind::None;
        int itemIndex = 0;          // Recording: the record item index
        std::uintptr_t libraryKey = 0;  // Library: the key it was added with
    };

    // The engine must outlive the list. Message boxes go to engine.ui(),
    // commands to engine.window().
    explicit RecordingList(engine::Engine& engine, QWidget* parent = nullptr);
    ~RecordingList() override;

    // Asked whether a finished recording is whole, so that one with gaps
    // says so. Optional; must outlive the list.
    void setPostProcessor(const files::PostProcessor* postProcessor) { postProcessor_ = postProcessor; }
    // Icons of the rows by the state of their recording (24 x 24). The list
    // looks for them among the skins on its own; rows go without when none
    // are there.
    void setStateIcons(const QIcon& recording, const QIcon& done, const QIcon& failed);

    MarkupListCtrl& control() { return *control_; }
    int rowCount() const;
    RowEntry entryAt(int row) const;

    // Rows of record items, named by item index.
    int addEngineRow(int itemIndex);
    void refreshEngineRow(int itemIndex);
    int findEngineRow(int itemIndex) const;
    // The 500 ms refresh: rows of recordings that are recording, waiting or
    // being processed. Rows of library items keep the text they were made
    // with.
    void refreshAll();

    // Rows of the URL recorder library's items; key names the item (the
    // caller's choice, such as the address of its report block).
    int addLibraryRow(std::uintptr_t key, LibraryItem item);
    int findLibraryRow(std::uintptr_t key) const;
    const LibraryItem* libraryItem(std::uintptr_t key) const;

    void removeRow(int row);

    // The context menu for a click on row (-1: beside the rows). Its
    // actions carry their command ID as data(); runCommand() does it.
    std::unique_ptr<QMenu> makeContextMenu(int row, QWidget* parent = nullptr) const;
    void runCommand(int commandId);

    // The main window's handler for the list's messages; false for others.
    bool handleMessage(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);

    // What the messages do, by row.
    void stopRow(int row);
    void removeItemRow(int row);
    void showProperties(int row);
    void showRename(int row);
    void addRowToPlaylist(int row);
    void openContainingFolder(int row);
    // The double-click: plays a finished FLV recording.
    void playRow(int row);

    // The dialogs for a row of a recording (nullptr for other rows).
    std::unique_ptr<PropertiesDialog> makePropertiesDialog(int row);
    std::unique_ptr<RenameDialog> makeRenameDialog(int row);
    // Gives a recording a new name, and moves its file when it is finished.
    // A refused or failed rename tells the user and changes nothing.
    bool renameItem(int itemIndex, const std::string& newName);

signals:
    // A finished recording for the playlist, with its playlist status.
    void addToPlaylist(const QString& path, int status);
    // A finished FLV recording to play in the player panel.
    void playFile(const QString& path);

private:
    engine::RecordItem* recordingAt(int row) const;
    // Where an item's file is, or is going to be.
    std::string folderOf(const engine::RecordItem& item) const;
    std::string filePath(const engine::RecordItem& item) const;
    RecordingOutcome outcomeOf(int itemIndex) const;
    QIcon iconFor(const engine::RecordItem& item) const;
    void setRowFromItem(int row, int itemIndex);
    void onContextMenu(int row, const QPoint& globalPos);
    // Sends msg for each of rows in order; rows after one that a handler
    // removed move up by one, and the row numbers sent follow them.
    void sendForRows(std::uint32_t msg, const std::vector<int>& rows);
    void message(const char* text);

    engine::Engine& engine_;
    const files::PostProcessor* postProcessor_ = nullptr;
    MarkupListCtrl* control_ = nullptr;
    QIcon recordingIcon_, doneIcon_, failedIcon_;
    std::map<std::uintptr_t, std::pair<std::uintptr_t, LibraryItem>> library_;  // row data -> key, item
    std::uintptr_t nextLibraryData_;
};

// True when path is a file that starts with the FLV signature.
bool isFlvFile(const std::string& path);

// Renames a file without ever replacing another one; false (errno set)
// when to exists or the rename fails.
bool renameWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace kestrel::shell
