// Real captures through the record tool and the FLV builder, checked with
// outside tools: flvmeta --check, ffprobe, and ffmpeg's framemd5 against the
// FLV file the RTMP client itself saved.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "e2e_support.h"
#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/stream_record.h"
#include "merlin_test_support.h"

namespace kestrel::merlin {
namespace {

using namespace e2e;
using test::TempDir;

const std::string kCaptures = KESTREL_CAPTURES_DIR;
const std::string kBin = KESTREL_BIN_DIR;

// Every RTMP capture named in a folder's manifest.
std::vector<std::string> rtmpCaptures(const std::string& folder = kCaptures) {
    std::vector<std::string> names;
    std::ifstream in(folder + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);
    const auto header = splitTabs(line);
    const auto fileColumn = std::find(header.begin(), header.end(), "file") - header.begin();
    const auto protocolColumn = std::find(header.begin(), header.end(), "protocol") - header.begin();
    while (std::getline(in, line)) {
        const auto cells = splitTabs(line);
        if (static_cast<std::size_t>(std::max(fileColumn, protocolColumn)) >= cells.size()) continue;
        if (cells[static_cast<std::size_t>(protocolColumn)] != "rtmp") continue;
        auto file = cells[static_cast<std::size_t>(fileColumn)];
        names.push_back(file.substr(0, file.rfind('.')));
    }
    return names;
}

bool toolsMissing(std::string& which) {
    for (const char* tool : {"ffmpeg", "ffprobe", "flvmeta"}) {
        if (!haveTool(tool)) {
            which = tool;
            return true;
        }
    }
    return false;
}

struct RecordFile {
    std::string path;
    std::string dropped;  // "a-b,c-d" in the coordinates of the complete file
    std::size_t gaps = 0;  // records flagged as following lost bytes
    std::uint64_t start = 0;  // stream offset of the first recorded byte
};

// From a capture maker's expected.json: the stream ranges lost in the
// capture and the capture it was edited from.
void readLossFacts(const std::string& path, std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges,
                   std::string& base) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    const auto at = json.find("\"unrecoverable_stream_ranges\"");
    if (at != std::string::npos) {
        std::size_t pos = json.find('[', at) + 1;
        int depth = 1;
        std::vector<std::uint64_t> numbers;
        std::string number;
        for (; pos < json.size() && depth > 0; ++pos) {
            const char ch = json[pos];
            if (ch >= '0' && ch <= '9') {
                number += ch;
                continue;
            }
            if (!number.empty()) numbers.push_back(std::stoull(number));
            number.clear();
            if (ch == '[') ++depth;
            if (ch == ']') --depth;
        }
        for (std::size_t i = 0; i + 1 < numbers.size(); i += 2) ranges.emplace_back(numbers[i], numbers[i + 1]);
    }
    const auto b = json.find("\"base_capture\"");
    if (b != std::string::npos) {
        const auto open = json.find('"', json.find(':', b) + 1);
        const auto close = json.find('"', open + 1);
        base = json.substr(open + 1, close - open - 1);
        base = base.substr(0, base.rfind('.'));
    }
}

std::vector<RecordFile> makeRecords(const std::string& capture, const std::string& dir, const std::string& options,
                                    const std::string& folder = kCaptures) {
    std::string out;
    const int rc = runCommand(quote(kBin + "/rtmp-records") + " " + options + " " +
                                  quote(folder + "/" + capture + ".pcap") + " " + quote(dir),
                              out);
    EXPECT_EQ(rc, 0) << out;
    std::vector<RecordFile> files;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto cells = splitTabs(line);
        if (cells.empty() || cells[0].size() < 4 || cells[0].substr(cells[0].size() - 4) != ".rec") continue;
        RecordFile f;
        f.path = cells[0];
        for (const auto& c : cells) {
            if (c.rfind("dropped=", 0) == 0) f.dropped = c.substr(8);
            if (c.rfind("gaps=", 0) == 0) f.gaps = std::stoul(c.substr(5));
            if (c.rfind("start=", 0) == 0) f.start = std::stoull(c.substr(6));
        }
        files.push_back(f);
    }
    return files;
}

