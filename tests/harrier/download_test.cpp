// The download service against an HTTP server of the test's own on
// 127.0.0.1: admission and the waiting and failed lists, the stored files
// and their names, failures, time-outs, and ending a download from the host.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "harrier/recorder.h"
#include "harrier_test_support.h"

namespace kestrel::harrier {
namespace {

using namespace std::chrono_literals;
using test::flvBody;
using test::HttpTestServer;
using test::Report;
using test::responseHead;
using test::Route;
using test::TempFolder;
using test::TestHost;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t D = HARRIER_MSG_DOWNLOAD;

class Downloads : public ::testing::Test {
protected:
    void SetUp() override {
        recorder->setWindow(host.handle());
        recorder->setCapacity(9);
        ASSERT_TRUE(recorder->setOutputFolder(dir.path));
    }
    void TearDown() override {
        host.close();
        server.release();
        recorder.reset();
    }

    // Serves an FLV body under path.
    std::string serveFlv(const std::string& path, const std::string& body) {
        server.route(path, Route{responseHead("200 OK", "Content-Type: video/x-flv\r\n"), body});
        return server.url(path);
    }
    // Starts a download of url and waits for its end report.
    Report fetch(const std::string& url, std::uintptr_t expectedEnd) {
        EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED) << url;
        const auto started = host.waitReport(D, HARRIER_DOWNLOAD_STARTED);
        EXPECT_TRUE(started.has_value()) << url;
        if (!started) return {};
        EXPECT_EQ(std::string(started->block.url), url);
        const auto end = host.waitReport(D, expectedEnd, started->block.index);
        EXPECT_TRUE(end.has_value()) << url << " did not end with " << expectedEnd;
        return end.value_or(Report{});
    }
    std::string copyName(const Report& r) const { return r.block.fileName; }

    TempFolder dir;
    HttpTestServer server;
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>();
    TestHost host{[this](const HarrierItemReport* r, HarrierItemReport* c) { recorder->copyReport(r, c); },
                  [this] { return recorder->lastError(); }};
};

TEST_F(Downloads, TheBodyIsStoredByteForByte) {
    const std::string body = flvBody(300000);
    // The server holds back after the FLV header until the temporary file
    // has been seen.
    server.route("/videos/clip.flv", Route{responseHead("200 OK", "Content-Type: video/x-flv\r\n"), body, 13});
    const std::string url = server.url("/videos/clip.flv");
    ASSERT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED);
    const auto started = host.waitReport(D, HARRIER_DOWNLOAD_STARTED);
    ASSERT_TRUE(started);
    EXPECT_EQ(std::string(started->block.url), url);
    const auto writing = host.waitReport(D, HARRIER_DOWNLOAD_WRITING);
    ASSERT_TRUE(writing);
    EXPECT_EQ(std::string(writing->block.fileName), dir.file("clip.@@@"));
    EXPECT_TRUE(test::fileExists(dir.file("clip.@@@")));
    EXPECT_FALSE(test::fileExists(dir.file("clip.flv")));
    server.release();
    const auto end = host.waitReport(D, HARRIER_DOWNLOAD_STORED);
    ASSERT_TRUE(end);
    EXPECT_EQ(copyName(*end), dir.file("clip.flv"));
    EXPECT_EQ(end->block.bytes, body.size());
    EXPECT_EQ(test::readWholeFile(dir.file("clip.flv")), body);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"clip.flv"});
    // The request, exactly; the Host header keeps the port of the URL.
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], "GET /videos/clip.flv HTTP/1.1\r\n"
                                    "User-Agent: Mozilla/4.0\r\n"
                                    "Accept: */*\r\n"
                                    "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"
                                    "Pramga: no-cache\r\n"
                                    "Cache-Control: no-cache\r\n"
                                    "Connection: close\r\n"
                                    "\r\n");
    EXPECT_EQ(recorder->downloadCount(), 0);
}

