#include "harrier/capture_item.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>

#include "harrier/recorder.h"
#include "harrier/record_writer.h"

namespace kestrel::harrier {

namespace {
// Storage of this many finished segments is kept for the next ones.
constexpr std::size_t kSpareLimit = 2 * ReorderBuffer::kCapacity;
constexpr auto kQueuePoll = std::chrono::milliseconds(5);

std::uint32_t saturate32(std::uint64_t v) {
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}
}  // namespace

CaptureItemThread::CaptureItemThread(Recorder& owner, CaptureItem& item) : owner_(owner), item_(item) {}

CaptureItemThread::~CaptureItemThread() {
    if (thread_.joinable()) {
        requestEnd(false);
        thread_.join();
    }
}

void CaptureItemThread::queue(std::uint32_t sequence, std::span<const std::uint8_t> payload) {
    PacketPtr packet;
    {
        std::lock_guard lock(queueMutex_);
        if (!spare_.empty()) {
            packet = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!packet) packet = std::make_unique<StreamPacket>();
    packet->sequence = sequence;
    packet->bytes.assign(payload.begin(), payload.end());
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back(std::move(packet));
    }
    queued_.notify_one();
}

void CaptureItemThread::start() {
    thread_ = std::thread([this] { run(); });
}

void CaptureItemThread::requestEnd(bool deleteFile) {
    if (deleteFile) delete_.store(true);
    end_.store(true);
    queued_.notify_one();
}

void CaptureItemThread::join() {
    if (thread_.joinable()) thread_.join();
}

PacketPtr CaptureItemThread::takeQueued() {
    std::lock_guard lock(queueMutex_);
    if (queue_.empty()) return nullptr;
    PacketPtr p = std::move(queue_.front());
    queue_.pop_front();
    return p;
}

void CaptureItemThread::recycle(std::vector<PacketPtr>& packets) {
    if (packets.empty()) return;
    std::lock_guard lock(queueMutex_);
    for (auto& p : packets) {
        if (spare_.size() >= kSpareLimit) break;
        spare_.push_back(std::move(p));
    }
    packets.clear();
}

void CaptureItemThread::run() noexcept {
    RecordWriter writer;
    ReorderBuffer buffer(writer);
    const std::string path(item_.report.fileName);
    auto updateReport = [&] {
        std::atomic_ref<std::uint32_t>(item_.report.bytes).store(saturate32(writer.dataBytes()));
        std::atomic_ref<std::uint32_t>(item_.report.gapRecords).store(writer.gapRecords());
    };
    bool writeFailed = false;
    auto checkWriter = [&] {
        if (writer.ok() || writeFailed) return;
        writeFailed = true;
        owner_.setLastError("Unable to write the record file: " + path);
        halt_.store(true);
    };

    bool playStopSeen = false;
    // One segment into the buffer, then what can be written; true when the
    // item ends here.
    auto handle = [&](PacketPtr packet) {
        buffer.insert(std::move(packet));
        auto step = buffer.flushOverflow();
        // Bytes lost before a convertible start: the recording is worthless.
        if (step.overflowed && writer.dataBytes() < kMinimumCleanStart) {
            owner_.setLastError(kPacketsLossText);
            halt_.store(true);
        }
        if (!step.playStopSeen) step = buffer.flushRun();
        recycle(buffer.released());
        if (step.playStopSeen) {
            playStopSeen = true;
        } else if (buffer.firstHoldsPlayStop()) {
            buffer.writeFirst();
            playStopSeen = true;
        }
        updateReport();
        checkWriter();
        return playStopSeen;
    };

    if (!writer.create(path)) {
        owner_.setLastError("Unable to write the record file: " + path);
        halt_.store(true);
    }
    auto last = std::chrono::steady_clock::now();
    while (!playStopSeen && !halt_.load()) {
        if (end_.load()) {
            if (!delete_.load()) {
                // What was captured before the end is written too.
                while (PacketPtr p = takeQueued()) {
                    if (handle(std::move(p)) || halt_.load()) break;
                }
                if (!playStopSeen && !halt_.load()) buffer.flushAll();
                updateReport();
                checkWriter();
            }
            break;
        }
        if (PacketPtr p = takeQueued()) {
            last = std::chrono::steady_clock::now();
            handle(std::move(p));
            continue;
        }
        if (std::chrono::steady_clock::now() - last > owner_.timing().captureIdle) {
            buffer.flushAll();
            updateReport();
            checkWriter();
            break;
        }
        std::unique_lock lock(queueMutex_);
        queued_.wait_for(lock, kQueuePoll, [&] { return !queue_.empty() || end_.load(); });
    }
    writer.close();
    checkWriter();
    updateReport();
    if (delete_.load()) ::unlink(path.c_str());
    const platform::WParam why = halt_.load()     ? HARRIER_CAPTURE_LOST
                                 : delete_.load() ? HARRIER_CAPTURE_DELETED
                                                  : HARRIER_CAPTURE_ENDED;
    owner_.send(HARRIER_MSG_CAPTURE, why, reinterpret_cast<platform::LParam>(&item_.report));
    owner_.releaseCapturePlace(item_);
    {
        std::lock_guard lock(queueMutex_);
        queue_.clear();
        spare_.clear();
    }
    finished_.store(true);
}

}  // namespace kestrel::harrier
