// The built-in RTMP converters on the real RTMP captures: the raw stream is
// the server-to-client payload of the player's connection in stream order
// (made with rtmp-records), from the handshake on and from the segment that
// announces the start of playing. Each output must pass flvmeta --check,
// open in ffprobe with the expected streams, and hold the reference's audio
// and video packets (ffmpeg framemd5: size and hash, in order).

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <sstream>

#include "kestrel/files/builtin_rtmp_converter.h"
#include "platform/byte_reader.h"
#include "rtmp_builtin_test_support.h"

namespace {

using namespace kestrel::rtmptest;
using kestrel::files::BuiltinResult;
using kestrel::files::BuiltinStats;

const std::string kCaptures = KESTREL_CAPTURES_DIR;
const std::string kBin = KESTREL_BIN_DIR;

struct CaptureCase {
    const char* name;
    const char* videoCodec;
    const char* audioCodec;
};

std::string missingTool() {
    for (const char* tool : {"ffmpeg", "ffprobe", "flvmeta"})
        if (!haveTool(tool)) return tool;
    return {};
}

// The payloads of a stream record file (flags, 16-bit little-endian length,
// payload) one after the other.
Bytes rawStreamOf(const std::string& recordFile) {
    const Bytes records = readFile(recordFile);
    Bytes raw;
    kestrel::ByteReader r(records);
    while (r.remaining() > 0) {
        r.u8();
        const auto payloadBytes = r.bytes(r.le16());
        if (!r.ok()) break;
        raw.insert(raw.end(), payloadBytes.begin(), payloadBytes.end());
    }
    return raw;
}

// rtmp-records' lines: path, "client=A:P", ...; by client.
std::map<std::string, std::string> recordFiles(const std::string& capture, const std::string& dir, bool fromStart) {
    std::filesystem::create_directories(dir);
    std::string out;
    const int rc = runCommand(quote(kBin + "/rtmp-records") + (fromStart ? " --from-start " : " ") + quote(capture) +
                                  " " + quote(dir),
                              out);
    EXPECT_EQ(rc, 0) << out;
    std::map<std::string, std::string> files;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto tab = line.find('\t');
        const auto client = line.find("client=");
        if (tab == std::string::npos || client == std::string::npos) continue;
        const auto end = line.find('\t', client);
        files[line.substr(client + 7, end - client - 7)] = line.substr(0, tab);
    }
    return files;
}

std::string flvmetaErrors(const std::string& flv) {
    std::string out;
    runCommand("flvmeta --check " + quote(flv) + " 2>&1", out);
    const bool clean = out.rfind("0 error(s)", 0) == 0 || out.find("\n0 error(s)") != std::string::npos;
    return clean ? std::string() : out;
}

std::string probeStreams(const std::string& flv) {
    std::string out;
    runCommand("ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 " + quote(flv) + " 2>&1", out);
    return out;
}

class BuiltinOnCaptures : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(BuiltinOnCaptures, PacketsMatchTheReference) {
    const CaptureCase& c = GetParam();
    if (const auto tool = missingTool(); !tool.empty())
        GTEST_SKIP() << tool << " is not installed (apt-get install ffmpeg flvmeta)";
    const std::string capture = kCaptures + "/" + c.name + ".pcap";
    const std::string refDir = kCaptures + "/ref/" + c.name;
    if (!std::filesystem::exists(capture)) GTEST_SKIP() << capture << " is not there";
    const Bytes referenceText = readFile(refDir + "/ref.framemd5");
    const auto reference = parseFrameMd5(std::string(referenceText.begin(), referenceText.end()));
    ASSERT_FALSE(reference.empty());

    // The player's connection is the one that announces the start of
    // playing; the same connection from its first byte is the other form.
    const std::string dir = tempPath(c.name);
    const auto fromPlay = recordFiles(capture, dir + "/play", false);
    const auto fromStart = recordFiles(capture, dir + "/start", true);
    ASSERT_EQ(fromPlay.size(), 1u) << "one player connection";
    const std::string client = fromPlay.begin()->first;
    ASSERT_TRUE(fromStart.count(client));

    struct Form {
        const char* name;
        std::string records;
    };
    for (const Form& form : {Form{"from-handshake", fromStart.at(client)}, Form{"from-play-start", fromPlay.at(client)}}) {
        const std::string raw = dir + "/" + form.name + ".tmp";
        writeFile(raw, rawStreamOf(form.records));
        for (const bool variant : {false, true}) {
            const char* converter = variant ? "variant" : "builtin";
            SCOPED_TRACE(std::string(form.name) + " " + converter);
            const std::string flv = dir + "/" + form.name + "." + converter + ".flv";
            BuiltinStats stats;
            const BuiltinResult result = variant ? kestrel::files::convertRtmpVariant(raw, flv, &stats)
                                                 : kestrel::files::convertRtmpBuiltin(raw, flv, &stats);
            ASSERT_EQ(result, BuiltinResult::Converted);
            EXPECT_EQ(flvmetaErrors(flv), "");
            const std::string streams = probeStreams(flv);
            EXPECT_NE(streams.find(std::string(c.videoCodec) + ",video"), std::string::npos) << streams;
            EXPECT_NE(streams.find(std::string(c.audioCodec) + ",audio"), std::string::npos) << streams;

            const Match m = comparePackets(reference, frameMd5Of(flv));
            std::cout << "[figures] " << c.name << " " << form.name << " " << converter << ": packets " << m.matched
                      << "/" << m.reference << ", extra " << m.extra << ", same dts " << m.sameTimestamp
                      << ", passes " << stats.passes << ", chunk size message " << (stats.chunkSizeMessageFound ? "found" : "not found")
                      << "\n";
            RecordProperty(std::string(form.name) + "_" + converter + "_matched", std::to_string(m.matched));
            EXPECT_EQ(m.matched, m.reference);
            EXPECT_EQ(m.extra, 0u);
            // The variant takes its times from the chunk headers.
            if (variant) {
                EXPECT_EQ(m.sameTimestamp, m.matched);
            }
            // Without a Set Chunk Size message in view, the builtin converter
            // finds the server's 4096 on its first retry.
            if (!variant) {
                EXPECT_EQ(stats.passes, stats.chunkSizeMessageFound ? 1 : 2);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Captures, BuiltinOnCaptures,
                         ::testing::Values(CaptureCase{"rtmp-vod-rtmpdump-eth1500", "h264", "aac"},
                                           CaptureCase{"rtmp-vod-ffmpeg-eth1500", "h264", "aac"},
                                           CaptureCase{"rtmp-live-publish-play-eth1500", "h264", "aac"},
                                           CaptureCase{"rtmp-vod-sorenson-mp3-eth1500", "flv1", "mp3"}),
                         [](const auto& test) {
                             std::string n = test.param.name;
                             for (char& ch : n)
                                 if (ch == '-') ch = '_';
                             return n;
                         });

}  // namespace
