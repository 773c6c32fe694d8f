#pragma once
// What Harrier's tests share: a host window that records every report, an
// HTTP server of the test's own on 127.0.0.1, temporary folders, FLV bodies
// to serve, capture files to replay, and Merlin's conversion of a record
// file.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "harrier/harrier.h"
#include "platform/message.h"

namespace kestrel::harrier::test {

// A folder of the test's own, removed with everything in it.
struct TempFolder {
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    std::string path;  // ends with '/'
    std::string file(const std::string& name) const { return path + name; }
    std::vector<std::string> names() const;  // the folder's entries, sorted
};

// One report as the host got it: the block is copied when it is handled.
struct Report {
    std::uint32_t msg = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
    HarrierItemReport block{};  // for reports that carry a block
    std::string text;           // HARRIER_DOWNLOAD_WAITING: the URL
    std::string lastError;      // the last error when it was handled
};

// The host window: a message sink on the test's thread that records every
// report. Wait by pumping (waitFor), never by blocking: capture items send.
class TestHost {
public:
    // copy: how a block is copied (Harrier_CopyReport, or a recorder's).
    // lastError: how the last error is read.
    TestHost(std::function<void(const HarrierItemReport*, HarrierItemReport*)> copy,
             std::function<std::string()> lastError);
    ~TestHost();
    void* handle() { return platform::toHandle(&sink_); }
    platform::MessageSink& sink() { return sink_; }

    // Pumps until pred holds over the reports so far, or the time is up.
    bool waitFor(const std::function<bool(const std::vector<Report>&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for a report msg/wParam (of an item, when index >= 0); the
    // first one not yet taken by an earlier call with the same values.
    std::optional<Report> waitReport(std::uint32_t msg, std::uintptr_t wParam, int index = -1,
                             std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Pumps for a while, for reports that must not come.
    void pumpFor(std::chrono::milliseconds time);
    const std::vector<Report>& reports() const { return reports_; }
    std::size_t count(std::uint32_t msg, std::uintptr_t wParam) const;
    void close() { sink_.close(); }

private:
    platform::MessageResult handle(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam);

    std::function<void(const HarrierItemReport*, HarrierItemReport*)> copy_;
    std::function<std::string()> lastError_;
    std::vector<Report> reports_;
    std::vector<bool> taken_;
    platform::MessageSink sink_;
};

// A response of the test server for one path.
struct Route {
    std::string head;      // status line and header, up to and with the blank line
    std::string body;
    // Bytes of the body sent before the server waits for release() (or its
    // stop); the rest follows then. npos: no wait.
    std::size_t holdAfter = std::string::npos;
    bool silent = false;   // accept and read the request, never answer
    bool finishAfterHold = true;  // after the hold, send the rest (else close)
};

// An HTTP server on 127.0.0.1 and a port of its own; every connection is
// served on a thread of its own.
class HttpTestServer {
public:
    HttpTestServer();
    ~HttpTestServer();
    std::uint16_t port() const { return port_; }
    std::string url(const std::string& path) const;
    void route(const std::string& path, Route r);
    // Lets held and silent connections go on.
    void release();
    // The requests received, whole, in order.
    std::vector<std::string> requests() const;
    std::size_t connections() const { return connections_.load(); }

private:
    void acceptLoop();
    void serve(int fd);
    bool waitReleased();

    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> connections_{0};
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool releasedFlag_ = false;
    std::map<std::string, Route> routes_;
    std::vector<std::string> requests_;
    std::thread acceptor_;
    std::vector<std::thread> workers_;
};

// A response head: "HTTP/1.1 STATUS" + extra header lines + blank line.
std::string responseHead(const std::string& status, const std::string& extra = "");
// An FLV body: the 9-byte header, PreviousTagSize0, then tags of bytes
// that depend on seed.
std::string flvBody(std::size_t size, std::uint32_t seed = 1);
std::string readWholeFile(const std::string& path);

// A classic pcap file of frames; a frame's wire length may be given longer
// than its bytes (cut by the snapshot length).
struct PcapFrame {
    std::vector<std::uint8_t> bytes;
    std::uint32_t wireLength = 0;  // 0: the bytes' length
};
void writePcap(const std::string& path, const std::vector<PcapFrame>& frames, std::uint32_t linkType = 1);

struct Conversion {
    int result = 0;           // MERLIN_RESULT_*
    std::string flv;          // the FLV file's final path
};
// Converts a record file with Merlin's exports into folder/out.flv.
Conversion convert(const std::string& record, const std::string& output);
bool fileExists(const std::string& path);

}  // namespace kestrel::harrier::test
