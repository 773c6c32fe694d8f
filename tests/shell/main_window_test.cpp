// The main window over a real recording session, on the offscreen platform:
// the keys it ignores, its buttons, tabs and Main menu, Exit with and
// without a running capture (and with recordings in flight), Start while a
// stop is still in progress, and whole replays of reference captures down
// to the bytes of their files.
//
// A capture that stays running without root is a FIFO: the test holds it
// open for reading and writing, writes a capture file's header into it and
// keeps it open, so the capture thread waits for the next record until the
// test closes it.

#include "kestrel/shell/main_window.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrel/shell/markup_list.h"
#include "kestrel/shell/playlist_file.h"
#include "kestrel/shell/playlist_view.h"
#include "kestrel/shell/properties_dialog.h"
#include "kestrel/shell/recording_list.h"
#include "kestrel/shell/recording_texts.h"
#include "kestrel/shell/skin_button.h"
#include "platform/profile.h"
#include "platform/shell.h"
#include "tests/support/shell_command.h"
#include "tests/shell/test_home.h"
#include "tests/support/test_files.h"

using namespace kestrel;
using namespace kestrel::shell;
using engine::EngineState;
using engine::ItemState;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A capture source that stays open: a FIFO with a capture file's header and
// no records yet. close() ends the capture as the end of a file does.
class FifoCapture {
public:
    explicit FifoCapture(std::string path) : path_(std::move(path)) {
        made_ = ::mkfifo(path_.c_str(), 0600) == 0;
        if (made_) open();
    }
    ~FifoCapture() {
        close();
        if (made_) ::unlink(path_.c_str());
    }
    FifoCapture(const FifoCapture&) = delete;
    FifoCapture& operator=(const FifoCapture&) = delete;

    // Opens the FIFO for reading and writing (so neither side blocks) and
    // writes the header: a capture thread that opens it waits for a record.
    bool open() {
        close();
        const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) return false;
        std::uint8_t header[24] = {};
        const std::uint32_t fields[] = {0xa1b2c3d4u, 0x00040002u /* version 2.4 */, 0, 0, 65535, 1 /* Ethernet */};
        static_assert(sizeof fields == sizeof header);
        std::memcpy(header, fields, sizeof header);
        if (::write(fd, header, sizeof header) != static_cast<ssize_t>(sizeof header)) {
            ::close(fd);
            return false;
        }
        fd_.store(fd);
        return true;
    }
    // Safe from another thread: the fd is taken exactly once.
    void close() {
        const int fd = fd_.exchange(-1);
        if (fd >= 0) ::close(fd);
    }
    bool isOpen() const { return fd_.load() >= 0; }
    // Writes capture records after the header. The pipe is made large
    // enough first, so the write never waits for the reader.
    bool write(std::string_view bytes) {
        const int fd = fd_.load();
        if (fd < 0) return false;
        const int room = ::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
        if (room < 0 || static_cast<std::size_t>(room) < bytes.size() + 24) return false;
        return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // The reader has opened the FIFO and taken the header: closing it now
    // is an end of file to the capture, never a reader left hanging in its
    // open().
    bool headerTaken() const {
        int unread = -1;
        const int fd = fd_.load();
        return fd >= 0 && ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0;
    }
    // Lets a reader that waits in its open() go on (to an end of file).
    void release() const {
        const int fd = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }
    std::string source() const { return "file://" + path_; }

private:
    std::string path_;
    bool made_ = false;
    std::atomic<int> fd_{-1};
};

// Ends a FIFO capture from another thread as soon as the engine asks its
// capture to stop, since the capture thread waits on the FIFO and a window
// that closes waits for that thread. Without a stop request it does nothing
// (and the window would wait for good): it gives up after a minute, so a
// window that closes when it should not fails the test instead of hanging.
class CloseFifoOnStop {
public:
    CloseFifoOnStop(engine::Engine& engine, FifoCapture& fifo)
        : thread_([this, &engine, &fifo] {
              const auto deadline = std::chrono::steady_clock::now() + 60s;
              while (!quit_ && !engine.stopRequested() && std::chrono::steady_clock::now() < deadline)
                  std::this_thread::sleep_for(1ms);
              if (quit_) return;
              stopSeen_ = engine.stopRequested();
              fifo.close();
          }) {}
    ~CloseFifoOnStop() {
        quit_ = true;
        thread_.join();
    }
    CloseFifoOnStop(const CloseFifoOnStop&) = delete;
    CloseFifoOnStop& operator=(const CloseFifoOnStop&) = delete;
    bool stopSeen() const { return stopSeen_; }

private:
    std::atomic<bool> quit_{false};
    std::atomic<bool> stopSeen_{false};
    std::thread thread_;
};

