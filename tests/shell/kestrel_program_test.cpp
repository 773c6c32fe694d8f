// The built kestrel program as a process: its command line; a later start
// that hands its file to the running window (this test process, with the
// program's own lock and block names) and exits; and a whole first start,
// ended by SIGTERM.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrel/shell/app_start.h"
#include "kestrel/shell/main_window.h"
#include "kestrel/shell/single_instance.h"
#include "platform/profile.h"
#include "tests/shell/test_home.h"
#include "tests/support/test_files.h"

extern char** environ;

using namespace kestrel;
using namespace kestrel::shell;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kProgram = std::string(KESTREL_BIN_DIR) + "/kestrel";

// The shared-memory block a running Kestrel of this user keeps, by the
// program's own name.
std::string instanceBlock() { return "/Brackwell_MapName." + std::to_string(::getuid()); }

// The process id in that block; nullopt when there is no block.
std::optional<pid_t> instanceBlockPid() {
    const int fd = ::shm_open(instanceBlock().c_str(), O_RDONLY, 0);
    if (fd < 0) return std::nullopt;
    std::int32_t pid = 0;
    const ssize_t n = ::pread(fd, &pid, sizeof pid, static_cast<off_t>(kInstanceBlockPidOffset));
    ::close(fd);
    return n == sizeof pid ? pid : 0;
}

struct ProgramRun {
    bool exited = false;  // false: it was still running at the limit and was killed
    int exitCode = -1;
    std::string out, err;
    std::chrono::milliseconds took{};
};

// The built program as a child process, with the test's environment (and
// the offscreen platform). While the test waits for it, the event loop
// keeps turning, since a first instance in this process may have to answer.
class Program {
public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    // One that is still running when the test gives up is killed.
    ~Program() {
        kill();
        for (const pollfd& p : fds_)
            if (p.fd >= 0) ::close(p.fd);
    }

    // Starts it in folder cwd (empty: ours).
    bool start(const std::vector<std::string>& args, const std::string& cwd = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.emplace_back(*e);
        env.emplace_back("QT_QPA_PLATFORM=offscreen");
        std::vector<char*> envp, argv;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<std::string> all{kProgram};
        all.insert(all.end(), args.begin(), args.end());
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);

        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) {
            ::close(outPipe[0]);
            ::close(outPipe[1]);
            return false;
        }
        started_ = std::chrono::steady_clock::now();
        pid_ = ::fork();
        if (pid_ == 0) {
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
            ::dup2(outPipe[1], STDOUT_FILENO);
            ::dup2(errPipe[1], STDERR_FILENO);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(outPipe[1]);
        ::close(errPipe[1]);
        fds_[0] = {outPipe[0], POLLIN, 0};
        fds_[1] = {errPipe[0], POLLIN, 0};
        return pid_ > 0;
    }
    pid_t pid() const { return pid_; }

    // Waits until it has exited and closed its output, collecting the
    // output; at the limit it is killed.
    ProgramRun wait(std::chrono::milliseconds limit) {
        ProgramRun run;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (pid_ > 0 || fds_[0].fd >= 0 || fds_[1].fd >= 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill();
                run.exited = false;
                break;
            }
            collect(5);
            QCoreApplication::processEvents();
            if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                run.exited = WIFEXITED(status);
                run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
            }
        }
        run.out = std::move(out_);
        run.err = std::move(err_);
        run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
        return run;
    }

    // Reads what it has written so far, waiting up to timeoutMs.
    void collect(int timeoutMs) {
        if (::poll(fds_, 2, timeoutMs) <= 0) return;
        std::string* sinks[2] = {&out_, &err_};
        for (int i = 0; i < 2; ++i) {
            if (fds_[i].fd < 0 || !(fds_[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = ::read(fds_[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(fds_[i].fd);
                fds_[i].fd = -1;
            }
        }
    }

private:
    // Ends a run that outlived its test. A killed first instance cannot
    // remove its block, which names every Kestrel of this user: that is
    // done here.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        if (instanceBlockPid() == std::optional<pid_t>(pid_)) ::shm_unlink(instanceBlock().c_str());
        pid_ = -1;
    }

    pid_t pid_ = -1;
    pollfd fds_[2] = {{-1, POLLIN, 0}, {-1, POLLIN, 0}};
    std::string out_, err_;
    std::chrono::steady_clock::time_point started_;
};

ProgramRun runProgram(const std::vector<std::string>& args, const std::string& cwd = {},
                      std::chrono::milliseconds limit = 20s) {
    Program program;
    if (!program.start(args, cwd)) return {};
    return program.wait(limit);
}

bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    QTimer tick;
    tick.start(5);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Tests that act as, or start, a first instance under the program's own
// names take turns, also across test processes run in parallel: the names
// are the same for every Kestrel of this user. The turn is an abstract
// socket name, which goes with the process and leaves no file behind.
class DefaultNamesTurn {
public:
    DefaultNamesTurn() {
        const std::string name = "kestrel-default-instance-tests." + std::to_string(::getuid());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < deadline) {
            fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd_ < 0) return;
            if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
                held_ = true;
                return;
            }
            ::close(fd_);
            fd_ = -1;
            std::this_thread::sleep_for(20ms);
        }
    }
    ~DefaultNamesTurn() {
        if (fd_ >= 0) ::close(fd_);
    }
    DefaultNamesTurn(const DefaultNamesTurn&) = delete;
    DefaultNamesTurn& operator=(const DefaultNamesTurn&) = delete;
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};

