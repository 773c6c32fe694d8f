// Stream items: raw stream reassembly, the outside converter and its size
// test, and the import of capture data files.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "kestrel/engine/messages.h"
#include "kestrel/files/capture_import.h"
#include "kestrel/files/post_processor.h"
#include "kestrel/files/rtmp_raw_stream.h"
#include "post_processor_fixture.h"
#include "tests/support/recording_ui.h"
#include "tests/support/test_files.h"

using namespace kestrel::engine;
using kestrel::capture_files::IndexEntry;
using kestrel::capture_files::OrderedEntry;
using kestrel::files::PostProcessor;
using kestrel::platform::MessageSink;

namespace {

using kestrel::test::readFile;
using kestrel::test::writeFile;
std::string tempDir(const char* name) {
    return kestrel::test::tempFolder(name);
}

struct StoredEntry {
    std::uint32_t seq;
    std::string bytes;
    std::int32_t ipLength = -1;  // -1: the true length + 40
};

// Writes a data file holding the entries' bytes and returns them ordered.
std::vector<OrderedEntry> store(const std::string& path, const std::vector<StoredEntry>& stored) {
    std::string data("PIP\x01\0", 5);
    std::vector<IndexEntry> entries;
    for (const auto& s : stored) {
        entries.push_back({s.seq, static_cast<std::uint32_t>(data.size()), static_cast<std::uint32_t>(s.bytes.size()),
                           static_cast<std::uint32_t>(s.ipLength < 0 ? s.bytes.size() + 40 : static_cast<std::size_t>(s.ipLength))});
        data += s.bytes;
    }
    writeFile(path, data);
    std::vector<OrderedEntry> ordered;
    kestrel::capture_files::orderEntries(entries, ordered);
    return ordered;
}

std::string stream(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('A' + i % 23));
    return s;
}

}  // namespace

TEST(RawStream, OrderRepeatsPaddingAndGaps) {
    const std::string dir = tempDir("kestrel-raw");
    const std::string s = stream(3000);
    const std::string connect = std::string("\x03\0\0\0\0\0\xc3\x14\0\0\0\0\x02\0\x07", 15) + "connect" + std::string(40, 'c');
    const std::uint32_t bases[] = {100u, 0xFFFFFFFFu - 1500u};
    for (std::uint32_t b : bases) {
        struct Case {
            const char* what;
            std::vector<StoredEntry> entries;
            std::string expected;
            std::uint64_t repeats, gaps;
        } cases[] = {
            {"in order", {{b, s.substr(0, 1000)}, {b + 1000, s.substr(1000, 1000)}, {b + 2000, s.substr(2000)}}, s, 0, 0},
            {"second entry repeated", {{b, s.substr(0, 1000)}, {b + 1000, s.substr(1000, 1000)}, {b + 1000, s.substr(1000, 1000)}, {b + 2000, s.substr(2000)}}, s, 1, 0},
            {"first entry repeated", {{b, s.substr(0, 1000)}, {b, s.substr(0, 1000)}, {b + 1000, s.substr(1000)}}, s, 1, 0},
            {"partial overlap", {{b, s.substr(0, 1500)}, {b + 1000, s.substr(1000)}}, s, 0, 0},
            {"reordered", {{b + 2000, s.substr(2000)}, {b, s.substr(0, 1000)}, {b + 1000, s.substr(1000, 1000)}}, s, 0, 0},
            {"Ethernet padding after a short payload", {{b, s.substr(0, 10) + std::string(3, '\xEE'), 50}, {b + 10, s.substr(10)}}, s, 0, 0},
            {"padding of an empty segment", {{b, s.substr(0, 1000)}, {b + 1000, std::string(6, '\0'), 40}, {b + 1000, s.substr(1000)}}, s, 0, 0},
            {"gap", {{b, s.substr(0, 500)}, {b + 500, s.substr(500, 500)}, {b + 1500, s.substr(1500)}},
             s.substr(0, 1000) + s.substr(1500), 0, 1},
            // The first stored record lives in another sequence space when it
            // is the client's connect command: it is left out, and the jump
            // next to it is no loss. A server's own first record stays.
            {"client's connect command first", {{b + 900000, connect}, {b + 1000000, s}}, s, 0, 0},
            {"connect record from its URL on", {{b + 1000000 + 3000, "rtmp://h/app"}, {b, s}}, s, 0, 0},
            {"server's status record first", {{b, "status"}, {b + 6, s}}, "status" + s, 0, 0},
            {"seam after a server's first record", {{b + 900000, "status"}, {b + 1000000, s}}, "status" + s, 0, 0},
        };
        for (const auto& c : cases) {
            const auto ordered = store(dir + "d", c.entries);
            std::FILE* f = std::fopen((dir + "d").c_str(), "rb");
            std::atomic<std::int64_t> progress{0};
            const auto stats = kestrel::files::reassembleRawStream(f, ordered, dir + "raw", &progress);
            std::fclose(f);
            const std::string got = readFile(dir + "raw");
            EXPECT_TRUE(got == c.expected) << c.what << " base " << b << ": " << got.size() << " bytes, expected "
                                           << c.expected.size();
            EXPECT_EQ(stats.repeats, c.repeats) << c.what;
            EXPECT_EQ(stats.gaps, c.gaps) << c.what;
            EXPECT_EQ(stats.gapOffsets.size(), c.gaps) << c.what;
            if (c.gaps == 1) {
                EXPECT_EQ(stats.gapOffsets[0], 1000u) << c.what;
            }
            EXPECT_EQ(static_cast<std::uint64_t>(progress.load()), stats.bytesWritten) << c.what;
        }
    }
    std::filesystem::remove_all(dir);
}