// kestrel-cli build-flv; returns the final path ("" on failure).
std::string buildFlv(const std::string& record, const std::string& output) {
    std::string out;
    const int rc = runCommand(quote(kBin + "/kestrel-cli") + " build-flv -q " + quote(record) + " " + quote(output), out);
    EXPECT_EQ(rc, 0) << out;
    if (rc != 0) return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out.substr(out.rfind('\n') == std::string::npos ? 0 : out.rfind('\n') + 1);
}

// The outside tools' verdicts on a file.
void expectToolsAccept(const std::string& flv) {
    std::string out;
    runCommand("flvmeta --check " + quote(flv), out);
    const bool clean = out.rfind("0 error(s)", 0) == 0 || out.find("\n0 error(s)") != std::string::npos;
    EXPECT_TRUE(clean) << "flvmeta --check " << flv << ":\n" << out;
    const int rc = runCommand("ffprobe -v error -show_streams " + quote(flv) + " 2>&1 >/dev/null", out);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "") << "ffprobe " << flv;
}

TEST(EndToEnd, CapturesConvertPacketForPacket) {
    std::string missing;
    if (toolsMissing(missing)) GTEST_SKIP() << missing << " is not installed (apt-get install ffmpeg flvmeta)";
    const auto captures = rtmpCaptures();
    ASSERT_FALSE(captures.empty()) << "no RTMP capture in " << kCaptures;
    for (const auto& capture : captures) {
        SCOPED_TRACE(capture);
        TempDir dir;
        const auto records = makeRecords(capture, dir.path.string(), "");
        // One playing connection per capture (a publisher's connection has no play start).
        ASSERT_EQ(records.size(), 1u);
        const auto flv = buildFlv(records[0].path, dir.file("out.flv"));
        ASSERT_FALSE(flv.empty());
        EXPECT_FALSE(std::filesystem::exists(records[0].path)) << "record file not deleted";
        expectToolsAccept(flv);

        const auto ref = readFrameMd5(kCaptures + "/ref/" + capture + "/ref.framemd5");
        const auto got = frameMd5Of(flv);
        ASSERT_FALSE(ref.packets.empty());
        const auto cmp = comparePackets(ref, got);
        std::printf("[ capture ] %s: %zu of %zu packets equal (video %zu/%zu, audio %zu/%zu), %zu extra; "
                    "timestamps: %zu equal, dts offset %lld ms, largest other difference %lld ms; extradata %s\n",
                    capture.c_str(), cmp.matched, ref.packets.size(), cmp.matchedByMedia.at("video"),
                    ref.count("video"), cmp.matchedByMedia.at("audio"), ref.count("audio"), cmp.extra,
                    cmp.sameTimestamps, static_cast<long long>(cmp.dtsOffset),
                    static_cast<long long>(cmp.largestTimestampDifference), ref.extradata == got.extradata ? "equal" : "differs");
        RecordProperty(capture + "_packets_equal", std::to_string(cmp.matched) + "/" + std::to_string(ref.packets.size()));
        EXPECT_EQ(cmp.matched, ref.packets.size());
        EXPECT_EQ(cmp.extra, 0u);
        EXPECT_EQ(cmp.sameTimestamps, ref.packets.size());
        EXPECT_EQ(ref.extradata, got.extradata);
    }
}

// Records where each tag of a conversion came from. A tag is written as
// soon as it is complete, before the converter reports its end, so the
// spans are put together once the conversion is over; tags that were
// dropped never get a position.
class SpanRecorder : public ConversionObserver {
public:
    struct Span {
        std::uint64_t start = 0;
        std::uint64_t end = 0;
        bool fullHeader = false;
    };
    void tagStarted(std::uint64_t tag, std::uint64_t sourceOffset, bool fullHeader) override {
        byTag_[tag] = Span{sourceOffset, UINT64_MAX, fullHeader};
    }
    void tagCompleted(std::uint64_t tag, std::uint64_t sourceEnd) override { byTag_[tag].end = sourceEnd; }
    void tagWritten(std::uint64_t tag, std::uint64_t outputPos) override { positions_[tag] = outputPos; }
    // By the tag's position in the output.
    std::map<std::uint64_t, Span> spans() const {
        std::map<std::uint64_t, Span> out;
        for (const auto& [tag, pos] : positions_) out[pos] = byTag_.at(tag);
        return out;
    }

private:
    std::map<std::uint64_t, Span> byTag_;
    std::map<std::uint64_t, std::uint64_t> positions_;
};

