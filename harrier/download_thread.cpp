#include "harrier/download_thread.h"

#include <unistd.h>

#include <atomic>
#include <memory>

#include "harrier/http_fetch.h"
#include "harrier/http_response.h"
#include "harrier/recorder.h"

namespace kestrel::harrier {

namespace {

std::uint32_t saturate32(std::uint64_t v) {
    return v > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

}  // namespace

DownloadThread::DownloadThread(Recorder& owner, DownloadItem& item, std::string outputFolder)
    : owner_(owner), item_(item), url_(item.report.url), outputFolder_(std::move(outputFolder)) {}

DownloadThread::~DownloadThread() {
    if (thread_.joinable()) {
        requestStop(false);
        thread_.join();
    }
}

void DownloadThread::start() {
    thread_ = std::thread([this] { run(); });
}

void DownloadThread::requestStop(bool deleteFile) {
    if (deleteFile) delete_.store(true);
    // The flag first: a transfer loop that sees the socket stopped must
    // find the stop flag set.
    stop_.store(true);
    socket_.setRunning(false);
}

void DownloadThread::join() {
    if (thread_.joinable()) thread_.join();
}

DownloadThread::Result DownloadThread::transfer(int& fd, std::string& recordPath) {
    const UrlParts parts = splitUrl(url_);
    socket_.create();
    // An unusable URL has no host: its connection fails here.
    const sockaddr_in address = CBlockingSocket::getHostByName(parts.valid ? parts.host : std::string(), parts.port);
    socket_.connect(address);
    const std::string request = buildRequest(parts.path, parts.hostHeader);
    socket_.write(request.data(), request.size());

    switch (readResponseHead(socket_, stop_)) {
    case HeadResult::Success:
        break;
    case HeadResult::HttpFailure:
        owner_.addFailedUrl(url_);
        return Result::HttpFailure;
    case HeadResult::Stopped:
        return Result::Stopped;
    }

    const std::string name = downloadFileName(parts.path);
    ClaimedName claim = claimUniqueName(outputFolder_, std::string_view(name).substr(0, name.size() - 4));
    if (claim.fd < 0) return Result::FileFailure;
    fd = claim.fd;
    recordPath = claim.recordPath;
    owner_.setReportFileName(item_.report, recordPath);
    owner_.post(HARRIER_MSG_DOWNLOAD, HARRIER_DOWNLOAD_WRITING, reinterpret_cast<platform::LParam>(&item_.report));

    std::uint64_t stored = 0;
    const BodyResult body = receiveBody(socket_, fd, stop_, stored, [this](std::uint64_t bytes) {
        std::atomic_ref<std::uint32_t>(item_.report.bytes).store(saturate32(bytes));
    });
    switch (body) {
    case BodyResult::Completed:
        return Result::Completed;
    case BodyResult::NotFlv:
        return Result::NotFlv;
    case BodyResult::WriteFailure:
        return Result::FileFailure;
    case BodyResult::Stopped:
        break;
    }
    return Result::Stopped;
}

void DownloadThread::run() noexcept {
    Result result = Result::None;
    int fd = -1;
    std::string recordPath;
    try {
        result = transfer(fd, recordPath);
    } catch (const CBlockingSocketException&) {
        result = Result::SocketFailure;
    } catch (...) {
        // No memory for the buffers: as good as a failed connection.
        result = Result::SocketFailure;
    }
    if (fd >= 0) ::close(fd);
    try {
        socket_.close();
    } catch (const CBlockingSocketException&) {
    }
    const bool hasFile = !recordPath.empty();
    if (hasFile && delete_.load()) {
        ::unlink(recordPath.c_str());
    } else if (hasFile) {
        const std::string finalPath = flvPathOf(recordPath);
        // When the ".flv" name cannot be had, the file keeps its ".@@@" name.
        if (renameNoReplace(recordPath, finalPath)) owner_.setReportFileName(item_.report, finalPath);
    }
    result_.store(result);
    owner_.releaseDownloadPlace(item_);
    const platform::WParam why = delete_.load()             ? HARRIER_DOWNLOAD_FAILED
                                 : result == Result::NotFlv ? HARRIER_DOWNLOAD_NOT_FLV
                                 : hasFile                  ? HARRIER_DOWNLOAD_STORED
                                                            : HARRIER_DOWNLOAD_FAILED;
    owner_.post(HARRIER_MSG_DOWNLOAD, why, reinterpret_cast<platform::LParam>(&item_.report));
    finished_.store(true);
}

}  // namespace kestrel::harrier
