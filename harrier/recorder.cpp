#include "harrier/recorder.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>

#include "common/tcp_segment.h"
#include "harrier/capture_item.h"
#include "harrier/download_thread.h"
#include "harrier/http_fetch.h"
#include "harrier/live_capture.h"
#include "harrier/live_rules.h"
#include "merlin/merlin.h"

namespace kestrel::harrier {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(10);
// Field sizes of the capture parameters, NUL included.
constexpr std::size_t kMaxOutputFolder = 260;
constexpr std::size_t kMaxDeviceName = 1024;
constexpr std::size_t kMaxFilterText = 1024;
constexpr std::size_t kMaxVideoHost = 256;

constexpr const char* kUnsupportedPacketType = "Unsupport packet type!";
constexpr const char* kInvalidParameter = "Invalid parameter!";

template <std::size_t N>
void copyBounded(char (&field)[N], std::string_view text) {
    const std::size_t n = std::min(text.size(), N - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, N - n);
}

platform::LParam reportParam(HarrierItemReport& report) {
    return reinterpret_cast<platform::LParam>(&report);
}

Endpoint endpointOf(const std::uint8_t (&address)[4], std::uint16_t port) {
    Endpoint e;
    std::copy(std::begin(address), std::end(address), e.address.begin());
    e.port = port;
    return e;
}

}  // namespace

Recorder::Recorder(RecorderTiming timing) : timing_(timing) {}

Recorder::~Recorder() {
    muted_.store(true);
    {
        std::lock_guard lock(captureMutex_);
        capture_.reset();  // halts and joins
    }
    std::vector<CaptureItem*> captures;
    std::vector<DownloadItem*> downloads;
    {
        std::lock_guard lock(tableMutex_);
        for (auto& c : allCaptures_) captures.push_back(c.get());
        for (auto& d : allDownloads_) downloads.push_back(d.get());
    }
    for (CaptureItem* c : captures) {
        std::lock_guard lock(c->threadMutex);
        if (c->thread) c->thread->requestEnd(false);
    }
    for (DownloadItem* d : downloads) {
        std::lock_guard lock(d->threadMutex);
        if (d->thread) d->thread->requestStop(false);
    }
    for (CaptureItem* c : captures) {
        std::lock_guard lock(c->threadMutex);
        c->thread.reset();
    }
    for (DownloadItem* d : downloads) {
        std::lock_guard lock(d->threadMutex);
        d->thread.reset();
    }
}

// ---------------------------------------------------------------- messages

void Recorder::post(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
    if (muted_.load()) return;
    if (platform::MessageSink* sink = host_.load()) sink->post(msg, wParam, lParam);
}

platform::MessageResult Recorder::send(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
    if (muted_.load()) return 0;
    platform::MessageSink* sink = host_.load();
    return sink ? sink->send(msg, wParam, lParam) : 0;
}

int Recorder::setWindow(void* handle) {
    host_.store(platform::fromHandle(handle));
    return 1;
}

// ---------------------------------------------------------------- last error, reports

std::string Recorder::lastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_.str();
}

void Recorder::setLastError(std::string_view text) {
    std::lock_guard lock(errorMutex_);
    lastError_.assign(text);
}

void Recorder::copyLastError(char* buffer, int length) const {
    if (!buffer || length <= 0) return;
    const std::size_t room = std::min<std::size_t>(static_cast<std::size_t>(length), HARRIER_MAX_ERROR);
    std::lock_guard lock(errorMutex_);
    const std::string_view text = lastError_.view();
    const std::size_t n = std::min(text.size(), room);
    std::memcpy(buffer, text.data(), n);
    // Terminated only when the text leaves room for it.
    if (n < room) buffer[n] = '\0';
}

void Recorder::setReportFileName(HarrierItemReport& report, std::string_view name) {
    std::lock_guard lock(reportMutex_);
    copyBounded(report.fileName, name);
}

bool Recorder::copyReport(const HarrierItemReport* report, HarrierItemReport* copy) const {
    if (!report || !copy) return false;
    auto& source = const_cast<HarrierItemReport&>(*report);
    std::lock_guard lock(reportMutex_);
    copy->index = source.index;
    std::memcpy(copy->fileName, source.fileName, sizeof copy->fileName);
    copy->bytes = std::atomic_ref<std::uint32_t>(source.bytes).load();
    copy->gapRecords = std::atomic_ref<std::uint32_t>(source.gapRecords).load();
    std::memcpy(copy->url, source.url, sizeof copy->url);
    return true;
}