namespace {


// A stream item's capture files made from a real RTMP capture's server
// stream: the items of kestrel-cli capture, left waiting.
class StreamItemTest : public kestrel::test::PostProcessorFixture {
protected:
    StreamItemTest() : PostProcessorFixture(true) {}
    // Capture data files of an item holding raw as one stream.
    int streamItem(const std::string& raw) {
        Pieces pieces;
        for (std::size_t at = 0; at < raw.size(); at += 1460)
            pieces.emplace_back(5000 + static_cast<std::uint32_t>(at), raw.substr(at, 1460));
        return waitingItem(pieces, "", ItemKind::Rtmp);
    }
};

// The server stream of a real capture: an FLV with a known chunk stream.
std::string realServerStream() {
    // A small chunk stream: Set Chunk Size 4096, then onMetaData, an AAC
    // sequence header and an H.264 key frame on their own chunk streams.
    std::string s;
    auto header0 = [&](std::uint8_t csid, std::uint32_t ts, std::uint32_t len, std::uint8_t type) {
        s.push_back(static_cast<char>(csid));
        for (int i = 2; i >= 0; --i) s.push_back(static_cast<char>(ts >> (8 * i)));
        for (int i = 2; i >= 0; --i) s.push_back(static_cast<char>(len >> (8 * i)));
        s.push_back(static_cast<char>(type));
        s.append(std::string("\x01\0\0\0", 4));
    };
    header0(2, 0, 4, 1);
    s.append(std::string("\0\0\x10\0", 4));
    std::string meta = std::string("\x02\0\x0a", 3) + "onMetaData" + std::string("\x08\0\0\0\0\0\0\x09", 8);
    header0(5, 0, static_cast<std::uint32_t>(meta.size()), 18);
    s += meta;
    for (int i = 0; i < 60; ++i) {
        std::string audio = std::string("\xAF\x01", 2) + std::string(static_cast<std::size_t>(200 + i), static_cast<char>(i));
        header0(4, static_cast<std::uint32_t>(i * 23), static_cast<std::uint32_t>(audio.size()), 8);
        s += audio;
        std::string video = std::string(i == 0 ? "\x17\x01\0\0\0" : "\x27\x01\0\0\0", 5) + std::string(static_cast<std::size_t>(900 + i), static_cast<char>(i + 1));
        header0(6, static_cast<std::uint32_t>(i * 40), static_cast<std::uint32_t>(video.size()), 9);
        s += video;
    }
    return s;
}

}  // namespace

TEST_F(StreamItemTest, OutsideConverterOutputThatPassesTheSizeTestIsKept) {
    post_->setOutsideConverterFolder(std::string(KESTREL_BIN_DIR) + "/");
    const int i = streamItem(realServerStream());
    const auto result = processNow(i);
    EXPECT_TRUE(item(i).is(ItemState::Done));
    EXPECT_TRUE(result.outsideConverterPassed);
    EXPECT_FALSE(result.builtinConverterRan);
    const std::string out = readFile(save_ + "1.FLV");
    ASSERT_GE(out.size(), 13u);
    EXPECT_EQ(out.substr(0, 3), "FLV");
    EXPECT_GT(out.size() * 100 / result.rawStreamBytes, 80u);
    EXPECT_FALSE(std::filesystem::exists(save_ + "Temp/1.flvdata.tmp"));
    EXPECT_FALSE(std::filesystem::exists(save_ + "Temp/1.flvdata"));
}

TEST_F(StreamItemTest, WithoutThePlugInTheBuiltInConverterRuns) {
    const std::string empty = tempDir("kestrel-noplugin");
    post_->setOutsideConverterFolder(empty);
    const int i = streamItem(realServerStream());
    const auto result = processNow(i);
    EXPECT_FALSE(result.outsideConverterPassed);
    EXPECT_TRUE(result.builtinConverterRan);
    EXPECT_TRUE(item(i).is(ItemState::Done));
    EXPECT_EQ(readFile(save_ + "1.FLV").substr(0, 3), "FLV");
    std::filesystem::remove_all(empty);
}

