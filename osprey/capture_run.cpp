// A capture run: StartRecord's preparation, the capture loop on the
// caller's thread, and what happens to the items when it ends.

#include <cstdio>

#include "osprey/engine.h"
#include "osprey/notices.h"

namespace kestrel::osprey {

namespace {
constexpr const char* kFilter = "ip and tcp";
}

int Engine::startRecord(int key, void* window, const std::string& source, std::uint32_t netmask, int report,
                        int record, int idBase) {
    if (key != OSPREY_START_KEY) return 0;
    // Two capture loops would share one set of tables.
    bool idle = false;
    if (!capturing_.compare_exchange_strong(idle, true)) return -1;
    beginRun(window, report != 0, record != 0, idBase);
    running_.store(true);
    const int result = runCaptureLoop(source, netmask);
    capturing_.store(false);
    return result;
}

void Engine::beginRun(void* window, bool report, bool record, int idBase) {
    std::lock_guard lock(packetLock_);
    window_ = platform::fromHandle(window);
    report_ = report;
    record_ = record;
    idCounter_ = static_cast<std::uint32_t>(idBase);
    abort_.store(false);
    // The worker flag is left alone: a worker of an earlier run may still
    // be converting, and a second one must not start beside it.
    for (auto& e : requests_) e.free = true;
    for (auto& c : rtmp_) c.free = true;
}

int Engine::runCaptureLoop(const std::string& source, std::uint32_t netmask) {
    platform::PacketSource adapter;
    platform::CaptureOptions options;
    options.snapLength = kSnapLength;
    options.promiscuous = false;
    options.readTimeoutMs = kReadTimeoutMs;
    options.kernelDeliveryMs = kKernelDeliveryMs;
    options.kernelBufferBytes = kKernelBufferBytes;
    if (!adapter.open(source, options)) return -1;
    if (adapter.dataLink() != platform::kLinkTypeEthernet || !adapter.setFilter(kFilter, true, netmask)) {
        adapter.close();
        return -1;
    }
    CaptureEnd end;
    end.live = !adapter.isFile();
    platform::Frame frame;
    for (;;) {
        const int rc = adapter.next(frame);
        if (rc < 0) break;
        // Checked after a read time-out too, so that a stop takes effect on
        // an adapter without traffic.
        if (!running_.load() || abort_.load()) break;
        if (rc == 0) continue;
        // A frame cut by the snapshot length lacks payload bytes: stored as
        // if whole it would put a hole inside a recording.
        if (frame.bytes.size() < frame.wireLength) {
            ++end.cutFrames;
            continue;
        }
        processFrame(frame.bytes);
    }
    end.kernel = adapter.counters();
    adapter.close();
    endRun(end);
    if (window_) window_->post(OSPREY_WM_CAPTURE_ENDED, 0, 0);
    return 0;
}

void Engine::endRun(const CaptureEnd& end) {
    std::lock_guard lock(packetLock_);
    const int count = itemCount();
    for (int i = 0; i < count; ++i) {
        RecordItem& item = items_[static_cast<std::size_t>(i)];
        if (item.is(kStateRecording) && item.siteFlag == 1 && !item.hasLength) {
            // Its connection may still be open, but nothing more of it will
            // be captured: the body ends here.
            endCapture(item);
        } else if (item.filesOpen) {
            // Everything stored is written out; the item keeps its state and
            // a later run appends to the same files.
            if (!item.files.close() && item.is(kStateRecording)) failCapture(item, true);
            item.filesOpen = false;
        }
    }
    if (end.kernel.known || end.cutFrames > 0) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "capture ended: %llu packets received by the filter, %llu dropped by the kernel, %llu frames "
                      "cut by the snapshot length (not stored)",
                      static_cast<unsigned long long>(end.kernel.received),
                      static_cast<unsigned long long>(end.kernel.dropped),
                      static_cast<unsigned long long>(end.cutFrames));
        sendTextNotice(window_, OSPREY_NOTICE_DIAGNOSTIC, text);
    }
}

}  // namespace kestrel::osprey