// The window as the program builds it; every text a recording's row shows
// when the engine adds or refreshes it is kept, so a test sees the row's
// history and not only its end.
class TracingWindow : public MainWindow {
public:
    using MainWindow::MainWindow;

    void addRow(int itemIndex) override {
        MainWindow::addRow(itemIndex);
        trace(itemIndex);
    }
    void refreshRow(int itemIndex) override {
        MainWindow::refreshRow(itemIndex);
        trace(itemIndex);
    }

    std::map<int, std::vector<std::string>> rowHistory;  // by item index

private:
    void trace(int itemIndex) {
        const int row = recordingList().findEngineRow(itemIndex);
        if (row < 0) return;
        auto& texts = rowHistory[itemIndex];
        const std::string& text = recordingList().control().rowText(row);
        if (texts.empty() || texts.back() != text) texts.push_back(text);
    }
};

class RecordingShell : public platform::Shell {
public:
    bool open(std::string_view target) override {
        opened.emplace_back(target);
        return true;
    }
    bool showInFolder(std::string_view path) override {
        shown.emplace_back(path);
        return true;
    }
    std::vector<std::string> opened, shown;
};

struct Box {
    std::string text;
    platform::Buttons buttons;
    bool operator==(const Box&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Box& box) {
    return out << '"' << box.text << "\" buttons " << static_cast<int>(box.buttons);
}

// Runs the event loop until done() holds; false when the deadline passed.
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    QTimer tick;  // wakes the loop often enough to look at done() again
    tick.start(5);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A few turns of the event loop, for checking that something did NOT happen
// after everything already queued has been handled.
void pumpAWhile(std::chrono::milliseconds span = 100ms) {
    const auto end = std::chrono::steady_clock::now() + span;
    pumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, span + 1s);
}