TEST_F(StreamItemTest, AnOutputWithoutTagsIsNotKeptAfterAnotherItemPassed) {
    post_->setOutsideConverterFolder(std::string(KESTREL_BIN_DIR) + "/");
    const int good = streamItem(realServerStream());
    // Random bytes: the outside converter finds nothing to follow.
    std::string noise(20000, '\0');
    for (std::size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<char>((k * 2654435761u) >> 13);
    const int poor = streamItem(noise);
    engine_->startPostProcessingIfIdle();
    pumpUntilIdle(std::chrono::seconds(30));
    EXPECT_TRUE(item(good).is(ItemState::Done));
    // The run's first item made the outside converter trusted, but an
    // output without a single tag is no recording: the built-in converter
    // is tried, finds nothing either, and the item fails on its own,
    // keeping its capture data for another try.
    EXPECT_TRUE(item(poor).is(ItemState::Failed));
    EXPECT_FALSE(item(poor).failure.empty());
    EXPECT_FALSE(std::filesystem::exists(save_ + std::string(item(poor).outputName.view())));
    EXPECT_TRUE(std::filesystem::exists(dataPath(poor)));
}

TEST_F(StreamItemTest, EmptyRawStreamFailsWithoutDividingByZero) {
    post_->setOutsideConverterFolder(std::string(KESTREL_BIN_DIR) + "/");
    const int i = streamItem("x");
    // Two stored payloads that were only Ethernet padding of empty segments
    // (IP length 40): the raw stream comes out empty.
    const std::string temp = save_ + "Temp/";
    writeFile(temp + "1.flvdata", std::string("PIP\x01\0", 5) + std::string(12, '\0'));
    std::string index;
    for (std::uint32_t k = 0; k < 2; ++k) {
        const auto e = kestrel::capture_files::encodeEntry({100 + k, 5 + 6 * k, 6, 40});
        index.append(reinterpret_cast<const char*>(e.data()), e.size());
    }
    writeFile(temp + "1.flvdata.idx", index);
    const auto result = processNow(i);
    EXPECT_EQ(result.rawStreamBytes, 0u);
    EXPECT_FALSE(result.outsideConverterPassed);
    EXPECT_TRUE(item(i).is(ItemState::Failed));
    EXPECT_EQ(messages_.size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(temp + "1.flvdata"));  // kept for another try
}

TEST_F(StreamItemTest, ImportChecksTheMagicAndProcessesInPlace) {
    post_->setOutsideConverterFolder(std::string(KESTREL_BIN_DIR) + "/");
    writeFile(save_ + "Temp/bad.flvdata", "NOPE-not-capture-data");
    struct Case {
        kestrel::files::ImportCommand command;
        const char* suffix;
    } cases[] = {
        {kestrel::files::ImportCommand::MainWindow, " is not Kestrel Data file"},
        {kestrel::files::ImportCommand::AddFileToProcess, " is not Pipit file"},
        {kestrel::files::ImportCommand::Old, " is not Pipit file"},
    };
    for (const auto& c : cases) {
        ui_.messages.clear();
        EXPECT_EQ(kestrel::files::importCaptureData(*engine_, save_ + "Temp/bad.flvdata", c.command), 0);
        EXPECT_EQ(ui_.messages, std::vector<std::string>{save_ + "Temp/bad.flvdata" + c.suffix});
    }
    EXPECT_EQ(engine_->items().count(), 0);

    // The pair an interrupted run left behind.
    const int left = streamItem(realServerStream());
    item(left).state = ItemState::Removed;
    std::filesystem::rename(save_ + "Temp/1.flvdata", save_ + "Temp/left.flvdata");
    std::filesystem::rename(save_ + "Temp/1.flvdata.idx", save_ + "Temp/left.flvdata.idx");
    const int index = kestrel::files::importCaptureData(*engine_, save_ + "Temp/left.flvdata",
                                                        kestrel::files::ImportCommand::MainWindow);
    ASSERT_EQ(index, 2);
    EXPECT_EQ(item(index).receivingNotified.load(), 1);
    EXPECT_EQ(item(index).kind, ItemKind::Http);  // the data file's own kind byte decides
    EXPECT_EQ(item(index).dataFileName.view(), "left.flvdata");
    EXPECT_EQ(item(index).expectedSize.load(), static_cast<std::int32_t>(std::filesystem::file_size(save_ + "Temp/left.flvdata")));
    EXPECT_EQ(ui_.rows, std::vector<int>{index});
    pumpUntilIdle(std::chrono::seconds(30));
    EXPECT_TRUE(item(index).is(ItemState::Done));
    EXPECT_EQ(readFile(save_ + "2.flv").substr(0, 3), "FLV");
    EXPECT_FALSE(std::filesystem::exists(save_ + "Temp/left.flvdata"));
}

TEST_F(StreamItemTest, ImportOutsideTempFailsInProcessing) {
    const std::string elsewhere = tempDir("kestrel-elsewhere");
    writeFile(elsewhere + "x.flvdata", std::string("PIP\0\0data", 9));
    const int index = kestrel::files::importCaptureData(*engine_, elsewhere + "x.flvdata",
                                                        kestrel::files::ImportCommand::AddFileToProcess);
    ASSERT_GT(index, 0);
    EXPECT_EQ(item(index).receivingNotified.load(), 0);
    pumpUntilIdle(std::chrono::seconds(30));
    EXPECT_TRUE(item(index).is(ItemState::Failed));
    EXPECT_TRUE(std::filesystem::exists(elsewhere + "x.flvdata"));  // never touched
    std::filesystem::remove_all(elsewhere);
}
