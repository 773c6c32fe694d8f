#include "platform/write_behind.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace kestrel::platform {

// The one background thread and its first-in, first-out queue. Jobs of
// one file keep their order because a single thread runs them all.
class WriteBehind {
public:
    static WriteBehind& instance() {
        static WriteBehind worker;
        return worker;
    }

    void submit(WriteJob* job) {
        {
            std::lock_guard lock(mutex_);
            job->next = nullptr;
            if (tail_) {
                tail_->next = job;
            } else {
                head_ = job;
            }
            tail_ = job;
            ++submitted_;
        }
        work_.notify_one();
    }

    void wait(const WriteJob& job) {
        if (!job.pending.load(std::memory_order_acquire)) return;
        std::unique_lock lock(mutex_);
        done_.wait(lock, [&] { return !job.pending.load(std::memory_order_acquire); });
    }

    // Waits for the jobs queued so far, not for an empty queue: writers
    // that keep queueing cannot hold the caller up.
    void drain() {
        std::unique_lock lock(mutex_);
        const std::uint64_t target = submitted_;
        done_.wait(lock, [&] { return completed_ >= target; });
    }

    ~WriteBehind() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        work_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

private:
    WriteBehind() : thread_(&WriteBehind::run, this) {}

    static void perform(WriteJob& job) {
        if (job.kind == WriteJob::Kind::Remove) {
            ::unlink(job.path.c_str());
            return;
        }
        if (job.failed->load()) return;  // the file stops at its first failure
        const std::uint8_t* p = job.data;
        std::size_t left = job.size;
        while (left > 0) {
            const ssize_t n = ::write(job.fd, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                job.error->store(n < 0 ? errno : ENOSPC);
                job.failed->store(true);
                return;
            }
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] { return head_ != nullptr || stop_; });
            if (head_ == nullptr) return;  // stopping, and everything queued is done
            WriteJob* job = head_;
            head_ = job->next;
            if (!head_) tail_ = nullptr;
            lock.unlock();
            perform(*job);
            const bool owned = job->owned;
            if (owned) delete job;
            lock.lock();
            ++completed_;
            if (!owned) job->pending.store(false, std::memory_order_release);
            done_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    WriteJob* head_ = nullptr;
    WriteJob* tail_ = nullptr;
    std::uint64_t submitted_ = 0;
    std::uint64_t completed_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

BackgroundFile::BackgroundFile(std::size_t bufferSize) : bufferSize_(bufferSize) {}

BackgroundFile::~BackgroundFile() { close(); }

bool BackgroundFile::open(const std::string& path, bool truncate) {
    if (fd_ >= 0) return true;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
    fd_ = ::open(path.c_str(), flags, 0644);
    if (fd_ < 0) return false;
    sizeAtOpen_ = 0;
    if (!truncate) {
        struct stat st {};
        if (::fstat(fd_, &st) == 0) sizeAtOpen_ = static_cast<std::uint64_t>(st.st_size);
    }
    for (auto& b : buffers_) b = std::make_unique<std::uint8_t[]>(bufferSize_);
    current_ = 0;
    used_ = 0;
    failed_.store(false);
    error_.store(0);
    return true;
}

bool BackgroundFile::write(std::span<const std::uint8_t> bytes) {
    if (fd_ < 0 || failed_.load()) return false;
    while (!bytes.empty()) {
        const std::size_t n = std::min(bufferSize_ - used_, bytes.size());
        std::memcpy(buffers_[current_].get() + used_, bytes.data(), n);
        used_ += n;
        bytes = bytes.subspan(n);
        if (used_ == bufferSize_) submitCurrent();
    }
    return !failed_.load();
}

void BackgroundFile::flush() {
    if (fd_ >= 0) submitCurrent();
}

void BackgroundFile::submitCurrent() {
    if (used_ == 0) return;
    WriteJob& job = jobs_[current_];
    job.kind = WriteJob::Kind::Write;
    job.fd = fd_;
    job.data = buffers_[current_].get();
    job.size = used_;
    job.failed = &failed_;
    job.error = &error_;
    job.pending.store(true);
    WriteBehind::instance().submit(&job);
    current_ ^= 1;
    used_ = 0;
    // The other buffer may still be on its way to the file.
    WriteBehind::instance().wait(jobs_[current_]);
}

bool BackgroundFile::close() {
    if (fd_ < 0) return true;
    submitCurrent();
    WriteBehind::instance().wait(jobs_[0]);
    WriteBehind::instance().wait(jobs_[1]);
    bool ok = !failed_.load();
    if (::close(fd_) != 0 && ok) {
        error_.store(errno);
        failed_.store(true);
        ok = false;
    }
    fd_ = -1;
    for (auto& b : buffers_) b.reset();
    used_ = 0;
    return ok;
}

void removeFileLater(const std::string& path) {
    auto* job = new WriteJob;
    job->kind = WriteJob::Kind::Remove;
    job->path = path;
    job->owned = true;
    WriteBehind::instance().submit(job);
}

void waitForBackgroundWrites() { WriteBehind::instance().drain(); }

}  // namespace kestrel::platform