// A real click: press and release of the left button in the middle.
void clickWithMouse(QWidget* button) {
    ASSERT_NE(button, nullptr);
    const QPointF local(button->width() / 2.0, button->height() / 2.0);
    const QPointF global = button->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, local, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(button, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, local, local, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(button, &release);
}

std::int32_t savedRecordingNumber(const std::string& settingsPath) {
    return platform::ProfileFile::load(settingsPath).getInt("Normal", "TotalRecordCount", -1);
}

struct ExpectedOutput {
    std::string name;
    std::string sha256;
    std::int64_t bytes = 0;
};

// The files a reference capture must give, from the captures' manifest.
std::vector<ExpectedOutput> manifestOutputs(const std::string& capture) {
    std::ifstream in(std::string(KESTREL_CAPTURES_DIR) + "/MANIFEST.tsv");
    std::vector<ExpectedOutput> outputs;
    std::string line;
    std::vector<std::string> header;
    auto split = [](const std::string& text) {
        std::vector<std::string> fields;
        std::stringstream s(text);
        for (std::string f; std::getline(s, f, '\t');) fields.push_back(f);
        return fields;
    };
    if (!std::getline(in, line)) return outputs;
    header = split(line);
    std::size_t fileColumn = header.size(), outputColumn = header.size();
    for (std::size_t i = 0; i < header.size(); ++i) {
        if (header[i] == "file") fileColumn = i;
        if (header[i] == "expected_outputs") outputColumn = i;
    }
    while (std::getline(in, line)) {
        const auto fields = split(line);
        if (fileColumn >= fields.size() || outputColumn >= fields.size() || fields[fileColumn] != capture) continue;
        // "NAME sha256=HEX (N B); NAME sha256=HEX (N B)"
        std::string rest = fields[outputColumn];
        while (!rest.empty()) {
            const std::size_t end = rest.find("; ");
            const std::string one = rest.substr(0, end);
            rest = end == std::string::npos ? std::string() : rest.substr(end + 2);
            const std::size_t hash = one.find(" sha256=");
            const std::size_t size = one.find(" (");
            if (hash == std::string::npos || size == std::string::npos) continue;
            ExpectedOutput o;
            o.name = one.substr(0, hash);
            o.sha256 = one.substr(hash + 8, size - hash - 8);
            o.bytes = std::stoll(one.substr(size + 2));
            outputs.push_back(o);
        }
    }
    return outputs;
}

std::string sha256Of(const std::string& path) {
    std::string out;
    if (test::runCommand("sha256sum -- " + test::quote(path), out) != 0 || out.size() < 64) return {};
    return out.substr(0, 64);
}

// How many frames of a capture file the recorder is handed: every record
// longer than a bare header (all frames of the reference captures are
// IPv4/TCP).
int framesForTheRecorder(const std::string& pcap) {
    int frames = 0;
    std::size_t at = 24;
    while (at + 16 <= pcap.size()) {
        std::uint32_t length = 0;
        std::memcpy(&length, pcap.data() + at + 8, 4);
        at += 16 + length;
        if (at <= pcap.size() && length > 54) ++frames;
    }
    return frames;
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = std::make_unique<test::TestHome>("kestrel-main-window");
        ASSERT_TRUE(home_->ok());
        platform::setShell(&shell_);
    }
    void TearDown() override {
        // A window still capturing from the FIFO waits for its capture thread
        // when it goes: the FIFO ends first.
        if (fifo_) {
            fifo_->close();
            fifo_->release();
        }
        window_.reset();
        fifo_.reset();
        platform::setShell(nullptr);
        home_.reset();
    }

    TracingWindow& makeWindow(MainWindowOptions options = {}) {
        options.session.loadRecordingLibrary = false;
        // The player decodes without showing or sounding anything here.
        options.player.player.video = MediaPlayer::VideoOutput::None;
        options.player.player.audio = false;
        window_ = std::make_unique<TracingWindow>(std::move(options));
        window_->setMessageBoxHook([this](std::string_view text, platform::Buttons buttons) {
            boxes_.push_back({std::string(text), buttons});
            if (buttons == platform::Buttons::Ok) return platform::Answer::Ok;
            if (answers_.empty()) {
                ADD_FAILURE() << "unexpected question: " << text;
                return platform::Answer::No;
            }
            const platform::Answer a = answers_.front();
            answers_.pop_front();
            return a;
        });
        return *window_;
    }
    // A shown window after its first tick, capturing from a FIFO when asked.
    TracingWindow& shownWindow(bool fifoSource) {
        MainWindowOptions options;
        if (fifoSource) {
            fifo_ = std::make_unique<FifoCapture>(home_->root() + "capture.fifo");
            EXPECT_TRUE(fifo_->isOpen()) << "FIFO not made";
            options.source = fifo_->source();
        }
        options.save = home_->root() + "save/";
        TracingWindow& w = makeWindow(std::move(options));
        w.show();
        EXPECT_TRUE(pumpUntil([&] { return w.recordingListShown(); })) << "first tick never came";
        return w;
    }
    // Presses Start and waits until the capture thread runs.
    void startCapture(TracingWindow& w, int expectedCaptures) {
        clickWithMouse(w.button(control_id::kStart));
        ASSERT_TRUE(pumpUntil([&] {
            return w.engine().capturesStarted() == expectedCaptures && w.engine().state() == EngineState::Capturing &&
                   (!fifo_ || fifo_->headerTaken());
        })) << "capture did not start";
    }
    // The Main menu's entry for a command; nullptr when it is not there.
    static QAction* menuEntry(QMenu& menu, int id) {
        for (QAction* a : menu.actions())
            if (!a->isSeparator() && a->data().toInt() == id) return a;
        return nullptr;
    }
    bool optionsEntryEnabled(TracingWindow& w) {
        const auto menu = w.makeMainMenu();
        QAction* options = menuEntry(*menu, menu_id::kOptions);
        EXPECT_NE(options, nullptr);
        return options && options->isEnabled();
    }

    std::unique_ptr<test::TestHome> home_;
    std::unique_ptr<FifoCapture> fifo_;
    std::unique_ptr<TracingWindow> window_;
    std::vector<Box> boxes_;
    std::deque<platform::Answer> answers_;
    RecordingShell shell_;
};

// The program's files go to the test's folder, never to the user's.
TEST_F(MainWindowTest, KeepsItsFilesInTheDataFolderOfTheEnvironment) {
    TracingWindow& w = makeWindow();
    EXPECT_EQ(fs::path(w.session().dataFolder()).lexically_normal(),
              fs::path(home_->dataFolder()).lexically_normal());
    EXPECT_TRUE(fs::exists(home_->settingsPath()));
}