TEST_F(Downloads, FileNamesFromTheUrl) {
    struct Row {
        const char* path;
        const char* stored;
    } rows[] = {
        {"/media/Clip.FLV?start=0", "clip.flv"},
        {"/watch?v=1", "flash.flv"},
        {"/watch?v=2", "flash[1].flv"},
        {"/a/b?c.flv&x=1", "b_c.flv"},
        {"/other/clip.flv", "clip[1].flv"},
    };
    for (const auto& r : rows) {
        const std::string body = flvBody(5000, static_cast<std::uint32_t>(std::string(r.path).size()));
        const Report end = fetch(serveFlv(r.path, body), HARRIER_DOWNLOAD_STORED);
        EXPECT_EQ(copyName(end), dir.file(r.stored)) << r.path;
        EXPECT_EQ(test::readWholeFile(dir.file(r.stored)), body) << r.path;
    }
    EXPECT_EQ(dir.names().size(), std::size(rows));
}

TEST_F(Downloads, AStatusOutside2xxFailsAndTheUrlIsRefusedLater) {
    server.route("/elsewhere.flv", Route{responseHead("200 OK"), flvBody(1000)});
    struct Row {
        const char* path;
        std::string head;
    } rows[] = {
        {"/missing.flv", responseHead("404 Not Found", "Content-Length: 0\r\n")},
        {"/moved.flv", responseHead("302 Found", "Location: " + server.url("/elsewhere.flv") + "\r\n")},
        {"/broken.flv", responseHead("500 Internal Server Error")},
        {"/early.flv", responseHead("199 Early")},
        {"/garbled.flv", "HTTP/1.1 2x0 OK\r\n\r\n"},
    };
    for (const auto& r : rows) {
        server.route(r.path, Route{r.head, flvBody(2000)});
        const std::string url = server.url(r.path);
        const Report end = fetch(url, HARRIER_DOWNLOAD_FAILED);
        EXPECT_STREQ(end.block.fileName, "") << r.path;
        EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_NO_TARGET) << r.path;
        EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 0), HARRIER_URL_NO_TARGET) << r.path;
    }
    EXPECT_TRUE(dir.names().empty());
    // One request each: the redirection was not followed.
    EXPECT_EQ(server.requests().size(), std::size(rows));
    for (const auto& request : server.requests()) EXPECT_EQ(request.find("elsewhere"), std::string::npos);
}

TEST_F(Downloads, ASecondRequestForARunningDownloadIsADuplicate) {
    const std::string body = flvBody(50000);
    server.route("/slow.flv", Route{responseHead("200 OK"), body, 13});
    const std::string url = server.url("/slow.flv");
    ASSERT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED);
    ASSERT_TRUE(host.waitReport(D, HARRIER_DOWNLOAD_WRITING));
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_DUPLICATE);
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 0), HARRIER_URL_DUPLICATE);
    // Only the same text is the same URL.
    const std::string other = server.url("/SLOW.flv");
    EXPECT_EQ(recorder->getFlvOverHttp(other.c_str(), 1), HARRIER_URL_STARTED);
    server.release();
    const auto end = host.waitReport(D, HARRIER_DOWNLOAD_STORED, 0);
    ASSERT_TRUE(end);
    EXPECT_EQ(test::readWholeFile(end->block.fileName), body);
}

TEST_F(Downloads, TheFirstBlockMustBeAnFlvHeader) {
    struct Row {
        const char* path;
        std::string body;
        std::uintptr_t end;
        std::size_t stored;
    } rows[] = {
        {"/page.flv", "<html><body>not a video</body></html>", HARRIER_DOWNLOAD_NOT_FLV, 0},
        {"/version2.flv", std::string("FLV\x02\x05\x00\x00\x00\x09", 9) + std::string(100, 'x'), HARRIER_DOWNLOAD_NOT_FLV, 0},
        // Fewer than nine bytes in all: nothing to check, stored as it came.
        {"/tiny.flv", "FLV", HARRIER_DOWNLOAD_STORED, 3},
        {"/empty.flv", "", HARRIER_DOWNLOAD_STORED, 0},
    };
    for (const auto& r : rows) {
        server.route(r.path, Route{responseHead("200 OK"), r.body});
        const Report end = fetch(server.url(r.path), r.end);
        // The file keeps what was stored, under its ".flv" name.
        const std::string stored = std::string(r.path).substr(1);
        EXPECT_EQ(copyName(end), dir.file(stored)) << r.path;
        EXPECT_EQ(test::readWholeFile(dir.file(stored)), r.body.substr(0, r.stored)) << r.path;
        EXPECT_EQ(end.block.bytes, r.stored) << r.path;
    }
}