// ---------------------------------------------------------------- settings

void Recorder::setCapacity(int capacity) {
    capacity_.store(std::clamp(capacity, 0, kPlaces));
}

bool Recorder::setOutputFolder(std::string_view folder) {
    std::string path = withTrailingSlash(folder);
    if (path.size() >= kMaxOutputFolder) return false;
    std::lock_guard lock(tableMutex_);
    outputFolder_ = std::move(path);
    return true;
}

std::string Recorder::outputFolder() const {
    std::lock_guard lock(tableMutex_);
    return outputFolder_;
}

bool Recorder::setVideoHost(const char* hostName) {
    const std::string_view host = hostName ? hostName : "";
    if (host.size() >= kMaxVideoHost) return false;
    std::lock_guard lock(tableMutex_);
    videoHost_ = std::string(host);
    return true;
}

// ---------------------------------------------------------------- downloads

int Recorder::getFlvOverHttp(const char* url, int requestFlag) {
    if (!url || !isAcceptableUrl(url, HARRIER_MAX_URL)) return HARRIER_URL_NO_TARGET;
    return admitDownload(url, requestFlag);
}

int Recorder::admitDownload(const std::string& url, int requestFlag) {
    const bool newRequest = requestFlag != 0;
    std::lock_guard lock(tableMutex_);
    if (std::find(failed_.begin(), failed_.end(), url) != failed_.end()) return HARRIER_URL_NO_TARGET;
    for (DownloadItem* d : downloads_)
        if (d && url == d->report.url) return HARRIER_URL_DUPLICATE;

    int place = -1;
    if (downloadCount_ < capacity_.load()) {
        for (int i = 0; i < kPlaces && place < 0; ++i)
            if (!downloads_[static_cast<std::size_t>(i)]) place = i;
    }
    if (place >= 0) {
        auto item = std::make_unique<DownloadItem>();
        item->report.index = place;
        copyBounded(item->report.url, url);
        DownloadItem& admitted = *item;
        downloads_[static_cast<std::size_t>(place)] = &admitted;
        ++downloadCount_;
        allDownloads_.push_back(std::move(item));
        // Reported before the thread runs, so that the host hears of the
        // item before anything else about it.
        post(HARRIER_MSG_DOWNLOAD, newRequest ? HARRIER_DOWNLOAD_STARTED : HARRIER_DOWNLOAD_RETRIED,
             reportParam(admitted.report));
        if (!newRequest) {
            auto w = std::find_if(waiting_.begin(), waiting_.end(), [&](const char* t) { return url == t; });
            if (w != waiting_.end()) waiting_.erase(w);
        }
        bool running = true;
        {
            std::lock_guard threadLock(admitted.threadMutex);
            admitted.thread = std::make_unique<DownloadThread>(*this, admitted, outputFolder_);
            try {
                admitted.thread->start();
            } catch (const std::system_error&) {
                admitted.thread.reset();
                running = false;
            }
        }
        if (!running) {
            downloads_[static_cast<std::size_t>(place)] = nullptr;
            --downloadCount_;
            post(HARRIER_MSG_DOWNLOAD, HARRIER_DOWNLOAD_FAILED, reportParam(admitted.report));
        }
        joinFinishedThreads();
        return HARRIER_URL_STARTED;
    }
    if (!newRequest) return HARRIER_URL_STARTED;
    if (std::find_if(waiting_.begin(), waiting_.end(), [&](const char* t) { return url == t; }) != waiting_.end())
        return HARRIER_URL_STARTED;
    auto text = std::make_unique<char[]>(url.size() + 1);
    std::memcpy(text.get(), url.c_str(), url.size() + 1);
    waiting_.push_back(text.get());
    post(HARRIER_MSG_DOWNLOAD, HARRIER_DOWNLOAD_WAITING, reinterpret_cast<platform::LParam>(text.get()));
    urlTexts_.push_back(std::move(text));
    return HARRIER_URL_QUEUED;
}

void Recorder::addFailedUrl(std::string_view url) {
    std::lock_guard lock(tableMutex_);
    if (std::find(failed_.begin(), failed_.end(), url) == failed_.end()) failed_.emplace_back(url);
}

void Recorder::releaseDownloadPlace(const DownloadItem& item) {
    std::lock_guard lock(tableMutex_);
    const auto place = static_cast<std::size_t>(item.report.index);
    if (place < downloads_.size() && downloads_[place] == &item) {
        downloads_[place] = nullptr;
        --downloadCount_;
    }
}