TEST_F(MainWindowTest, EnterReturnAndEscapeDoNothing) {
    // Were a key to reach Start, this source would start a capture (and
    // fail at once with a message box): both are counted.
    MainWindowOptions options;
    options.source = "file://" + home_->root() + "no-such-capture.pcap";
    TracingWindow& w = makeWindow(std::move(options));
    w.show();
    ASSERT_TRUE(pumpUntil([&] { return w.recordingListShown(); }));
    w.button(control_id::kStart)->setFocus();

    const int keys[] = {Qt::Key_Escape, Qt::Key_Enter, Qt::Key_Return};
    const std::pair<const char*, QWidget*> targets[] = {
        {"window", &w},
        {"Start button", w.button(control_id::kStart)},
        {"Exit button", w.button(control_id::kExit)},
        {"recording list", &w.recordingList()},
        {"focus widget", QApplication::focusWidget() ? QApplication::focusWidget() : &w},
    };
    for (const int key : keys) {
        for (const auto& [name, target] : targets) {
            SCOPED_TRACE(::testing::Message() << "key 0x" << std::hex << key << " to the " << name);
            ASSERT_NE(target, nullptr);
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(target, &press);
            QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
            QApplication::sendEvent(target, &release);
            pumpAWhile(30ms);
            EXPECT_TRUE(w.isVisible());
            EXPECT_EQ(w.engine().capturesStarted(), 0);
            EXPECT_TRUE(boxes_.empty()) << boxes_.front();
            EXPECT_TRUE(w.recordingListShown());
        }
    }
}

// Exit, from any of its places, with capture stopped: no question, the
// recording number is written, the window goes.
TEST_F(MainWindowTest, ExitWhileStoppedClosesWithoutAQuestionAndSavesTheRecordingNumber) {
    struct Case {
        const char* how;
        std::function<void(MainWindow&)> exit;
        std::int32_t number;
    };
    const Case cases[] = {
        {"Exit button", [](MainWindow& w) { w.button(control_id::kExit)->click(); }, 41},
        {"E&xit of the Main menu",
         [](MainWindow& w) {
             const auto menu = w.makeMainMenu();
             QAction* exit = menuEntry(*menu, menu_id::kExit);
             ASSERT_NE(exit, nullptr);
             exit->trigger();
         },
         42},
        {"closed by the window manager", [](MainWindow& w) { w.close(); }, 43},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        boxes_.clear();
        TracingWindow& w = shownWindow(false);
        ASSERT_NE(savedRecordingNumber(home_->settingsPath()), c.number);
        // Set without a turn of the event loop after it, so that only Exit
        // can have written it (the timer would save it too).
        w.engine().items().setRecordingNumber(c.number);
        c.exit(w);
        EXPECT_TRUE(boxes_.empty()) << boxes_.front();
        EXPECT_FALSE(w.isVisible());
        EXPECT_EQ(savedRecordingNumber(home_->settingsPath()), c.number);
        window_.reset();
    }
}

