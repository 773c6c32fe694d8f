#include "kestrel/shell/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSocketNotifier>

#include "kestrel/engine/messages.h"
#include "kestrel/engine/settings.h"
#include "kestrel/files/capture_import.h"
#include "kestrel/files/flv_repair.h"
#include "kestrel/shell/about_dialog.h"
#include "kestrel/shell/adapter_list_dialog.h"
#include "kestrel/shell/address_chooser_dialog.h"
#include "kestrel/shell/markup_list.h"
#include "kestrel/shell/playlist_view.h"
#include "kestrel/shell/recording_list.h"
#include "kestrel/shell/single_instance.h"
#include "kestrel/shell/skin_button.h"
#include "platform/shell.h"

namespace kestrel::shell {

namespace {

QString fromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string toUtf8(const QString& text) { return text.toUtf8().toStdString(); }

struct MenuEntry {
    int id;
    const char* text;
    bool separatorBefore;
};

// The Main menu, in order.
constexpr MenuEntry kMainMenu[] = {
    {menu_id::kAddFiles, "Add &files to playlist", false},
    {menu_id::kAddUrls, "Add &URLs to record", false},
    {menu_id::kOptions, "&Options", false},
    {menu_id::kReportBugs, "&Report bugs and suggest the features", true},
    {menu_id::kHomePage, "&HomePage", false},
    {menu_id::kCheckVersion, "Check the latest version ...", false},
    {menu_id::kRepairFlv, "Repair flv file", true},
    {menu_id::kImportData, "Add *.FlvData to process", false},
    {menu_id::kAbout, "&About", true},
    {menu_id::kExit, "E&xit", false},
};

}  // namespace

MainWindow::MainWindow(MainWindowOptions options, QWidget* parent)
    : SkinnedWindow(kMainWindowSize, parent), options_(std::move(options)) {
    setWindowTitle(QStringLiteral("Kestrel"));
    setWindowIcon(applicationIcon());
    setAttribute(Qt::WA_DeleteOnClose, false);

    session_ = std::make_unique<session::RecorderSession>(*this, options_.session);
    session_->setHostHandler(
        [this](std::uint32_t msg, platform::WParam w, platform::LParam l) { return onMessage(msg, w, l); });
    // Messages queued by other threads are handled on this window's thread.
    session_->window().setWakeup([this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (session_) session_->window().pump();
            },
            Qt::QueuedConnection);
    });
    session_->loadSettings();
    auto& engine = session_->engine();
    if (!options_.save.empty()) engine.globals().saveFolder = engine::correctSaveFolder(options_.save);
    if (!options_.source.empty()) {
        engine.setSourceOverride(options_.source);
        fileSource_ = options_.source.rfind("file://", 0) == 0;
    }

    QString error;
    if (!loadBackground(skinResourcePath(QString::fromLatin1(kMainBackground)), &error))
        qWarning("kestrel: %s", qPrintable(error));

    // Both lists share the middle of the window; one is shown at a time.
    recordingList_ = new RecordingList(engine, this);
    recordingList_->setPostProcessor(&session_->postProcessor());
    recordingList_->hide();
    playlist_ = new PlaylistView(*this, this);
    playlist_->setGeometry(RecordingList::kGeometry);
    playlist_->hide();
    playlist_->load(session_->dataFolder() + "playlist.dat");
    connect(recordingList_, &RecordingList::addToPlaylist, playlist_, &PlaylistView::onAddToPlaylist);
    connect(playlist_, &PlaylistView::playRequested, this, &MainWindow::playRequested);

    const auto buttons = createSkinButtons(this, mainWindowButtons(), &error);
    if (buttons.empty()) qWarning("kestrel: %s", qPrintable(error));
    for (SkinButton* b : buttons) {
        const int id = b->controlId();
        connect(b, &QAbstractButton::clicked, this, [this, id] { runCommand(id); });
    }
    showRecordingList(false);

    connect(recordingList_, &RecordingList::playFile, this, &MainWindow::playRequested);

    // The player panel: a window of its own that follows this one.
    if (options_.player.homePage.empty()) options_.player.homePage = kHomePageAddress;
    player_ = std::make_unique<PlayerWindow>(options_.player);
    player_->dockTo(geometry());
    connect(this, &SkinnedWindow::moved, this, [this] { player_->dockTo(geometry()); });
    connect(this, &MainWindow::playRequested, this, &MainWindow::playFile);
    connect(this, &MainWindow::fileHandedOver, this, &MainWindow::playFile);

    refreshTimer_.setInterval(500);
    connect(&refreshTimer_, &QTimer::timeout, this, [this] { session_->engine().onTimer(); });
    refreshTimer_.start();
    firstTick_.setSingleShot(true);
    firstTick_.setInterval(10);
    connect(&firstTick_, &QTimer::timeout, this, &MainWindow::onFirstTick);
    firstTick_.start();
    centre();
    player_->dockTo(geometry());
}

