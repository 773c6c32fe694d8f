#pragma once
// The thread of one capture item: takes the segments the live capture
// queues for its connection direction, puts them in TCP order and writes
// them to the item's stream record file until the server stops the stream,
// the host ends the item, packets are lost early on, or no packet comes for
// the idle time.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "harrier/reorder_buffer.h"

namespace kestrel::harrier {

class Recorder;
struct CaptureItem;

// A record file needs this many bytes without a hole to be converted; a
// hole before them makes the recording worthless.
inline constexpr std::uint64_t kMinimumCleanStart = 3072;
inline constexpr const char* kPacketsLossText = "Packets loss!";

class CaptureItemThread {
public:
    CaptureItemThread(Recorder& owner, CaptureItem& item);
    ~CaptureItemThread();
    CaptureItemThread(const CaptureItemThread&) = delete;
    CaptureItemThread& operator=(const CaptureItemThread&) = delete;

    // Queues a copy of a segment's payload (from the capture thread).
    void queue(std::uint32_t sequence, std::span<const std::uint8_t> payload);
    // Throws std::system_error when no thread can be started.
    void start();
    // Ends the item: it writes what it holds (unless deleteFile) and
    // reports. Does not wait.
    void requestEnd(bool deleteFile);
    bool finished() const { return finished_.load(); }
    void join();

private:
    void run() noexcept;
    // Takes the oldest queued segment, or null.
    PacketPtr takeQueued();
    void recycle(std::vector<PacketPtr>& packets);

    Recorder& owner_;
    CaptureItem& item_;

    std::mutex queueMutex_;
    std::condition_variable queued_;
    std::deque<PacketPtr> queue_;
    std::vector<PacketPtr> spare_;  // storage of finished segments, reused

    std::atomic<bool> end_{false};
    std::atomic<bool> delete_{false};
    std::atomic<bool> halt_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

}  // namespace kestrel::harrier
