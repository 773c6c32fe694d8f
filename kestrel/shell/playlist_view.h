#pragma once
// The playlist: local files to play, one markup row each, kept in
// playlist.dat and rewritten after every change. Rows are played on
// double-click (after a check that the file is FLV), deleted with the
// Delete key or the context menu after a question, and added from a file
// dialog or from the recording list.
//
// Everything runs on the user-interface thread. Saving swallows its
// failures as far as the user is concerned: save() still says whether the
// file was written.

#include <QIcon>
#include <QRect>
#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/shell/playlist_file.h"
#include "platform/ui_port.h"

class QMenu;

namespace kestrel::shell {

class MarkupListCtrl;

inline constexpr const char* kPlaylistCaption = "Playlist";
inline constexpr const char* kTextDeleteEntries = "Delete these?";
inline constexpr const char* kTextCleanAll = "Clean all?";
inline constexpr const char* kPlaylistFileFilter = "Flash Video(*.flv);;All Files(*.*)";

// Paths longer than this many characters are shown by their end.
inline constexpr std::size_t kPlaylistPathShownChars = 35;
inline constexpr std::size_t kPlaylistPathTailChars = 32;

// The row of an entry: its path (shortened) and its size.
std::string playlistRowText(const PlaylistEntry& entry);
// The path as a row shows it: whole up to 35 characters, else "..." and
// its last 32 characters. Characters, not bytes: a UTF-8 sequence is never
// split.
std::string shownPlaylistPath(std::string_view path);
// The folder part of a path, up to and including its last '/'; empty when
// it has none.
std::string folderOfPath(std::string_view path);

// What the playlist asks of the person in front of it. Its questions name
// their own window ("Playlist") and show an exclamation mark, which the
// program's plain message boxes cannot say, so they come through here. The
// desktop's are real dialogs; tests answer them.
class PlaylistPrompts {
public:
    virtual ~PlaylistPrompts() = default;
    // A Yes/No question with an exclamation icon under caption.
    virtual platform::Answer ask(std::string_view caption, std::string_view text) = 0;
    // Files chosen in an open dialog that takes several (filter
    // kPlaylistFileFilter); empty when cancelled.
    virtual std::vector<std::string> chooseFiles(QWidget* parent) = 0;
};

// QMessageBox and QFileDialog.
class DesktopPlaylistPrompts final : public PlaylistPrompts {
public:
    platform::Answer ask(std::string_view caption, std::string_view text) override;
    std::vector<std::string> chooseFiles(QWidget* parent) override;
};

class PlaylistView : public QWidget {
    Q_OBJECT
public:
    // Commands of the context menu, carried as each action's data().
    enum Command {
        kPlayFile = 1,
        kOpenFolder,
        kAddFiles,
        kDeleteFiles,
        kCleanAll,
    };

    // Message boxes without a caption of their own ("The file is not flv
    // file, failed to play.") go to ui, which must outlive the view. The
    // view puts itself where the recording list is; the two take turns.
    explicit PlaylistView(platform::UiPort& ui, QWidget* parent = nullptr);
    ~PlaylistView() override;

    // Questions and the file dialog; nullptr goes back to the desktop's.
    // prompts must outlive the view.
    void setPrompts(PlaylistPrompts* prompts);
    // Icons by state (24 x 24). The view takes the skin's on its own; rows
    // go without when there are none.
    void setIcons(const QIcon& playable, const QIcon& damaged, const QIcon& playing);

    // Reads the list from path and keeps path for every later save. A file
    // that is missing or damaged gives what could be read, silently.
    void load(const std::string& path);
    // Writes the list to the file it was loaded from; false when it could
    // not be written (or none was loaded).
    bool save();
    const std::string& filePath() const { return filePath_; }

    MarkupListCtrl& control() { return *control_; }
    int rowCount() const;
    const PlaylistEntry& entry(int row) const;
    // The row being played, or -1.
    int playingRow() const;

    // Adds files with their size now and the time now, then saves. A path
    // too long to be kept is left out. Returns how many were added.
    int addFiles(const std::vector<std::string>& paths);
    // Adds a finished recording (status kPlaylistIconDamaged when it holds
    // too few bytes to play, else kPlaylistIconPlayable), selects its row,
    // scrolls to it and saves. Returns the row, or -1 when the path is too
    // long to be kept.
    int addRecording(const std::string& path, int status);

    // Plays an entry: refused with the FLV message when the file is not an
    // FLV file or the entry is marked unplayable; else playRequested() is
    // emitted and the entry is marked as playing. True when it played.
    bool playRow(int row);
    // Nothing is marked as playing any more (the player took another file).
    void clearPlayingMark();
    // After "Delete these?": the selected entries go, and the file is
    // rewritten. False when nothing was deleted.
    bool deleteSelected();
    // After "Clean all?": every entry goes, and the file is rewritten.
    bool cleanAll();
    // Opens the folder the entry's file is in.
    void openFolder(int row);
    // The file dialog, then addFiles().
    void chooseAndAddFiles();

    // The context menu for a click on row (-1: beside the rows).
    std::unique_ptr<QMenu> makeContextMenu(int row, QWidget* parent = nullptr) const;
    // A command of the menu, for the row the menu was opened on.
    void runCommand(int command, int row);

public slots:
    // The recording list's "Add to Playlist".
    void onAddToPlaylist(const QString& path, int status);

signals:
    // A checked FLV file for the player.
    void playRequested(const QString& path);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int appendEntry(PlaylistEntry entry);
    void setIcon(int row, int icon);
    QIcon iconFor(int icon) const;
    void onContextMenu(int row, const QPoint& globalPos);
    PlaylistPrompts& prompts();

    platform::UiPort& ui_;
    PlaylistPrompts* prompts_ = nullptr;
    DesktopPlaylistPrompts desktopPrompts_;
    MarkupListCtrl* control_ = nullptr;
    std::vector<PlaylistEntry> entries_;  // one per row, in row order
    std::string filePath_;
    QIcon playableIcon_, damagedIcon_, playingIcon_;
};

}  // namespace kestrel::shell