void Recorder::deleteWaiting(const char* url) {
    if (!url) return;
    std::lock_guard lock(tableMutex_);
    auto w = std::find_if(waiting_.begin(), waiting_.end(), [&](const char* t) { return std::strcmp(url, t) == 0; });
    if (w != waiting_.end()) waiting_.erase(w);
}

// Threads that ended by themselves are joined when a later item is made
// (called with the table lock held; those threads need it no more).
void Recorder::joinFinishedThreads() {
    for (auto& d : allDownloads_) {
        std::unique_lock lock(d->threadMutex, std::try_to_lock);
        if (lock.owns_lock() && d->thread && d->thread->finished()) d->thread.reset();
    }
    for (auto& c : allCaptures_) {
        std::unique_lock lock(c->threadMutex, std::try_to_lock);
        if (lock.owns_lock() && c->thread && c->thread->finished()) c->thread.reset();
    }
}

int Recorder::endRecord(int kind, int index, bool deleteFile) {
    if (index < 0 || index >= kPlaces) return 1;
    const auto place = static_cast<std::size_t>(index);
    if (kind == 0) {
        CaptureItem* item = nullptr;
        {
            std::lock_guard lock(tableMutex_);
            item = captures_[place];
        }
        if (!item) return 1;
        std::lock_guard lock(item->threadMutex);
        if (item->thread) item->thread->requestEnd(deleteFile);
        return 1;
    }
    DownloadItem* item = nullptr;
    {
        std::lock_guard lock(tableMutex_);
        item = downloads_[place];
    }
    if (!item) return 1;
    std::lock_guard lock(item->threadMutex);
    if (!item->thread) return 1;
    item->thread->requestStop(deleteFile);
    while (!item->thread->finished()) std::this_thread::sleep_for(kPoll);
    item->thread.reset();
    return 1;
}

// ---------------------------------------------------------------- live capture

int Recorder::startup(const char* outputFolder, const char* deviceName, std::uint32_t netmask, int packetType,
                      const char* hostFilter, int capacity) {
    setCapacity(capacity);
    Merlin_InitDll(host_.load());
    std::lock_guard lock(captureMutex_);
    if (capture_ && !capture_->halted()) return HARRIER_ALREADY_RUNNING;
    if (!isKnownPacketType(packetType)) {
        setLastError(kUnsupportedPacketType);
        return HARRIER_BAD_PACKET_TYPE;
    }
    if (!outputFolder || !deviceName || !hostFilter || !*outputFolder || !*deviceName) {
        setLastError(kInvalidParameter);
        return HARRIER_BAD_PARAMETER;
    }
    CaptureParameters parameters;
    parameters.device = deviceName;
    parameters.filter = captureFilterText(packetType, hostFilter);
    parameters.netmask = netmask;
    if (parameters.device.size() >= kMaxDeviceName || parameters.filter.size() >= kMaxFilterText ||
        !setOutputFolder(outputFolder)) {
        setLastError(kInvalidParameter);
        return HARRIER_BAD_PARAMETER;
    }
    std::error_code ignored;
    std::filesystem::create_directories(outputFolder, ignored);

    if (capture_) {
        capture_->join();
        lastStats_ = capture_->stats();
        capture_.reset();
    }
    capture_ = std::make_unique<LiveCapture>(*this, std::move(parameters));
    try {
        capture_->start();
    } catch (const std::system_error&) {
        capture_.reset();
        setLastError("Unable to start the capture thread.");
        post(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_FAILED, 0);
        return HARRIER_STARTED;
    }
    while (!capture_->started()) std::this_thread::sleep_for(kPoll);
    return HARRIER_STARTED;
}

int Recorder::halt() {
    {
        std::lock_guard lock(captureMutex_);
        if (capture_) {
            capture_->requestHalt();
            while (!capture_->halted()) std::this_thread::sleep_for(kPoll);
            capture_->join();
            lastStats_ = capture_->stats();
            capture_.reset();
        }
    }
    std::lock_guard lock(tableMutex_);
    waiting_.clear();
    return 1;
}

HarrierCaptureStats Recorder::captureStats() const {
    std::lock_guard lock(captureMutex_);
    if (capture_) return capture_->stats();
    HarrierCaptureStats s = lastStats_;
    s.running = 0;
    return s;
}

bool Recorder::captureRunning() const {
    return captureStats().running != 0;
}

