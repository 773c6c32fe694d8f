// Stream record files, FLV output files, chunk headers and stream names:
// the pieces the converter is built from, with rows that must fail.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>

#include "merlin/chunk_header.h"
#include "merlin/flv_output.h"
#include "merlin/stream_name.h"
#include "merlin/stream_record.h"
#include "merlin_test_support.h"
#include "platform/byte_reader.h"

namespace kestrel::merlin {
namespace {

using test::TempDir;

std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return {text.begin(), text.end()};
}

void writeRaw(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// ------------------------------------------------------------ records

TEST(StreamRecords, WrittenRecordsReadBack) {
    TempDir dir;
    const auto path = dir.file("a.rec");
    const auto big = test::mediaPayload(1, 70000, 3);  // more than one record holds
    StreamRecordWriter writer;
    ASSERT_TRUE(writer.create(path.c_str()));
    ASSERT_TRUE(writer.write(0, bytesOf("hello")));
    ASSERT_TRUE(writer.write(kRecordGap, big));
    ASSERT_TRUE(writer.write(0, {}));
    ASSERT_TRUE(writer.close());
    EXPECT_EQ(std::filesystem::file_size(path), 3 + 5 + 3 + 65535 + 3 + (70000 - 65535) + 3);

    const auto raw = test::readFile(path);
    EXPECT_EQ(std::vector<std::uint8_t>(raw.begin(), raw.begin() + 8),
              (std::vector<std::uint8_t>{0x00, 0x05, 0x00, 'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(std::vector<std::uint8_t>(raw.begin() + 8, raw.begin() + 11), (std::vector<std::uint8_t>{0x20, 0xFF, 0xFF}));

    StreamRecordReader reader;
    ASSERT_TRUE(reader.open(path.c_str()));
    std::vector<std::uint8_t> buffer(kMaxRecordPayload);
    struct Want {
        std::uint8_t flags;
        std::size_t length;
    } wants[] = {{0, 5}, {kRecordGap, 65535}, {0, 70000 - 65535}, {0, 0}};
    std::vector<std::uint8_t> joined;
    for (const auto& w : wants) {
        StreamRecord r;
        ASSERT_EQ(reader.next(r, buffer), RecordStatus::Record);
        EXPECT_EQ(r.flags, w.flags);
        EXPECT_EQ(r.length, w.length);
        EXPECT_FALSE(r.truncated);
        if (w.length > 5) joined.insert(joined.end(), buffer.begin(), buffer.begin() + r.length);
    }
    EXPECT_EQ(joined, big);
    StreamRecord r;
    EXPECT_EQ(reader.next(r, buffer), RecordStatus::End);
    EXPECT_EQ(reader.position(), reader.length());
    ASSERT_TRUE(reader.rewind());
    ASSERT_EQ(reader.next(r, buffer), RecordStatus::Record);
    EXPECT_EQ(r.length, 5u);
    EXPECT_EQ(reader.position(), 8u);
}

TEST(StreamRecords, DamagedEndsLoseNothingThatIsThere) {
    TempDir dir;
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::uint32_t length;  // of the one record read, or 0xFFFFFFFF for none
        bool truncated;
        bool endsInsideRecord;  // the reader tells that the file was cut
    } rows[] = {
        {"payload cut short", {0x00, 0x10, 0x00, 'a', 'b', 'c'}, 3, true, true},
        {"header cut short", {0x00, 0x10}, 0xFFFFFFFF, false, true},
        {"one stray byte", {0x20}, 0xFFFFFFFF, false, true},
        {"empty file", {}, 0xFFFFFFFF, false, false},
        {"whole record", {0x00, 0x02, 0x00, 'a', 'b'}, 2, false, false},
    };
    std::vector<std::uint8_t> buffer(kMaxRecordPayload);
    for (const auto& row : rows) {
        const auto path = dir.file("d.rec");
        writeRaw(path, row.bytes);
        StreamRecordReader reader;
        ASSERT_TRUE(reader.open(path.c_str()));
        StreamRecord r;
        if (row.length != 0xFFFFFFFF) {
            ASSERT_EQ(reader.next(r, buffer), RecordStatus::Record) << row.name;
            EXPECT_EQ(r.length, row.length) << row.name;
            EXPECT_EQ(r.truncated, row.truncated) << row.name;
        }
        EXPECT_EQ(reader.next(r, buffer), RecordStatus::End) << row.name;
        EXPECT_EQ(reader.position(), row.bytes.size()) << row.name;
        EXPECT_EQ(reader.endsInsideRecord(), row.endsInsideRecord) << row.name;
        ASSERT_TRUE(reader.rewind());
        EXPECT_FALSE(reader.endsInsideRecord()) << row.name << ": read again from the start";
    }
    StreamRecordReader reader;
    EXPECT_FALSE(reader.open(dir.file("absent").c_str()));
    std::vector<std::uint8_t> small(100);
    StreamRecord r;
    EXPECT_EQ(reader.next(r, small), RecordStatus::Error);
}

// A FIFO or a device has no length and may never end (/dev/zero reads
// as records of zeros forever): only regular files are read, and opening a
// FIFO without a writer must not block.
TEST(StreamRecords, OnlyRegularFilesAreOpened) {
    TempDir dir;
    const auto fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero"), dir.path.string()}) {
        StreamRecordReader records;
        errno = 0;
        EXPECT_FALSE(records.open(path.c_str())) << path;
        EXPECT_EQ(errno, EINVAL) << path;
        RawStreamReader raw;
        EXPECT_FALSE(raw.open(path.c_str())) << path;
    }
}

TEST(StreamRecords, RawStreamReadsAsGapFreeRecords) {
    TempDir dir;
    const auto path = dir.file("raw");
    const auto bytes = test::mediaPayload(9, 140000, 1);
    writeRaw(path, bytes);
    RawStreamReader reader;
    ASSERT_TRUE(reader.open(path.c_str()));
    std::vector<std::uint8_t> buffer(kMaxRecordPayload);
    std::vector<std::uint8_t> joined;
    StreamRecord r;
    while (reader.next(r, buffer) == RecordStatus::Record) {
        EXPECT_EQ(r.flags, 0);
        joined.insert(joined.end(), buffer.begin(), buffer.begin() + r.length);
    }
    EXPECT_EQ(joined, bytes);
    EXPECT_EQ(reader.position(), bytes.size());
}

// ------------------------------------------------------------ FLV output

// Positions reported by the output, by tag number.
struct WrittenAt : TagWriteListener {
    void tagWritten(std::uint64_t tag, std::uint64_t outputPos) override { positions[tag] = outputPos; }
    std::map<std::uint64_t, std::uint64_t> positions;
};

TEST(FlvOutput, TagsAreWrittenInTheOrderOpenedOnceComplete) {
    TempDir dir;
    const auto path = dir.file("o.flv");
    FlvOutputFile out;
    WrittenAt listener;
    out.setListener(&listener);
    ASSERT_TRUE(out.create(path.c_str()));
    out.writeFileHeader(0x05);
    // A small tag, one larger than the write buffer, another small one;
    // filled in reverse order, the large one piece by piece.
    const auto a = test::mediaPayload(0xAF, 300, 1);
    const auto b = test::mediaPayload(0x17, FlvOutputFile::kBufferSize * 3 + 1000, 2);
    const auto c = test::mediaPayload(0xAF, 200, 3);
    const auto ta = out.openTag(8, static_cast<std::uint32_t>(a.size()), 0);
    const auto tb = out.openTag(9, static_cast<std::uint32_t>(b.size()), 40);
    const auto tc = out.openTag(8, static_cast<std::uint32_t>(c.size()), 0x01000017);
    out.write(tc, 0, c);
    for (std::size_t at = 0; at < b.size(); at += 4096)
        out.write(tb, static_cast<std::uint32_t>(at), std::span(b).subspan(at, std::min<std::size_t>(4096, b.size() - at)));
    EXPECT_EQ(out.size(), 13u) << "nothing may be written before the first tag is complete";
    EXPECT_TRUE(listener.positions.empty());
    out.write(ta, 0, std::span(a).first(100));
    out.write(ta, 50, std::span(a).subspan(50, 100));  // overlaps what is there: only the new bytes count
    out.write(ta, 150, std::span(a).subspan(150));
    out.write(ta, 0, std::vector<std::uint8_t>(10, 0xEE));  // a complete tag takes nothing more
    out.setTypeFlags(0x04);
    ASSERT_TRUE(out.close());
    const auto flv = test::readFlv(path);
    ASSERT_TRUE(flv.valid) << flv.error;
    EXPECT_EQ(flv.typeFlags, 0x04);
    ASSERT_EQ(flv.tags.size(), 3u);
    EXPECT_EQ(flv.tags[0].data, a);
    EXPECT_EQ(flv.tags[1].data, b);
    EXPECT_EQ(flv.tags[2].data, c);
    EXPECT_EQ(flv.tags[2].timestamp, 0x01000017u);
    EXPECT_EQ(out.tagsWritten(), 3u);
    EXPECT_EQ(out.tagsDropped(), 0u);
    const std::map<std::uint64_t, std::uint64_t> want{
        {ta, 13}, {tb, 13 + 11 + a.size() + 4}, {tc, 13 + 2 * 15 + a.size() + b.size()}};
    EXPECT_EQ(listener.positions, want);
}

TEST(FlvOutput, SkippedBytesAreZeroAndBytesPastTheSizeAreIgnored) {
    TempDir dir;
    const auto path = dir.file("o.flv");
    FlvOutputFile out;
    ASSERT_TRUE(out.create(path.c_str()));
    out.writeFileHeader(0x05);
    const auto tag = out.openTag(18, 10, 0);
    const std::vector<std::uint8_t> head{1, 2, 3};
    const std::vector<std::uint8_t> tail{7, 8, 9, 10, 11, 12};  // two bytes too many
    out.write(tag, 0, head);
    out.write(tag, 6, tail);  // bytes 3..5 were never written: zeros
    ASSERT_TRUE(out.close());
    const auto flv = test::readFlv(path);
    ASSERT_TRUE(flv.valid) << flv.error;
    ASSERT_EQ(flv.tags.size(), 1u);
    EXPECT_EQ(flv.tags[0].data, (std::vector<std::uint8_t>{1, 2, 3, 0, 0, 0, 7, 8, 9, 10}));
}

// A tag holds only bytes that arrived: every way a tag can fail to get its
// bytes leaves it out, and the tags around it are written whole.
TEST(FlvOutput, TagsThatNeverGetTheirBytesLeaveNothing) {
    const auto small = test::mediaPayload(0xAF, 200, 9);
    struct Row {
        const char* name;
        // Acts on the tag in the middle (a 1 MiB message of which 10 bytes
        // arrive) between the two small tags.
        void (*act)(FlvOutputFile& out, FlvOutputFile::TagId middle);
        std::uint64_t givenUp;
    } rows[] = {
        {"dropped by its converter", [](FlvOutputFile& out, FlvOutputFile::TagId t) { out.dropTag(t); }, 0},
        {"still open at close", [](FlvOutputFile&, FlvOutputFile::TagId) {}, 0},
        {"given up when the pool is full behind it",
         [](FlvOutputFile& out, FlvOutputFile::TagId) {
             // More complete tags than the pool holds, all waiting behind the open one.
             const auto big = test::mediaPayload(0x17, 512 * 1024, 4);
             for (int i = 0; i < 9; ++i) out.write(out.openTag(9, static_cast<std::uint32_t>(big.size()), 0), 0, big);
         },
         1},
        {"given up when the queue is full behind it",
         [](FlvOutputFile& out, FlvOutputFile::TagId) {
             const std::vector<std::uint8_t> tiny{0xAF, 1, 2};
             for (std::size_t i = 0; i < FlvOutputFile::kQueueCapacity; ++i) out.write(out.openTag(8, 3, 0), 0, tiny);
         },
         1},
    };
    for (const auto& row : rows) {
        TempDir dir;
        const auto path = dir.file("o.flv");
        FlvOutputFile out;
        ASSERT_TRUE(out.create(path.c_str()));
        out.writeFileHeader(0x05);
        out.write(out.openTag(8, static_cast<std::uint32_t>(small.size()), 0), 0, small);
        const auto middle = out.openTag(9, 0x100000, 40);
        out.write(middle, 0, test::mediaPayload(0x17, 10, 5));
        const auto last = out.openTag(8, static_cast<std::uint32_t>(small.size()), 80);
        out.write(last, 0, small);
        row.act(out, middle);
        out.write(middle, 10, test::mediaPayload(0x17, 100, 6));  // too late: ignored
        ASSERT_TRUE(out.close()) << row.name;
        const auto flv = test::readFlv(path);
        ASSERT_TRUE(flv.valid) << row.name << ": " << flv.error;
        EXPECT_EQ(out.tagsDropped(), 1u) << row.name;
        EXPECT_EQ(out.tagsGivenUp(), row.givenUp) << row.name;
        ASSERT_GE(flv.tags.size(), 2u) << row.name;
        EXPECT_EQ(flv.tags[0].data, small) << row.name;
        EXPECT_EQ(flv.tags[1].data, small) << row.name;
        EXPECT_EQ(flv.tags[1].timestamp, 80u) << row.name;
        for (const auto& t : flv.tags) EXPECT_NE(t.data.size(), 0x100000u) << row.name;
        EXPECT_EQ(std::filesystem::file_size(path), out.size()) << row.name;
    }
}

TEST(FlvOutput, TagsLargerThanThePoolAreRefused) {
    TempDir dir;
    const auto path = dir.file("o.flv");
    FlvOutputFile out;
    ASSERT_TRUE(out.create(path.c_str()));
    out.writeFileHeader(0x05);
    const auto refused = out.openTag(9, FlvOutputFile::kMaxTagData + 1, 0);
    EXPECT_EQ(refused, FlvOutputFile::kNoTag);
    out.write(refused, 0, test::mediaPayload(0x17, 100, 1));
    out.dropTag(refused);
    ASSERT_TRUE(out.close());
    EXPECT_EQ(out.tagsDropped(), 1u);
    EXPECT_EQ(std::filesystem::file_size(path), 13u);
}

// ------------------------------------------------------------ chunk headers

struct HeaderRow {
    const char* name;
    std::vector<std::uint8_t> bytes;
    bool plausible;
};

std::vector<std::uint8_t> full(std::uint8_t type, std::uint32_t length, std::uint32_t streamIdLe,
                               std::vector<std::uint8_t> payload = {}) {
    std::vector<std::uint8_t> h = {0x06, 0, 0, 0, static_cast<std::uint8_t>(length >> 16),
                                   static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), type};
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<std::uint8_t>(streamIdLe >> (8 * i)));
    h.insert(h.end(), payload.begin(), payload.end());
    return h;
}

TEST(ChunkHeaders, PlausibilityRows) {
    const HeaderRow rows[] = {
        {"AVC video", full(9, 5000, 1, {0x17}), true},
        {"Sorenson video", full(9, 5000, 1, {0x22}), true},
        {"JPEG video (codec 1)", full(9, 5000, 1, {0x11}), true},
        {"HEVC-in-FLV codec 12", full(9, 5000, 1, {0x1C}), true},
        {"codec 0 is undefined", full(9, 5000, 1, {0x10}), false},
        {"codec 8 is undefined", full(9, 5000, 1, {0x18}), false},
        {"codec 13 is undefined", full(9, 5000, 1, {0x1D}), false},
        {"AAC audio (10)", full(8, 300, 1, {0xAF}), true},
        {"MP3 audio (2)", full(8, 300, 1, {0x2F}), true},
        {"Speex (11)", full(8, 300, 1, {0xB6}), true},
        {"MP3 8 kHz (14)", full(8, 300, 1, {0xE2}), true},
        {"sound format 12 undefined", full(8, 300, 1, {0xC2}), false},
        {"sound format 13 undefined", full(8, 300, 1, {0xD2}), false},
        {"video without payload byte", full(9, 5000, 1), true},
        {"media of 1 MiB", full(9, 0x100000, 1, {0x17}), true},
        {"media over 1 MiB", full(9, 0x100001, 1, {0x17}), false},
        {"command of 4096", full(20, 4096, 0), true},
        {"command over 4096", full(20, 4097, 0), false},
        {"type 20", full(20, 100, 0), true},
        {"type 21", full(21, 100, 0), false},
        {"aggregate (22)", full(22, 100, 1), false},
        {"stream ID 255", full(8, 10, 255, {0xAF}), true},
        {"stream ID 256", full(8, 10, 256, {0xAF}), false},
        {"type-1 header", {0x46, 0, 0, 40, 0, 0x10, 0, 9, 0x17}, true},
        {"type-2 header", {0x86, 0, 0, 40, 0x17}, false},
        {"type-3 header", {0xC6, 0x17}, false},
    };
    for (const auto& r : rows) {
        ChunkHeader h;
        ASSERT_TRUE(decodeChunkHeader(r.bytes, h)) << r.name;
        EXPECT_EQ(isPlausible(h), r.plausible) << r.name;
    }
}

TEST(ChunkHeaders, DecodingNeedsTheWholeHeader) {
    const auto h12 = full(9, 0x0A0B0C, 0x01020304, {0x17});
    ChunkHeader h;
    for (std::size_t n = 0; n < 12; ++n) EXPECT_FALSE(decodeChunkHeader(std::span(h12).first(n), h)) << n;
    ASSERT_TRUE(decodeChunkHeader(std::span(h12).first(12), h));
    EXPECT_FALSE(h.hasPayload);
    ASSERT_TRUE(decodeChunkHeader(h12, h));
    EXPECT_EQ(h.size, 12);
    EXPECT_EQ(h.csid, 6);
    EXPECT_EQ(h.length, 0x0A0B0Cu);
    EXPECT_EQ(h.streamIdLittleEndian(), 0x01020304u);
    EXPECT_TRUE(h.hasPayload);
    EXPECT_EQ(h.firstPayloadByte, 0x17);
}

TEST(ChunkHeaders, ExtendedTimestamps) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> bytes;
        bool extendedOnType3;
        bool decodes;
        std::uint8_t size;
        std::uint32_t timestamp;
    } rows[] = {
        {"type 0 with extended field", {0x06, 0xFF, 0xFF, 0xFF, 0, 0, 10, 9, 1, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x17},
         false, true, 16, 0x12345678},
        {"type 0 cut inside the extended field", {0x06, 0xFF, 0xFF, 0xFF, 0, 0, 10, 9, 1, 0, 0, 0, 0x12, 0x34}, false,
         false, 0, 0},
        {"type 1 with extended field", {0x46, 0xFF, 0xFF, 0xFF, 0, 0, 10, 9, 0, 0, 0x01, 0x00}, false, true, 12, 256},
        {"type 2 with extended field", {0x86, 0xFF, 0xFF, 0xFF, 0x01, 0, 0, 0}, false, true, 8, 0x01000000},
        {"type 2 just below", {0x86, 0xFF, 0xFF, 0xFE}, false, true, 4, 0xFFFFFE},
        {"type 3 after an extended header", {0xC6, 0x01, 0, 0, 0, 0x17}, true, true, 5, 0},
        {"type 3 otherwise", {0xC6, 0x17}, false, true, 1, 0},
    };
    for (const auto& r : rows) {
        ChunkHeader h;
        ASSERT_EQ(decodeChunkHeader(r.bytes, h, r.extendedOnType3), r.decodes) << r.name;
        if (!r.decodes) continue;
        EXPECT_EQ(h.size, r.size) << r.name;
        EXPECT_EQ(h.timestamp, r.timestamp) << r.name;
        EXPECT_EQ(h.extended, r.size == 16 || r.size == 12 || r.size == 8 || r.size == 5) << r.name;
    }
}