// Exit while capturing asks; No, from any place of Exit, keeps everything.
TEST_F(MainWindowTest, ExitWhileCapturingAsksAndNoKeepsTheWindowAndTheCapture) {
    TracingWindow& w = shownWindow(true);
    startCapture(w, 1);
    const std::int32_t before = savedRecordingNumber(home_->settingsPath());
    w.engine().items().setRecordingNumber(before + 5);

    // Should the window go anyway, its capture ends instead of holding it.
    const CloseFifoOnStop guard(w.engine(), *fifo_);
    struct Case {
        const char* how;
        std::function<void()> exit;
    };
    const Case cases[] = {
        {"Exit button", [&] { clickWithMouse(w.button(control_id::kExit)); }},
        {"E&xit of the Main menu",
         [&] {
             const auto menu = w.makeMainMenu();
             QAction* exit = menuEntry(*menu, menu_id::kExit);
             ASSERT_NE(exit, nullptr);
             exit->trigger();
         }},
        {"closed by the window manager", [&] { EXPECT_FALSE(w.close()); }},
        {"exitCommand", [&] { EXPECT_FALSE(w.exitCommand()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        boxes_.clear();
        answers_ = {platform::Answer::No};
        c.exit();
        pumpAWhile(50ms);
        EXPECT_EQ(boxes_, (std::vector<Box>{{kTextExitQuestion, platform::Buttons::YesNo}}));
        EXPECT_TRUE(w.isVisible());
        EXPECT_EQ(w.engine().state(), EngineState::Capturing);
        EXPECT_EQ(w.engine().capturesStarted(), 1);
        EXPECT_FALSE(w.button(control_id::kStart)->isEnabled());
        EXPECT_TRUE(w.button(control_id::kStop)->isEnabled());
        // Nothing is written when the user stays.
        EXPECT_EQ(savedRecordingNumber(home_->settingsPath()), before);
        EXPECT_FALSE(guard.stopSeen());
    }
}

// Yes stops capture first, writes the recording number and closes; what
// was being recorded is finished before the window goes, byte for byte.
TEST_F(MainWindowTest, ExitWhileRecordingYesStopsFinishesTheRecordingsAndCloses) {
    const std::string capture = "http-keepalive-two-flv-eth1500.pcap";
    const std::vector<ExpectedOutput> expected = manifestOutputs(capture);
    ASSERT_EQ(expected.size(), 2u);
    const std::string pcap = test::readFile(std::string(KESTREL_CAPTURES_DIR) + "/" + capture);
    const int frames = framesForTheRecorder(pcap);
    ASSERT_GT(frames, 0);

    TracingWindow& w = shownWindow(true);
    constexpr std::int32_t kNumberBefore = 77;
    w.engine().items().setRecordingNumber(kNumberBefore);
    startCapture(w, 1);
    // The capture's records go through the FIFO; then the capture waits
    // for more, with both downloads recording.
    ASSERT_TRUE(fifo_->write(std::string_view(pcap).substr(24)));
    RecordingList& list = w.recordingList();
    ASSERT_TRUE(pumpUntil([&] { return w.engine().packetCount() == frames && list.rowCount() == 2; }))
        << w.engine().packetCount() << " of " << frames << " frames, " << list.rowCount() << " rows";
    for (int r = 0; r < 2; ++r)
        EXPECT_TRUE(w.engine().items().at(list.entryAt(r).itemIndex)->is(ItemState::Recording)) << "row " << r;

    std::optional<CloseFifoOnStop> closer(std::in_place, w.engine(), *fifo_);
    answers_ = {platform::Answer::Yes};
    w.button(control_id::kExit)->click();
    EXPECT_TRUE(closer->stopSeen()) << "capture was never asked to stop";
    closer.reset();

    EXPECT_EQ(boxes_, (std::vector<Box>{{kTextExitQuestion, platform::Buttons::YesNo}}));
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.engine().running());
    // Stop ran: it gives Start back and takes Stop and Add URLs away.
    EXPECT_TRUE(w.button(control_id::kStart)->isEnabled());
    EXPECT_FALSE(w.button(control_id::kStop)->isEnabled());
    EXPECT_FALSE(w.button(control_id::kAddUrls)->isEnabled());
    EXPECT_EQ(savedRecordingNumber(home_->settingsPath()), kNumberBefore + 2);
    // Both recordings were finished before the window went.
    const std::string save = home_->root() + "save/";
    for (int r = 0; r < 2; ++r)
        EXPECT_TRUE(w.engine().items().at(list.entryAt(r).itemIndex)->is(ItemState::Done)) << "row " << r;
    for (const auto& o : expected) {
        SCOPED_TRACE(o.name);
        ASSERT_TRUE(fs::exists(save + o.name));
        EXPECT_EQ(sha256Of(save + o.name), o.sha256);
    }
}

TEST_F(MainWindowTest, StartWhileStoppingSaysWaitAndStartsNothing) {
    TracingWindow& w = shownWindow(true);
    startCapture(w, 1);

    clickWithMouse(w.button(control_id::kStop));
    // The buttons change at once; the engine when it handles the message.
    EXPECT_TRUE(w.button(control_id::kStart)->isEnabled());
    EXPECT_FALSE(w.button(control_id::kStop)->isEnabled());
    EXPECT_FALSE(w.button(control_id::kAddUrls)->isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return w.engine().state() == EngineState::Stopping; }));

    clickWithMouse(w.button(control_id::kStart));
    EXPECT_EQ(boxes_, (std::vector<Box>{{engine::kTextStopping, platform::Buttons::Ok}}));
    pumpAWhile(100ms);
    EXPECT_EQ(w.engine().state(), EngineState::Stopping);
    EXPECT_EQ(w.engine().capturesStarted(), 1);

    // The capture thread ends: the engine is idle, and nothing was left
    // queued to start behind the user's back.
    fifo_->close();
    ASSERT_TRUE(pumpUntil([&] { return w.engine().state() == EngineState::Idle; }));
    pumpAWhile(100ms);
    EXPECT_EQ(w.engine().capturesStarted(), 1);
    EXPECT_EQ(boxes_.size(), 1u);

    // And Start works again.
    ASSERT_TRUE(fifo_->open());
    startCapture(w, 2);
    EXPECT_EQ(boxes_.size(), 1u);
    fifo_->close();
    ASSERT_TRUE(pumpUntil([&] { return w.engine().state() == EngineState::Idle; }));
    EXPECT_TRUE(w.button(control_id::kStart)->isEnabled());
}

