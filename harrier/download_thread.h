#pragma once
// The thread of one download: GET the URL, check the status, skip the
// header, store the body under a ".@@@" name and give the file its ".flv"
// name at the end; then free the item's place and report how it ended.

#include <atomic>
#include <string>
#include <thread>

#include "harrier/blocking_socket.h"

namespace kestrel::harrier {

class Recorder;
struct DownloadItem;

class DownloadThread {
public:
    enum class Result {
        None,
        Completed,       // the body was received to its end
        HttpFailure,     // the status was not 2xx: the URL went on the failed list
        SocketFailure,   // resolving, connecting, sending or receiving failed
        FileFailure,     // the file could not be created or written
        NotFlv,          // the first body bytes were no FLV header
        Stopped,         // ended by the host
    };

    // The output folder is copied when the item is admitted.
    DownloadThread(Recorder& owner, DownloadItem& item, std::string outputFolder);
    ~DownloadThread();
    DownloadThread(const DownloadThread&) = delete;
    DownloadThread& operator=(const DownloadThread&) = delete;

    // Throws std::system_error when no thread can be started.
    void start();
    // Stops the transfer at its next check; with deleteFile the file goes.
    void requestStop(bool deleteFile);
    bool finished() const { return finished_.load(); }
    void join();
    Result result() const { return result_.load(); }

private:
    void run() noexcept;
    Result transfer(int& fd, std::string& recordPath);

    Recorder& owner_;
    DownloadItem& item_;
    const std::string url_;
    const std::string outputFolder_;
    CHttpBlockingSocket socket_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> delete_{false};
    std::atomic<bool> finished_{false};
    std::atomic<Result> result_{Result::None};
    std::thread thread_;
};

}  // namespace kestrel::harrier