// ------------------------------------------------------------ stream names

TEST(StreamNames, FromDescriptionRows) {
    struct Row {
        const char* description;
        const char* name;
    } rows[] = {
        {"Started playing clips/intro.", "intro"},
        {"Started playing intro.", "intro"},
        {"Started playing mp4:videos/2010/clip.mp4.", "clip.mp4"},
        {"Started playing a\\b\\c.", "c"},
        {"Started playing a\tb\x7f.", "a_b_"},
        // Not a name: other wordings, nothing left, or a folder name.
        {"Start video on demand", ""},
        {"Start live", ""},
        {"started playing intro.", ""},
        {"Started playing .", ""},
        {"Started playing x", ""},
        {"Started playing clips/.", ""},
        {"Started playing ../.", ""},
        {"Started playing ...", ""},
        {"Started playing a/...", ""},
        {"", ""},
    };
    for (const auto& r : rows) {
        StreamName name;
        streamNameFromDescription(asBytes(r.description), name);
        EXPECT_EQ(name.view(), r.name) << r.description;
    }
    StreamName name;
    const std::string withNul = std::string("Started playing ab") + '\0' + "c.";
    streamNameFromDescription(asBytes(withNul), name);
    EXPECT_TRUE(name.empty());
    const std::string longName = "Started playing " + std::string(1000, 'n') + ".";
    streamNameFromDescription(asBytes(longName), name);
    EXPECT_EQ(name.view().size(), kMaxStreamName);
}

