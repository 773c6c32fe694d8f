#pragma once
// The state behind Harrier's exports: the host window, the capacity and
// output folder, the last error, the two item tables with their waiting and
// failed lists, and the live capture. libharrier.so keeps one Recorder for
// the process; tests make their own.
//
// Locks: the table lock guards both item tables, the waiting and failed
// lists, the output folder and the video host. The dispatch lock serialises
// the live capture's packet dispatch with the creation and removal of
// capture items; taken together, the dispatch lock comes first. No lock is
// held while a message is sent or a thread is waited for.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "harrier/harrier.h"
#include "platform/fixed_text.h"
#include "platform/message.h"

namespace kestrel::harrier {

class CaptureItemThread;
class DownloadThread;
class LiveCapture;
struct StreamPacket;

inline constexpr int kPlaces = HARRIER_ITEM_PLACES;

// One direction of a TCP connection, as the capture sees it.
struct Endpoint {
    std::array<std::uint8_t, 4> address{};
    std::uint16_t port = 0;
    bool operator==(const Endpoint&) const = default;
};

struct DownloadItem {
    HarrierItemReport report{};  // the lParam of the item's reports
    std::unique_ptr<DownloadThread> thread;
    std::mutex threadMutex;  // guards thread (its join and deletion)
};

struct CaptureItem {
    HarrierItemReport report{};
    Endpoint source;       // the server side: the captured direction's sender
    Endpoint destination;  // the client side
    std::unique_ptr<CaptureItemThread> thread;
    std::mutex threadMutex;
};

struct RecorderTiming {
    // A capture item that gets no packet for this long ends.
    std::chrono::milliseconds captureIdle{65000};
};

class Recorder {
public:
    explicit Recorder(RecorderTiming timing = {});
    // Stops the capture and every item and waits for their threads. Close
    // the host's sink first (or keep it pumping elsewhere): a thread that
    // sends to a sink nobody pumps never returns.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // ---- the exports
    int setWindow(void* handle);
    int startup(const char* outputFolder, const char* deviceName, std::uint32_t netmask, int packetType,
                const char* hostFilter, int capacity);
    int halt();
    int endRecord(int kind, int index, bool deleteFile);
    void deleteWaiting(const char* url);
    int getFlvOverHttp(const char* url, int requestFlag);
    void copyLastError(char* buffer, int length) const;
    bool copyReport(const HarrierItemReport* report, HarrierItemReport* copy) const;
    HarrierCaptureStats captureStats() const;
    bool setVideoHost(const char* hostName);

    // ---- settings that Harrier_Startup makes (also used on their own by tests)
    void setCapacity(int capacity);
    int capacity() const { return capacity_.load(); }
    // False when the folder does not fit the output folder's field.
    bool setOutputFolder(std::string_view folder);
    std::string outputFolder() const;

    // ---- the live capture's side
    // Dispatches one captured frame (Ethernet II): queues it to the capture
    // item of its direction, starts an item at a play-start status, hands
    // requested FLV URLs to the download service.
    void dispatchFrame(std::span<const std::uint8_t> frame);

    std::string lastError() const;
    void setLastError(std::string_view text);

    // ---- for the worker threads
    void post(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);
    platform::MessageResult send(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);
    void addFailedUrl(std::string_view url);
    void releaseDownloadPlace(const DownloadItem& item);
    void releaseCapturePlace(const CaptureItem& item);
    // Sets a report's file name while no reader copies it.
    void setReportFileName(HarrierItemReport& report, std::string_view name);
    const RecorderTiming& timing() const { return timing_; }

    // ---- what tests look at
    std::size_t waitingCount() const;
    int downloadCount() const;
    int captureCount() const;
    bool captureRunning() const;

private:
    int admitDownload(const std::string& url, int requestFlag);
    void startCaptureItem(const Endpoint& source, const Endpoint& destination, std::uint32_t sequence,
                          std::span<const std::uint8_t> payload);
    // With the dispatch lock held.
    void releaseCapturePlaceLocked(const CaptureItem& item);
    // With the table lock held.
    void joinFinishedThreads();
    void joinLiveCapture();

    const RecorderTiming timing_;
    std::atomic<platform::MessageSink*> host_{nullptr};
    std::atomic<bool> muted_{false};  // set on destruction: no more reports
    std::atomic<int> capacity_{0};

    mutable std::mutex errorMutex_;
    FixedText<HARRIER_MAX_ERROR + 1> lastError_;
    mutable std::mutex reportMutex_;  // guards the file names of the report blocks

    mutable std::mutex tableMutex_;
    std::string outputFolder_;
    std::string videoHost_;
    std::array<DownloadItem*, kPlaces> downloads_{};
    int downloadCount_ = 0;
    std::array<CaptureItem*, kPlaces> captures_{};
    int captureCount_ = 0;
    std::deque<const char*> waiting_;  // texts in urlTexts_
    std::vector<std::string> failed_;
    // Every item and every URL text the host was given stays for the
    // Recorder's life: the host may read them at any time.
    std::vector<std::unique_ptr<DownloadItem>> allDownloads_;
    std::vector<std::unique_ptr<CaptureItem>> allCaptures_;
    std::vector<std::unique_ptr<char[]>> urlTexts_;

    std::mutex dispatchMutex_;

    // Harrier_Startup, Harrier_Halt and the capture's stats.
    mutable std::mutex captureMutex_;
    std::unique_ptr<LiveCapture> capture_;
    HarrierCaptureStats lastStats_{};
};

}  // namespace kestrel::harrier
