// The single-instance rule across real processes: this test binary re-runs
// itself as the later start (see kLaterStart below), so the hand-over goes
// through the lock file, the shared block and a signal between two programs.
//
// Every test uses its own lock folder and block name, and SIGURG as the
// wake-up signal: its default action is to ignore it, so a stray signal can
// never end a process, yet one that reaches this process is seen on the
// wake-up pipe.

#include "kestrel/shell/single_instance.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kestrel/engine/messages.h"
#include "platform/message.h"

using kestrel::shell::kInstanceBlockPathOffset;
using kestrel::shell::kInstanceBlockPathSize;
using kestrel::shell::kInstanceBlockPidOffset;
using kestrel::shell::kInstanceBlockSize;
using kestrel::shell::SingleInstance;
using kestrel::shell::SingleInstanceOptions;
using Role = SingleInstance::Role;

namespace {

constexpr int kTestSignal = SIGURG;

// The later start: when KSI_LOCK_FOLDER is set, this process is the child a
// test started. It runs one start() with the options from the environment
// and exits with role * 4 + pathWritten * 2 + signalled, before any test.
int runLaterStartIfAsked() {
    const char* folder = std::getenv("KSI_LOCK_FOLDER");
    if (!folder) return 0;
    SingleInstanceOptions options;
    options.lockFolder = folder;
    options.mutexName = std::getenv("KSI_MUTEX");
    options.blockName = std::getenv("KSI_BLOCK");
    options.wakeSignal = kTestSignal;
    options.handOverWaitMs = std::atoi(std::getenv("KSI_WAIT_MS"));
    const char* path = std::getenv("KSI_PATH");
    int code = 0;
    {
        SingleInstance instance(options);
        const Role role = instance.start(path ? path : "");
        code = static_cast<int>(role) * 4 + (instance.handOver().pathWritten ? 2 : 0) +
               (instance.handOver().signalled ? 1 : 0);
    }
    ::_exit(code);
}
[[maybe_unused]] const int kLaterStart = runLaterStartIfAsked();

struct ChildResult {
    Role role = Role::None;
    bool pathWritten = false;
    bool signalled = false;
};

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

pid_t deadPid() {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/kestrel-single-instance-XXXXXX";
        ASSERT_NE(::mkdtemp(folder), nullptr);
        folder_ = folder;
        static int serial = 0;
        const std::string id = std::to_string(::getpid()) + "-" + std::to_string(++serial);
        options_.lockFolder = folder_;
        options_.mutexName = "kestrel-test-lock-" + id;
        options_.blockName = "kestrel-test-block-" + id;
        options_.wakeSignal = kTestSignal;
        options_.handOverWaitMs = 200;
    }
    void TearDown() override {
        ::shm_unlink(blockShm().c_str());
        std::filesystem::remove_all(folder_);
    }

    std::string blockShm() const { return "/" + options_.blockName + "." + std::to_string(::getuid()); }
    std::string lockPath() const { return folder_ + "/" + options_.mutexName + ".lock"; }