// Start, Stop, Add URLs and the Options entry of the Main menu follow the
// capture: at creation, while it runs, and after it ended by itself.
TEST_F(MainWindowTest, ButtonsAndOptionsFollowTheCapture) {
    struct Expected {
        bool start, stop, addUrls, options;
    };
    auto check = [this](const char* phase, const Expected& e) {
        SCOPED_TRACE(phase);
        EXPECT_EQ(window_->button(control_id::kStart)->isEnabled(), e.start);
        EXPECT_EQ(window_->button(control_id::kStop)->isEnabled(), e.stop);
        EXPECT_EQ(window_->button(control_id::kAddUrls)->isEnabled(), e.addUrls);
        EXPECT_EQ(optionsEntryEnabled(*window_), e.options);
    };
    const Expected stopped{true, false, false, true};
    const Expected capturing{false, true, true, false};

    fifo_ = std::make_unique<FifoCapture>(home_->root() + "capture.fifo");
    ASSERT_TRUE(fifo_->isOpen());
    MainWindowOptions options;
    options.source = fifo_->source();
    TracingWindow& w = makeWindow(std::move(options));
    check("created", stopped);
    w.show();
    ASSERT_TRUE(pumpUntil([&] { return w.recordingListShown(); }));
    startCapture(w, 1);
    check("capturing", capturing);
    // Start from elsewhere than its button (the tray) is refused as well
    // while the button is greyed: it would stop the capture.
    w.runCommand(control_id::kStart);
    pumpAWhile(50ms);
    EXPECT_EQ(w.engine().state(), EngineState::Capturing);
    check("Start run while greyed", capturing);
    fifo_->close();
    ASSERT_TRUE(pumpUntil([&] { return w.engine().state() == EngineState::Idle; }));
    check("capture ended by itself", stopped);
    EXPECT_TRUE(boxes_.empty()) << boxes_.front();
}

TEST_F(MainWindowTest, MainMenuHasItsEntriesInOrder) {
    TracingWindow& w = makeWindow();
    struct Entry {
        bool separator;
        std::string text;
        int id;
        bool operator==(const Entry&) const = default;
    };
    const std::vector<Entry> expected = {
        {false, "Add &files to playlist", menu_id::kAddFiles},
        {false, "&Options", menu_id::kOptions},
        {true, "", 0},
        {false, "&Report bugs and suggest the features", menu_id::kReportBugs},
        {false, "&HomePage", menu_id::kHomePage},
        {false, "Check the latest version ...", menu_id::kCheckVersion},
        {true, "", 0},
        {false, "Repair flv file", menu_id::kRepairFlv},
        {false, "Add *.FlvData to process", menu_id::kImportData},
        {true, "", 0},
        {false, "&About", menu_id::kAbout},
        {false, "E&xit", menu_id::kExit},
    };
    const auto menu = w.makeMainMenu();
    std::vector<Entry> got;
    for (const QAction* a : menu->actions()) {
        if (a->isSeparator())
            got.push_back({true, "", 0});
        else
            got.push_back({false, a->text().toStdString(), a->data().toInt()});
    }
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].separator, expected[i].separator) << "entry " << i;
        EXPECT_EQ(got[i].text, expected[i].text) << "entry " << i;
        EXPECT_EQ(got[i].id, expected[i].id) << "entry " << i;
    }
    EXPECT_EQ(menuEntry(*menu, menu_id::kAddUrls), nullptr);
    for (const QAction* a : menu->actions()) EXPECT_NE(a->text(), QStringLiteral("Add &URLs to record"));
}