struct GapCheck {
    std::size_t matched = 0;
    std::size_t total = 0;
    std::size_t gapPackets = 0;      // reference packets the gaps may cost
    std::size_t outsideMissing = 0;  // other reference packets not in the output
    std::size_t extra = 0;           // damaged packets kept
    std::size_t sameTimestamps = 0;
    std::size_t beforeFirstGap = 0;
    long long largestTimestampDifference = 0;
};

// Compares the conversion of a record file with gaps (got) with the
// reference, knowing from the complete record file where each packet lies:
// a gap costs the messages it cuts and those that follow it until the next
// message with a full header, where the stream is picked up again. Every
// other packet must be there. ranges: the lost bytes, in the coordinates of
// the complete record file's payload.
GapCheck checkAgainstComplete(const std::string& completeRecord, const std::string& workFlv,
                              const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges, const FrameMd5& ref,
                              const FrameMd5& got) {
    GapCheck g;
    g.total = ref.packets.size();
    SpanRecorder recorder;
    {
        StreamRecordReader source;
        EXPECT_TRUE(source.open(completeRecord.c_str()));
        FlvOutputFile output;
        EXPECT_TRUE(output.create(workFlv.c_str()));
        output.writeFileHeader(0x05);
        auto converter = std::make_unique<ChunkStreamConverter>();
        converter->setObserver(&recorder);
        converter->convert(source, output);
        EXPECT_TRUE(output.close());
    }
    const auto spans = recorder.spans();
    const auto located = probePackets(workFlv);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> lost;
    for (const auto& [from, to] : ranges) {
        std::uint64_t resume = UINT64_MAX;
        for (const auto& [pos, span] : spans)
            if (span.start >= to && span.fullHeader) resume = std::min(resume, span.start);
        lost.emplace_back(from, resume);
    }
    std::vector<bool> inGap(ref.packets.size(), false);
    std::map<PacketKey, std::size_t> used;
    for (std::size_t i = 0; i < ref.packets.size(); ++i) {
        const auto& p = ref.packets[i];
        const PacketKey key{p.media, p.size, p.hash};
        const auto where = located.find(key);
        if (where == located.end() || used[key] >= where->second.size()) {
            ADD_FAILURE() << "packet " << i << " not in the conversion of the complete record file";
            return g;
        }
        const auto span = spans.find(where->second[used[key]++]);
        if (span == spans.end()) {
            ADD_FAILURE() << "no source span for packet " << i;
            return g;
        }
        for (const auto& [from, to] : lost)
            if (span->second.end > from && span->second.start < to) inGap[i] = true;
        if (inGap[i]) ++g.gapPackets;
        if (!lost.empty() && span->second.end <= lost.front().first) ++g.beforeFirstGap;
    }
    const auto cmp = comparePackets(ref, got);
    g.matched = cmp.matched;
    g.extra = cmp.extra;
    g.sameTimestamps = cmp.sameTimestamps;
    g.largestTimestampDifference = cmp.largestTimestampDifference;
    // Still pictures give packets that repeat exactly: count by content.
    std::map<PacketKey, std::pair<std::size_t, std::size_t>> outsideAndMatched;
    for (std::size_t i = 0; i < ref.packets.size(); ++i) {
        const auto& p = ref.packets[i];
        auto& counts = outsideAndMatched[PacketKey{p.media, p.size, p.hash}];
        if (!inGap[i]) ++counts.first;
        if (cmp.refMatched[i]) ++counts.second;
    }
    for (const auto& [key, counts] : outsideAndMatched) {
        if (counts.second >= counts.first) continue;
        g.outsideMissing += counts.first - counts.second;
        ADD_FAILURE() << "missing " << std::get<0>(key) << " packet of " << std::get<1>(key) << " bytes, "
                      << std::get<2>(key);
    }
    return g;
}