MainWindow::~MainWindow() {
    refreshTimer_.stop();
    // Capture and processing end while the lists they report to still exist.
    session_->shutdown();
    session_.reset();
}

void MainWindow::centre() {
    // Left of the centre by a whole window: the player panel docks at the
    // right of it.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect s = screen->geometry();
        move(s.width() / 2 - kMainWindowSize.width(), s.height() / 2 - kMainWindowSize.height() / 2);
    }
}

void MainWindow::onFirstTick() {
    showRecordingList(true);
    activateWindow();
    setFocus();
    if (!options_.file.empty()) emit fileHandedOver(fromUtf8(options_.file));
    if (options_.start) runCommand(control_id::kStart);
}

SkinButton* MainWindow::button(int controlId) const { return findSkinButton(this, controlId); }

bool MainWindow::recordingListShown() const { return recordingList_->isVisibleTo(this); }

void MainWindow::showRecordingList(bool show) {
    recordingList_->setVisible(show);
    playlist_->setVisible(!show);
    // The tab of the list shown is the disabled one.
    if (SkinButton* b = button(control_id::kRecordingsTab)) b->setEnabled(!show);
    if (SkinButton* b = button(control_id::kPlaylistTab)) b->setEnabled(show);
}

// ------------------------------------------------------------ commands

void MainWindow::runCommand(int id) {
    auto& engine = session_->engine();
    switch (id) {
    case control_id::kStart:
        if (SkinButton* b = button(control_id::kStart); b && b->isEnabled()) engine.startCommand();
        break;
    case control_id::kStop:
        if (SkinButton* b = button(control_id::kStop); b && b->isEnabled()) engine.stopCommand();
        break;
    case control_id::kShowMenu:
        makeMainMenu()->exec(QCursor::pos());
        break;
    case control_id::kMinimize:
        // Without the tray icon there is no way back from a hidden window:
        // the window goes to the task bar instead.
        showMinimized();
        break;
    case control_id::kExit:
    case menu_id::kExit:
        exitCommand();
        break;
    case control_id::kAbout:
    case menu_id::kAbout: {
        AboutDialog about(this);
        about.exec();
        break;
    }
    case control_id::kPlayerToggle:
        togglePlayer();
        break;
    case control_id::kPlaylistTab:
        showRecordingList(false);
        break;
    case control_id::kRecordingsTab:
        showRecordingList(true);
        break;
    case menu_id::kHomePage:
        platform::shell().open(kHomePageAddress);
        break;
    case menu_id::kReportBugs:
        platform::shell().open(kSupportPageAddress);
        break;
    case control_id::kAddFiles:
    case menu_id::kAddFiles:
        playlist_->chooseAndAddFiles();
        break;
    case menu_id::kRepairFlv:
        repairFlv();
        break;
    case menu_id::kImportData:
        importCaptureData();
        break;
    default:
        // Add URLs, the playlist's files, options, the version check and the
        // player panel come with their own parts of the program.
        break;
    }
}

std::unique_ptr<QMenu> MainWindow::makeMainMenu() {
    auto menu = std::make_unique<QMenu>(this);
    const SkinButton* start = button(control_id::kStart);
    const bool startEnabled = start && start->isEnabled();
    for (const auto& e : kMainMenu) {
        // The URL entry is taken out of the menu before it is shown.
        if (e.id == menu_id::kAddUrls) continue;
        if (e.separatorBefore) menu->addSeparator();
        QAction* a = menu->addAction(QString::fromLatin1(e.text));
        a->setData(e.id);
        // Options are greyed while the engine runs.
        if (e.id == menu_id::kOptions) a->setEnabled(startEnabled);
        const int id = e.id;
        connect(a, &QAction::triggered, this, [this, id] { runCommand(id); });
    }
    return menu;
}

bool MainWindow::exitCommand() {
    const SkinButton* start = button(control_id::kStart);
    const bool stopped = start && start->isEnabled();
    if (!stopped && messageBox(kTextExitQuestion, platform::Buttons::YesNo) != platform::Answer::Yes) return false;
    exitWithoutQuestion();
    return true;
}

void MainWindow::exitWithoutQuestion() {
    const SkinButton* start = button(control_id::kStart);
    if (start && !start->isEnabled()) runCommand(control_id::kStop);
    if (!session_->saveRecordingNumber())
        qWarning("kestrel: the recording number could not be written to %s", session_->settingsPath().c_str());
    exitConfirmed_ = true;
    close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing by the window manager is the Exit command.
    if (!exitConfirmed_ && !exitCommand()) {
        event->ignore();
        return;
    }
    if (closing_) {
        event->accept();
        return;
    }
    closing_ = true;
    refreshTimer_.stop();
    // What still records ends now, and waiting recordings are finished
    // before the program goes: nothing captured is left half done.
    player_->hide();
    QApplication::setOverrideCursor(Qt::WaitCursor);
    if (session_->engine().endEveryRecordingItem() > 0) session_->engine().startPostProcessingIfIdle();
    session_->shutdown();
    if (!playlist_->save()) qWarning("kestrel: the playlist could not be written to %s", playlist_->filePath().c_str());
    QApplication::restoreOverrideCursor();
    event->accept();
}

