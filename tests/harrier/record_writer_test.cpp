// The record writer: the record layout and the rule for RTMP tunnelled
// over HTTP.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harrier/record_writer.h"
#include "harrier_test_support.h"
#include "merlin/stream_record.h"

namespace kestrel::harrier {
namespace {

using namespace std::string_literals;

std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(RecordData, RtmptResponsesLoseTheirHeaderAndOneByte) {
    struct Row {
        const char* name;
        std::string payload;
        std::string data;
    } rows[] = {
        {"plain RTMP", "\x04\x00\x00\x00rtmp bytes"s, "\x04\x00\x00\x00rtmp bytes"s},
        {"RTMPT response",
         "HTTP/1.1 200 OK\r\nContent-Type: application/x-fcs\r\nContent-Length: 9\r\n\r\n\x01RTMPDATA"s, "RTMPDATA"},
        {"HTTP/1.0 response", "HTTP/1.0 200 OK\r\n\r\n\x05" "abc", "abc"},
        {"version text anywhere", "xxHTTP/1.1 yy\r\n\r\n\x01" "data", "data"},
        {"the first blank line counts", "HTTP/1.1 200\r\n\r\n\x01" "a\r\n\r\nb", "a\r\n\r\nb"},
        {"no blank line", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", ""},
        {"nothing after the skipped byte", "HTTP/1.1 200 OK\r\n\r\n\x01", ""},
        {"blank line at the very end", "HTTP/1.1 200 OK\r\n\r\n", ""},
        {"one byte of data", "HTTP/1.1 200 OK\r\n\r\n\x01Z", "Z"},
        {"HTTP without the version dot", "HTTP/2 200\r\n\r\n\x01" "data", "HTTP/2 200\r\n\r\n\x01" "data"},
        {"empty", "", ""},
    };
    for (const auto& r : rows) {
        const auto payload = bytes(r.payload);
        const auto data = recordData(payload);
        EXPECT_EQ(std::string(data.begin(), data.end()), r.data) << r.name;
    }
}

TEST(RecordWriter, FlagsLittleEndianLengthAndData) {
    test::TempFolder dir;
    const std::string path = dir.file("flash.@@@");
    RecordWriter writer;
    ASSERT_TRUE(writer.create(path));
    const std::string big(300, 'b');
    writer.writeRecord(0, 0, bytes("abc"));
    writer.writeRecord(0x20, 0, bytes(big));
    writer.writeRecord(0, 0, bytes("HTTP/1.1 200 OK\r\n\r\n\x01xyz"s));
    writer.writeRecord(0, 0, bytes("HTTP/1.1 200 OK\r\n"));  // no data: no record
    ASSERT_TRUE(writer.close());
    EXPECT_EQ(writer.dataBytes(), 3u + 300u + 3u);
    EXPECT_EQ(writer.gapRecords(), 1u);
    const std::string expected = "\x00\x03\x00" "abc"s + "\x20\x2C\x01"s + big + "\x00\x03\x00xyz"s;
    EXPECT_EQ(test::readWholeFile(path), expected);
}

// A gap before a segment without stream data belongs to the next record
// that has some.
TEST(RecordWriter, AGapBeforeASegmentWithoutDataMovesToTheNextRecord) {
    test::TempFolder dir;
    const std::string path = dir.file("r.@@@");
    RecordWriter writer;
    ASSERT_TRUE(writer.create(path));
    writer.writeRecord(0, 0, bytes("aa"));
    writer.writeRecord(0x20, 0, bytes("HTTP/1.1 200 OK\r\n"));
    writer.writeRecord(0, 0, bytes("bb"));
    writer.writeRecord(0, 0, bytes("cc"));
    ASSERT_TRUE(writer.close());
    EXPECT_EQ(test::readWholeFile(path), "\x00\x02\x00" "aa\x20\x02\x00" "bb\x00\x02\x00" "cc"s);
    EXPECT_EQ(writer.gapRecords(), 1u);

    // And the reader of the format reads it back the same.
    merlin::StreamRecordReader reader;
    ASSERT_TRUE(reader.open(path.c_str()));
    std::vector<std::uint8_t> payload(merlin::kMaxRecordPayload);
    merlin::StreamRecord record;
    std::vector<std::pair<int, std::string>> got;
    while (reader.next(record, payload) == merlin::RecordStatus::Record)
        got.emplace_back(record.flags, std::string(payload.begin(), payload.begin() + record.length));
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1], (std::pair<int, std::string>{0x20, "bb"}));
}

TEST(RecordWriter, AFileThatCannotBeCreatedIsReported) {
    test::TempFolder dir;
    RecordWriter writer;
    EXPECT_FALSE(writer.create(dir.file("absent/flash.@@@")));
    writer.writeRecord(0, 0, bytes("abc"));
    EXPECT_FALSE(writer.ok());
}

}  // namespace
}  // namespace kestrel::harrier
