// The built-in RTMP converters on chunk streams written here: where parsing
// starts, the chunk size and its retry passes, aggregate messages, the
// variant's header times and its stop at a broken message, short and
// hostile streams, and the output file's form.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "kestrel/files/builtin_rtmp_converter.h"
#include "platform/byte_reader.h"
#include "rtmp_builtin_test_support.h"

namespace {

using namespace kestrel::rtmptest;
using kestrel::files::BuiltinResult;
using kestrel::files::BuiltinStats;
using Form = ChunkWriter::Form;

constexpr std::uint8_t kAudio = 8;
constexpr std::uint8_t kVideo = 9;
constexpr std::uint8_t kData = 18;
constexpr std::uint8_t kAggregate = 22;
constexpr std::uint8_t kAudioCsid = 6;
constexpr std::uint8_t kVideoCsid = 7;

using Convert = BuiltinResult (*)(const std::string&, const std::string&, BuiltinStats*);
struct Converter {
    const char* name;
    Convert convert;
};
kestrel::files::BuiltinResult builtinWithoutGaps(const std::string& raw, const std::string& out,
                                                kestrel::files::BuiltinStats* stats) {
    return kestrel::files::convertRtmpBuiltin(raw, out, stats);
}
const Converter kBuiltin{"builtin", &builtinWithoutGaps};
const Converter kVariant{"variant", &kestrel::files::convertRtmpVariant};

struct Outcome {
    BuiltinResult result = BuiltinResult::CannotOpenInput;
    BuiltinStats stats;
    FlvFile flv;
    std::uintmax_t fileSize = 0;
};

Outcome run(const Converter& c, const Bytes& stream, const std::string& name) {
    const std::string raw = tempPath(name + ".tmp");
    const std::string flv = tempPath(name + "." + c.name + ".flv");
    writeFile(raw, stream);
    Outcome o;
    o.result = c.convert(raw, flv, &o.stats);
    if (std::filesystem::exists(flv)) {
        o.flv = readFlv(flv);
        o.fileSize = std::filesystem::file_size(flv);
    }
    return o;
}

// The audio and video tags of a file, in order.
std::vector<FlvTag> mediaTags(const FlvFile& f) {
    std::vector<FlvTag> out;
    for (const auto& t : f.tags)
        if (t.type == kAudio || t.type == kVideo) out.push_back(t);
    return out;
}

struct Sent {
    std::uint8_t type;
    Bytes data;
};

// Interleaved video and audio messages of the given sizes, type-0 headers
// for the first message of each chunk stream and type-1 headers after.
std::vector<Sent> writeMedia(ChunkWriter& w, int count, std::size_t videoSize, std::size_t audioSize,
                             std::uint32_t seed = 1) {
    std::vector<Sent> sent;
    for (int i = 0; i < count; ++i) {
        const auto step = static_cast<std::size_t>(i) * 13;
        Bytes v = payload(videoSize + step, i == 0 ? 0x17 : 0x27, seed + static_cast<std::uint32_t>(2 * i));
        w.message(kVideoCsid, kVideo, i == 0 ? 0 : 40, v, i == 0 ? Form::Full : Form::Delta);
        sent.push_back({kVideo, v});
        Bytes a = payload(audioSize + step, 0xAF, seed + static_cast<std::uint32_t>(2 * i + 1));
        w.message(kAudioCsid, kAudio, i == 0 ? 0 : 23, a, i == 0 ? Form::Full : Form::Delta);
        sent.push_back({kAudio, a});
    }
    return sent;
}

void expectSameMedia(const Outcome& o, const std::vector<Sent>& sent) {
    const auto tags = mediaTags(o.flv);
    ASSERT_EQ(tags.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(tags[i].type, sent[i].type) << "tag " << i;
        EXPECT_TRUE(tags[i].data == sent[i].data) << "tag " << i << " differs";
    }
}

// Converted, and either a well-formed FLV file or, from a stream without
// any media, an empty one.
void expectSoundFile(const Outcome& o) {
    EXPECT_EQ(o.result, BuiltinResult::Converted);
    EXPECT_TRUE(o.flv.wellFormed || o.fileSize == 0);
    EXPECT_EQ(o.fileSize, o.stats.outputBytes);
}

// ---- start and chunk size ----

struct ChunkSizeFoundCase {
    std::size_t junkBefore;
    std::uint32_t chunkSize;
};

class SetChunkSizeInProbe : public ::testing::TestWithParam<ChunkSizeFoundCase> {};

TEST_P(SetChunkSizeInProbe, OnePassFromThatMessage) {
    const auto [junk, size] = GetParam();
    ChunkWriter w;
    w.raw(payload(junk, 0x55, 99));  // the tail of something before
    w.setChunkSize(size);
    const auto sent = writeMedia(w, 20, 1500, 300);
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        const Outcome o = run(c, w.bytes(), "found-" + std::to_string(junk) + "-" + std::to_string(size));
        expectSoundFile(o);
        EXPECT_EQ(o.stats.passes, 1);
        EXPECT_TRUE(o.stats.chunkSizeMessageFound);
        expectSameMedia(o, sent);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, SetChunkSizeInProbe,
                         ::testing::Values(ChunkSizeFoundCase{0, 4096}, ChunkSizeFoundCase{317, 1024},
                                           ChunkSizeFoundCase{0, 256}, ChunkSizeFoundCase{5000, 60000}));

struct RetryCase {
    std::uint32_t realChunkSize;
    int expectedPasses;
};

class RetryPasses : public ::testing::TestWithParam<RetryCase> {};

// Without a Set Chunk Size message, a first pass at 128 that yields little
// is followed by passes at 4096, 1024, 2048 and 512 until one yields enough.
TEST_P(RetryPasses, TriesTheSizesInOrder) {
    const auto [real, passes] = GetParam();
    ChunkWriter w(real);
    // Every video message is longer than the real chunk size, so a pass
    // with another size loses its way in the first one.
    const auto sent = writeMedia(w, 20, real + 500, 100);
    const Outcome o = run(kBuiltin, w.bytes(), "retry-" + std::to_string(real));
    expectSoundFile(o);
    EXPECT_FALSE(o.stats.chunkSizeMessageFound);
    EXPECT_EQ(o.stats.passes, passes);
    expectSameMedia(o, sent);
    // Without aggregate messages the tags carry time 0.
    for (const auto& t : o.flv.tags) EXPECT_EQ(t.timestamp, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RetryPasses,
                         ::testing::Values(RetryCase{128, 1}, RetryCase{4096, 2}, RetryCase{1024, 3},
                                           RetryCase{2048, 4}, RetryCase{512, 5}));

TEST(RetryPasses, AStreamNoPassConvertsKeepsTheLastPassAndItsFileOnly) {
    // Messages chunked at 300: no size the converter tries fits.
    ChunkWriter w(300);
    writeMedia(w, 20, 900, 700);
    const std::string flv = tempPath("retry-none.builtin.flv");
    writeFile(flv, Bytes(3'000'000, 0xEE));  // an older, longer output
    const std::string raw = tempPath("retry-none.tmp");
    writeFile(raw, w.bytes());
    BuiltinStats s;
    ASSERT_EQ(kestrel::files::convertRtmpBuiltin(raw, flv, &s), BuiltinResult::Converted);
    EXPECT_EQ(s.passes, 5);
    const FlvFile f = readFlv(flv);
    EXPECT_TRUE(f.wellFormed);
    EXPECT_EQ(std::filesystem::file_size(flv), s.outputBytes);
    EXPECT_LT(s.outputBytes, w.bytes().size());
}

TEST(VariantStart, WithoutSetChunkSizeOnePassAt4096WithHeaderTimes) {
    ChunkWriter w(4096);
    std::vector<Sent> sent;
    std::vector<std::uint32_t> times;
    for (int i = 0; i < 12; ++i) {
        Bytes v = payload(5000 + static_cast<std::size_t>(i), i == 0 ? 0x17 : 0x27, static_cast<std::uint32_t>(i));
        w.message(kVideoCsid, kVideo, i == 0 ? 1000 : 40, v, i == 0 ? Form::Full : Form::Delta);
        sent.push_back({kVideo, v});
        times.push_back(1000 + 40 * static_cast<std::uint32_t>(i));
        // Audio of one length: the header after the first gives only the delta.
        Bytes a = payload(200, 0xAF, 100 + static_cast<std::uint32_t>(i));
        w.message(kAudioCsid, kAudio, i == 0 ? 990 : 23, a, i == 0 ? Form::Full : Form::TimeOnly);
        sent.push_back({kAudio, a});
        times.push_back(990 + 23 * static_cast<std::uint32_t>(i));
    }
    const Outcome o = run(kVariant, w.bytes(), "variant-4096");
    expectSoundFile(o);
    EXPECT_EQ(o.stats.passes, 1);
    EXPECT_FALSE(o.stats.chunkSizeMessageFound);
    expectSameMedia(o, sent);
    const auto tags = mediaTags(o.flv);
    for (std::size_t i = 0; i < tags.size() && i < times.size(); ++i) EXPECT_EQ(tags[i].timestamp, times[i]) << i;

    // The other converter needs a retry pass for the same stream.
    const Outcome b = run(kBuiltin, w.bytes(), "variant-4096");
    EXPECT_EQ(b.stats.passes, 2);
    expectSameMedia(b, sent);
}

TEST(BuiltinStart, MetadataInProbeStartsThereWithTheHeader) {
    // The stream starts inside a chunk (bytes 1 to 3 not zero).
    ChunkWriter w(128);
    w.raw(Bytes{0x27, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
    w.message(5, kData, 0, metaDataBody(false, false));
    const auto sent = writeMedia(w, 10, 400, 120);
    const Outcome o = run(kBuiltin, w.bytes(), "metadata-start");
    expectSoundFile(o);
    EXPECT_EQ(o.stats.passes, 1);
    ASSERT_FALSE(o.flv.tags.empty());
    EXPECT_EQ(o.flv.tags[0].type, kData);
    EXPECT_EQ(o.stats.metadataTags, 1u);
    expectSameMedia(o, sent);
}

// ---- aggregate messages ----

TEST(Aggregate, ThreeVideoSubTagsBecomeThreeTagsWithTheirOwnTimes) {
    ChunkWriter w;
    w.setChunkSize(4096);
    for (int i = 0; i < 4; ++i)  // enough stream for a probe block
        w.message(kAudioCsid, kAudio, 0, payload(300, 0xAF, static_cast<std::uint32_t>(i)), Form::Full);
    const std::vector<SubTag> subs{{kVideo, 1000, payload(200, 0x17, 7)},
                                   {kVideo, 1040, payload(300, 0x27, 8)},
                                   {kVideo, 1080, payload(400, 0x27, 9)}};
    w.message(kVideoCsid, kAggregate, 1000, aggregateBody(subs));
    const Bytes after = payload(500, 0x27, 10);
    w.message(kVideoCsid, kVideo, 120, after, Form::Delta);
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        const Outcome o = run(c, w.bytes(), "aggregate");
        expectSoundFile(o);
        std::vector<FlvTag> video;
        for (const auto& t : o.flv.tags)
            if (t.type == kVideo) video.push_back(t);
        ASSERT_EQ(video.size(), 4u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(video[i].timestamp, subs[i].timestamp);
            EXPECT_TRUE(video[i].data == subs[i].data);
        }
        EXPECT_TRUE(video[3].data == after);
        // The builtin converter gives a plain message the time of the last
        // sub-tag of its media; the variant its header time.
        EXPECT_EQ(video[3].timestamp, c.convert == kBuiltin.convert ? 1080u : 1120u);
    }
}

// ---- the variant's stop, the builtin converter's abandoned message ----

TEST(BrokenMessage, VariantStopsAndKeepsWhatItWrote) {
    ChunkWriter w;
    w.setChunkSize(128);
    const auto sent = writeMedia(w, 6, 300, 100);
    // A 400-byte video message whose second continuation header names
    // another chunk stream.
    const Bytes broken = payload(400, 0x27, 77);
    w.raw(Bytes{0x47, 0, 0, 40, 0, 0x01, 0x90, kVideo});
    w.raw(std::span(broken).first(128));
    w.raw(Bytes{0xC7});
    w.raw(std::span(broken).subspan(128, 128));
    w.raw(Bytes{0xC5});
    w.raw(std::span(broken).subspan(256, 128));
    w.raw(Bytes{0xC5});
    w.raw(std::span(broken).subspan(384));
    const auto later = writeMedia(w, 6, 300, 100, 500);

    const Outcome v = run(kVariant, w.bytes(), "broken");
    expectSoundFile(v);
    expectSameMedia(v, sent);

    const Outcome b = run(kBuiltin, w.bytes(), "broken");
    expectSoundFile(b);
    const auto tags = mediaTags(b.flv);
    ASSERT_GE(tags.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(tags[i].data == sent[i].data);
    for (const auto& t : tags) EXPECT_FALSE(t.data == broken) << "the broken message was written";
}

// ---- short, empty and unreadable streams, unwritable outputs ----

class ShortStream : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ShortStream, ShorterThanTheProbeIsNotConverted) {
    const std::size_t size = GetParam();
    ChunkWriter w;
    w.setChunkSize(4096);
    writeMedia(w, 10, 200, 100);
    Bytes stream = w.bytes();
    stream.resize(size);
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        const std::string flv = tempPath("short-" + std::to_string(size) + "." + c.name + ".flv");
        std::filesystem::remove(flv);
        const Outcome o = run(c, stream, "short-" + std::to_string(size));
        if (size < 1024) {
            EXPECT_EQ(o.result, BuiltinResult::ProbeTooShort);
            EXPECT_FALSE(std::filesystem::exists(flv));
        } else {
            expectSoundFile(o);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShortStream, ::testing::Values(0, 1, 12, 1000, 1023, 1024));

TEST(Files, MissingInputAndUnwritableOutputAreReported) {
    ChunkWriter w;
    w.setChunkSize(4096);
    writeMedia(w, 10, 500, 100);
    const std::string raw = tempPath("files.tmp");
    writeFile(raw, w.bytes());
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.convert(tempPath("no-such.tmp"), tempPath("x.flv"), nullptr), BuiltinResult::CannotOpenInput);
        EXPECT_EQ(c.convert(tempPath("dir"), tempPath("x.flv"), nullptr), BuiltinResult::CannotOpenInput);
        // A FIFO without a writer must not hold the call; /dev/zero never ends.
        const std::string fifo = tempPath("fifo.tmp");
        std::filesystem::remove(fifo);
        ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        EXPECT_EQ(c.convert(fifo, tempPath("x.flv"), nullptr), BuiltinResult::CannotOpenInput);
        EXPECT_TRUE(std::filesystem::is_fifo(fifo));
        std::filesystem::remove(fifo);
        EXPECT_EQ(c.convert("/dev/zero", tempPath("x.flv"), nullptr), BuiltinResult::CannotOpenInput);
        EXPECT_EQ(c.convert(raw, tempPath("no-such-dir/x.flv"), nullptr), BuiltinResult::CannotWriteOutput);
        if (std::filesystem::exists("/dev/full")) {
            EXPECT_EQ(c.convert(raw, "/dev/full", nullptr), BuiltinResult::CannotWriteOutput);
        }
    }
}

TEST(Files, AnOlderLongerOutputLeavesNoTail) {
    ChunkWriter w;
    w.setChunkSize(4096);
    const auto sent = writeMedia(w, 10, 500, 100);
    const std::string raw = tempPath("tail.tmp");
    writeFile(raw, w.bytes());
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        const std::string flv = tempPath(std::string("tail.") + c.name + ".flv");
        writeFile(flv, Bytes(1'000'000, 0x09));
        BuiltinStats s;
        ASSERT_EQ(c.convert(raw, flv, &s), BuiltinResult::Converted);
        EXPECT_EQ(std::filesystem::file_size(flv), s.outputBytes);
        const FlvFile f = readFlv(flv);
        EXPECT_TRUE(f.wellFormed);
        EXPECT_EQ(mediaTags(f).size(), sent.size());
    }
}

// ---- metadata ----

struct MetadataCase {
    bool asObject;
    bool setDataFrame;
};

class Metadata : public ::testing::TestWithParam<MetadataCase> {};

TEST_P(Metadata, WrittenAsTheFileExpectsIt) {
    const auto [asObject, setDataFrame] = GetParam();
    ChunkWriter w;
    w.setChunkSize(4096);
    w.message(5, kData, 0, metaDataBody(asObject, setDataFrame));
    writeMedia(w, 6, 300, 100);
    const Bytes plain = metaDataBody(false, false);
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        const Outcome o = run(c, w.bytes(), "metadata");
        expectSoundFile(o);
        ASSERT_EQ(o.flv.count(kData), 1u);
        const Bytes& data = o.flv.tags[0].data;
        ASSERT_EQ(data.size(), plain.size());
        // Same properties; an object comes out as an array with count 0.
        EXPECT_TRUE(std::equal(data.begin(), data.begin() + 13, plain.begin()));
        EXPECT_EQ(data[13], 0x08);
        EXPECT_TRUE(std::equal(data.begin() + 18, data.end(), plain.begin() + 18));
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, Metadata,
                         ::testing::Values(MetadataCase{false, false}, MetadataCase{true, false},
                                           MetadataCase{false, true}, MetadataCase{true, true}));

TEST(VariantCommands, EmptyAudioHeaderInsideALongCommandIsSteppedOver) {
    ChunkWriter w;
    w.setChunkSize(4096);
    writeMedia(w, 4, 300, 100);
    Bytes command = playStartBody();
    command.resize(200, 0x00);
    const Bytes marker{0x06, 0, 0, 0, 0, 0, 0, 0x08, 0, 0, 0, 0};
    std::copy(marker.begin(), marker.end(), command.begin() + 150);
    w.message(3, 20, 0, command);
    w.raw(Bytes(12, 0xFF));  // the 12 bytes the server owes the command
    const Bytes after = payload(700, 0x17, 42);
    w.message(kVideoCsid, kVideo, 0, after, Form::Full);
    const Outcome o = run(kVariant, w.bytes(), "command-skip");
    expectSoundFile(o);
    const auto tags = mediaTags(o.flv);
    ASSERT_FALSE(tags.empty());
    EXPECT_TRUE(tags.back().data == after);
}

// ---- hostile streams ----

struct HostileCase {
    const char* name;
    std::function<void(ChunkWriter&)> write;
    std::size_t leastMediaTags;  // tags the converters still find
    std::size_t leastVariantTags;
};

class Hostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, NoCrashAndABoundedSoundFile) {
    const HostileCase& h = GetParam();
    ChunkWriter w;
    h.write(w);
    for (const Converter& c : {kBuiltin, kVariant}) {
        SCOPED_TRACE(c.name);
        const Outcome o = run(c, w.bytes(), std::string("hostile-") + h.name);
        expectSoundFile(o);
        EXPECT_LE(o.fileSize, 16 * w.bytes().size() + 64);
        EXPECT_GE(mediaTags(o.flv).size(), c.convert == kBuiltin.convert ? h.leastMediaTags : h.leastVariantTags);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Hostile,
    ::testing::Values(
        HostileCase{"length_ffffff",
                    [](ChunkWriter& w) {
                        w.setChunkSize(4096);
                        writeMedia(w, 8, 300, 100);
                        w.raw(Bytes{kVideoCsid, 0, 0, 0, 0xFF, 0xFF, 0xFF, kVideo, 1, 0, 0, 0});
                        w.raw(payload(3000, 0x27, 5));
                    },
                    16, 16},
        HostileCase{"chunk_size_0",
                    [](ChunkWriter& w) {
                        w.setChunkSize(0, 128);
                        writeMedia(w, 8, 600, 200);
                    },
                    16, 16},
        HostileCase{"chunk_size_negative",
                    [](ChunkWriter& w) {
                        w.setChunkSize(0x80000000u, 128);
                        writeMedia(w, 8, 600, 200);
                    },
                    16, 16},
        HostileCase{"chunk_size_7fffffff",
                    [](ChunkWriter& w) {
                        w.setChunkSize(0x7FFFFFFF);
                        writeMedia(w, 8, 6000, 200);
                    },
                    16, 16},
        HostileCase{"chunk_size_1",
                    [](ChunkWriter& w) {
                        w.setChunkSize(1);
                        writeMedia(w, 3, 500, 100);
                    },
                    6, 6},
        HostileCase{"subtag_beyond_body",
                    [](ChunkWriter& w) {
                        w.setChunkSize(4096);
                        writeMedia(w, 4, 300, 100);
                        w.message(kVideoCsid, kAggregate, 0,
                                  aggregateBody({{kVideo, 5, payload(100, 0x27, 1)}}, 0xFFFFF0));
                    },
                    8, 8},
        HostileCase{"body_beyond_buffer",
                    [](ChunkWriter& w) {
                        w.setChunkSize(65536);
                        writeMedia(w, 4, 300, 100);
                        w.message(kVideoCsid, kVideo, 0, payload(460'000, 0x27, 3), Form::Full);
                        writeMedia(w, 2, 300, 100, 9);
                    },
                    12, 12},
        HostileCase{"zero_length_messages",
                    [](ChunkWriter& w) {
                        w.setChunkSize(4096);
                        for (int i = 0; i < 300; ++i) w.message(kVideoCsid, kVideo, 0, Bytes{}, Form::Full);
                        for (int i = 0; i < 300; ++i) w.message(kVideoCsid, kVideo, 0, Bytes{}, Form::None);
                        writeMedia(w, 2, 300, 100);
                    },
                    4, 4}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(Hostile, RandomBytesGiveASoundFile) {
    for (std::uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE(seed);
        Bytes stream = payload(1024 + (seed * 7919) % 150'000, 0x00, seed);
        // Half of them look like a stream that starts at a chunk header.
        if (seed % 2 == 0) stream[1] = stream[2] = stream[3] = 0;
        for (const Converter& c : {kBuiltin, kVariant}) {
            SCOPED_TRACE(c.name);
            const Outcome o = run(c, stream, "random");
            expectSoundFile(o);
            EXPECT_LE(o.fileSize, 16 * stream.size() + 64);
        }
    }
}

// The shared hostile record files, their payloads as raw streams: the
// declared-length stream (messages of 983,040 bytes announced, never sent)
// gave the FLV builder a 469 MB file; the built-in converters must hold
// only bytes that arrived too. Tags' data adds up to no more than the
// stream (an ECMA array count is the one thing a tag may add), and the
// framing adds 15 bytes per tag.
TEST(Hostile, SharedHostileRecordsGiveOnlyBytesThatArrived) {
    for (const char* name :
         {"rtmp-declared-length-amplification.rec", "merlin-resync-short-tail.rec", "record-length-lie.rec"}) {
        SCOPED_TRACE(name);
        const Bytes records = readFile(std::string(KESTREL_HOSTILE_DIR) + "/" + name);
        ASSERT_FALSE(records.empty());
        Bytes stream;
        kestrel::ByteReader r(records);
        while (r.remaining() > 0) {
            r.u8();
            const auto piece = r.bytes(std::min<std::size_t>(r.le16(), r.remaining()));
            if (!r.ok()) break;
            stream.insert(stream.end(), piece.begin(), piece.end());
        }
        for (const Converter& c : {kBuiltin, kVariant}) {
            SCOPED_TRACE(c.name);
            const Outcome o = run(c, stream, std::string("shared-") + name);
            expectSoundFile(o);
            std::size_t data = 0;
            for (const auto& t : o.flv.tags) data += t.data.size();
            EXPECT_LE(data, stream.size() + 4 * o.stats.metadataTags);
            EXPECT_LE(o.fileSize, 2 * stream.size() + 64);
        }
    }
}

}  // namespace

// Two starts the metadata rule must find: a stream whose first bytes end a
// message cut by the start of the recording (zeros after a byte that names
// no chunk stream of its own), and metadata that a relaying server sends
// with the name "@setDataFrame" before "onMetaData".
TEST(BuiltinStart, CutMessageTailAndSetDataFrameName) {
    struct Case {
        const char* what;
        bool tail;
        bool setDataFrame;
    } cases[] = {
        {"tail of a cut message, plain metadata", true, false},
        {"@setDataFrame before onMetaData", false, true},
        {"both", true, true},
    };
    for (const auto& c : cases) {
        ChunkWriter w(128);
        if (c.tail) {
            w.raw(Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x01});
        } else {
            w.raw(Bytes{0x27, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66});
        }
        w.message(5, kData, 0, metaDataBody(false, c.setDataFrame));
        const auto sent = writeMedia(w, 10, 400, 120);
        const Outcome o = run(kBuiltin, w.bytes(), "start-rules");
        expectSoundFile(o);
        EXPECT_EQ(o.stats.passes, 1) << c.what;
        EXPECT_EQ(o.stats.metadataTags, 1u) << c.what;
        expectSameMedia(o, sent);
    }
}

// Bytes lost inside the stream: told where, the converter writes no message
// read across the hole and finds its footing at the next audio or video
// header; without the list it reads across the seam.
TEST(Holes, NoMessageReadAcrossAHoleAndTheStreamIsFoundAgain) {
    ChunkWriter w(128);
    w.setChunkSize(4096);
    const auto sent = writeMedia(w, 40, 3000, 300);
    Bytes stream = w.bytes();
    // Cut 5000 bytes out of the middle: parts of several messages.
    const std::size_t hole = stream.size() / 2;
    stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(hole), stream.begin() + static_cast<std::ptrdiff_t>(hole + 5000));
    const std::string raw = tempPath("holes.tmp");
    writeFile(raw, stream);
    struct Case {
        const char* what;
        std::vector<std::uint64_t> gaps;
    } cases[] = {{"with the list of holes", {hole}}, {"without it", {}}};
    std::size_t withList = 0;
    for (const auto& c : cases) {
        const std::string flv = tempPath(std::string("holes-") + (c.gaps.empty() ? "plain" : "gaps") + ".flv");
        Outcome o;
        o.result = kestrel::files::convertRtmpBuiltin(raw, flv, &o.stats, c.gaps);
        ASSERT_EQ(o.result, kestrel::files::BuiltinResult::Converted);
        o.flv = readFlv(flv);
        o.fileSize = std::filesystem::file_size(flv);
        const auto tags = mediaTags(o.flv);
        std::size_t genuine = 0;
        for (const auto& t : tags)
            for (const auto& s : sent)
                if (s.type == t.type && s.data == t.data) {
                    ++genuine;
                    break;
                }
        if (!c.gaps.empty()) {
            expectSoundFile(o);
            EXPECT_EQ(genuine, tags.size()) << c.what;  // every tag is a message that was sent
            EXPECT_GE(genuine, sent.size() - 6) << c.what;  // only those the hole touched are missing
            withList = genuine;
        } else {
            EXPECT_LT(genuine, withList) << c.what;  // reading across the seam loses the rest
        }
    }
}