TEST_F(Downloads, HeaderLinesEndedByLfAlone) {
    const std::string body = flvBody(20000);
    server.route("/lf.flv", Route{"HTTP/1.1 200 OK\nContent-Type: video/x-flv\n\n", body});
    const Report end = fetch(server.url("/lf.flv"), HARRIER_DOWNLOAD_STORED);
    EXPECT_EQ(test::readWholeFile(dir.file("lf.flv")), body);
    EXPECT_EQ(end.block.bytes, body.size());
}

TEST_F(Downloads, ConnectionRefusedEndsAtOnceWithoutAFile) {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(probe);
    const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/clip.flv";
    const auto start = Clock::now();
    const Report end = fetch(url, HARRIER_DOWNLOAD_FAILED);
    EXPECT_LT(Clock::now() - start, 3s);
    EXPECT_STREQ(end.block.fileName, "");
    EXPECT_TRUE(dir.names().empty());
    // A connection failure does not put the URL on the failed list.
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED);
    EXPECT_TRUE(host.waitReport(D, HARRIER_DOWNLOAD_FAILED));
}

TEST_F(Downloads, UrlsThatCannotBeFetched) {
    // Unusable as URLs: the connection fails.
    for (const char* url : {"http://127.0.0.1", "127.0.0.1/clip.flv", "http://127.0.0.1:0/clip.flv",
                            "http://127.0.0.1:99999/clip.flv"}) {
        const Report end = fetch(url, HARRIER_DOWNLOAD_FAILED);
        EXPECT_STREQ(end.block.fileName, "") << url;
    }
    // Refused at once: too long for the item, or with control characters.
    const std::string tooLong = server.url("/" + std::string(HARRIER_MAX_URL, 'a') + ".flv");
    EXPECT_EQ(recorder->getFlvOverHttp(tooLong.c_str(), 1), HARRIER_URL_NO_TARGET);
    const std::string injected = server.url("/a.flv\r\nX-Injected: 1");
    EXPECT_EQ(recorder->getFlvOverHttp(injected.c_str(), 1), HARRIER_URL_NO_TARGET);
    EXPECT_EQ(recorder->getFlvOverHttp(nullptr, 1), HARRIER_URL_NO_TARGET);
    host.pumpFor(200ms);
    EXPECT_EQ(host.count(D, HARRIER_DOWNLOAD_STARTED), 4u);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(Downloads, AServerSilentBeforeItsHeaderTimesOut) {
    server.route("/silent.flv", Route{"", "", std::string::npos, true});
    const auto start = Clock::now();
    const Report end = fetch(server.url("/silent.flv"), HARRIER_DOWNLOAD_FAILED);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 9s);
    EXPECT_LE(took, 15s);
    EXPECT_STREQ(end.block.fileName, "");
    EXPECT_TRUE(dir.names().empty());
}

// A server that stops sending inside the body: after ten seconds of
// silence the download ends with what came, every byte of it.
TEST_F(Downloads, AServerSilentInsideTheBodyLeavesEveryByteThatCame) {
    const std::string body = flvBody(200000);
    server.route("/stalls.flv", Route{responseHead("200 OK"), body, 54321, false, false});
    const auto start = Clock::now();
    const Report end = fetch(server.url("/stalls.flv"), HARRIER_DOWNLOAD_STORED);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 9s);
    EXPECT_LE(took, 15s);
    EXPECT_EQ(copyName(end), dir.file("stalls.flv"));
    EXPECT_EQ(end.block.bytes, 54321u);
    EXPECT_EQ(test::readWholeFile(dir.file("stalls.flv")), body.substr(0, 54321));
}

