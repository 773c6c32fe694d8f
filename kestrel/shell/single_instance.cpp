#include "kestrel/shell/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "kestrel/engine/messages.h"
#include "platform/message.h"

namespace kestrel::shell {

namespace {

// The write end of the wake-up pipe, read by the signal handler. A plain
// lock-free atomic is all an async-signal-safe handler may touch.
std::atomic<int> g_wakeWriteFd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void onWakeSignal(int) {
    const int savedErrno = errno;
    const int fd = g_wakeWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        const char byte = 1;
        // A full pipe already holds unread wake-ups: dropping this one loses nothing.
        const ssize_t written = ::write(fd, &byte, 1);
        static_cast<void>(written);
    }
    errno = savedErrno;
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// flock() on the block's descriptor keeps a later start from writing the
// path while the first instance reads or re-initialises it.
class BlockGuard {
public:
    explicit BlockGuard(int fd) : fd_(fd) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~BlockGuard() { ::flock(fd_, LOCK_UN); }
    BlockGuard(const BlockGuard&) = delete;
    BlockGuard& operator=(const BlockGuard&) = delete;

private:
    int fd_;
};

std::string lockFolder(const SingleInstanceOptions& options, bool& perUserFolder) {
    perUserFolder = true;
    if (!options.lockFolder.empty()) return options.lockFolder;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return runtime;
    perUserFolder = false;
    return "/tmp";
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether /proc/locks lists pid as holding a write flock() on the inode.
// Returns -1 when the table cannot be read.
int holdsFlock(pid_t pid, ino_t inode) {
    std::FILE* table = std::fopen("/proc/locks", "re");
    if (!table) return -1;
    int found = 0;
    char line[512];
    while (!found && std::fgets(line, sizeof line, table)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:5678 0 EOF"; waiters carry "->".
        std::istringstream fields(line);
        std::string id, type, mode, access, holder, where;
        fields >> id >> type;
        if (type == "->") continue;
        fields >> mode >> access >> holder >> where;
        if (type != "FLOCK" || access != "WRITE") continue;
        const std::size_t colon = where.rfind(':');
        if (colon == std::string::npos) continue;
        char* end = nullptr;
        const long long lockPid = std::strtoll(holder.c_str(), &end, 10);
        if (end == holder.c_str() || lockPid != pid) continue;
        const unsigned long long lockInode = std::strtoull(where.c_str() + colon + 1, &end, 10);
        if (lockInode == static_cast<unsigned long long>(inode)) found = 1;
    }
    std::fclose(table);
    return found;
}

}  // namespace

SingleInstance::SingleInstance(SingleInstanceOptions options) : options_(std::move(options)) {
    const std::string uid = std::to_string(::getuid());
    bool perUserFolder = true;
    const std::string folder = lockFolder(options_, perUserFolder);
    lockPath_ = folder + "/" + options_.mutexName + (perUserFolder ? "" : "." + uid) + ".lock";
    blockShmName_ = "/" + options_.blockName + "." + uid;
}

SingleInstance::~SingleInstance() {
    if (role_ == Role::First) {
        if (block_) {
            {
                // A start that comes while we leave must not wake a process
                // that is about to be gone.
                BlockGuard guard(blockFd_);
                std::memset(block_ + kInstanceBlockPidOffset, 0, 4);
            }
            ::shm_unlink(blockShmName_.c_str());
        }
        struct stat held {}, named {};
        // Only our own lock file: never one that a later first instance made.
        if (lockFd_ >= 0 && ::fstat(lockFd_, &held) == 0 && ::stat(lockPath_.c_str(), &named) == 0 &&
            sameFile(held, named)) {
            ::unlink(lockPath_.c_str());
        }
    }
    unmapBlock();
    if (lockFd_ >= 0) ::close(lockFd_);
    removeWakeHandler();
}

SingleInstance::Role SingleInstance::start(std::string_view filePath) {
    if (role_ != Role::None) return role_;

    std::string path(filePath);
    if (!path.empty() && path.front() != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + path;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.handOverWaitMs);
    for (;;) {
        const Lock lock = takeLock();
        if (lock == Lock::Failed) return role_ = Role::Failed;
        if (lock == Lock::Held) {
            role_ = Role::First;
            startFirst();
            return role_;
        }
        if (!block_ && !mapBlock()) {
            // Nothing to hand over through; the running instance stays as it is.
            role_ = Role::Second;
            ::close(lockFd_);
            lockFd_ = -1;
            return role_;
        }
        const pid_t pid = blockPid();
        if (mayWake(pid) || std::chrono::steady_clock::now() >= deadline) {
            role_ = Role::Second;
            handOver(path, pid);
            unmapBlock();
            ::close(lockFd_);
            lockFd_ = -1;
            return role_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

SingleInstance::Lock SingleInstance::takeLock() {
    // The instance that leaves unlinks its lock file; a file we opened just
    // before that is no longer the one others lock, so the name is checked
    // again after locking and the open retried.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (lockFd_ >= 0) ::close(lockFd_);
        lockFd_ = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (lockFd_ < 0) {
            error_ = systemError("cannot open " + lockPath_);
            return Lock::Failed;
        }
        struct stat held {};
        if (::fstat(lockFd_, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != ::geteuid()) {
            // In a shared folder another user could have placed it to steer us.
            error_ = lockPath_ + " is not a file of this user";
            ::close(lockFd_);
            lockFd_ = -1;
            return Lock::Failed;
        }
        int rc;
        while ((rc = ::flock(lockFd_, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            if (errno == EWOULDBLOCK) return Lock::Busy;
            error_ = systemError("cannot lock " + lockPath_);
            ::close(lockFd_);
            lockFd_ = -1;
            return Lock::Failed;
        }
        struct stat named {};
        if (::stat(lockPath_.c_str(), &named) == 0 && sameFile(held, named)) return Lock::Held;
    }
    error_ = lockPath_ + " keeps being replaced";
    ::close(lockFd_);
    lockFd_ = -1;
    return Lock::Failed;
}

void SingleInstance::startFirst() {
    // The handler goes in before our process id is published: the default
    // action of the wake signal would end the process.
    if (!installWakeHandler()) return;
    if (!block_ && !mapBlock()) return;
    // A block left by an instance that crashed is taken over and reset.
    BlockGuard guard(blockFd_);
    std::memset(block_, 0, kInstanceBlockSize);
    const std::int32_t one = 1;
    const auto pid = static_cast<std::int32_t>(::getpid());
    std::memcpy(block_, &one, sizeof one);
    std::memcpy(block_ + kInstanceBlockPidOffset, &pid, sizeof pid);
}

void SingleInstance::handOver(const std::string& path, pid_t target) {
    handOver_.target = target;
    if (!path.empty()) {
        const std::string_view fitted = fitPath(path);
        BlockGuard guard(blockFd_);
        unsigned char* field = block_ + kInstanceBlockPathOffset;
        std::memset(field, 0, kInstanceBlockPathSize);
        std::memcpy(field, fitted.data(), fitted.size());
        handOver_.pathWritten = true;
    }
    if (mayWake(target) && ::kill(target, options_.wakeSignal) == 0) handOver_.signalled = true;
}

pid_t SingleInstance::blockPid() const {
    std::int32_t pid = 0;
    BlockGuard guard(blockFd_);
    std::memcpy(&pid, block_ + kInstanceBlockPidOffset, sizeof pid);
    return static_cast<pid_t>(pid);
}

bool SingleInstance::mayWake(pid_t pid) const {
    // 0 and negative ids name process groups or every process we may signal.
    if (pid <= 0) return false;
    const std::string proc = "/proc/" + std::to_string(pid);
    struct stat self {};
    if (::stat("/proc/self", &self) != 0) {
        // No /proc: only whether the process exists and we may signal it.
        return ::kill(pid, 0) == 0;
    }
    struct stat process {};
    if (::stat(proc.c_str(), &process) != 0 || process.st_uid != ::geteuid()) return false;
    // An id left in a stale block may since belong to an unrelated process;
    // only the holder of the instance lock is ours to wake.
    struct stat lock {};
    if (lockFd_ < 0 || ::fstat(lockFd_, &lock) != 0) return false;
    return holdsFlock(pid, lock.st_ino) != 0;
}

bool SingleInstance::mapBlock() {
    blockFd_ = ::shm_open(blockShmName_.c_str(), O_RDWR | O_CREAT, 0600);
    if (blockFd_ < 0) {
        error_ = systemError("cannot open the shared block " + blockShmName_);
        return false;
    }
    struct stat st {};
    if (::fstat(blockFd_, &st) != 0 || st.st_uid != ::geteuid()) {
        // Its name is in a namespace every user shares.
        error_ = blockShmName_ + " is not a block of this user";
        ::close(blockFd_);
        blockFd_ = -1;
        return false;
    }
    if ((st.st_mode & 077) != 0) ::fchmod(blockFd_, 0600);
    if (st.st_size < static_cast<off_t>(kInstanceBlockSize) &&
        ::ftruncate(blockFd_, static_cast<off_t>(kInstanceBlockSize)) != 0) {
        error_ = systemError("cannot size the shared block " + blockShmName_);
        ::close(blockFd_);
        blockFd_ = -1;
        return false;
    }
    void* mapped = ::mmap(nullptr, kInstanceBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, blockFd_, 0);
    if (mapped == MAP_FAILED) {
        error_ = systemError("cannot map the shared block " + blockShmName_);
        ::close(blockFd_);
        blockFd_ = -1;
        return false;
    }
    block_ = static_cast<unsigned char*>(mapped);
    return true;
}

void SingleInstance::unmapBlock() {
    if (block_) ::munmap(block_, kInstanceBlockSize);
    block_ = nullptr;
    if (blockFd_ >= 0) ::close(blockFd_);
    blockFd_ = -1;
}

bool SingleInstance::installWakeHandler() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        error_ = systemError("cannot make the wake-up pipe");
        return false;
    }
    pipeRead_ = fds[0];
    pipeWrite_ = fds[1];
    g_wakeWriteFd.store(pipeWrite_);
    struct sigaction action {};
    action.sa_handler = onWakeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(options_.wakeSignal, &action, &previousAction_) != 0) {
        error_ = systemError("cannot install the wake-up handler");
        g_wakeWriteFd.store(-1);
        return false;
    }
    handlerInstalled_ = true;
    return true;
}

void SingleInstance::removeWakeHandler() {
    if (handlerInstalled_) {
        // A start that read our id just before we left may still signal us;
        // the default action would end the process on its way out.
        struct sigaction restore = previousAction_;
        if (restore.sa_handler == SIG_DFL) restore.sa_handler = SIG_IGN;
        ::sigaction(options_.wakeSignal, &restore, nullptr);
        handlerInstalled_ = false;
    }
    if (pipeWrite_ >= 0 && g_wakeWriteFd.load() == pipeWrite_) g_wakeWriteFd.store(-1);
    if (pipeRead_ >= 0) ::close(pipeRead_);
    if (pipeWrite_ >= 0) ::close(pipeWrite_);
    pipeRead_ = pipeWrite_ = -1;
}

int SingleInstance::drainWakeups() {
    if (pipeRead_ < 0) return 0;
    int count = 0;
    char buffer[64];
    for (;;) {
        const ssize_t n = ::read(pipeRead_, buffer, sizeof buffer);
        if (n > 0) {
            count += static_cast<int>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return count;
}

int SingleInstance::forwardWakeups(platform::MessageSink& sink) {
    const int count = drainWakeups();
    for (int i = 0; i < count; ++i) sink.post(engine::WM_SECOND_INSTANCE, 0, 0);
    return count;
}

std::string SingleInstance::takeHandedPath() {
    if (role_ != Role::First || !block_) return {};
    BlockGuard guard(blockFd_);
    unsigned char* field = block_ + kInstanceBlockPathOffset;
    // Whoever wrote the field, the text ends within it.
    std::size_t length = 0;
    while (length + 1 < kInstanceBlockPathSize && field[length] != 0) ++length;
    std::string path(reinterpret_cast<const char*>(field), length);
    std::memset(field, 0, kInstanceBlockPathSize);
    return path;
}

std::string_view SingleInstance::fitPath(std::string_view path) {
    constexpr std::size_t kMax = kInstanceBlockPathSize - 1;
    if (path.size() <= kMax) return path;
    std::size_t cut = kMax;
    // path[cut] is the first byte left out; when it continues a UTF-8
    // sequence, the sequence's start goes too.
    while (cut > 0 && (static_cast<unsigned char>(path[cut]) & 0xC0) == 0x80) --cut;
    return path.substr(0, cut);
}

}  // namespace kestrel::shell