// True once the process has a handler for SIGTERM (the program sets it
// when its window is up).
bool catchesSigterm(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) != 0) continue;
        const unsigned long long mask = std::stoull(line.substr(7), nullptr, 16);
        return (mask >> (SIGTERM - 1)) & 1u;
    }
    return false;
}

class KestrelProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fs::exists(kProgram)) << kProgram << " is not built";
        home_ = std::make_unique<test::TestHome>("kestrel-program");
        ASSERT_TRUE(home_->ok());
    }
    void TearDown() override { home_.reset(); }

    std::unique_ptr<test::TestHome> home_;
};

TEST_F(KestrelProgramTest, CommandLineHelpAndErrors) {
    const std::string usage(usageText());
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* errorMentions;  // nullptr: help, printed on stdout
    };
    const Case cases[] = {
        {{"--help"}, 0, nullptr},
        {{"-h"}, 0, nullptr},
        {{"clip.flv", "--help"}, 0, nullptr},
        {{"--bogus"}, 2, "--bogus"},
        {{"--source"}, 2, "--source"},
        {{"--save", ""}, 2, "--save"},
        {{"one.flv", "two.flv"}, 2, "two.flv"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kestrel " << ::testing::PrintToString(c.args));
        const ProgramRun run = runProgram(c.args, {}, 10s);
        ASSERT_TRUE(run.exited) << "still running after 10 s: it started instead of stopping at its command line";
        EXPECT_EQ(run.exitCode, c.exitCode);
        if (!c.errorMentions) {
            EXPECT_EQ(run.out, usage);
            EXPECT_EQ(run.err, "");
        } else {
            EXPECT_EQ(run.out, "");
            const std::string firstLine = run.err.substr(0, run.err.find('\n'));
            EXPECT_EQ(firstLine.rfind("kestrel: ", 0), 0u) << run.err;
            EXPECT_NE(firstLine.find(c.errorMentions), std::string::npos) << run.err;
            ASSERT_GE(run.err.size(), usage.size());
            EXPECT_EQ(run.err.substr(run.err.size() - usage.size()), usage);
        }
        // Neither settings nor registrations were made, nor a lock taken.
        EXPECT_EQ(home_->files(), std::vector<std::string>{});
    }
}