TEST_F(Downloads, EndRecordKeepsWhatCameAndDeleteRecordRemovesIt) {
    const std::string body = flvBody(400000);
    server.route("/keep.flv", Route{responseHead("200 OK"), body, 100000, false, true});
    server.route("/drop.flv", Route{responseHead("200 OK"), body, 100000, false, true});
    struct Row {
        const char* path;
        bool deleteFile;
        std::uintptr_t end;
    } rows[] = {{"/keep.flv", false, HARRIER_DOWNLOAD_STORED}, {"/drop.flv", true, HARRIER_DOWNLOAD_FAILED}};
    for (const auto& r : rows) {
        ASSERT_EQ(recorder->getFlvOverHttp(server.url(r.path).c_str(), 1), HARRIER_URL_STARTED);
        const auto writing = host.waitReport(D, HARRIER_DOWNLOAD_WRITING);
        ASSERT_TRUE(writing);
        const int index = writing->block.index;
        // Wait until the bytes sent before the hold are stored.
        HarrierItemReport now{};
        ASSERT_TRUE(host.waitFor([&](const auto&) {
            recorder->copyReport(reinterpret_cast<const HarrierItemReport*>(writing->lParam), &now);
            return now.bytes == 100000;
        })) << r.path;
        const auto start = Clock::now();
        EXPECT_EQ(recorder->endRecord(1, index, r.deleteFile), 1);
        EXPECT_LT(Clock::now() - start, 2s) << r.path;
        EXPECT_EQ(recorder->downloadCount(), 0) << r.path;
        const auto end = host.waitReport(D, r.end, index);
        ASSERT_TRUE(end) << r.path;
    }
    EXPECT_EQ(test::readWholeFile(dir.file("keep.flv")), body.substr(0, 100000));
    EXPECT_EQ(dir.names(), std::vector<std::string>{"keep.flv"});
    // Ending a place without a download does nothing.
    EXPECT_EQ(recorder->endRecord(1, 0, false), 1);
    EXPECT_EQ(recorder->endRecord(1, 9, true), 1);
    EXPECT_EQ(recorder->endRecord(1, -1, true), 1);
}

// Ended while the server has not answered yet: stopped, not failed, so
// the URL may be asked for again.
TEST_F(Downloads, EndingADownloadBeforeItsHeaderIsNoFailureOfTheUrl) {
    server.route("/quiet.flv", Route{"", "", std::string::npos, true});
    const std::string url = server.url("/quiet.flv");
    ASSERT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED);
    const auto started = host.waitReport(D, HARRIER_DOWNLOAD_STARTED);
    ASSERT_TRUE(started);
    ASSERT_TRUE(host.waitFor([&](const auto&) { return server.requests().size() == 1; }));
    const auto start = Clock::now();
    EXPECT_EQ(recorder->endRecord(1, started->block.index, false), 1);
    EXPECT_LT(Clock::now() - start, 1s);
    ASSERT_TRUE(host.waitReport(D, HARRIER_DOWNLOAD_FAILED, started->block.index));
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED);
    EXPECT_TRUE(dir.names().empty());
}