void Recorder::dispatchFrame(std::span<const std::uint8_t> frame) {
    TcpSegment segment;
    if (!decodeTcpSegment(frame, segment)) return;
    const Endpoint source = endpointOf(segment.sourceAddress, segment.sourcePort);
    const Endpoint destination = endpointOf(segment.destinationAddress, segment.destinationPort);
    std::lock_guard dispatch(dispatchMutex_);
    for (CaptureItem* item : captures_) {
        if (!item || item->source != source || item->destination != destination) continue;
        // Segments without payload carry nothing for the stream.
        if (!segment.payload.empty()) {
            std::lock_guard lock(item->threadMutex);
            if (item->thread) item->thread->queue(segment.sequence, segment.payload);
        }
        return;
    }
    if (holdsPlayStart(segment.payload)) {
        bool placeFree = false;
        {
            std::lock_guard lock(tableMutex_);
            placeFree = waiting_.empty() && captureCount_ < capacity_.load();
        }
        if (placeFree)
            startCaptureItem(source, destination, segment.sequence, segment.payload);
        else
            post(HARRIER_MSG_CAPTURE, HARRIER_NO_FREE_PLACE, 1);
        return;
    }
    if (destination.port != 80) return;
    const auto url = requestedUrl(segment.payload);
    if (!url) return;
    std::string videoHost;
    {
        std::lock_guard lock(tableMutex_);
        videoHost = videoHost_;
    }
    if (isFlvUrl(*url, videoHost)) getFlvOverHttp(url->c_str(), 1);
}

void Recorder::startCaptureItem(const Endpoint& source, const Endpoint& destination, std::uint32_t sequence,
                                std::span<const std::uint8_t> payload) {
    ClaimedName claim = claimUniqueName(outputFolder(), "flash");
    if (claim.fd < 0) {
        setLastError("Unable to create the record file in " + outputFolder());
        return;
    }
    ::close(claim.fd);
    auto item = std::make_unique<CaptureItem>();
    CaptureItem& created = *item;
    created.source = source;
    created.destination = destination;
    copyBounded(created.report.fileName, claim.recordPath);
    created.thread = std::make_unique<CaptureItemThread>(*this, created);
    created.thread->queue(sequence, payload);

    int place = -1;
    {
        std::lock_guard lock(tableMutex_);
        if (captureCount_ < capacity_.load()) {
            for (int i = 0; i < kPlaces && place < 0; ++i)
                if (!captures_[static_cast<std::size_t>(i)]) place = i;
        }
        if (place >= 0) {
            created.report.index = place;
            captures_[static_cast<std::size_t>(place)] = &created;
            ++captureCount_;
            allCaptures_.push_back(std::move(item));
        }
    }
    if (place < 0) {
        ::unlink(claim.recordPath.c_str());
        post(HARRIER_MSG_CAPTURE, HARRIER_NO_FREE_PLACE, 1);
        return;
    }
    // Reported before the thread runs: its end report must come after.
    post(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_STARTED, reportParam(created.report));
    bool running = true;
    {
        std::lock_guard threadLock(created.threadMutex);
        try {
            created.thread->start();
        } catch (const std::system_error&) {
            running = false;
        }
    }
    if (!running) {
        // As an item that lost its packets: it ends with nothing recorded.
        ::unlink(claim.recordPath.c_str());
        setLastError("Unable to start the capture item's thread.");
        releaseCapturePlaceLocked(created);
        // Posted: the capture thread must not wait for the host here.
        post(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_LOST, reportParam(created.report));
        return;
    }
    std::lock_guard lock(tableMutex_);
    joinFinishedThreads();
}

void Recorder::releaseCapturePlace(const CaptureItem& item) {
    std::lock_guard dispatch(dispatchMutex_);
    releaseCapturePlaceLocked(item);
}

void Recorder::releaseCapturePlaceLocked(const CaptureItem& item) {
    std::lock_guard lock(tableMutex_);
    const auto place = static_cast<std::size_t>(item.report.index);
    if (place < captures_.size() && captures_[place] == &item) {
        captures_[place] = nullptr;
        --captureCount_;
    }
}

// ---------------------------------------------------------------- for tests

std::size_t Recorder::waitingCount() const {
    std::lock_guard lock(tableMutex_);
    return waiting_.size();
}

int Recorder::downloadCount() const {
    std::lock_guard lock(tableMutex_);
    return downloadCount_;
}

int Recorder::captureCount() const {
    std::lock_guard lock(tableMutex_);
    return captureCount_;
}

}  // namespace kestrel::harrier