TEST_F(KestrelProgramTest, LaterStartHandsItsFileToTheRunningWindowAndExits) {
    const DefaultNamesTurn turn;
    ASSERT_TRUE(turn.held());
    // A Kestrel of this user that runs now must not be disturbed.
    if (instanceBlockPid()) GTEST_SKIP() << "a Kestrel of this user is running (" << instanceBlock() << " exists)";
    SingleInstance first;  // the program's lock and block names
    ASSERT_EQ(first.start(""), SingleInstance::Role::First) << first.error();
    // The lock is in the test's runtime folder, not the user's.
    EXPECT_EQ(fs::path(first.lockPath()).parent_path(), fs::path(home_->folder("runtime")));

    MainWindowOptions options;
    options.session.loadRecordingLibrary = false;
    options.player.player.video = MediaPlayer::VideoOutput::None;
    options.player.player.audio = false;
    MainWindow window(std::move(options));
    window.setMessageBoxHook([](std::string_view text, platform::Buttons) {
        ADD_FAILURE() << "message box: " << text;
        return platform::Answer::Ok;
    });
    window.attachSingleInstance(first);
    std::vector<QString> handed;
    QObject::connect(&window, &MainWindow::fileHandedOver, [&](const QString& path) { handed.push_back(path); });
    window.show();
    ASSERT_TRUE(pumpUntil([&] { return window.recordingListShown(); }));

    const std::string root = fs::canonical(home_->root()).string();
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string cwd;
        std::string expected;  // empty: only a wake-up
    };
    const Case cases[] = {
        {"absolute path", {root + "/clip \xC3\xA9t\xC3\xA9.flv"}, "", root + "/clip \xC3\xA9t\xC3\xA9.flv"},
        {"relative path, made absolute in its own folder", {"relative clip.flv"}, root, root + "/relative clip.flv"},
        {"no file: only a wake-up", {}, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        handed.clear();
        window.showMinimized();
        ASSERT_TRUE(window.isMinimized());
        const ProgramRun run = runProgram(c.args, c.cwd, 10s);
        ASSERT_TRUE(run.exited) << "the later start kept running";
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        // It hands over and goes; it never waits for the first instance.
        EXPECT_LT(run.took, 1500ms);
        const std::size_t expectedCount = c.expected.empty() ? 0 : 1;
        ASSERT_TRUE(pumpUntil([&] { return !window.isMinimized() && handed.size() >= expectedCount; }))
            << "the window was not woken";
        EXPECT_TRUE(window.isVisible());
        // The wake-up is handled in one go: whatever it emits is out by now.
        QCoreApplication::processEvents();
        if (c.expected.empty()) {
            EXPECT_TRUE(handed.empty()) << handed.front().toStdString();
        } else {
            ASSERT_EQ(handed.size(), 1u);
            EXPECT_EQ(handed.front(), QString::fromUtf8(c.expected.c_str()));
            // The running program plays it in its player panel.
            EXPECT_TRUE(window.player().isVisible());
            EXPECT_EQ(window.player().target(), QString::fromUtf8(c.expected.c_str()));
        }
        // The field is emptied once read, so the next start begins afresh.
        EXPECT_EQ(first.takeHandedPath(), "");
    }
}

// The whole start of a first instance: the settings, the language file and
// the association are made in the test's folders, the lock and the block
// are held while it runs, and SIGTERM ends it as Exit does, leaving neither
// behind.
TEST_F(KestrelProgramTest, FirstStartPreparesItsFilesAndEndsCleanlyOnSigterm) {
    const DefaultNamesTurn turn;
    ASSERT_TRUE(turn.held());
    if (instanceBlockPid()) GTEST_SKIP() << "a Kestrel of this user is running (" << instanceBlock() << " exists)";

    Program program;
    ASSERT_TRUE(program.start({}));
    const pid_t pid = program.pid();
    const bool ready = pumpUntil(
        [&] {
            program.collect(0);
            return catchesSigterm(pid);
        },
        20s);
    ASSERT_TRUE(ready) << "the program never came up";

    const std::string data = home_->folder("home/");
    EXPECT_TRUE(fs::exists(home_->folder("runtime/") + "TALLIS_KESTREL.lock"));
    EXPECT_EQ(instanceBlockPid(), std::optional<pid_t>(pid));
    const platform::ProfileFile settings = platform::ProfileFile::load(data + "setting.ini");
    EXPECT_EQ(settings.getString("Normal", "Language", ""), "English");
    EXPECT_EQ(test::readFile(data + "Language/eng.ini"), std::string(englishLanguageText()));
    // The default settings ask for the association: it is on the desktop
    // of the test's folders, naming the program that was started.
    const std::string entry = test::readFile(home_->folder("data/") + "applications/kestrel.flv.desktop");
    EXPECT_NE(entry.find("MimeType=video/x-flv"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nExec=\"" + fs::canonical(kProgram).string() + "\" %f\n"), std::string::npos) << entry;
    EXPECT_NE(test::readFile(home_->folder("config/") + "mimeapps.list").find("video/x-flv=kestrel.flv.desktop"),
              std::string::npos);

    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    const ProgramRun run = program.wait(20s);
    EXPECT_TRUE(run.exited) << "not ended by SIGTERM within 20 s";
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(fs::exists(home_->folder("runtime/") + "TALLIS_KESTREL.lock"));
    EXPECT_EQ(instanceBlockPid(), std::nullopt);
}

}  // namespace