    // The block as another process sees it; empty when it does not exist.
    std::vector<unsigned char> readBlock() const {
        const int fd = ::shm_open(blockShm().c_str(), O_RDONLY, 0);
        if (fd < 0) return {};
        std::vector<unsigned char> bytes(kInstanceBlockSize);
        const ssize_t n = ::pread(fd, bytes.data(), bytes.size(), 0);
        ::close(fd);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }
    void writeBlock(const std::vector<unsigned char>& bytes, std::size_t offset = 0) const {
        const int fd = ::shm_open(blockShm().c_str(), O_RDWR | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
                  static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    static std::int32_t int32At(const std::vector<unsigned char>& block, std::size_t offset) {
        std::int32_t v = 0;
        std::memcpy(&v, block.data() + offset, sizeof v);
        return v;
    }
    static std::vector<unsigned char> int32Bytes(std::int32_t v) {
        std::vector<unsigned char> b(4);
        std::memcpy(b.data(), &v, 4);
        return b;
    }

    // Starts this binary as a later start; path nullptr means no file.
    pid_t startLater(const char* path, int waitMs, const std::string& cwd = "") const {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("KSI_LOCK_FOLDER", options_.lockFolder.c_str(), 1);
            ::setenv("KSI_MUTEX", options_.mutexName.c_str(), 1);
            ::setenv("KSI_BLOCK", options_.blockName.c_str(), 1);
            ::setenv("KSI_WAIT_MS", std::to_string(waitMs).c_str(), 1);
            if (path) ::setenv("KSI_PATH", path, 1);
            if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(99);
            char name[] = "single_instance_test";
            char* argv[] = {name, nullptr};
            ::execv("/proc/self/exe", argv);
            ::_exit(98);
        }
        return pid;
    }
    static ChildResult finish(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        ChildResult r;
        if (!WIFEXITED(status) || WEXITSTATUS(status) >= 16) {
            ADD_FAILURE() << "later start did not run: status " << status;
            return r;
        }
        const int code = WEXITSTATUS(status);
        r.role = static_cast<Role>(code / 4);
        r.pathWritten = (code & 2) != 0;
        r.signalled = (code & 1) != 0;
        return r;
    }
    ChildResult runLater(const char* path, int waitMs = 200, const std::string& cwd = "") const {
        return finish(startLater(path, waitMs, cwd));
    }

    std::string folder_;
    SingleInstanceOptions options_;
};

TEST_F(SingleInstanceTest, FirstInstanceTakesOverWhateverWasLeftBehind) {
    const pid_t dead = deadPid();
    std::vector<unsigned char> stale(kInstanceBlockSize, 0xFF);
    std::memcpy(stale.data() + kInstanceBlockPidOffset, &dead, 4);
    struct Case {
        const char* what;
        std::vector<unsigned char> block;  // written before start; empty: no block
        bool lockFileLeft;
    } cases[] = {
        {"nothing left", {}, false},
        {"block of a crashed instance, its pid dead, path field full", stale, true},
        {"block shorter than its layout", {1, 0, 0, 0}, false},
        {"lock file left, no block", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.block.empty()) writeBlock(c.block);
        if (c.lockFileLeft) ::close(::open(lockPath().c_str(), O_RDWR | O_CREAT, 0600));
        {
            SingleInstance first(options_);
            ASSERT_EQ(first.start(""), Role::First) << first.error();
            EXPECT_EQ(first.lockPath(), lockPath());
            EXPECT_GE(first.wakeupFd(), 0);
            const auto block = readBlock();
            ASSERT_EQ(block.size(), kInstanceBlockSize);
            EXPECT_EQ(int32At(block, 0), 1);
            EXPECT_EQ(int32At(block, kInstanceBlockPidOffset), ::getpid());
            for (std::size_t i = kInstanceBlockPathOffset; i < kInstanceBlockSize; ++i)
                ASSERT_EQ(block[i], 0) << "path byte " << i - kInstanceBlockPathOffset;
            EXPECT_EQ(first.takeHandedPath(), "");
        }
        // Leaving removes both names, so the next start is first again.
        struct stat st {};
        EXPECT_NE(::stat(lockPath().c_str(), &st), 0);
        EXPECT_TRUE(readBlock().empty());
    }
}

TEST_F(SingleInstanceTest, LaterStartHandsItsFileOverAndTheFirstReadsItOnce) {
    const std::string longPath = "/" + std::string(299, 'a');
    // "/" + 257 letters, then a two-byte character on bytes 258 and 259.
    const std::string straddling = "/" + std::string(257, 'b') + "\xC3\xA9" + "tail";
    const std::string fitting = longPath.substr(0, 259);
    struct Case {
        const char* what;
        const char* arg;  // nullptr: started without a file
        std::string cwd;
        std::string expected;
    } cases[] = {
        {"absolute path", "/videos/clip one.flv", "", "/videos/clip one.flv"},
        {"no file: only a wake-up", nullptr, "", ""},
        {"relative path made absolute", "clip.flv", folder_, folder_ + "/clip.flv"},
        {"300-byte path cut to 259", longPath.c_str(), "", longPath.substr(0, 259)},
        {"cut never splits a character", straddling.c_str(), "", straddling.substr(0, 258)},
        {"exactly 259 bytes", fitting.c_str(), "", fitting},
    };
    SingleInstance first(options_);
    ASSERT_EQ(first.start(""), Role::First) << first.error();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const ChildResult later = runLater(c.arg, 2000, c.cwd);
        EXPECT_EQ(later.role, Role::Second);
        EXPECT_EQ(later.pathWritten, c.arg != nullptr);
        EXPECT_TRUE(later.signalled);
        ASSERT_TRUE(readable(first.wakeupFd(), 5000));
        EXPECT_GE(first.drainWakeups(), 1);
        EXPECT_FALSE(readable(first.wakeupFd(), 0));
        const std::string handed = first.takeHandedPath();
        EXPECT_EQ(handed, c.expected);
        EXPECT_LE(handed.size(), kInstanceBlockPathSize - 1);
        // Taking it empties the field for the next start.
        EXPECT_EQ(first.takeHandedPath(), "");
        const auto block = readBlock();
        ASSERT_EQ(block.size(), kInstanceBlockSize);
        for (std::size_t i = kInstanceBlockPathOffset; i < kInstanceBlockSize; ++i) ASSERT_EQ(block[i], 0);
        EXPECT_EQ(int32At(block, kInstanceBlockPidOffset), ::getpid());
    }
}