void expectGapCheck(const GapCheck& g, std::size_t gaps) {
    EXPECT_EQ(g.outsideMissing, 0u);
    EXPECT_LE(g.extra, gaps);  // at most the cut messages, as damaged tags
    // Timestamps are deltas: after a gap they lag by the time of the lost
    // messages until the server sends an absolute one.
    EXPECT_GE(g.sameTimestamps, g.beforeFirstGap);
}

TEST(EndToEnd, LostSegmentsCostOnlyThePacketsInTheGaps) {
    std::string missing;
    if (toolsMissing(missing)) GTEST_SKIP() << missing << " is not installed (apt-get install ffmpeg flvmeta)";
    // Server-to-client data segments left out, counted in stream order: two
    // neighbours (one longer hole) and a single one further on.
    const std::string drop = "--drop 40,41,80";
    for (const auto& capture : rtmpCaptures()) {
        SCOPED_TRACE(capture);
        TempDir dir;
        const auto complete = makeRecords(capture, dir.path.string(), "");
        ASSERT_EQ(complete.size(), 1u);
        std::filesystem::create_directory(dir.file("lossy"));
        const auto lossy = makeRecords(capture, dir.file("lossy"), drop);
        ASSERT_EQ(lossy.size(), 1u);
        const auto ranges = parseRanges(lossy[0].dropped);
        ASSERT_FALSE(ranges.empty());
        const auto flv = buildFlv(lossy[0].path, dir.file("lossy.flv"));
        ASSERT_FALSE(flv.empty());
        expectToolsAccept(flv);
        const auto ref = readFrameMd5(kCaptures + "/ref/" + capture + "/ref.framemd5");
        const auto g = checkAgainstComplete(complete[0].path, dir.file("complete.flv"), ranges, ref, frameMd5Of(flv));
        std::printf("[ capture ] %s %s: gaps at bytes %s; %zu of %zu packets equal, %zu packets in the gaps, "
                    "%zu outside the gaps missing, %zu damaged packets kept; timestamps: %zu equal (%zu packets "
                    "before the first gap), after a gap up to %lld ms behind the reference\n",
                    capture.c_str(), drop.c_str(), lossy[0].dropped.c_str(), g.matched, g.total, g.gapPackets,
                    g.outsideMissing, g.extra, g.sameTimestamps, g.beforeFirstGap, g.largestTimestampDifference);
        RecordProperty(capture + "_lossy_packets_equal", std::to_string(g.matched) + "/" + std::to_string(g.total));
        EXPECT_GT(g.gapPackets, 0u);
        expectGapCheck(g, ranges.size());
    }
}