TEST(StreamNames, DescriptionMustBeWhollyCollected) {
    const auto message = rtmprecords::statusMessage("NetStream.Play.Start", "Started playing clips/intro.");
    const auto at = std::search(message.begin(), message.end(), std::begin("description"), std::end("description") - 1);
    ASSERT_NE(at, message.end());
    const std::size_t valueEnd = static_cast<std::size_t>(at - message.begin()) + 11 + 3 + 28;
    StreamName name;
    for (std::size_t n = 0; n < valueEnd; ++n)
        EXPECT_EQ(scanDescription(std::span(message).first(n), name), DescriptionScan::Incomplete) << n;
    EXPECT_EQ(scanDescription(std::span(message).first(valueEnd), name), DescriptionScan::Complete);
    EXPECT_EQ(name.view(), "intro");
    // The property name is matched without regard to case.
    auto upper = message;
    std::copy_n("DESCRIPTION", 11, upper.begin() + (at - message.begin()));
    EXPECT_EQ(scanDescription(upper, name), DescriptionScan::Complete);
    EXPECT_EQ(name.view(), "intro");
}

TEST(StreamNames, MarkersRows) {
    const auto start = rtmprecords::statusMessage("NetStream.Play.Start", "x");
    const auto lower = rtmprecords::statusMessage("netstream.play.start", "x");
    const auto reset = rtmprecords::statusMessage("NetStream.Play.Reset", "x");
    EXPECT_TRUE(holdsPlayStart(start));
    EXPECT_TRUE(holdsPlayStart(lower));
    EXPECT_FALSE(holdsPlayStart(reset));
    EXPECT_FALSE(holdsPlayStart(std::span(start).first(40)));
    const auto meta = rtmprecords::metaDataMessage(1);
    EXPECT_EQ(findOnMetaData(meta), std::optional<std::size_t>(1));
    std::vector<std::uint8_t> other;
    rtmprecords::amfString(other, "onmetadata");
    EXPECT_FALSE(findOnMetaData(other).has_value());
}

}  // namespace
}  // namespace kestrel::merlin