TEST_F(SingleInstanceTest, WakeUpsBecomeSecondInstanceMessages) {
    SingleInstance first(options_);
    ASSERT_EQ(first.start(""), Role::First) << first.error();
    std::vector<std::uint32_t> messages;
    kestrel::platform::MessageSink sink([&](std::uint32_t msg, kestrel::platform::WParam w, kestrel::platform::LParam) {
        EXPECT_EQ(w, 0u);
        messages.push_back(msg);
        return kestrel::platform::MessageResult{0};
    });
    EXPECT_EQ(first.forwardWakeups(sink), 0);  // nothing yet: nothing posted
    EXPECT_EQ(runLater("/a.flv").role, Role::Second);
    ASSERT_TRUE(readable(first.wakeupFd(), 5000));
    EXPECT_EQ(first.forwardWakeups(sink), 1);
    sink.pump();
    EXPECT_EQ(messages, std::vector<std::uint32_t>{kestrel::engine::WM_SECOND_INSTANCE});
    EXPECT_EQ(first.takeHandedPath(), "/a.flv");
}

TEST_F(SingleInstanceTest, NeverSignalsAnyoneButTheLockHolder) {
    SingleInstance first(options_);
    ASSERT_EQ(first.start(""), Role::First) << first.error();

    // A live process of ours that does not hold the lock: it reports any
    // signal it gets on a pipe.
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    const pid_t bystander = ::fork();
    if (bystander == 0) {
        static int reportFd = report[1];
        struct sigaction a {};
        a.sa_handler = [](int) {
            const char b = 1;
            const ssize_t n = ::write(reportFd, &b, 1);
            static_cast<void>(n);
        };
        ::sigaction(kTestSignal, &a, nullptr);
        for (;;) ::pause();
    }
    ::close(report[1]);
    struct Reaper {
        pid_t pid;
        int fd;
        ~Reaper() {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(fd);
        }
    } reaper{bystander, report[0]};

    struct Case {
        const char* what;
        std::int32_t pid;
    } cases[] = {
        {"pid 0 (our process group)", 0},
        {"pid -1 (every process we may signal)", -1},
        {"negative pid (a process group)", -static_cast<std::int32_t>(::getpgrp())},
        {"dead pid", deadPid()},
        {"live process that does not hold the lock", bystander},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeBlock(int32Bytes(c.pid), kInstanceBlockPidOffset);
        const ChildResult later = runLater("/b.flv", 100);
        EXPECT_EQ(later.role, Role::Second);
        EXPECT_TRUE(later.pathWritten);
        EXPECT_FALSE(later.signalled);
        EXPECT_FALSE(readable(first.wakeupFd(), 200)) << "the first instance was signalled";
        EXPECT_FALSE(readable(report[0], 0)) << "the bystander was signalled";
        EXPECT_EQ(first.takeHandedPath(), "/b.flv");
    }
}