TEST_F(MainWindowTest, TabsShowOneListAndDisableItsOwnButton) {
    TracingWindow& w = makeWindow();
    struct Expected {
        bool recordings;  // the recording list shows (else the playlist)
    };
    auto check = [&w](const char* phase, Expected e) {
        SCOPED_TRACE(phase);
        EXPECT_EQ(w.recordingListShown(), e.recordings);
        EXPECT_EQ(w.recordingList().isVisibleTo(&w), e.recordings);
        EXPECT_EQ(w.playlist().isVisibleTo(&w), !e.recordings);
        EXPECT_EQ(w.button(control_id::kRecordingsTab)->isEnabled(), !e.recordings);
        EXPECT_EQ(w.button(control_id::kPlaylistTab)->isEnabled(), e.recordings);
    };
    check("created", {false});
    w.show();
    ASSERT_TRUE(pumpUntil([&] { return w.recordingListShown(); }));
    check("after the first tick", {true});
    clickWithMouse(w.button(control_id::kPlaylistTab));
    check("playlist tab clicked", {false});
    // A disabled tab does nothing; the other one switches back.
    clickWithMouse(w.button(control_id::kPlaylistTab));
    check("playlist tab clicked again", {false});
    w.button(control_id::kRecordingsTab)->click();
    check("recordings tab clicked", {true});
}

// A file named on the command line goes to the player once, at the first
// tick, when the window is up.
TEST_F(MainWindowTest, FirstTickHandsTheStartFileOverOnce) {
    MainWindowOptions options;
    options.file = home_->root() + "start clip \xC3\xA9.flv";
    const std::string file = options.file;
    TracingWindow& w = makeWindow(std::move(options));
    std::vector<QString> handed;
    QObject::connect(&w, &MainWindow::fileHandedOver, [&](const QString& path) { handed.push_back(path); });
    EXPECT_TRUE(handed.empty());
    w.show();
    ASSERT_TRUE(pumpUntil([&] { return w.recordingListShown(); }));
    pumpAWhile(50ms);
    EXPECT_EQ(handed, std::vector<QString>{QString::fromUtf8(file.c_str())});
}

TEST_F(MainWindowTest, WebCommandsOpenOurPages) {
    TracingWindow& w = makeWindow();
    const std::pair<int, const char*> cases[] = {
        {menu_id::kHomePage, kHomePageAddress},
        {menu_id::kReportBugs, kSupportPageAddress},
    };
    for (const auto& [id, address] : cases) {
        SCOPED_TRACE(address);
        shell_.opened.clear();
        const auto menu = w.makeMainMenu();
        QAction* entry = menuEntry(*menu, id);
        ASSERT_NE(entry, nullptr);
        entry->trigger();
        EXPECT_EQ(shell_.opened, std::vector<std::string>{address});
        EXPECT_TRUE(shell_.shown.empty());
    }
}

// ------------------------------------------------------------ replays

class MainWindowReplay : public MainWindowTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(MainWindowReplay, RecordsEveryDownloadByteExact) {
    const std::string capture = GetParam();
    const std::vector<ExpectedOutput> expected = manifestOutputs(capture);
    ASSERT_FALSE(expected.empty()) << "no outputs listed for " << capture;
    const std::string save = home_->root() + "save/";

    MainWindowOptions options;
    options.source = "file://" + std::string(KESTREL_CAPTURES_DIR) + "/" + capture;
    options.save = save;
    options.start = true;
    TracingWindow& w = makeWindow(std::move(options));
    w.show();
    RecordingList& list = w.recordingList();
    auto itemOfRow = [&](int row) { return w.engine().items().at(list.entryAt(row).itemIndex); };
    const int rows = static_cast<int>(expected.size());
    ASSERT_TRUE(pumpUntil(
        [&] {
            if (list.rowCount() != rows) return false;
            for (int r = 0; r < rows; ++r) {
                const engine::RecordItem* item = itemOfRow(r);
                if (!item || !item->is(ItemState::Done)) return false;
            }
            return w.engine().postProcessingBusy().load() == 0;
        },
        60s))
        << "rows: " << list.rowCount();
    EXPECT_EQ(w.engine().capturesStarted(), 1);
    EXPECT_TRUE(boxes_.empty()) << boxes_.front();