TEST(BuildFlvCommand, ExitCodesAndMessages) {
    TempDir dir;
    test::writeRecords(dir.file("noise.rec"), std::vector<std::uint8_t>(8000, 0xFF), 1460);
    // Not a record file at all: its first "record header" is text.
    {
        std::ofstream text(dir.file("notes.txt"));
        for (int i = 0; i < 200; ++i) text << "line " << i << " of a plain text file, not a stream record\n";
    }
    std::ofstream(dir.file("empty.rec")).close();
    ASSERT_EQ(::mkfifo(dir.file("fifo.rec").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.rec"));
    const auto flv = dir.file("good.flv");
    // A source that never ends must not hold the command: timeout says 124.
    const std::string cli = "timeout 20 " + quote(kBin + "/kestrel-cli") + " build-flv ";
    struct Row {
        const char* name;
        std::string arguments;
        int exitCode;
        const char* says;  // expected in the output
    } rows[] = {
        {"help", "--help", 0, "usage: kestrel-cli build-flv"},
        {"help names the exit statuses", "--help", 0, "4  converted in part"},
        {"no arguments", "", 2, "usage:"},
        {"unknown option", "--fast a b", 2, "unknown option"},
        {"missing record file", quote(dir.file("absent.rec")) + " " + quote(flv), 3, "cannot open"},
        {"output folder missing", quote(dir.file("noise.rec")) + " " + quote(dir.file("no/such/x.flv")), 1,
         "cannot create"},
        {"nothing to follow", quote(dir.file("noise.rec")) + " " + quote(dir.file("noise.flv")), 1,
         "no RTMP chunk stream"},
        {"not a record file", quote(dir.file("notes.txt")) + " " + quote(dir.file("notes.flv")), 1,
         "may not be a stream record file"},
        {"empty record file", quote(dir.file("empty.rec")) + " " + quote(dir.file("empty.flv")), 1, "is empty"},
        {"FIFO without a writer", quote(dir.file("fifo.rec")) + " " + quote(dir.file("fifo.flv")), 3,
         "is a FIFO, not a regular file"},
        {"endless device", "/dev/zero " + quote(dir.file("zero.flv")), 3, "is a device, not a regular file"},
        {"folder", quote(dir.file("folder.rec")) + " " + quote(dir.file("folder.flv")), 3,
         "is a folder, not a regular file"},
        {"path of 260", quote("/tmp/" + std::string(255, 'p')) + " " + quote(flv), 2, "shorter than 260"},
    };
    for (const auto& r : rows) {
        std::string out;
        EXPECT_EQ(runCommand(cli + r.arguments + " 2>&1", out), r.exitCode) << r.name << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << r.name << ": " << out;
    }
    // Nothing that could not be converted is deleted; a source refused
    // before conversion gets no output file.
    for (const char* kept : {"noise.rec", "notes.txt", "empty.rec", "fifo.rec", "folder.rec"})
        EXPECT_TRUE(std::filesystem::exists(dir.file(kept))) << kept;
    EXPECT_TRUE(std::filesystem::is_fifo(dir.file("fifo.rec")));
    for (const char* absent : {"absent.flv", "fifo.flv", "zero.flv", "folder.flv", "empty.flv"})
        EXPECT_FALSE(std::filesystem::exists(dir.file(absent))) << absent;
}

// The record file goes only after a complete conversion: a stream cut
// inside its last record converts (exit 4) and stays; the same stream
// whole converts (exit 0) and goes.
TEST(BuildFlvCommand, OnlyACompleteConversionDeletesTheRecordFile) {
    const auto stream = [] {
        rtmprecords::ChunkStreamWriter w(128);
        w.announceChunkSize(4096);
        for (const auto& m : test::avStream(200)) w.write(m);
        return w.bytes();
    }();
    struct Row {
        const char* name;
        std::size_t cut;  // bytes taken off the end of the record file
        int exitCode;
        bool kept;
    } rows[] = {{"whole", 0, 0, false}, {"cut inside its last record", 7, 4, true}};
    for (const auto& r : rows) {
        TempDir dir;
        const auto record = dir.file("in.rec");
        test::writeRecords(record, stream, 1460);
        if (r.cut) std::filesystem::resize_file(record, std::filesystem::file_size(record) - r.cut);
        std::string out;
        EXPECT_EQ(runCommand(quote(kBin + "/kestrel-cli") + " build-flv -q " + quote(record) + " " +
                                 quote(dir.file("out.flv")) + " 2>&1",
                             out),
                  r.exitCode)
            << r.name << ": " << out;
        EXPECT_EQ(std::filesystem::exists(record), r.kept) << r.name;
        EXPECT_TRUE(test::readFlv(dir.file("out.flv")).valid) << r.name;
        if (r.kept) {
            EXPECT_NE(out.find("the file ends inside a record"), std::string::npos) << out;
        }
    }
}

// Captures made by the project's capture maker (tools/capture-maker), in
// the folder that KESTREL_MADE_CAPTURES names; run by made-captures-e2e.sh.
// Captures whose loss the client's TCP repaired must convert packet for
// packet; where the capture itself lost bytes, each gap may cost only the
// few messages around it.
TEST(EndToEnd, MadeCaptures) {
    const char* folder = std::getenv("KESTREL_MADE_CAPTURES");
    if (!folder || !*folder) GTEST_SKIP() << "KESTREL_MADE_CAPTURES is not set (see tests/capture-maker)";
    if (!std::filesystem::exists(std::string(folder) + "/MANIFEST.tsv"))
        GTEST_SKIP() << "no made captures in " << folder << " (making them needs root and network namespaces)";
    std::string missing;
    if (toolsMissing(missing)) GTEST_SKIP() << missing << " is not installed (apt-get install ffmpeg flvmeta)";
    constexpr std::size_t kMaxPacketsPerGap = 12;
    const auto captures = rtmpCaptures(folder);
    ASSERT_FALSE(captures.empty()) << "no RTMP capture in " << folder;
    for (const auto& capture : captures) {
        SCOPED_TRACE(capture);
        const std::string refPath = std::string(folder) + "/ref/" + capture + "/ref.framemd5";
        if (!std::filesystem::exists(refPath)) {
            std::printf("[ capture ] %s: no ref.framemd5, skipped\n", capture.c_str());
            continue;
        }
        TempDir dir;
        const auto records = makeRecords(capture, dir.path.string(), "", folder);
        ASSERT_EQ(records.size(), 1u);
        const auto flv = buildFlv(records[0].path, dir.file("out.flv"));
        ASSERT_FALSE(flv.empty());
        expectToolsAccept(flv);
        const auto ref = readFrameMd5(refPath);
        const auto got = frameMd5Of(flv);
        const auto cmp = comparePackets(ref, got);
        std::printf("[ capture ] %s: %zu of %zu packets equal, %zu extra, %zu gap records; timestamps: %zu equal, "
                    "dts offset %lld ms, largest difference %lld ms\n",
                    capture.c_str(), cmp.matched, ref.packets.size(), cmp.extra, records[0].gaps, cmp.sameTimestamps,
                    static_cast<long long>(cmp.dtsOffset), static_cast<long long>(cmp.largestTimestampDifference));
        RecordProperty(capture + "_packets_equal", std::to_string(cmp.matched) + "/" + std::to_string(ref.packets.size()));
        if (records[0].gaps == 0) {
            EXPECT_EQ(cmp.matched, ref.packets.size());
            EXPECT_EQ(cmp.extra, 0u);
            continue;
        }
        std::vector<std::pair<std::uint64_t, std::uint64_t>> lostInCapture;
        std::string base;
        readLossFacts(std::string(folder) + "/ref/" + capture + "/expected.json", lostInCapture, base);
        if (base.empty() || !std::filesystem::exists(std::string(folder) + "/" + base + ".pcap")) {
            // No complete capture to tell where the packets were: a bound.
            EXPECT_GE(cmp.matched + records[0].gaps * kMaxPacketsPerGap, ref.packets.size());
            EXPECT_LE(cmp.extra, records[0].gaps);
            continue;
        }
        // The capture it was cut from tells exactly which packets a gap may cost.
        std::filesystem::create_directory(dir.file("base"));
        const auto complete = makeRecords(base, dir.file("base"), "", folder);
        ASSERT_EQ(complete.size(), 1u);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
        for (const auto& [from, to] : lostInCapture)
            if (to > complete[0].start) ranges.emplace_back(std::max(from, complete[0].start) - complete[0].start, to - complete[0].start);
        const auto g = checkAgainstComplete(complete[0].path, dir.file("complete.flv"), ranges, ref, got);
        std::printf("[ capture ] %s: %zu packets in the gaps, %zu outside the gaps missing, %zu damaged packets kept; "
                    "%zu packets before the first gap\n",
                    capture.c_str(), g.gapPackets, g.outsideMissing, g.extra, g.beforeFirstGap);
        expectGapCheck(g, ranges.size());
    }
}

}  // namespace
}  // namespace kestrel::merlin
