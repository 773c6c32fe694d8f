#pragma once
// Files written behind the caller's back: the bytes are collected in the
// file's own buffer and, when it is full, handed to one background thread
// that makes the write calls while the caller fills the file's second
// buffer. The capture thread and the post-processing thread spend most of
// their time in the kernel's write path; this moves that work to the other
// core.
//
// Rules:
// - Writes to one file reach it in the order they were made; everything
//   is on disk once close() has returned.
// - A BackgroundFile is used by one thread at a time (the caller
//   serialises, as the packet lock does for capture files).
// - Memory is bounded: two buffers per open file, allocated at open and
//   freed at close, never per write.
// - A write that fails in the background is reported by the next write()
//   or by close(); the file keeps what was written before, and nothing is
//   written to it after the failure: a later buffer appended after a lost
//   one would put every later byte at the wrong offset.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace kestrel::platform {

class WriteBehind;

// One queued piece of background work (a buffer to write, or a file to
// delete); the nodes of a file's jobs live in the file itself.
struct WriteJob {
    enum class Kind { Write, Remove };
    Kind kind = Kind::Write;
    int fd = -1;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::atomic<bool>* failed = nullptr;
    std::atomic<int>* error = nullptr;  // errno of the failed write
    std::string path;  // Remove
    std::atomic<bool> pending{false};
    bool owned = false;  // deleted by the worker when done
    WriteJob* next = nullptr;
};

class BackgroundFile {
public:
    explicit BackgroundFile(std::size_t bufferSize);
    ~BackgroundFile();
    BackgroundFile(const BackgroundFile&) = delete;
    BackgroundFile& operator=(const BackgroundFile&) = delete;

    // Opens for writing: created afresh (truncate) or appended to (created
    // when missing). False, with errno set, when it cannot be opened.
    bool open(const std::string& path, bool truncate);
    bool isOpen() const { return fd_ >= 0; }
    // The file's size when it was opened (0 after a truncating open).
    std::uint64_t sizeAtOpen() const { return sizeAtOpen_; }

    // False when this or an earlier write failed; once one failed, nothing
    // more is written.
    bool write(std::span<const std::uint8_t> bytes);
    // errno of the first failed write (0 while none failed).
    int error() const { return error_.load(); }
    // Hands the collected bytes to the background thread now.
    void flush();
    // Writes what is left, waits for the background writes and closes the
    // file. False when any write failed or the close did. Closing a closed
    // file returns true.
    bool close();

private:
    void submitCurrent();

    const std::size_t bufferSize_;
    int fd_ = -1;
    std::uint64_t sizeAtOpen_ = 0;
    std::unique_ptr<std::uint8_t[]> buffers_[2];
    WriteJob jobs_[2];
    int current_ = 0;
    std::size_t used_ = 0;
    std::atomic<bool> failed_{false};
    std::atomic<int> error_{0};
};

// Deletes a file on the background thread, after the writes queued before.
void removeFileLater(const std::string& path);

// Waits until every write and deletion queued before the call is done.
void waitForBackgroundWrites();

}  // namespace kestrel::platform
