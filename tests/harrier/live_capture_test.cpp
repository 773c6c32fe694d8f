// The live capture through Harrier_Startup's path: refused parameters,
// capture sources that fail, capture files replayed with their filter and
// cut frames, and the real RTMP captures recorded and converted by Merlin
// into FLV files equal, packet for packet, to what the client itself saved.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "harrier/recorder.h"
#include "harrier_test_support.h"
#include "merlin/merlin.h"
#include "replay_support.h"
#include "tests/merlin/e2e_support.h"
#include "tests/support/frame_builder.h"

namespace kestrel::harrier {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::Report;
using test::TempFolder;
using test::TestHost;

constexpr std::uint32_t C = HARRIER_MSG_CAPTURE;

class LiveCapture : public ::testing::Test {
protected:
    void SetUp() override { recorder->setWindow(host.handle()); }
    void TearDown() override {
        host.close();
        recorder.reset();
    }
    TempFolder dir;
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>();
    TestHost host{[this](const HarrierItemReport* r, HarrierItemReport* c) { recorder->copyReport(r, c); },
                  [this] { return recorder->lastError(); }};
};

// A stream's frames: play start, data, play stop, in 1000-byte segments.
std::vector<test::PcapFrame> streamFrames(std::string& stream) {
    stream = "\x14\x00\x00\x00onStatus\x02\x00\x14NetStream.Play.Start"s;
    for (int i = 0; stream.size() < 30000; ++i) stream += std::to_string(i) + ",";
    stream += "\x02\x00\x13NetStream.Play.Stop"s;
    std::vector<test::PcapFrame> frames;
    for (std::size_t at = 0; at < stream.size(); at += 1000) {
        kestrel::test::FrameSpec s;
        s.src[3] = 1;
        s.dst[3] = 2;
        s.sport = 1935;
        s.dport = 50000;
        s.seq = 90000 + static_cast<std::uint32_t>(at);
        frames.push_back({kestrel::test::buildFrame(s, std::string_view(stream).substr(at, 1000)), 0});
    }
    return frames;
}

TEST_F(LiveCapture, StartupRefusals) {
    const std::string folder = dir.path;
    struct Row {
        const char* name;
        std::string folder;
        const char* device;
        int type;
        const char* hostFilter;
        int result;
        const char* error;
    } rows[] = {
        {"packet type 0", folder, "file:///x.pcap", 0, "N/A", HARRIER_BAD_PACKET_TYPE, "Unsupport packet type!"},
        {"packet type 8", folder, "file:///x.pcap", 8, "N/A", HARRIER_BAD_PACKET_TYPE, "Unsupport packet type!"},
        {"negative packet type", folder, "file:///x.pcap", -1, "N/A", HARRIER_BAD_PACKET_TYPE, "Unsupport packet type!"},
        {"no output folder", "", "file:///x.pcap", 2, "N/A", HARRIER_BAD_PARAMETER, "Invalid parameter!"},
        {"output folder too long", "/tmp/" + std::string(260, 'f'), "file:///x.pcap", 2, "N/A", HARRIER_BAD_PARAMETER,
         "Invalid parameter!"},
        {"no device", folder, "", 2, "N/A", HARRIER_BAD_PARAMETER, "Invalid parameter!"},
        {"device name too long", folder, nullptr, 2, "N/A", HARRIER_BAD_PARAMETER, "Invalid parameter!"},
    };
    const std::string longDevice(1100, 'd');
    int capacity = 0;
    for (const auto& r : rows) {
        ++capacity;
        EXPECT_EQ(recorder->startup(r.folder.c_str(), r.device ? r.device : longDevice.c_str(), 0, r.type, r.hostFilter,
                                    capacity),
                  r.result)
            << r.name;
        EXPECT_EQ(recorder->lastError(), r.error) << r.name;
        // The capacity is taken whatever the result (at most 9).
        EXPECT_EQ(recorder->capacity(), std::min(capacity, 9)) << r.name;
    }
    EXPECT_EQ(recorder->startup(folder.c_str(), nullptr, 0, 2, "N/A", 3), HARRIER_BAD_PARAMETER);
    EXPECT_EQ(recorder->startup(folder.c_str(), "x", 0, 2, nullptr, 3), HARRIER_BAD_PARAMETER);
    host.pumpFor(100ms);
    EXPECT_TRUE(host.reports().empty());
}

TEST_F(LiveCapture, SourcesThatFailAreReported) {
    std::string stream;
    auto frames = streamFrames(stream);
    test::writePcap(dir.file("good.pcap"), frames);
    test::writePcap(dir.file("raw.pcap"), frames, 101);
    test::writePcap(dir.file("cut.pcap"), frames);
    std::filesystem::resize_file(dir.file("cut.pcap"), std::filesystem::file_size(dir.file("cut.pcap")) - 300);
    struct Row {
        const char* name;
        std::string source;
        const char* hostFilter;
        std::string error;  // the last error begins with it
    } rows[] = {
        {"missing file", "file://" + dir.file("absent.pcap"), "N/A",
         "Unable to open the adapter: file://" + dir.file("absent.pcap")},
        {"no such adapter", "rpcap://no-such-adapter0", "N/A", "Unable to open the adapter: rpcap://no-such-adapter0"},
        {"not Ethernet", "file://" + dir.file("raw.pcap"), "N/A", "This program works only on Ethernet networks."},
        {"filter that does not compile", "file://" + dir.file("good.pcap"), "(", "Unable to compile the packet filter."},
        {"a file cut inside a frame", "file://" + dir.file("cut.pcap"), "N/A", "Error reading the packets: "},
    };
    for (const auto& r : rows) {
        const std::string out = dir.file("out/");
        EXPECT_EQ(recorder->startup(out.c_str(), r.source.c_str(), 0, 2, r.hostFilter, 9), HARRIER_STARTED) << r.name;
        const auto failed = host.waitReport(C, HARRIER_CAPTURE_FAILED);
        ASSERT_TRUE(failed) << r.name;
        EXPECT_EQ(failed->lParam, 0) << r.name;
        EXPECT_EQ(failed->lastError.substr(0, r.error.size()), r.error) << r.name;
        EXPECT_TRUE(host.waitFor([&](const auto&) { return !recorder->captureRunning(); })) << r.name;
        // The output folder was made; the capture can be started again.
        EXPECT_TRUE(std::filesystem::is_directory(out)) << r.name;
    }
    // The cut file's whole frames were recorded before the error.
    EXPECT_GE(host.count(C, HARRIER_CAPTURE_STARTED), 1u);
}

TEST_F(LiveCapture, AReplayedFileIsFilteredAndCutFramesAreNotRecorded) {
    std::string stream;
    auto frames = streamFrames(stream);
    // A cut copy of the fourth segment, before the whole one.
    test::PcapFrame cut = frames[3];
    cut.wireLength = static_cast<std::uint32_t>(cut.bytes.size());
    cut.bytes.resize(cut.bytes.size() - 100);
    frames.insert(frames.begin() + 3, cut);
    test::writePcap(dir.file("stream.pcap"), frames);
    struct Row {
        const char* name;
        int type;
        const char* hostFilter;
        std::size_t items;
    } rows[] = {
        {"tcp", 2, "N/A", 1},
        {"tcp or udp", 1, "N/A", 1},
        {"udp only", 4, "N/A", 0},
        {"the server's host", 2, "10.0.0.1", 1},
        {"another host", 2, "10.0.0.9", 0},
    };
    for (const auto& r : rows) {
        TempFolder out;
        const std::size_t before = host.reports().size();
        const auto result = test::replay(*recorder, host, dir.file("stream.pcap"), out.path, r.type, r.hostFilter);
        ASSERT_EQ(result.startup, HARRIER_STARTED) << r.name;
        EXPECT_EQ(result.started.size(), r.items) << r.name;
        EXPECT_EQ(result.stats.running, 0) << r.name;
        EXPECT_EQ(result.stats.kernelKnown, 0) << r.name;
        EXPECT_EQ(result.stats.cutFrames, r.items ? 1u : 0u) << r.name;
        for (std::size_t i = before; i < host.reports().size(); ++i)
            EXPECT_NE(host.reports()[i].wParam, static_cast<std::uintptr_t>(HARRIER_CAPTURE_FAILED)) << r.name;
        if (r.items == 0) continue;
        ASSERT_EQ(result.ended.size(), 1u) << r.name;
        EXPECT_EQ(result.ended[0].wParam, static_cast<std::uintptr_t>(HARRIER_CAPTURE_ENDED)) << r.name;
        EXPECT_EQ(test::readWholeFile(result.ended[0].block.fileName).size(),
                  stream.size() + 3 * ((stream.size() + 999) / 1000))
            << r.name;
        EXPECT_EQ(result.ended[0].block.bytes, stream.size()) << r.name;
        EXPECT_EQ(result.ended[0].block.gapRecords, 0u) << r.name;
    }
}

// ---------------------------------------------------------------- real captures

std::vector<std::string> rtmpCaptures(const std::string& folder) {
    std::vector<std::string> names;
    std::ifstream in(folder + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const auto cells = merlin::e2e::splitTabs(line);
        if (cells.size() > 2 && cells[2] == "rtmp") names.push_back(cells[0].substr(0, cells[0].rfind('.')));
    }
    return names;
}

struct CaptureOutcome {
    std::size_t items = 0;
    std::size_t lost = 0;  // items that ended with "Packets loss!"
    std::size_t gaps = 0;  // gap records in the converted item
    merlin::e2e::Comparison cmp;
    std::size_t refPackets = 0;
    bool converted = false;
};

// Records a capture, converts the one stream it holds and compares it
// with the client's own FLV file.
CaptureOutcome recordAndCompare(Recorder& recorder, TestHost& host, const std::string& folder, const std::string& name) {
    CaptureOutcome o;
    TempFolder out;
    const auto result = test::replay(recorder, host, folder + "/" + name + ".pcap", out.path);
    EXPECT_EQ(result.startup, HARRIER_STARTED);
    o.items = result.started.size();
    EXPECT_EQ(o.items, 1u) << "one playing connection per capture";
    if (result.ended.size() != 1) return o;
    const Report& end = result.ended[0];
    if (end.wParam == HARRIER_CAPTURE_LOST) {
        o.lost = 1;
        return o;
    }
    o.gaps = end.block.gapRecords;
    const auto conversion = test::convert(end.block.fileName, out.file("out.flv"));
    EXPECT_TRUE(conversion.result == MERLIN_RESULT_COMPLETE || conversion.result == MERLIN_RESULT_PARTIAL)
        << "Merlin result " << conversion.result;
    if (conversion.result != MERLIN_RESULT_COMPLETE && conversion.result != MERLIN_RESULT_PARTIAL) return o;
    o.converted = true;
    const auto ref = merlin::e2e::readFrameMd5(folder + "/ref/" + name + "/ref.framemd5");
    o.refPackets = ref.packets.size();
    o.cmp = merlin::e2e::comparePackets(ref, merlin::e2e::frameMd5Of(conversion.flv));
    std::printf("[ harrier ] %s: %zu of %zu packets equal, %zu extra, %zu gap records, %zu timestamps equal\n",
                name.c_str(), o.cmp.matched, o.refPackets, o.cmp.extra, o.gaps, o.cmp.sameTimestamps);
    return o;
}

TEST_F(LiveCapture, RealRtmpCapturesConvertPacketForPacket) {
    if (!merlin::e2e::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    const std::string folder = KESTREL_CAPTURES_DIR;
    const auto captures = rtmpCaptures(folder);
    ASSERT_FALSE(captures.empty()) << "no RTMP capture in " << folder;
    for (const auto& name : captures) {
        SCOPED_TRACE(name);
        const auto o = recordAndCompare(*recorder, host, folder, name);
        ASSERT_TRUE(o.converted);
        EXPECT_EQ(o.gaps, 0u);
        EXPECT_EQ(o.cmp.matched, o.refPackets);
        EXPECT_EQ(o.cmp.extra, 0u);
        EXPECT_EQ(o.cmp.sameTimestamps, o.refPackets);
    }
}

// What a recorder that reassembles the whole connection at leisure gets
// out of a capture (tools/rtmp-records), converted the same way.
merlin::e2e::Comparison perfectRecording(const std::string& folder, const std::string& name,
                                         const merlin::e2e::FrameMd5& ref) {
    TempFolder out;
    std::string listing;
    const int rc = merlin::e2e::runCommand(merlin::e2e::quote(std::string(KESTREL_BIN_DIR) + "/rtmp-records") + " " +
                                               merlin::e2e::quote(folder + "/" + name + ".pcap") + " " +
                                               merlin::e2e::quote(out.path),
                                           listing);
    EXPECT_EQ(rc, 0) << listing;
    const std::string record = listing.substr(0, listing.find('\t'));
    const auto conversion = test::convert(record, out.file("perfect.flv"));
    return merlin::e2e::comparePackets(ref, merlin::e2e::frameMd5Of(conversion.flv));
}

// The captures of the capture maker (KESTREL_MADE_CAPTURES): where no
// bytes were lost to the recording, the FLV file equals the client's packet
// for packet. Where the capture itself lacks bytes, the recording must hold
// every packet that a recorder reassembling the whole connection gets.
TEST_F(LiveCapture, MadeCaptures) {
    const char* folder = std::getenv("KESTREL_MADE_CAPTURES");
    if (!folder || !*folder) GTEST_SKIP() << "KESTREL_MADE_CAPTURES is not set";
    if (!std::filesystem::exists(std::string(folder) + "/MANIFEST.tsv")) GTEST_SKIP() << "no made captures in " << folder;
    if (!merlin::e2e::haveTool("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
    std::size_t exact = 0, withGaps = 0, lost = 0;
    for (const auto& name : rtmpCaptures(folder)) {
        if (!std::filesystem::exists(std::string(folder) + "/ref/" + name + "/ref.framemd5")) continue;
        SCOPED_TRACE(name);
        const auto o = recordAndCompare(*recorder, host, folder, name);
        if (o.lost) {
            ++lost;
            std::printf("[ harrier ] %s: packets lost within the first bytes\n", name.c_str());
            continue;
        }
        if (!o.converted) continue;
        if (o.gaps == 0) {
            ++exact;
            EXPECT_EQ(o.cmp.matched, o.refPackets);
            EXPECT_EQ(o.cmp.extra, 0u);
        } else {
            ++withGaps;
            const auto ref = merlin::e2e::readFrameMd5(std::string(folder) + "/ref/" + name + "/ref.framemd5");
            const auto perfect = perfectRecording(folder, name, ref);
            std::printf("[ harrier ] %s: reassembled whole: %zu of %zu packets equal, %zu extra\n", name.c_str(),
                        perfect.matched, ref.packets.size(), perfect.extra);
            EXPECT_GE(o.cmp.matched, perfect.matched);
            EXPECT_LE(o.cmp.extra, perfect.extra + o.gaps);
        }
    }
    std::printf("[ harrier ] made captures: %zu exact, %zu with gaps, %zu lost early\n", exact, withGaps, lost);
    EXPECT_GT(exact, 0u);
}

}  // namespace
}  // namespace kestrel::harrier