TEST_F(Downloads, WithoutPlacesEveryNewRequestWaits) {
    recorder->setCapacity(0);
    const std::string url = server.url("/wait.flv");
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_QUEUED);
    const auto waiting = host.waitReport(D, HARRIER_DOWNLOAD_WAITING);
    ASSERT_TRUE(waiting);
    EXPECT_EQ(waiting->text, url);
    // The same URL again: already waiting.
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 1), HARRIER_URL_STARTED);
    // A retry without a place changes nothing.
    EXPECT_EQ(recorder->getFlvOverHttp(url.c_str(), 0), HARRIER_URL_STARTED);
    const std::string second = server.url("/wait2.flv");
    EXPECT_EQ(recorder->getFlvOverHttp(second.c_str(), 1), HARRIER_URL_QUEUED);
    host.pumpFor(200ms);
    EXPECT_EQ(host.count(D, HARRIER_DOWNLOAD_WAITING), 2u);
    EXPECT_EQ(host.reports().size(), 2u);
    EXPECT_EQ(recorder->waitingCount(), 2u);
    // Removal is exact and case-sensitive.
    recorder->deleteWaiting(server.url("/WAIT.flv").c_str());
    recorder->deleteWaiting(nullptr);
    EXPECT_EQ(recorder->waitingCount(), 2u);
    recorder->deleteWaiting(url.c_str());
    EXPECT_EQ(recorder->waitingCount(), 1u);
    // The text handed to the host stays readable after its entry went.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(waiting->lParam)), url);
    EXPECT_TRUE(server.requests().empty());
    // A URL of 1023 characters fits.
    const std::string longest = "http://h/" + std::string(HARRIER_MAX_URL - 1 - 9, 'a');
    EXPECT_EQ(recorder->getFlvOverHttp(longest.c_str(), 1), HARRIER_URL_QUEUED);
}

TEST_F(Downloads, AWaitingUrlStartsByARetry) {
    recorder->setCapacity(1);
    const std::string body = flvBody(30000);
    server.route("/first.flv", Route{responseHead("200 OK"), body, 13});
    const std::string first = server.url("/first.flv");
    const std::string second = serveFlv("/second.flv", body);
    ASSERT_EQ(recorder->getFlvOverHttp(first.c_str(), 1), HARRIER_URL_STARTED);
    ASSERT_EQ(recorder->getFlvOverHttp(second.c_str(), 1), HARRIER_URL_QUEUED);
    EXPECT_EQ(recorder->getFlvOverHttp(second.c_str(), 0), HARRIER_URL_STARTED);
    EXPECT_EQ(recorder->waitingCount(), 1u);
    server.release();
    ASSERT_TRUE(host.waitReport(D, HARRIER_DOWNLOAD_STORED));
    EXPECT_EQ(recorder->getFlvOverHttp(second.c_str(), 0), HARRIER_URL_STARTED);
    const auto retried = host.waitReport(D, HARRIER_DOWNLOAD_RETRIED);
    ASSERT_TRUE(retried);
    EXPECT_EQ(std::string(retried->block.url), second);
    EXPECT_EQ(recorder->waitingCount(), 0u);
    ASSERT_TRUE(host.waitReport(D, HARRIER_DOWNLOAD_STORED, retried->block.index));
    EXPECT_EQ(test::readWholeFile(dir.file("second.flv")), body);
    EXPECT_EQ(host.count(D, HARRIER_DOWNLOAD_STARTED), 1u);
}

TEST_F(Downloads, NinePlacesAtMost) {
    const std::string body = flvBody(1000);
    for (int i = 0; i < 10; ++i) server.route("/p" + std::to_string(i) + ".flv", Route{responseHead("200 OK"), body, 13});
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(recorder->getFlvOverHttp(server.url("/p" + std::to_string(i) + ".flv").c_str(), 1), HARRIER_URL_STARTED);
    EXPECT_EQ(recorder->downloadCount(), 9);
    EXPECT_EQ(recorder->getFlvOverHttp(server.url("/p9.flv").c_str(), 1), HARRIER_URL_QUEUED);
    // Places are taken lowest first.
    for (int i = 0; i < 9; ++i) {
        const auto started = host.waitReport(D, HARRIER_DOWNLOAD_STARTED);
        ASSERT_TRUE(started);
        EXPECT_EQ(started->block.index, i);
    }
    server.release();
    ASSERT_TRUE(host.waitFor([](const auto& rs) {
        return std::count_if(rs.begin(), rs.end(), [](const Report& r) { return r.wParam == HARRIER_DOWNLOAD_STORED && r.msg == D; }) == 9;
    }));
    EXPECT_EQ(recorder->downloadCount(), 0);
}

}  // namespace
}  // namespace kestrel::harrier
