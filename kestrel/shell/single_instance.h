#pragma once
// One running Kestrel per user, and the hand-over of a file to it.
//
// The first process to take an flock() on the instance lock file is the
// first instance. It keeps a 268-byte shared-memory block:
//   offset 0   int32  1
//   offset 4   int32  the first instance's process id
//   offset 8   260    NUL-terminated path handed over by a later start
// and turns a wake-up signal into a byte on a self-pipe, which the event
// loop watches (wakeupFd()) and forwards as WM_SECOND_INSTANCE.
//
// A later start finds the lock taken, writes its command-line file (if any)
// into the block, wakes the first instance with the signal and exits.
//
// Plain POSIX, no Qt: tests and non-GUI hosts use it as it is. Not
// thread-safe: one thread (the user-interface thread) owns an object. At
// most one object per process may hold the first-instance role at a time,
// because the signal handler is process-wide.

#include <signal.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrel::platform {
class MessageSink;
}

namespace kestrel::shell {

inline constexpr std::size_t kInstanceBlockSize = 268;
inline constexpr std::size_t kInstanceBlockPidOffset = 4;
inline constexpr std::size_t kInstanceBlockPathOffset = 8;
inline constexpr std::size_t kInstanceBlockPathSize = 260;

struct SingleInstanceOptions {
    // The lock file is "<lockFolder>/<mutexName>.lock"; with no lock folder,
    // $XDG_RUNTIME_DIR, else /tmp with the user id in the file name
    // ("/tmp/<mutexName>.<uid>.lock"), since /tmp is shared by all users.
    std::string mutexName = "TALLIS_KESTREL";
    std::string lockFolder;
    // The block is the POSIX shared-memory object "/<blockName>.<uid>": its
    // namespace is shared by all users of the machine.
    std::string blockName = "Brackwell_MapName";
    int wakeSignal = SIGUSR1;
    // How long a later start waits for a first instance that holds the lock
    // but has not yet published its process id (it is still starting).
    int handOverWaitMs = 2000;
};

class SingleInstance {
public:
    enum class Role {
        None,    // start() not called yet
        First,   // we hold the lock: run the program
        Second,  // another instance runs: the file was handed over, exit
        Failed,  // the lock file could not be used (see error()); the
                 // caller may run without the single-instance rule
    };

    // What a later start did, for its exit path and for tests.
    struct HandOver {
        bool pathWritten = false;  // the block's path field holds our file
        bool signalled = false;    // the first instance was woken
        pid_t target = 0;          // the process id read from the block
    };

    explicit SingleInstance(SingleInstanceOptions options = {});
    // First instance: unlinks the block and the lock file, closes the pipe.
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Decides the role. As a later start, hands filePath over (empty: only
    // wake the first instance); a relative path is made absolute first,
    // since the first instance runs in another working folder. When the
    // lock is taken but its holder has not published its process id yet,
    // waits up to handOverWaitMs for it; should the lock come free in that
    // time (the first instance was leaving), this process becomes the first
    // instance. Only a process that is alive, runs as our user and holds the
    // lock is ever signalled. Call once.
    Role start(std::string_view filePath);
    Role role() const { return role_; }
    const std::string& error() const { return error_; }
    const HandOver& handOver() const { return handOver_; }

    // First instance only (else -1): the read end of the wake-up pipe,
    // non-blocking; readable after each wake-up signal.
    int wakeupFd() const { return pipeRead_; }
    // Empties the wake-up pipe; returns the number of wake-ups read.
    int drainWakeups();
    // Drains the pipe and posts WM_SECOND_INSTANCE (wParam 0) to sink once
    // per wake-up. Returns the number posted. Called on the user-interface
    // thread whenever wakeupFd() is readable (the window watches it with a
    // QSocketNotifier); nothing else runs in the signal handler.
    int forwardWakeups(platform::MessageSink& sink);
    // First instance: the path a later start left in the block (at most 259
    // bytes), zero-filling the field again. Empty when there is none or when
    // the block could not be made.
    std::string takeHandedPath();

    // The file names this object uses.
    const std::string& lockPath() const { return lockPath_; }
    const std::string& blockName() const { return blockShmName_; }

    // Cuts a path to what the block's path field holds (259 bytes before the
    // NUL) without splitting a UTF-8 sequence.
    static std::string_view fitPath(std::string_view path);

private:
    enum class Lock { Held, Busy, Failed };
    // (Re)opens the lock file and tries to lock it; lockFd_ stays open in
    // both the Held and the Busy case.
    Lock takeLock();
    void startFirst();
    // Writes the path (and wakes target when it may be woken).
    void handOver(const std::string& path, pid_t target);
    pid_t blockPid() const;
    bool installWakeHandler();
    void removeWakeHandler();
    // Opens (creating when missing) and maps the block.
    bool mapBlock();
    void unmapBlock();
    // The process whose id the block holds may be signalled: it is alive,
    // it is ours and it holds the instance lock.
    bool mayWake(pid_t pid) const;

    SingleInstanceOptions options_;
    Role role_ = Role::None;
    std::string error_;
    HandOver handOver_;
    std::string lockPath_;
    std::string blockShmName_;
    int lockFd_ = -1;
    int blockFd_ = -1;
    unsigned char* block_ = nullptr;
    int pipeRead_ = -1;
    int pipeWrite_ = -1;
    bool handlerInstalled_ = false;
    struct sigaction previousAction_ {};
};

}  // namespace kestrel::shell