void MainWindow::repairFlv() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Repair flv file"), QString(),
                                                      QStringLiteral("FLV Files(*.flv);;All Files(*.*)"));
    if (path.isEmpty()) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    files::repairFlvFile(toUtf8(path), *this);
    QApplication::restoreOverrideCursor();
}

void MainWindow::importCaptureData() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Add *.FlvData to process"), QString(),
                                                      QStringLiteral("FlvData(*.FlvData *.flvdata);;All Files(*.*)"));
    if (path.isEmpty()) return;
    files::importCaptureData(session_->engine(), toUtf8(path), files::ImportCommand::MainWindow);
}

void MainWindow::togglePlayer() {
    if (player_->isVisible()) {
        player_->hide();
        return;
    }
    player_->dockTo(geometry());
    player_->show();
}

void MainWindow::playFile(const QString& path) {
    if (!player_->isVisible()) togglePlayer();
    player_->load(path);
}

void MainWindow::attachSingleInstance(SingleInstance& instance) {
    setHandOverSource([&instance] { return instance.takeHandedPath(); });
    if (instance.wakeupFd() < 0) return;
    auto* wakeups = new QSocketNotifier(instance.wakeupFd(), QSocketNotifier::Read, this);
    connect(wakeups, &QSocketNotifier::activated, this,
            [this, &instance] { instance.forwardWakeups(session_->window()); });
}

void MainWindow::onSecondInstance(const std::string& path) {
    if (isMinimized()) showNormal();
    show();
    raise();
    activateWindow();
    if (!path.empty()) emit fileHandedOver(fromUtf8(path));
}

platform::MessageResult MainWindow::onMessage(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
    if (recordingList_ && recordingList_->handleMessage(msg, wParam, lParam)) return 0;
    switch (msg) {
    case engine::WM_REPAIR_FLV:
        repairFlv();
        break;
    case engine::WM_SECOND_INSTANCE:
        onSecondInstance(handOver_ ? handOver_() : std::string());
        break;
    default:
        // Everything else, 0x8005, 0x8009 and 0x800B to 0x800D among it,
        // is let pass.
        break;
    }
    return 0;
}

// ------------------------------------------------------------ engine UI

platform::Answer MainWindow::messageBox(std::string_view text, platform::Buttons buttons) {
    if (messageBoxHook_) return messageBoxHook_(text, buttons);
    QMessageBox box(this);
    box.setWindowTitle(QString::fromLatin1(kMessageBoxTitle));
    box.setText(fromUtf8(text));
    switch (buttons) {
    case platform::Buttons::Ok:
        box.setIcon(QMessageBox::Information);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case platform::Buttons::OkCancel:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        break;
    case platform::Buttons::YesNo:
        box.setIcon(QMessageBox::Warning);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        break;
    case platform::Buttons::YesNoCancel:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Yes:
        return platform::Answer::Yes;
    case QMessageBox::No:
        return platform::Answer::No;
    case QMessageBox::Cancel:
        return platform::Answer::Cancel;
    default:
        return platform::Answer::Ok;
    }
}

std::string MainWindow::runAddressChooser(engine::AddressChooser& chooser) {
    return shell::runAddressChooser(chooser, this);
}

bool MainWindow::runAdapterList(engine::AdapterListDialog& dialog) { return shell::runAdapterList(dialog, this); }

void MainWindow::showAdapterError() { shell::showAdapterError(this); }

void MainWindow::setCaptureControls(bool startEnabled, bool stopEnabled) {
    if (SkinButton* b = button(control_id::kStart)) b->setEnabled(startEnabled);
    if (SkinButton* b = button(control_id::kStop)) b->setEnabled(stopEnabled);
    if (SkinButton* b = button(control_id::kAddUrls)) b->setEnabled(stopEnabled);
    // A replayed capture file that came to its end: what still records
    // ends with it, and its rows finish as after Stop.
    auto& engine = session_->engine();
    if (fileSource_ && startEnabled && engine.state() == engine::EngineState::Idle && engine.capturesStarted() > 0 &&
        !closing_) {
        engine.endEveryRecordingItem();
        engine.startPostProcessingIfIdle();
    }
}

void MainWindow::addRow(int itemIndex) { recordingList_->addEngineRow(itemIndex); }

void MainWindow::refreshRow(int itemIndex) { recordingList_->refreshEngineRow(itemIndex); }

}  // namespace kestrel::shell
