// kestrel-cli harrier: usage and exit statuses, replays of the real RTMP
// captures into FLV files equal to the clients' own, URLs given and URLs
// seen on the network fetched from a server of the test's own.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harrier_test_support.h"
#include "tests/merlin/e2e_support.h"
#include "tests/support/frame_builder.h"
#include "tests/support/shell_command.h"

namespace kestrel::harrier {
namespace {

using kestrel::test::quote;
using kestrel::test::runCommand;
using test::HttpTestServer;
using test::responseHead;
using test::Route;
using test::TempFolder;

const std::string kCli = std::string(KESTREL_BIN_DIR) + "/kestrel-cli";

struct CliRun {
    int exitCode = -1;
    std::vector<std::string> flvs;  // stdout, one path a line
    std::string log;                // stderr
};

CliRun harrier(const std::string& arguments, const TempFolder& dir) {
    CliRun r;
    std::string out;
    const std::string log = dir.file("stderr.txt");
    r.exitCode = runCommand("timeout 120 " + quote(kCli) + " harrier " + arguments + " 2>" + quote(log), out);
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) r.flvs.push_back(line);
    r.log = test::readWholeFile(log);
    return r;
}

bool says(const CliRun& r, const std::string& text) {
    return r.log.find(text) != std::string::npos;
}

TEST(HarrierCommand, UsageAndRefusals) {
    TempFolder dir;
    const std::string source = " --source file://" + quote(std::string(KESTREL_CAPTURES_DIR) + "/rtmp-vod-rtmpdump-eth1500.pcap");
    const std::string save = " --save " + quote(dir.file("out"));
    struct Row {
        const char* name;
        std::string arguments;
        int exitCode;
        const char* says;
    } rows[] = {
        {"no arguments", "", 2, "--source and --save are needed"},
        {"no save folder", source, 2, "--source and --save are needed"},
        {"unknown option", source + save + " --fast", 2, "unknown option '--fast'"},
        {"packet type out of range", source + save + " --packet-type 8", 2, "--packet-type takes 1 to 7"},
        {"bad netmask", source + save + " --netmask 255.255.0", 2, "--netmask takes"},
        {"save folder too long", source + " --save /tmp/" + std::string(270, 's'), 2, "Invalid parameter!"},
        {"video host too long", source + save + " --video-host " + std::string(300, 'v'), 2, "--video-host"},
        {"missing capture file", " --source file://" + quote(dir.file("absent.pcap")) + save, 3,
         "Unable to open the adapter: file://"},
        {"filter that does not compile", source + save + " --host-filter '('", 1, "Unable to compile the packet filter."},
    };
    for (const auto& r : rows) {
        const CliRun run = harrier(r.arguments, dir);
        EXPECT_EQ(run.exitCode, r.exitCode) << r.name << ": " << run.log;
        EXPECT_TRUE(says(run, r.says)) << r.name << ": " << run.log;
        EXPECT_TRUE(run.flvs.empty()) << r.name;
    }
    std::string out;
    EXPECT_EQ(runCommand(quote(kCli) + " harrier --help", out), 0);
    EXPECT_NE(out.find("usage: kestrel-cli harrier --source SRC --save DIR"), std::string::npos);
}

TEST(HarrierCommand, ReplayedStreamsBecomeTheClientsFlvFiles) {
    if (!merlin::e2e::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    for (const char* capture : {"rtmp-vod-rtmpdump-eth1500", "rtmp-live-publish-play-eth1500"}) {
        TempFolder dir;
        const CliRun run = harrier("--source file://" + quote(std::string(KESTREL_CAPTURES_DIR) + "/" + capture + ".pcap") +
                                    " --save " + quote(dir.file("out")),
                                dir);
        EXPECT_EQ(run.exitCode, 0) << capture << ": " << run.log;
        EXPECT_TRUE(says(run, "harrier: capture 0 started: " + dir.file("out/flash.@@@"))) << run.log;
        EXPECT_TRUE(says(run, "harrier: capture 0 ended: " + dir.file("out/flash.@@@"))) << run.log;
        ASSERT_EQ(run.flvs.size(), 1u) << run.log;
        const auto ref = merlin::e2e::readFrameMd5(std::string(KESTREL_CAPTURES_DIR) + "/ref/" + capture + "/ref.framemd5");
        const auto cmp = merlin::e2e::comparePackets(ref, merlin::e2e::frameMd5Of(run.flvs[0]));
        EXPECT_EQ(cmp.matched, ref.packets.size()) << capture;
        EXPECT_EQ(cmp.extra, 0u) << capture;
        // The record file went with its complete conversion.
        EXPECT_FALSE(std::filesystem::exists(dir.file("out/flash.@@@"))) << capture;
    }
}

// URLs given on the command line and a request seen in the replayed
// traffic, fetched from the test's server; one of them fails.
TEST(HarrierCommand, UrlsGivenAndSeenAreFetched) {
    TempFolder dir;
    HttpTestServer server;
    const std::string given = test::flvBody(90000, 3), seen = test::flvBody(50000, 4);
    server.route("/given.flv", Route{responseHead("200 OK"), given});
    server.route("/seen/movie.flv?start=0", Route{responseHead("200 OK"), seen});
    // A client's request for an FLV file, to port 80 of the server's host.
    kestrel::test::FrameSpec s;
    s.sport = 41000;
    s.dport = 80;
    const std::string request = "GET /seen/movie.flv?start=0 HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(server.port()) + "\r\nUser-Agent: player\r\n\r\n";
    test::writePcap(dir.file("request.pcap"), {{kestrel::test::buildFrame(s, request), 0}});

    const CliRun run = harrier("--source file://" + quote(dir.file("request.pcap")) + " --save " + quote(dir.file("out")) +
                                " " + quote(server.url("/given.flv")) + " " + quote(server.url("/given.flv")) + " " +
                                quote(server.url("/absent.flv")),
                            dir);
    EXPECT_EQ(run.exitCode, 4) << run.log;
    EXPECT_TRUE(says(run, server.url("/given.flv") + ": Duplicate URL!")) << run.log;
    EXPECT_TRUE(says(run, "failed: " + server.url("/absent.flv"))) << run.log;
    EXPECT_TRUE(says(run, "started: " + server.url("/seen/movie.flv?start=0"))) << run.log;
    std::vector<std::string> flvs = run.flvs;
    std::sort(flvs.begin(), flvs.end());
    EXPECT_EQ(flvs, (std::vector<std::string>{dir.file("out/given.flv"), dir.file("out/movie.flv")})) << run.log;
    EXPECT_EQ(test::readWholeFile(dir.file("out/given.flv")), given);
    EXPECT_EQ(test::readWholeFile(dir.file("out/movie.flv")), seen);
}

// More URLs than places: the rest wait and start as places come free.
TEST(HarrierCommand, UrlsBeyondThePlacesWaitAndStartLater) {
    TempFolder dir;
    HttpTestServer server;
    test::writePcap(dir.file("empty.pcap"), {});
    std::string urls;
    std::vector<std::string> expected;
    for (int i = 0; i < 11; ++i) {
        const std::string path = "/v" + std::to_string(i) + ".flv";
        server.route(path, Route{responseHead("200 OK"), test::flvBody(20000, static_cast<std::uint32_t>(i)), 13});
        urls += " " + quote(server.url(path));
        expected.push_back(dir.file("out/v" + std::to_string(i) + ".flv"));
    }
    CliRun run;
    std::thread cli([&] {
        run = harrier("--source file://" + quote(dir.file("empty.pcap")) + " --save " + quote(dir.file("out")) + urls, dir);
    });
    // Every place holds a download that waits for the server.
    for (int i = 0; i < 500 && server.requests().size() < 9; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server.requests().size(), 9u);
    server.release();
    cli.join();
    EXPECT_EQ(run.exitCode, 0) << run.log;
    EXPECT_NE(run.log.find("waiting for a free place: " + server.url("/v9.flv")), std::string::npos) << run.log;
    EXPECT_NE(run.log.find("started from the waiting list: " + server.url("/v10.flv")), std::string::npos) << run.log;
    std::vector<std::string> flvs = run.flvs;
    std::sort(flvs.begin(), flvs.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(flvs, expected);
}

}  // namespace
}  // namespace kestrel::harrier
