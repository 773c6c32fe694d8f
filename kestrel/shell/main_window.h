#pragma once
// The main window: the skinned frame with its picture buttons, the
// recording list and the playlist area, the Main menu, and the engine's user
// interface. It owns the recording session; the session's message sink is
// pumped on this window's thread whenever a message is queued.

#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "kestrel/engine/engine_ui.h"
#include "kestrel/session/recorder_session.h"
#include "kestrel/shell/player_window.h"
#include "kestrel/shell/skinned_window.h"

class QMenu;

namespace kestrel::shell {

class PlaylistView;
class RecordingList;
class SingleInstance;
class SkinButton;

// Command IDs of the Main menu.
namespace menu_id {
inline constexpr int kAddFiles = 32785;
inline constexpr int kAddUrls = 32787;
inline constexpr int kOptions = 32788;
inline constexpr int kReportBugs = 32797;
inline constexpr int kHomePage = 32791;
inline constexpr int kCheckVersion = 32801;
inline constexpr int kRepairFlv = 32805;
inline constexpr int kImportData = 32806;
inline constexpr int kAbout = 32793;
inline constexpr int kExit = 32792;
}  // namespace menu_id

// Our web pages, opened by the menu's two web commands.
inline constexpr const char* kHomePageAddress = "https://kestrel-recorder.org/";
inline constexpr const char* kSupportPageAddress = "https://kestrel-recorder.org/support";

inline constexpr const char* kTextExitQuestion = "Stop recorder and exit?";
inline constexpr const char* kMessageBoxTitle = "Kestrel";

struct MainWindowOptions {
    session::SessionOptions session;
    std::string source;  // capture on this instead of choosing an adapter
    std::string save;    // save folder for this run
    bool start = false;  // press Start once the window is up
    std::string file;    // a file to play, from the command line
    PlayerWindowOptions player;  // its home page defaults to ours
};

class MainWindow : public SkinnedWindow, public engine::EngineUi {
    Q_OBJECT
public:
    explicit MainWindow(MainWindowOptions options, QWidget* parent = nullptr);
    ~MainWindow() override;

    session::RecorderSession& session() { return *session_; }
    engine::Engine& engine() { return session_->engine(); }
    RecordingList& recordingList() { return *recordingList_; }
    PlaylistView& playlist() { return *playlist_; }
    PlayerWindow& player() { return *player_; }
    // Shows the player panel at the window's right edge (when hidden) and
    // plays path in it.
    void playFile(const QString& path);
    // The player toggle: shows or hides the docked player panel.
    void togglePlayer();
    SkinButton* button(int controlId) const;
    bool recordingListShown() const;

    // Tests answer message boxes and questions here instead of a dialog;
    // the text and buttons are passed as the program shows them.
    using MessageBoxHook = std::function<platform::Answer(std::string_view text, platform::Buttons buttons)>;
    void setMessageBoxHook(MessageBoxHook hook) { messageBoxHook_ = std::move(hook); }
    // Where the path a second instance handed over is taken from, when it
    // wakes this one (WM_SECOND_INSTANCE).
    void setHandOverSource(std::function<std::string()> take) { handOver_ = std::move(take); }
    // As the first instance: a later start's wake-up (a readable pipe)
    // becomes WM_SECOND_INSTANCE, and its path is taken from the block.
    void attachSingleInstance(SingleInstance& instance);

    // The Main menu as the Show menu button builds it (for tests).
    std::unique_ptr<QMenu> makeMainMenu();
    // Runs a command of the Main menu or a picture button by its ID.
    void runCommand(int id);
    // Exit: asks while capture runs, stops it on Yes, writes the recording
    // number and closes. False when the user said No.
    bool exitCommand();
    // Exit as if Yes was answered (SIGTERM, SIGINT): stops capture, writes
    // the recording number and closes.
    void exitWithoutQuestion();
    // Shows the recording list (true) or the playlist (false).
    void showRecordingList(bool show);

    // engine::EngineUi
    platform::Answer messageBox(std::string_view text, platform::Buttons buttons) override;
    std::string runAddressChooser(engine::AddressChooser& chooser) override;
    bool runAdapterList(engine::AdapterListDialog& dialog) override;
    void showAdapterError() override;
    void setCaptureControls(bool startEnabled, bool stopEnabled) override;
    void addRow(int itemIndex) override;
    void refreshRow(int itemIndex) override;

signals:
    // A file handed over by a second instance, for the player.
    void fileHandedOver(const QString& path);
    // A file the playlist or the recording list asks to play.
    void playRequested(const QString& path);

public slots:
    // A second instance woke this one; path is what it handed over (empty
    // when it only woke us).
    void onSecondInstance(const std::string& path);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    platform::MessageResult onMessage(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);
    void onFirstTick();
    void repairFlv();
    void importCaptureData();
    void centre();

    MainWindowOptions options_;
    bool fileSource_ = false;
    bool closing_ = false;
    bool exitConfirmed_ = false;
    MessageBoxHook messageBoxHook_;
    std::function<std::string()> handOver_;
    RecordingList* recordingList_ = nullptr;
    PlaylistView* playlist_ = nullptr;
    QTimer refreshTimer_;  // timer 1: 500 ms
    QTimer firstTick_;     // timer 5: once, 10 ms after creation
    std::unique_ptr<PlayerWindow> player_;  // a window of its own, docked at the right
    // Last: torn down first, while the lists it reports to still exist.
    std::unique_ptr<session::RecorderSession> session_;
};

}  // namespace kestrel::shell
