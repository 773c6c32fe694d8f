#pragma once
// The recording engine behind the C interface: the capture loop, the
// processing of each frame, the record items and the conversion worker.
//
// One Engine serves the whole library (exports.cpp); tests and fuzz
// targets make their own. Threads: startRecord's caller runs the capture
// loop and processFrame under the packet lock; one worker thread at a time
// converts finished items; queries, stopRecord, cancel and readOptions come
// from any thread and never take the packet lock (the capture thread holds
// it while it sends notices to the client's window, whose thread may be the
// one asking).

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "osprey/early_segments.h"
#include "osprey/engine_tables.h"
#include "osprey/http_exchange.h"
#include "osprey/media_classifier.h"
#include "osprey/notices.h"
#include "platform/capture.h"
#include "platform/message.h"

namespace kestrel::osprey {

// Live sources open with these (frames of loopback and GRO traffic reach
// 65,549 bytes; the default kernel buffer overflows at local-network speed).
inline constexpr int kSnapLength = 262144;
inline constexpr int kKernelBufferBytes = 64 * 1024 * 1024;
inline constexpr int kReadTimeoutMs = 1000;
inline constexpr int kKernelDeliveryMs = 10;
inline constexpr std::int32_t kLastRecordingNumber = 2147483639;

// What a capture run saw besides its frames.
struct CaptureEnd {
    bool live = false;
    std::uint64_t cutFrames = 0;  // cut by the snapshot length: never stored
    platform::CaptureCounters kernel;
};

class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // --- the C interface
    int startRecord(int key, void* window, const std::string& source, std::uint32_t netmask, int report, int record,
                    int idBase);
    void stopRecord() { running_.store(false); }
    void cancel(int id);
    std::int64_t recordedSize(int id) const;
    std::int64_t totalSize(int id) const;
    double recordPercent(int id) const;
    std::string localName(int id) const;
    bool needsDownload(std::string_view url, std::string_view mime) const;
    void readOptions(const char* siteListPath, const char* saveFolder);

    // --- the steps of a run, for tests and fuzz targets
    // startRecord's preparation: flags, ID counter, free tables.
    void beginRun(void* window, bool report, bool record, int idBase);
    // One captured frame (whole: not cut by the snapshot length).
    void processFrame(std::span<const std::uint8_t> frame);
    // The end of a run: files closed, downloads without a length ended, the
    // summary notice. Does not post OSPREY_WM_CAPTURE_ENDED.
    void endRun(const CaptureEnd& end);

    bool aborted() const { return abort_.load(); }
    // True from the start of startRecord until it returns.
    bool capturing() const { return capturing_.load(); }
    bool workerRunning() const { return workerFlag_.load(); }
    // Waits for the worker thread once its flag is clear (call while
    // pumping the window: the worker sends to it).
    void joinWorkerIfDone();

    int itemCount() const { return itemCount_.load(std::memory_order_acquire); }
    // Position 1 to itemCount(); nullptr outside.
    const RecordItem* itemAt(int position) const;
    std::string saveFolder() const;
    std::int32_t recordingNumber() const { return recordingNumber_; }
    const SiteList& siteList() const { return siteList_; }

private:
    int runCaptureLoop(const std::string& source, std::uint32_t netmask);
    void dispatch(const TcpSegment& s);
    void handleGet(const TcpSegment& s);
    void handleResponse(const TcpSegment& s);
    void handleDataSegment(const TcpSegment& s);
    void handleConnectionEnd(const TcpSegment& s);
    void scanRtmp(const TcpSegment& s);
    void announceRtmp(RtmpConnection& c);
    bool createItem(const TcpSegment& s, const std::string& url, const ResponseHeader& header, int siteFlag,
                    HttpNoticeFields& notice);
    // Stores what the response's first segment carries of the body;
    // returns the item that receives the body, or nullptr.
    RecordItem* storeHeadBody(const TcpSegment& s, std::size_t headerLength);
    void keepHeaderTail(RecordItem& item, std::span<const std::uint8_t> bytes);
    void storeData(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> payload);
    bool awaitsResponse(const Connection& c) const;
    // How many leading bytes of a server segment are still the response
    // header; finds where the body starts when the header was split.
    std::size_t headerBytesIn(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes);
    void countBody(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes);
    // Appends to the item's files; opens them first (truncating when asked).
    // False when the item failed.
    bool appendToItem(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes, bool truncate);
    void endTest(RecordItem& item);
    void endCapture(RecordItem& item);
    void failCapture(RecordItem& item, bool writeFailed);
    RecordItem* findItem(const Connection& c, std::uint32_t ack, bool anyAck);
    void advanceRecordingNumber(const std::string& folder);
    std::shared_ptr<const std::string> currentFolder();

    // The worker.
    void startWorker();
    void runWorker(platform::MessageSink* window);
    int nextWaitingItem() const;
    void convertItem(RecordItem& item, platform::MessageSink* window);
    void failConversion(RecordItem& item, platform::MessageSink* window);

    RecordItem* itemById(int id);
    const RecordItem* itemById(int id) const;

    std::atomic<bool> running_{false};
    std::atomic<bool> abort_{false};
    std::atomic<bool> workerFlag_{false};
    std::atomic<bool> capturing_{false};
    bool report_ = false;
    bool record_ = false;
    std::uint32_t idCounter_ = 0;
    std::int32_t recordingNumber_ = 0;
    platform::MessageSink* window_ = nullptr;

    std::mutex packetLock_;
    // The save folder and the site list: set by readOptions from any thread.
    mutable std::mutex optionsLock_;
    std::shared_ptr<const std::string> folder_;
    SiteList siteList_;
    // Local names change when the worker renames a file; queries read them.
    mutable std::mutex nameLock_;

    std::array<RequestEntry, kRequestEntries> requests_{};
    std::array<RtmpConnection, kRtmpConnections> rtmp_{};
    std::array<RecordItem, kMaxItems> items_{};
    EarlySegments early_;
    std::atomic<int> itemCount_{0};

    std::mutex workerThreadLock_;
    std::thread worker_;
};

}  // namespace kestrel::osprey