    std::set<std::string> shownNames, expectedNames;
    for (const auto& o : expected) expectedNames.insert(o.name);
    for (int r = 0; r < rows; ++r) {
        SCOPED_TRACE(::testing::Message() << "row " << r);
        ASSERT_EQ(list.entryAt(r).kind, RecordingList::RowKind::Recording);
        const int index = list.entryAt(r).itemIndex;
        const engine::RecordItem& item = *itemOfRow(r);
        const std::string name = displayedName(item);
        shownNames.insert(name);
        const auto wanted = std::find_if(expected.begin(), expected.end(), [&](auto& o) { return o.name == name; });
        ASSERT_NE(wanted, expected.end()) << name;
        EXPECT_EQ(item.expectedSize.load(), wanted->bytes);

        // The row began as a new recording and ended with its figures.
        const auto& history = w.rowHistory[index];
        ASSERT_FALSE(history.empty());
        const std::string& first = history.front();
        EXPECT_EQ(first.rfind("<b>File: </b>", 0), 0u) << first;
        const std::string fresh = "<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S";
        ASSERT_GE(first.size(), fresh.size());
        EXPECT_EQ(first.substr(first.size() - fresh.size()), fresh) << first;
        EXPECT_EQ(first.find("Total:"), std::string::npos) << first;
        EXPECT_EQ(list.control().rowText(r), "<b>File: </b>" + name + "<br>\t\t\t\t\t<b>Received: </b>" +
                                                 listSize(item.storedBytes.load()) + "  <b>Total: </b>" +
                                                 listSize(wanted->bytes));
    }
    EXPECT_EQ(shownNames, expectedNames);

    // The files, byte for byte.
    std::set<std::string> files;
    for (const auto& e : fs::directory_iterator(save))
        if (e.is_regular_file()) files.insert(e.path().filename().string());
    EXPECT_EQ(files, expectedNames);
    for (const auto& o : expected) {
        SCOPED_TRACE(o.name);
        EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(save + o.name)), o.bytes);
        EXPECT_EQ(sha256Of(save + o.name), o.sha256);
    }

    // Properties of the first row: where the file is, its size, its URL.
    const engine::RecordItem& first = *itemOfRow(0);
    const auto properties = list.makePropertiesDialog(0);
    ASSERT_NE(properties, nullptr);
    const std::string url = first.url.str();
    EXPECT_EQ(properties->urlText().toStdString(), url);
    EXPECT_EQ(url.rfind("http://", 0), 0u) << url;
    EXPECT_EQ(url.substr(url.rfind('/') + 1), displayedName(first)) << url;
    EXPECT_EQ(properties->fileText().toStdString(), save + displayedName(first));
    EXPECT_EQ(properties->sizeText().toStdString(), std::to_string(first.expectedSize.load()));

    // The finished recording goes to the playlist, which keeps it in
    // playlist.dat at once, and it plays from either list.
    const std::string path = save + displayedName(first);
    std::vector<std::string> played;
    QObject::connect(&w, &MainWindow::playRequested, [&](const QString& p) { played.push_back(p.toStdString()); });
    list.addRowToPlaylist(0);
    ASSERT_EQ(w.playlist().rowCount(), 1);
    EXPECT_EQ(w.playlist().entry(0).path, path);
    EXPECT_EQ(readPlaylistFile(home_->dataFolder() + "playlist.dat").size(), 1u);
    list.playRow(0);
    EXPECT_TRUE(w.playlist().playRow(0));
    EXPECT_EQ(played, (std::vector<std::string>{path, path}));
    // The player panel came up at the window's right edge, playing it.
    EXPECT_TRUE(w.player().isVisible());
    EXPECT_EQ(w.player().target().toStdString(), path);
    EXPECT_EQ(w.player().geometry().topLeft(), w.geometry().topLeft() + QPoint(kMainWindowSize.width(), 0));
    ASSERT_TRUE(pumpUntil([&] { return w.player().playing(); }, 20s)) << w.player().statusLabel()->text().toStdString();
}

TEST_F(MainWindowTest, PlayerToggleShowsThePanelDockedAndFollowsTheWindow) {
    TracingWindow& w = shownWindow(false);
    EXPECT_FALSE(w.player().isVisible());
    clickWithMouse(w.button(control_id::kPlayerToggle));
    ASSERT_TRUE(w.player().isVisible());
    EXPECT_EQ(w.player().geometry().topLeft(), w.geometry().topLeft() + QPoint(kMainWindowSize.width(), 0));
    w.move(w.pos() + QPoint(-40, 25));
    ASSERT_TRUE(pumpUntil([&] {
        return w.player().geometry().topLeft() == w.geometry().topLeft() + QPoint(kMainWindowSize.width(), 0);
    })) << "the panel stayed where it was";
    clickWithMouse(w.button(control_id::kPlayerToggle));
    EXPECT_FALSE(w.player().isVisible());
}

INSTANTIATE_TEST_SUITE_P(ReferenceCaptures, MainWindowReplay,
                         ::testing::Values("http-keepalive-two-flv-eth1500.pcap", "http-flv-eth1500.pcap"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             std::string name;
                             for (const char* p = param.param; *p && *p != '.'; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

}  // namespace
