// The chunk-stream converter on streams made by a chunk-stream writer: what
// comes out must be the messages that went in, packet for packet.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string_view>

#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/stream_record.h"
#include "merlin_test_support.h"

namespace kestrel::merlin {
namespace {

using rtmprecords::ChunkStreamWriter;
using rtmprecords::HeaderForm;
using rtmprecords::RtmpMessage;
using test::FlvFile;
using test::TempDir;

struct Converted {
    ConversionOutcome outcome;
    FlvFile flv;
};

Converted convertRecords(const std::string& records, const std::string& flvPath) {
    StreamRecordReader source;
    EXPECT_TRUE(source.open(records.c_str()));
    FlvOutputFile output;
    EXPECT_TRUE(output.create(flvPath.c_str()));
    output.writeFileHeader(0x05);
    auto converter = std::make_unique<ChunkStreamConverter>();
    std::atomic<std::uint64_t> consumed{0};
    Converted c;
    c.outcome = converter->convert(source, output, &consumed);
    output.setTypeFlags(c.outcome.typeFlags());
    EXPECT_TRUE(output.close());
    c.flv = test::readFlv(flvPath);
    return c;
}

Converted convertBytes(TempDir& dir, std::span<const std::uint8_t> stream, std::size_t segment,
                       std::span<const std::size_t> dropped = {}) {
    const auto records = dir.file("in.rec");
    test::writeRecords(records, stream, segment, dropped);
    return convertRecords(records, dir.file("out.flv"));
}

std::vector<std::uint8_t> chunkStream(const std::vector<RtmpMessage>& messages, std::uint32_t chunkSize,
                                      bool announce, HeaderForm form = HeaderForm::Compact) {
    ChunkStreamWriter w(announce ? 128 : chunkSize);
    if (announce) w.announceChunkSize(chunkSize);
    for (const auto& m : messages) w.write(m, form);
    return w.bytes();
}

// How many of want appear in have in order (payloads are unique).
std::size_t matchedInOrder(const std::vector<std::vector<std::uint8_t>>& want,
                           const std::vector<std::vector<std::uint8_t>>& have) {
    std::size_t matched = 0;
    std::size_t j = 0;
    for (const auto& w : want) {
        for (std::size_t k = j; k < have.size(); ++k) {
            if (have[k] == w) {
                ++matched;
                j = k + 1;
                break;
            }
        }
    }
    return matched;
}

// ------------------------------------------------------------ plain streams

struct PlainCase {
    const char* name;
    std::uint32_t chunkSize;
    bool announced;      // the record file holds the Set Chunk Size message
    std::size_t segment; // record size
};

class PlainStream : public ::testing::TestWithParam<PlainCase> {};

TEST_P(PlainStream, EveryMessageBecomesItsTag) {
    const auto& p = GetParam();
    TempDir dir;
    const auto messages = test::avStream(300);
    const auto stream = chunkStream(messages, p.chunkSize, p.announced);
    const auto c = convertBytes(dir, stream, p.segment);
    ASSERT_EQ(c.outcome.status, ConversionOutcome::Status::Converted);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    EXPECT_EQ(c.flv.typeFlags, 0x05);
    EXPECT_EQ(c.outcome.lostSyncs, 0u);
    ASSERT_FALSE(c.flv.tags.empty());
    EXPECT_EQ(c.flv.tags[0].type, 18);
    EXPECT_EQ(c.flv.tags[0].data, messages[0].payload);
    EXPECT_TRUE(test::mediaPayloads(c.flv) == test::mediaPayloads(messages));
    std::size_t t = 1;
    for (std::size_t i = 1; i < messages.size(); ++i, ++t) {
        ASSERT_LT(t, c.flv.tags.size());
        EXPECT_EQ(c.flv.tags[t].type, messages[i].type) << "tag " << t;
        EXPECT_EQ(c.flv.tags[t].timestamp, messages[i].timestamp) << "tag " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(
    ChunkSizes, PlainStream,
    ::testing::Values(PlainCase{"default128", 128, false, 1460}, PlainCase{"announced1000", 1000, true, 1460},
                      // Record files start after the server's Set Chunk Size: sizes
                      // beyond the 128..1024 search must still be found.
                      PlainCase{"unannounced4096", 4096, false, 1460},
                      PlainCase{"unannounced60000", 60000, false, 1460},
                      PlainCase{"unannounced65536", 65536, false, 65535},
                      PlainCase{"announced4096TinyRecords", 4096, true, 7},
                      PlainCase{"announced4096FullRecords", 4096, true, 65535}),
    [](const auto& row) { return std::string(row.param.name); });

// ------------------------------------------------------------ synchronisation

TEST(SyncPoint, LeadingPartialChunkIsDropped) {
    const auto messages = test::avStream(40, 300, 100);
    const auto stream = chunkStream(messages, 128, false);
    // Start 50 bytes into the stream: inside the metadata message's first chunk.
    const std::size_t cut = 50;
    auto point = ChunkStreamConverter::findSyncPoint(std::span(stream).subspan(cut, 3072));
    ASSERT_TRUE(point.has_value());
    EXPECT_EQ(point->chunkSize, 128u);
    // The first header after the cut is the first audio/video message's.
    const std::size_t firstMedia = 12 + messages[0].payload.size();  // one chunk of metadata
    EXPECT_EQ(cut + point->drop, firstMedia);

    TempDir dir;
    const auto c = convertBytes(dir, std::span(stream).subspan(cut), 1460);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    EXPECT_TRUE(test::mediaPayloads(c.flv) == test::mediaPayloads(messages));
}

TEST(SyncPoint, ChunkSize4096AnnouncedInsideTheCollectedBytes) {
    // A partial chunk, a few small messages at 128, then the announcement of
    // 4096 and large messages: the trial parse switches to the announced size.
    std::vector<std::uint8_t> stream = test::mediaPayload(0x33, 37, 1);
    ChunkStreamWriter w(128);
    auto small = test::avStream(6, 100, 60);
    for (const auto& m : small) w.write(m);
    w.announceChunkSize(4096);
    auto large = test::avStream(40, 3500, 300);
    large.erase(large.begin());  // no second onMetaData
    for (auto& m : large) m.timestamp += 1000;
    for (const auto& m : large) w.write(m);
    stream.insert(stream.end(), w.bytes().begin(), w.bytes().end());

    const auto point = ChunkStreamConverter::findSyncPoint(std::span(stream).first(3072));
    ASSERT_TRUE(point.has_value());
    EXPECT_EQ(point->drop, 37u);
    EXPECT_EQ(point->chunkSize, 128u);

    TempDir dir;
    const auto c = convertBytes(dir, stream, 1460);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    auto want = test::mediaPayloads(small);
    for (auto& p : test::mediaPayloads(large)) want.push_back(p);
    EXPECT_TRUE(test::mediaPayloads(c.flv) == want);
}

TEST(SyncPoint, TrialParseRows) {
    const auto stream = chunkStream(test::avStream(60, 3000, 200), 4096, false);
    const auto window = std::span(stream).first(65536);
    struct Row {
        std::uint32_t chunkSize;
        bool parses;
    } rows[] = {{128, false}, {1024, false}, {2048, false}, {3000, false}, {4096, true}, {8192, true}};
    for (const auto& r : rows)
        EXPECT_EQ(ChunkStreamConverter::trialParse(window, r.chunkSize), r.parses) << r.chunkSize;
    // In the first 3,072 bytes a video byte happens to continue the chunk
    // stream at 2048; the longer window settles it.
    EXPECT_TRUE(ChunkStreamConverter::trialParse(window.first(3072), 2048));
    const auto point = ChunkStreamConverter::findSyncPoint(window);
    ASSERT_TRUE(point.has_value());
    EXPECT_EQ(point->drop, 0u);
    EXPECT_EQ(point->chunkSize, 4096u);
    EXPECT_EQ(ChunkStreamConverter::findSyncPoint(window.first(3072))->chunkSize, 2048u);
}

// The search skips the chunk sizes larger than one that failed without
// cutting a chunk; it must still find what trying every size finds.
std::optional<SyncPoint> everySizeTried(std::span<const std::uint8_t> window) {
    const auto collected = window.first(std::min(window.size(), ChunkStreamConverter::kInitialCollection));
    std::vector<std::uint32_t> sizes;
    for (std::uint32_t c = 128; c <= 1024; ++c) sizes.push_back(c);
    for (std::uint32_t c : {2048u, 4096u, 8192u, 16384u, 32768u, 60000u, 65536u}) sizes.push_back(c);
    for (std::size_t k = 0; k < ChunkStreamConverter::kMaxSyncOffset && k < collected.size() && collected.size() - k > 16;
         ++k) {
        std::optional<std::uint32_t> found;
        for (std::uint32_t c : sizes) {
            if (!ChunkStreamConverter::trialParse(collected.subspan(k), c)) continue;
            if (!found) found = c;
            if (window.size() <= collected.size() || ChunkStreamConverter::trialParse(window.subspan(k), c))
                return SyncPoint{k, c};
        }
        if (found) return SyncPoint{k, *found};
    }
    return std::nullopt;
}

TEST(SyncPoint, SkippingSizesFindsWhatTryingEverySizeFinds) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> window;
    };
    std::vector<Case> cases;
    auto from = [](const std::vector<std::uint8_t>& v, std::size_t cut) {
        return std::vector<std::uint8_t>(v.begin() + static_cast<std::ptrdiff_t>(cut), v.end());
    };
    const auto plain = chunkStream(test::avStream(60, 3000, 200), 4096, false);
    for (std::size_t cut : {0u, 1u, 50u, 700u}) cases.push_back({"unannounced 4096", from(plain, cut)});
    const auto announced = chunkStream(test::avStream(60, 900, 200), 1000, true);
    for (std::size_t cut : {0u, 13u, 300u}) cases.push_back({"announced 1000", from(announced, cut)});
    const auto small = chunkStream(test::avStream(60, 100, 60), 128, false);
    cases.push_back({"messages under 128", from(small, 5)});
    const auto odd = chunkStream(test::avStream(40, 700, 300), 555, false);
    cases.push_back({"unannounced 555", from(odd, 2)});
    std::mt19937 random(7);
    for (int i = 0; i < 3; ++i) {
        std::vector<std::uint8_t> noise(4096);
        for (auto& b : noise) b = static_cast<std::uint8_t>(random());
        cases.push_back({"noise", noise});
    }
    // Audio headers with long messages at every offset: the trial parses
    // cut chunks at each size, so nothing is skipped.
    std::vector<std::uint8_t> headers;
    while (headers.size() < 4096) {
        const std::uint8_t h[] = {0x04, 0, 0, 0, 0x00, 0x10, 0x00, 0x08, 1, 0, 0, 0, 0xAF};
        headers.insert(headers.end(), std::begin(h), std::end(h));
    }
    cases.push_back({"long audio headers", headers});
    std::ifstream slow(std::filesystem::path(KESTREL_FUZZ_REGRESSIONS_DIR) / "merlin_records_fuzz" / "initial-sync-search-slow",
                       std::ios::binary);
    cases.push_back({"fuzz input", {std::istreambuf_iterator<char>(slow), {}}});
    ASSERT_GT(cases.back().window.size(), 1000u);

    for (const auto& c : cases) {
        for (std::size_t length : {std::size_t{3072}, c.window.size()}) {
            const auto window = std::span(c.window).first(std::min(length, c.window.size()));
            const auto want = everySizeTried(window);
            const auto got = ChunkStreamConverter::findSyncPoint(window);
            ASSERT_EQ(got.has_value(), want.has_value()) << c.name << " " << window.size();
            if (!want) continue;
            EXPECT_EQ(got->drop, want->drop) << c.name << " " << window.size();
            EXPECT_EQ(got->chunkSize, want->chunkSize) << c.name << " " << window.size();
        }
    }
}

TEST(SyncPoint, NothingToFollow) {
    TempDir dir;
    std::mt19937 rng(7);
    std::vector<std::uint8_t> noise(20000);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const auto stream = chunkStream(test::avStream(100), 4096, true);
    const std::size_t gapAt[] = {1};
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::size_t segment;
        std::span<const std::size_t> dropped;
    } rows[] = {
        {"shorter than 3072 bytes", std::vector<std::uint8_t>(stream.begin(), stream.begin() + 3000), 1460, {}},
        {"gap within the first 3072 bytes", stream, 1000, gapAt},
        {"random bytes", noise, 1460, {}},
    };
    for (const auto& r : rows) {
        const auto c = convertBytes(dir, r.bytes, r.segment, r.dropped);
        EXPECT_EQ(c.outcome.status, ConversionOutcome::Status::NotSynchronised) << r.name;
        EXPECT_TRUE(c.flv.valid) << r.name;
        EXPECT_TRUE(c.flv.tags.empty()) << r.name;
    }
}

// After a lost sync, the resynchronisation meets a Set Chunk Size header
// near the end of a record (merlin-resync-short-tail.rec: with an extended
// timestamp, 16 to 19 bytes before the end, it used to skip past the
// bytes and read out of bounds). At every distance from the end, with and
// without the extended timestamp, the size must take effect once its value
// has arrived, and the stream after it must convert whole.
TEST(Resync, SetChunkSizeHeaderAtEveryDistanceFromTheRecordEnd) {
    const auto before = test::avStream(40, 300, 100);
    ChunkStreamWriter w(128);
    for (const auto& m : before) w.write(m);
    // An audio header with sound format 12, which FLV leaves undefined: the
    // converter loses sync there and drops the rest of the record.
    const std::vector<std::uint8_t> refused = {0x04, 0, 0, 0, 0, 0, 100, 8, 1, 0, 0, 0, 0xC2, 1, 2, 3};
    auto after = test::avStream(60, 3000, 200);
    after.erase(after.begin());  // no second onMetaData
    for (auto& m : after) m.timestamp += 10000;
    ChunkStreamWriter tail(4096);  // its first headers are full ones
    for (const auto& m : after) tail.write(m);

    for (const bool extended : {false, true}) {
        // Type-0 Set Chunk Size on chunk stream 2 of message stream 1, time 0
        // (or 0xFFFFFF and an extended time of 0), value 4096.
        std::vector<std::uint8_t> header = {0x02, 0, 0, 0, 0, 0, 4, 1, 1, 0, 0, 0};
        if (extended) {
            header[1] = header[2] = header[3] = 0xFF;
            header.insert(header.end(), {0, 0, 0, 0});
        }
        const std::vector<std::uint8_t> value = {0, 0, 0x10, 0};
        for (std::size_t distance = 10; distance <= 24; ++distance) {
            SCOPED_TRACE(std::string(extended ? "extended, " : "") + std::to_string(distance) + " bytes before the end");
            std::vector<std::uint8_t> message = header;
            message.insert(message.end(), value.begin(), value.end());
            // Record 1: the first messages and the refused header. Record 2:
            // bytes that are no point to synchronise on, then the header
            // `distance` bytes before its end. Record 3: the rest, then the
            // stream at chunk size 4096.
            std::vector<std::uint8_t> first = w.bytes();
            first.insert(first.end(), refused.begin(), refused.end());
            std::vector<std::uint8_t> second(300, 0x00);
            const std::size_t inSecond = std::min(distance, message.size());
            second.insert(second.end(), message.begin(), message.begin() + static_cast<std::ptrdiff_t>(inSecond));
            second.resize(300 + distance, 0x00);
            std::vector<std::uint8_t> third(message.begin() + static_cast<std::ptrdiff_t>(inSecond), message.end());
            third.insert(third.end(), tail.bytes().begin(), tail.bytes().end());

            TempDir dir;
            const auto path = dir.file("in.rec");
            StreamRecordWriter writer;
            ASSERT_TRUE(writer.create(path.c_str()));
            writer.write(0, first);
            writer.write(0, second);
            writer.write(0, third);
            ASSERT_TRUE(writer.close());
            const auto c = convertRecords(path, dir.file("out.flv"));
            ASSERT_TRUE(c.flv.valid) << c.flv.error;
            EXPECT_EQ(c.outcome.lostSyncs, 1u);
            EXPECT_EQ(c.outcome.resyncs, 1u);
            EXPECT_FALSE(c.outcome.complete());
            const auto out = test::mediaPayloads(c.flv);
            const auto want = test::mediaPayloads(after);
            ASSERT_GE(out.size(), want.size());
            EXPECT_TRUE(std::equal(want.begin(), want.end(), out.end() - static_cast<std::ptrdiff_t>(want.size())));
        }
    }
}

// ------------------------------------------------------------ codecs and tags

TEST(Codecs, AvcAndAacAreAcceptedUndefinedCodecIsLostSync) {
    auto messages = test::avStream(200);
    // Half way, a video message with codec ID 8, which FLV leaves undefined.
    RtmpMessage bad;
    bad.csid = 6;
    bad.type = 9;
    bad.streamId = 1;
    bad.timestamp = messages[100].timestamp;
    bad.payload = test::mediaPayload(0x28, 777, 99);
    messages.insert(messages.begin() + 100, bad);
    TempDir dir;
    const auto c = convertBytes(dir, chunkStream(messages, 4096, true), 1460);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    EXPECT_GE(c.outcome.lostSyncs, 1u);
    EXPECT_GE(c.outcome.resyncs, 1u);
    const auto out = test::mediaPayloads(c.flv);
    EXPECT_EQ(std::count(out.begin(), out.end(), bad.payload), 0);
    // Everything before the refused header and everything after the point
    // where the stream is picked up again is there.
    auto want = test::mediaPayloads(messages);
    want.erase(std::find(want.begin(), want.end(), bad.payload));
    const std::size_t matched = matchedInOrder(want, out);
    EXPECT_GE(matched, want.size() - 4);
    EXPECT_TRUE(std::equal(want.begin(), want.begin() + 90, out.begin()));
    EXPECT_TRUE(std::equal(want.end() - 90, want.end(), out.end() - 90));
}

TEST(Codecs, FrameType5GivesScriptDataTag) {
    auto messages = test::avStream(60);
    RtmpMessage info;
    info.csid = 6;
    info.type = 9;
    info.streamId = 1;
    info.timestamp = messages[30].timestamp;
    info.payload = test::mediaPayload(0x57, 40, 5);
    messages.insert(messages.begin() + 30, info);
    TempDir dir;
    const auto c = convertBytes(dir, chunkStream(messages, 4096, true), 1460);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    ASSERT_EQ(c.flv.tags.size(), messages.size());
    EXPECT_EQ(c.flv.tags[30].type, 18);
    EXPECT_EQ(c.flv.tags[30].data, info.payload);
    EXPECT_EQ(c.flv.typeFlags, 0x05);
}

TEST(Codecs, TypeFlagsFollowTheMediaSeen) {
    struct Row {
        const char* name;
        std::uint8_t dropType;  // messages of this type are left out
        std::uint8_t flags;
    } rows[] = {{"no audio", 8, 0x01}, {"no video", 9, 0x04}, {"both", 0, 0x05}};
    for (const auto& r : rows) {
        auto messages = test::avStream(120);
        std::erase_if(messages, [&](const RtmpMessage& m) { return m.type == r.dropType; });
        TempDir dir;
        const auto c = convertBytes(dir, chunkStream(messages, 4096, true), 1460);
        ASSERT_TRUE(c.flv.valid) << r.name;
        EXPECT_EQ(c.outcome.typeFlags(), r.flags) << r.name;
        EXPECT_EQ(c.flv.typeFlags, r.flags) << r.name;
    }
}

TEST(Metadata, ObjectBecomesEcmaArrayOtherDataIsDropped) {
    RtmpMessage sample;
    sample.csid = 5;
    sample.type = 18;
    sample.streamId = 1;
    rtmprecords::amfString(sample.payload, "|RtmpSampleAccess");
    sample.payload.insert(sample.payload.end(), {0x01, 0x01, 0x01, 0x01});
    RtmpMessage meta = sample;
    meta.payload.clear();
    rtmprecords::amfString(meta.payload, "onMetaData");
    meta.payload.push_back(0x03);  // an AMF0 object, as some servers send it
    for (int i = 0; i < 20; ++i) {
        rtmprecords::amfPropertyName(meta.payload, "key" + std::to_string(i));
        rtmprecords::amfNumber(meta.payload, i);
    }
    rtmprecords::amfObjectEnd(meta.payload);
    auto messages = test::avStream(100);
    messages[0] = meta;
    messages.insert(messages.begin(), sample);
    for (std::size_t segment : {std::size_t{7}, std::size_t{1460}}) {
        TempDir dir;
        const auto c = convertBytes(dir, chunkStream(messages, 128, false), segment);
        ASSERT_TRUE(c.flv.valid) << c.flv.error;
        ASSERT_EQ(c.flv.tags[0].type, 18);
        std::vector<std::uint8_t> want(meta.payload.begin(), meta.payload.begin() + 13);
        want.insert(want.end(), {0x08, 0, 0, 0, 0});
        want.insert(want.end(), meta.payload.begin() + 14, meta.payload.end());
        EXPECT_EQ(c.flv.tags[0].data, want) << segment;
        EXPECT_EQ(c.flv.tags.size(), messages.size() - 1) << segment;
    }
}

TEST(Metadata, SetDataFrameNameIsLeftOut) {
    // A server that passes its publisher's data message on as it came.
    RtmpMessage meta;
    meta.csid = 5;
    meta.type = 18;
    meta.streamId = 1;
    rtmprecords::amfString(meta.payload, "@setDataFrame");
    const auto plain = rtmprecords::metaDataMessage(12.5);
    meta.payload.insert(meta.payload.end(), plain.begin(), plain.end());
    auto messages = test::avStream(100);
    messages[0] = meta;
    for (std::size_t segment : {std::size_t{5}, std::size_t{1460}}) {
        TempDir dir;
        const auto c = convertBytes(dir, chunkStream(messages, 128, false), segment);
        ASSERT_TRUE(c.flv.valid) << c.flv.error;
        ASSERT_EQ(c.flv.tags[0].type, 18);
        EXPECT_EQ(c.flv.tags[0].data, plain) << segment;
    }
}

// ------------------------------------------------------------ timestamps

TEST(Timestamps, EveryHeaderFormGivesTheMessageTime) {
    struct Row {
        const char* name;
        HeaderForm form;
        std::size_t audioSize;  // a constant size makes type-2 and type-3 headers
        std::uint32_t start;    // time of the first message
    } rows[] = {
        {"absolute type-0 headers", HeaderForm::AlwaysFull, 200, 0},
        {"absolute type-0 headers from a late start", HeaderForm::AlwaysFull, 200, 3600000},
        {"delta headers", HeaderForm::Compact, 200, 0},
        {"repeated deltas", HeaderForm::Compact, 0, 5000},
        // Beyond 0xFFFFFF ms (4.66 hours) every header carries the extended
        // timestamp, type-3 headers included.
        {"extended absolute timestamps", HeaderForm::AlwaysFull, 200, 0xFFFFFF - 3000},
        {"extended timestamps with deltas", HeaderForm::Compact, 0, 0x7F000000},
    };
    for (const auto& r : rows) {
        auto messages = test::avStream(400);
        for (auto& m : messages) {
            if (m.type == 8 && r.audioSize == 0) m.payload.resize(180);
            m.timestamp += r.start;
        }
        TempDir dir;
        const auto c = convertBytes(dir, chunkStream(messages, 4096, true, r.form), 1460);
        ASSERT_TRUE(c.flv.valid) << r.name;
        EXPECT_EQ(c.outcome.lostSyncs, 0u) << r.name;
        ASSERT_EQ(c.flv.tags.size(), messages.size()) << r.name;
        EXPECT_TRUE(test::mediaPayloads(c.flv) == test::mediaPayloads(messages)) << r.name;
        for (std::size_t i = 1; i < messages.size(); ++i)
            ASSERT_EQ(c.flv.tags[i].timestamp, messages[i].timestamp) << r.name << " tag " << i;
    }
}

TEST(Timestamps, NeitherMediaFallsBehindTheOther) {
    std::vector<RtmpMessage> messages = test::avStream(4);
    messages.resize(1);
    auto add = [&](std::uint8_t type, std::uint32_t time) {
        RtmpMessage m;
        m.csid = type == 8 ? 4 : 6;
        m.type = type;
        m.streamId = 1;
        m.timestamp = time;
        m.payload = test::mediaPayload(type == 8 ? 0xAF : 0x17, 300, time + type);
        messages.push_back(m);
    };
    // The server sends audio ahead of video; the video tags are raised.
    for (std::uint32_t t = 0; t < 2000; t += 100) add(8, t);
    add(9, 500);
    add(9, 2100);
    auto stream = chunkStream(messages, 4096, true, HeaderForm::AlwaysFull);
    TempDir dir;
    const auto c = convertBytes(dir, stream, 1460);
    ASSERT_TRUE(c.flv.valid);
    ASSERT_EQ(c.flv.tags.size(), messages.size());
    EXPECT_EQ(c.flv.tags[c.flv.tags.size() - 2].timestamp, 1900u);
    EXPECT_EQ(c.flv.tags.back().timestamp, 2100u);
}

// ------------------------------------------------------------ chunks

TEST(Chunks, InterleavedMessagesAreWrittenIntoTheirOwnTags) {
    // A large video message and an audio message sent chunk by chunk in turn.
    std::vector<RtmpMessage> messages = test::avStream(0);
    ChunkStreamWriter w(128);
    w.write(messages[0]);
    for (std::uint32_t i = 0; i < 30; ++i) {
        RtmpMessage video;
        video.csid = 6;
        video.type = 9;
        video.streamId = 1;
        video.timestamp = i * 40;
        video.payload = test::mediaPayload(0x27, 5000 + i, i);
        RtmpMessage audio = video;
        audio.csid = 4;
        audio.type = 8;
        audio.payload = test::mediaPayload(0xAF, 700 + i, 1000 + i);
        const RtmpMessage pair[] = {video, audio};
        w.writeInterleaved(pair);
        messages.push_back(video);
        messages.push_back(audio);
    }
    TempDir dir;
    const auto c = convertBytes(dir, w.bytes(), 1460);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    EXPECT_EQ(c.outcome.lostSyncs, 0u);
    EXPECT_TRUE(test::mediaPayloads(c.flv) == test::mediaPayloads(messages));
}

// A tag holds only bytes that arrived: a message whose bytes do not all
// come leaves no tag, whatever cut it. A cut at the end of the source is
// where the recording stopped and leaves the conversion complete; a
// message cut short by the next one on its chunk stream is damage, unless
// a gap before it explains it.
TEST(Chunks, MessagesThatNeverEndLeaveNoTag) {
    const auto messages = test::avStream(50, 3000, 200);
    RtmpMessage cut;
    cut.csid = 6;
    cut.type = 9;
    cut.streamId = 1;
    cut.timestamp = 5000;
    cut.payload = test::mediaPayload(0x27, 9000, 77);
    RtmpMessage next = cut;
    next.timestamp = 5040;
    next.payload = test::mediaPayload(0x27, 500, 78);
    // The cut message's first chunk (header, 4096 bytes), then (when the
    // server gives the message up) an Abort Message for its chunk stream,
    // then the next message on the same chunk stream.
    auto cutStream = [&](bool withNext, bool aborted = false) {
        ChunkStreamWriter w(128);
        w.announceChunkSize(4096);
        for (const auto& m : messages) w.write(m, HeaderForm::AlwaysFull);
        ChunkStreamWriter c(4096);
        c.write(cut, HeaderForm::AlwaysFull);
        auto bytes = w.bytes();
        bytes.insert(bytes.end(), c.bytes().begin(), c.bytes().begin() + 12 + 4096);
        if (aborted) bytes.insert(bytes.end(), {0x02, 0, 0, 0, 0, 0, 4, 2, 0, 0, 0, 0, 0, 0, 0, cut.csid});
        if (withNext) {
            ChunkStreamWriter n(4096);
            n.write(next, HeaderForm::AlwaysFull);
            bytes.insert(bytes.end(), n.bytes().begin(), n.bytes().end());
        }
        return bytes;
    };
    const std::size_t gapAt[] = {10};  // a record of the first messages is lost
    struct Row {
        const char* name;
        bool withNext;
        bool aborted;
        std::span<const std::size_t> dropped;
        bool complete;
        std::uint32_t cutUnexplained;
    } rows[] = {
        {"cut by the end of the source", false, false, {}, true, 0},
        {"cut by the next message on its chunk stream", true, false, {}, false, 1},
        {"given up by the server (Abort Message)", true, true, {}, true, 0},
        {"cut after a gap", true, false, gapAt, true, 0},
    };
    for (const auto& r : rows) {
        const auto stream = cutStream(r.withNext, r.aborted);
        TempDir dir;
        const auto c = convertBytes(dir, stream, 1460, r.dropped);
        ASSERT_TRUE(c.flv.valid) << r.name << ": " << c.flv.error;
        EXPECT_EQ(c.outcome.complete(), r.complete) << r.name;
        EXPECT_EQ(c.outcome.messagesCutUnexplained, r.cutUnexplained) << r.name;
        // The gap drops the message it cut, too.
        EXPECT_EQ(c.outcome.tagsDropped, r.dropped.empty() ? 1u : 2u) << r.name;
        const auto out = test::mediaPayloads(c.flv);
        auto want = test::mediaPayloads(messages);
        if (r.withNext) want.push_back(next.payload);
        if (r.dropped.empty())
            EXPECT_TRUE(out == want) << r.name;
        else
            EXPECT_GE(matchedInOrder(want, out), want.size() - 6) << r.name;  // the gap costs a few
        for (const auto& t : c.flv.tags) EXPECT_NE(t.data.size(), cut.payload.size()) << r.name;
        // Nothing but received bytes: the file is smaller than the stream.
        EXPECT_LT(std::filesystem::file_size(dir.file("out.flv")), stream.size()) << r.name;
    }
}

// Record headers that no recorder writes, and files cut inside a record:
// the conversion goes on as well as it can and says it was not complete.
TEST(Records, DamagedFramingMakesTheConversionIncomplete) {
    const auto messages = test::avStream(200);
    const auto stream = chunkStream(messages, 4096, true);
    struct Row {
        const char* name;
        std::uint8_t flags;  // of the record in the middle
        std::size_t cutAtEnd;  // bytes taken off the end of the file
        std::uint32_t damaged;
        bool endsInside;
        bool complete;
    } rows[] = {
        {"intact", 0x00, 0, 0, false, true},
        {"gap flag", kRecordGap, 0, 0, false, true},
        {"unknown flags 0x40", 0x40, 0, 1, false, false},
        {"unknown flags 0xAB (gap bit set)", 0xAB, 0, 1, false, false},
        {"payload cut short", 0x00, 5, 0, true, false},
        {"two stray bytes after the last record", 0x00, 0, 0, true, false},
    };
    for (const auto& r : rows) {
        TempDir dir;
        const auto path = dir.file("in.rec");
        StreamRecordWriter writer;
        ASSERT_TRUE(writer.create(path.c_str()));
        std::size_t index = 0;
        const std::size_t middle = stream.size() / 1460 / 2;
        for (std::size_t pos = 0; pos < stream.size(); pos += 1460, ++index)
            writer.write(index == middle ? r.flags : 0,
                         std::span(stream).subspan(pos, std::min<std::size_t>(1460, stream.size() - pos)));
        ASSERT_TRUE(writer.close());
        if (r.cutAtEnd) std::filesystem::resize_file(path, std::filesystem::file_size(path) - r.cutAtEnd);
        if (std::string_view(r.name).starts_with("two stray")) {
            std::ofstream(path, std::ios::binary | std::ios::app).write("\x00\x05", 2);
        }
        const auto c = convertRecords(path, dir.file("out.flv"));
        ASSERT_TRUE(c.flv.valid) << r.name << ": " << c.flv.error;
        EXPECT_EQ(c.outcome.damagedRecords, r.damaged) << r.name;
        EXPECT_EQ(c.outcome.endsInsideRecord, r.endsInside) << r.name;
        EXPECT_EQ(c.outcome.complete(), r.complete) << r.name;
        EXPECT_EQ(c.outcome.gaps, r.flags == kRecordGap ? 1u : 0u) << r.name;
    }
}

// ------------------------------------------------------------ gaps

TEST(Gaps, StreamIsPickedUpAgainAfterEachGap) {
    const auto messages = test::avStream(600, 3000, 200);
    const auto stream = chunkStream(messages, 4096, true);
    const std::size_t dropped[] = {40, 41, 200, 350};
    TempDir dir;
    const auto c = convertBytes(dir, stream, 1460, dropped);
    ASSERT_TRUE(c.flv.valid) << c.flv.error;
    EXPECT_EQ(c.outcome.gaps, 3u);
    EXPECT_EQ(c.outcome.resyncs, 3u);
    const auto want = test::mediaPayloads(messages);
    const auto out = test::mediaPayloads(c.flv);
    const std::size_t matched = matchedInOrder(want, out);
    // Each gap costs the messages it cut and those up to the next full
    // header; with a key frame every 25 video frames that is a handful.
    EXPECT_GE(matched, want.size() - 3 * 6);
    EXPECT_LE(out.size(), matched + 3 * 2);  // at most the cut messages as damaged tags
}

TEST(Gaps, GapBeforeTheFirstMediaMessage) {
    // More than the initial 3,072 bytes of data messages, then a gap, then media.
    std::vector<RtmpMessage> messages;
    for (int i = 0; i < 8; ++i) {
        RtmpMessage m;
        m.csid = 5;
        m.type = 18;
        m.streamId = 1;
        rtmprecords::amfString(m.payload, "|RtmpSampleAccess");
        m.payload.resize(900, 0x01);
        messages.push_back(m);
    }
    auto media = test::avStream(100);
    messages.insert(messages.end(), media.begin() + 1, media.end());
    const auto stream = chunkStream(messages, 4096, true);
    const std::size_t dropped[] = {5};  // record 5 of 1000 bytes: inside the data messages
    TempDir dir;
    const auto c = convertBytes(dir, stream, 1000, dropped);
    ASSERT_EQ(c.outcome.status, ConversionOutcome::Status::Converted);
    EXPECT_EQ(c.outcome.gaps, 1u);
    EXPECT_TRUE(c.outcome.audio);
    EXPECT_TRUE(c.outcome.video);
    EXPECT_TRUE(test::mediaPayloads(c.flv) == test::mediaPayloads(messages));
}

TEST(Gaps, HostileRecordsNeverBreakTheFileStructure) {
    const auto messages = test::avStream(300, 3000, 200);
    const auto stream = chunkStream(messages, 4096, true);
    for (std::uint32_t seed = 1; seed <= 25; ++seed) {
        std::mt19937 rng(seed);
        TempDir dir;
        const auto path = dir.file("in.rec");
        StreamRecordWriter writer;
        ASSERT_TRUE(writer.create(path.c_str()));
        std::size_t pos = 0;
        bool first = true;
        while (pos < stream.size()) {
            // Records up to the largest size, random damage, random gap flags.
            std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + rng() % kMaxRecordPayload);
            std::vector<std::uint8_t> piece(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                                            stream.begin() + static_cast<std::ptrdiff_t>(pos + n));
            if (!first) {
                for (int k = 0; k < 3; ++k) piece[rng() % piece.size()] = static_cast<std::uint8_t>(rng());
                if (rng() % 3 == 0) {
                    std::vector<std::uint8_t> noise(rng() % 4096);
                    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
                    writer.write(static_cast<std::uint8_t>(rng() % 2 ? kRecordGap : rng()), noise);
                }
            }
            writer.write(first ? 0 : static_cast<std::uint8_t>(rng() % 4 == 0 ? kRecordGap : 0), piece);
            first = false;
            pos += n;
        }
        ASSERT_TRUE(writer.close());
        // Cut the file inside its last record.
        std::filesystem::resize_file(path, std::filesystem::file_size(path) - 5);
        const auto c = convertRecords(path, dir.file("out.flv"));
        EXPECT_TRUE(c.flv.valid) << "seed " << seed << ": " << c.flv.error;
    }
}

}  // namespace
}  // namespace kestrel::merlin