TEST_F(SingleInstanceTest, LaterStartBecomesFirstWhenTheHolderLeavesWhileItWaits) {
    // A holder that has not published itself yet (no block), then leaves.
    const int held = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    const pid_t later = startLater("/c.flv", 5000);
    ::usleep(300 * 1000);
    ::close(held);
    const ChildResult r = finish(later);
    EXPECT_EQ(r.role, Role::First);
    EXPECT_FALSE(r.signalled);

    // Without the holder leaving, the wait ends and the file stays handed over.
    const int held2 = ::open(lockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(held2, LOCK_EX), 0);
    const ChildResult waited = runLater("/d.flv", 100);
    EXPECT_EQ(waited.role, Role::Second);
    EXPECT_TRUE(waited.pathWritten);
    EXPECT_FALSE(waited.signalled);
    ::close(held2);
}

TEST_F(SingleInstanceTest, UnusableLockFileFailsInsteadOfFollowingIt) {
    // A symbolic link where the lock file belongs could point anywhere.
    const std::string target = folder_ + "/elsewhere";
    ASSERT_EQ(::symlink(target.c_str(), lockPath().c_str()), 0);
    SingleInstance instance(options_);
    EXPECT_EQ(instance.start("/e.flv"), Role::Failed);
    EXPECT_FALSE(instance.error().empty());
    struct stat st {};
    EXPECT_NE(::lstat(target.c_str(), &st), 0) << "the link was followed";

    SingleInstanceOptions missing = options_;
    missing.lockFolder = folder_ + "/no/such/folder";
    SingleInstance nowhere(missing);
    EXPECT_EQ(nowhere.start(""), Role::Failed);
}

TEST_F(SingleInstanceTest, HandedPathIsReadWithinItsField) {
    SingleInstance first(options_);
    ASSERT_EQ(first.start(""), Role::First) << first.error();
    struct Case {
        const char* what;
        std::vector<unsigned char> field;
        std::string expected;
    } cases[] = {
        {"terminated", {'/', 'x', 0, 'y'}, "/x"},
        {"no terminator in the whole field", std::vector<unsigned char>(kInstanceBlockPathSize, 'z'),
         std::string(kInstanceBlockPathSize - 1, 'z')},
        {"empty", {0}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeBlock(c.field, kInstanceBlockPathOffset);
        EXPECT_EQ(first.takeHandedPath(), c.expected);
        const auto block = readBlock();
        for (std::size_t i = kInstanceBlockPathOffset; i < kInstanceBlockSize; ++i) ASSERT_EQ(block[i], 0);
    }
}

TEST(SingleInstanceFitPath, CutsAtTheFieldWithoutSplittingCharacters) {
    struct Case {
        const char* what;
        std::string path;
        std::size_t expectedLength;
    } cases[] = {
        {"short", "/a.flv", 6},
        {"259 bytes fit", std::string(259, 'a'), 259},
        {"260 bytes lose one", std::string(260, 'a'), 259},
        {"three-byte character over the edge", std::string(257, 'a') + "\xE2\x82\xAC", 257},
        {"two-byte character ending at the edge", std::string(257, 'a') + "\xC3\xA9" + "x", 259},
        {"four-byte character over the edge", std::string(256, 'a') + "\xF0\x9F\x8E\xA5", 256},
    };
    for (const auto& c : cases) {
        const std::string_view fitted = SingleInstance::fitPath(c.path);
        EXPECT_EQ(fitted.size(), c.expectedLength) << c.what;
        EXPECT_EQ(fitted, std::string_view(c.path).substr(0, c.expectedLength)) << c.what;
    }
}

}  // namespace
