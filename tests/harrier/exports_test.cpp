// libharrier.so as a host uses it: only the exported names, the last-error
// copy, the waiting list before Harrier_Startup, and one run of both
// services through the exports with the report blocks read in place.
//
// The library keeps one state per process; the first test expects none of
// Harrier_Startup's effects yet (CTest runs every test in a process of its
// own; run alone, the tests run in the order written).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "harrier/harrier.h"
#include "harrier_test_support.h"
#include "merlin/merlin.h"
#include "tests/support/shell_command.h"

namespace kestrel::harrier {
namespace {

using namespace std::chrono_literals;
using test::HttpTestServer;
using test::Report;
using test::responseHead;
using test::Route;
using test::TempFolder;
using test::TestHost;

std::string lastError() {
    char text[HARRIER_MAX_ERROR + 1] = {};
    Harrier_GetLastError(text, HARRIER_MAX_ERROR);
    return text;
}

TestHost makeHost() {
    return TestHost([](const HarrierItemReport* r, HarrierItemReport* c) { Harrier_CopyReport(r, c); }, lastError);
}

TEST(HarrierExports, BeforeStartupEveryNewUrlWaits) {
    TestHost host(makeHost());
    EXPECT_EQ(Harrier_SetWndHandle(host.handle()), 1);
    EXPECT_EQ(Harrier_SetWndHandle(host.handle()), 1);  // again: only the handle is replaced
    EXPECT_EQ(Harrier_GetInfo(), 1);
    const char* url = "http://127.0.0.1:9/first.flv";
    EXPECT_EQ(Harrier_GetFlvOverHttp(url, 1), HARRIER_URL_QUEUED);
    EXPECT_EQ(Harrier_GetFlvOverHttp(url, 1), HARRIER_URL_STARTED);
    EXPECT_EQ(Harrier_GetFlvOverHttp(url, 0), HARRIER_URL_STARTED);
    EXPECT_EQ(Harrier_GetFlvOverHttp("http://127.0.0.1:9/second.flv", 1), HARRIER_URL_QUEUED);
    host.pumpFor(100ms);
    ASSERT_EQ(host.reports().size(), 2u);
    EXPECT_EQ(host.reports()[0].wParam, static_cast<std::uintptr_t>(HARRIER_DOWNLOAD_WAITING));
    EXPECT_EQ(host.reports()[0].text, url);
    Harrier_DeleteWaitting(url);
    Harrier_DeleteWaitting(nullptr);
    // Gone from the list: a new request waits again.
    EXPECT_EQ(Harrier_GetFlvOverHttp(url, 1), HARRIER_URL_QUEUED);
    EXPECT_EQ(Harrier_Halt(), 1);  // no capture: only the list is emptied
    EXPECT_EQ(Harrier_GetFlvOverHttp("http://127.0.0.1:9/second.flv", 1), HARRIER_URL_QUEUED);
    for (int kind : {0, 1})
        for (int index : {-1, 0, 8, 9}) {
            EXPECT_EQ(Harrier_EndRecord(kind, index), 1);
            EXPECT_EQ(Harrier_DeleteRecord(kind, index), 1);
        }
    EXPECT_EQ(Harrier_CopyReport(nullptr, nullptr), 0);
    EXPECT_EQ(Harrier_GetCaptureStats(nullptr), 0);
    HarrierCaptureStats stats{};
    EXPECT_EQ(Harrier_GetCaptureStats(&stats), 1);
    EXPECT_EQ(stats.running, 0);
    // Leave no waiting URL behind: it would keep streams from starting.
    Harrier_Halt();
    Harrier_SetWndHandle(nullptr);
}

TEST(HarrierExports, LastErrorCopies) {
    EXPECT_EQ(Harrier_Startup("/tmp", "lo", 0, 0, "N/A", 0), HARRIER_BAD_PACKET_TYPE);
    const std::string text = "Unsupport packet type!";
    struct Row {
        int length;
        std::string expected;  // what the buffer holds before the sentinel
        bool terminated;
    } rows[] = {
        {0, "", false},
        {-5, "", false},
        {5, "Unsup", false},
        {static_cast<int>(text.size()), text, false},
        {static_cast<int>(text.size()) + 1, text, true},
        {4000, text, true},
    };
    for (const auto& r : rows) {
        std::string buffer(5000, '#');
        EXPECT_EQ(Harrier_GetLastError(buffer.data(), r.length), 1);
        EXPECT_EQ(buffer.substr(0, r.expected.size()), r.expected) << r.length;
        const char after = buffer[r.expected.size()];
        EXPECT_EQ(after, r.terminated ? '\0' : '#') << r.length;
        // Nothing written past the text and its terminator.
        const std::size_t used = r.expected.size() + (r.terminated ? 1 : 0);
        EXPECT_EQ(buffer.find_first_not_of('#', used), std::string::npos) << r.length;
    }
    EXPECT_EQ(Harrier_GetLastError(nullptr, 100), 1);
    EXPECT_EQ(Harrier_SetVideoHost("videos.example.org"), 1);
    EXPECT_EQ(Harrier_SetVideoHost(std::string(256, 'v').c_str()), 0);
    EXPECT_EQ(Harrier_SetVideoHost(nullptr), 1);
}

TEST(HarrierExports, OnlyTheInterfaceIsExported) {
    std::string out;
    ASSERT_EQ(kestrel::test::runCommand("nm -D --defined-only " + kestrel::test::quote(std::string(KESTREL_BIN_DIR) +
                                                                                      "/libharrier.so"),
                                        out),
              0);
    std::set<std::string> names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.rfind(' ');
        if (space != std::string::npos) names.insert(line.substr(space + 1));
    }
    const std::set<std::string> expected = {
        "Harrier_SetWndHandle", "Harrier_Startup",         "Harrier_Halt",           "Harrier_GetInfo",
        "Harrier_EndRecord",    "Harrier_DeleteRecord",    "Harrier_DeleteWaitting", "Harrier_GetFlvOverHttp",
        "Harrier_GetLastError", "Harrier_CopyReport",      "Harrier_GetCaptureStats", "Harrier_SetVideoHost",
    };
    EXPECT_EQ(names, expected);
}

// Both services at once through the exports: a capture file with an RTMP
// stream replayed, and a URL fetched from the test's server.
TEST(HarrierExports, BothServicesThroughTheExports) {
    TestHost host(makeHost());
    TempFolder dir;
    HttpTestServer server;
    const std::string body = test::flvBody(120000, 9);
    server.route("/clip.flv", Route{responseHead("200 OK"), body});
    Harrier_SetWndHandle(host.handle());
    const std::string pcap = std::string(KESTREL_CAPTURES_DIR) + "/rtmp-vod-rtmpdump-eth1500.pcap";
    ASSERT_EQ(Harrier_Startup(dir.path.c_str(), ("file://" + pcap).c_str(), 0, 2, "N/A", 9), HARRIER_STARTED);
    ASSERT_EQ(Harrier_GetFlvOverHttp(server.url("/clip.flv").c_str(), 1), HARRIER_URL_STARTED);

    const auto started = host.waitReport(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_STARTED);
    ASSERT_TRUE(started);
    const auto* block = reinterpret_cast<const HarrierItemReport*>(started->lParam);
    EXPECT_EQ(block->index, 0);
    EXPECT_EQ(std::string(block->fileName), dir.file("flash.@@@"));
    EXPECT_STREQ(block->url, "");
    const auto ended = host.waitReport(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_ENDED, 0);
    ASSERT_TRUE(ended);
    // The block stays readable, and says the same as the copy.
    EXPECT_EQ(ended->lParam, started->lParam);
    EXPECT_EQ(block->bytes, ended->block.bytes);
    EXPECT_GT(block->bytes, 3072u);

    const auto stored = host.waitReport(HARRIER_MSG_DOWNLOAD, HARRIER_DOWNLOAD_STORED);
    ASSERT_TRUE(stored);
    const auto* download = reinterpret_cast<const HarrierItemReport*>(stored->lParam);
    EXPECT_EQ(std::string(download->fileName), dir.file("clip.flv"));
    EXPECT_EQ(std::string(download->url), server.url("/clip.flv"));
    EXPECT_EQ(test::readWholeFile(dir.file("clip.flv")), body);

    EXPECT_TRUE(host.waitFor([](const auto&) {
        HarrierCaptureStats s{};
        Harrier_GetCaptureStats(&s);
        return s.running == 0;
    }));
    EXPECT_EQ(Harrier_Halt(), 1);
    const auto conversion = test::convert(ended->block.fileName, dir.file("flash.flv"));
    EXPECT_EQ(conversion.result, MERLIN_RESULT_COMPLETE);
    host.close();
    Harrier_SetWndHandle(nullptr);
}

}  // namespace
}  // namespace kestrel::harrier
