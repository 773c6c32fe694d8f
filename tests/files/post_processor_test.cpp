#include "kestrel/files/post_processor.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "kestrel/engine/messages.h"
#include "post_processor_fixture.h"
#include "tests/support/recording_ui.h"
#include "tests/support/test_files.h"

using namespace kestrel::engine;
using kestrel::files::PostProcessor;
using kestrel::platform::MessageSink;

namespace {

using kestrel::test::readFile;
using kestrel::test::writeFile;


std::string flvBody(std::size_t n) {
    std::string s = std::string("FLV\x01\x05\0\0\0\x09", 9);
    while (s.size() < n) s.push_back(static_cast<char>(s.size() * 13 % 251));
    s.resize(n);
    return s;
}

// An FLV file of whole tags: the header, then video tags of the given sizes.
std::string flvOfTags(std::initializer_list<std::size_t> sizes) {
    std::string s("FLV\x01\x01\0\0\0\x09\0\0\0\0", 13);
    for (std::size_t n : sizes) {
        const std::size_t start = s.size();
        s += '\x09';
        s += static_cast<char>(n >> 16), s += static_cast<char>(n >> 8), s += static_cast<char>(n);
        s.append(7, '\0');
        for (std::size_t k = 0; k < n; ++k) s.push_back(static_cast<char>(k * 7 % 251));
        const std::size_t tag = s.size() - start;
        s += static_cast<char>(tag >> 24), s += static_cast<char>(tag >> 16), s += static_cast<char>(tag >> 8),
            s += static_cast<char>(tag);
    }
    return s;
}

using PostProcessorTest = kestrel::test::PostProcessorFixture;

}  // namespace

TEST_F(PostProcessorTest, FinishedItemGetsAUniqueNameAndItsCaptureFilesGo) {
    const std::string body = flvBody(5000);
    writeFile(save_ + "clip.flv", "older");
    writeFile(save_ + "clip(1).flv", "older");
    const int i = waitingItem({{500, body.substr(0, 2000)}, {2500, body.substr(2000)}, {1500, body.substr(1000, 1500)}},
                              "clip.flv");
    processNow(i);
    EXPECT_TRUE(item(i).is(ItemState::Done));
    EXPECT_EQ(readFile(save_ + "clip(2).flv"), body);
    EXPECT_EQ(item(i).title.view(), "clip(2).flv");
    EXPECT_EQ(item(i).titleLength, 11);
    EXPECT_EQ(item(i).outputFolder.view(), save_);
    EXPECT_EQ(item(i).processedBytes.load(), 5000);
    EXPECT_EQ(readFile(save_ + "clip.flv"), "older");
    EXPECT_FALSE(std::filesystem::exists(save_ + "1.FLV"));
    EXPECT_FALSE(std::filesystem::exists(dataPath(i)));
    EXPECT_FALSE(std::filesystem::exists(indexPath(i)));
    EXPECT_EQ(messages_, (std::vector<std::pair<std::uint32_t, int>>{{WM_ITEM_FINISHED, i}, {WM_ITEM_STATE_CHANGED, i}}));
}

TEST_F(PostProcessorTest, WithoutTitleTheOutputKeepsItsNumberAndStrayBytesAreCut) {
    const std::string body = flvBody(3000);
    const int i = waitingItem({{1, std::string("\x00\x01\x02\x03\x04\x05", 6) + body.substr(0, 1000)}, {1007, body.substr(1000)}},
                              "");
    processNow(i);
    EXPECT_TRUE(item(i).is(ItemState::Done));
    EXPECT_EQ(readFile(save_ + "1.FLV"), body);
    EXPECT_FALSE(std::filesystem::exists(save_ + "1.FLV.1.flv"));
}

TEST_F(PostProcessorTest, FailuresKeepTheCaptureFiles) {
    struct Case {
        const char* what;
        std::function<void(int)> damage;
        ItemState state;
        bool stateMessage;
    } cases[] = {
        {"one index entry", [&](int i) { std::filesystem::resize_file(indexPath(i), 18); }, ItemState::Failed, true},
        {"bad magic", [&](int i) { writeFile(dataPath(i), "PIX\0\0xxxx"); }, ItemState::Failed, true},
        {"empty data file", [&](int i) { writeFile(dataPath(i), ""); }, ItemState::Failed, true},
        {"data file missing", [&](int i) { std::filesystem::remove(dataPath(i)); }, ItemState::Failed, true},
        {"output cannot be created", [&](int i) { std::filesystem::create_directory(save_ + std::string(item(i).outputName.view())); },
         ItemState::Failed, true},
    };
    for (const auto& c : cases) {
        messages_.clear();
        const int i = waitingItem({{1, "FLV1"}, {5, "2345"}}, "x.flv");
        c.damage(i);
        const bool hadData = std::filesystem::exists(dataPath(i));
        processNow(i);
        EXPECT_TRUE(item(i).is(c.state)) << c.what;
        EXPECT_EQ(messages_.size(), c.stateMessage ? 1u : 0u) << c.what;
        if (!messages_.empty()) {
            EXPECT_EQ(messages_[0].first, WM_ITEM_STATE_CHANGED) << c.what;
        }
        EXPECT_EQ(std::filesystem::exists(dataPath(i)), hadData) << c.what;
        EXPECT_FALSE(std::filesystem::exists(save_ + "x.flv")) << c.what;
    }
}

TEST_F(PostProcessorTest, MissingIndexFinishesWithoutOutput) {
    const int i = waitingItem({{1, "FLV1"}, {5, "2345"}}, "x.flv");
    std::filesystem::remove(indexPath(i));
    processNow(i);
    EXPECT_TRUE(item(i).is(ItemState::Done));
    EXPECT_EQ(item(i).titleLength, 0);
    EXPECT_FALSE(std::filesystem::exists(save_ + "x.flv"));
    EXPECT_FALSE(std::filesystem::exists(dataPath(i)));
    EXPECT_EQ(messages_.size(), 2u);
}

// A stream item too short to convert fails on its own; the items after it
// are still processed by the same run.
TEST_F(PostProcessorTest, ThreadTakesEveryWaitingItemAndClearsTheBusyFlag) {
    const std::string body = flvBody(4000);
    const int a = waitingItem({{1, body.substr(0, 2000)}, {2001, body.substr(2000)}}, "a.flv");
    const int r = waitingItem({{1, "\x03rtmp"}, {6, "data"}}, "", ItemKind::Rtmp);
    const int b = waitingItem({{9, body.substr(0, 10)}, {19, body.substr(10)}}, "b.flv");
    engine_->startPostProcessingIfIdle();
    pumpUntilIdle(std::chrono::seconds(10));
    EXPECT_EQ(engine_->postProcessingBusy().load(), 0);
    EXPECT_EQ(readFile(save_ + "a.flv"), body);
    EXPECT_EQ(readFile(save_ + "b.flv"), body);
    EXPECT_TRUE(item(a).is(ItemState::Done));
    EXPECT_TRUE(item(b).is(ItemState::Done));
    EXPECT_TRUE(item(r).is(ItemState::Failed));
    EXPECT_FALSE(std::filesystem::exists(dataPath(r) + ".tmp"));
    EXPECT_EQ(messages_.size(), 5u);
}

namespace {

class PostProcessorWithEngineTest : public kestrel::test::PostProcessorFixture {
protected:
    PostProcessorWithEngineTest() : PostProcessorFixture(true) {}
};

}  // namespace

// An item that ends after the run's last look for waiting items, while the
// busy flag still refuses a new run: the run itself makes another pass.
// Without it the item would wait until some later item ended.
TEST_F(PostProcessorWithEngineTest, AnItemThatEndsWhileTheRunFinishesIsProcessed) {
    const std::string body = flvBody(3000);
    const int a = waitingItem({{1, body.substr(0, 1000)}, {1001, body.substr(1000)}}, "a.flv");
    const int late = waitingItem({{7, body.substr(0, 2000)}, {2007, body.substr(2000)}}, "late.flv");
    item(late).state = ItemState::Recording;
    int hookCalls = 0;
    post_->setRunEndHook([&] {
        if (hookCalls++ > 0) return;
        // What the window does when a stream ends at this very moment.
        item(late).state = ItemState::CaptureEnded;
        window_->send(WM_STREAM_ENDED);
    });
    engine_->startPostProcessingIfIdle();
    pumpUntilIdle(std::chrono::seconds(10));
    EXPECT_EQ(engine_->postProcessingBusy().load(), 0);
    EXPECT_TRUE(item(a).is(ItemState::Done));
    EXPECT_TRUE(item(late).is(ItemState::Done));
    EXPECT_EQ(readFile(save_ + "late.flv"), body);
    EXPECT_EQ(hookCalls, 2);  // the second pass found nothing more
}

// Whether a finished item holds its whole stream: never "complete" with a
// hole, with fewer body bytes than the Content-Length, or with a chunked body
// whose last chunk is missing.
TEST_F(PostProcessorTest, CompletenessOfFinishedItems) {
    const std::string body = flvOfTags({1000, 2500, 400});
    ASSERT_EQ(body.size(), 3958u);
    const std::string cut = body.substr(0, 3000);  // ends inside the second tag
    const std::string notFlv = "ID3" + std::string(2000, 'x');
    const std::string chunked = "7d0\r\n" + body.substr(0, 2000) + "\r\n7a6\r\n" + body.substr(2000) + "\r\n";
    const struct {
        const char* name;
        Pieces pieces;
        std::int64_t contentLength;
        bool imported;
        bool complete;
    } cases[] = {
        {"whole, as long as its Content-Length", {{1, body.substr(0, 1500)}, {1501, body.substr(1500)}}, 3958, false, true},
        {"a repeat is no hole", {{1, body.substr(0, 1500)}, {1, body.substr(0, 1500)}, {1501, body.substr(1500)}}, 3958,
         false, true},
        {"hole in the middle", {{1, body.substr(0, 1000)}, {2001, body.substr(2000)}}, -1, false, false},
        {"tail missing", {{1, body.substr(0, 1500)}, {1501, body.substr(1500, 1500)}}, 3958, false, false},
        {"FLV without Content-Length, whole tags", {{1, body.substr(0, 1500)}, {1501, body.substr(1500)}}, -1, false, true},
        {"FLV without Content-Length, cut in a tag", {{1, cut.substr(0, 1500)}, {1501, cut.substr(1500)}}, -1, false, false},
        {"imported FLV, whole tags", {{1, body.substr(0, 1500)}, {1501, body.substr(1500)}}, -1, true, true},
        {"imported FLV, cut in a tag (a killed run)", {{1, cut.substr(0, 1500)}, {1501, cut.substr(1500)}}, -1, true, false},
        {"not FLV, no Content-Length", {{1, notFlv.substr(0, 900)}, {901, notFlv.substr(900)}}, -1, false, true},
        {"imported, not FLV: nothing to check it against", {{1, notFlv.substr(0, 900)}, {901, notFlv.substr(900)}}, -1, true,
         false},
        {"chunked to its last chunk", {{1, chunked}, {1 + static_cast<std::uint32_t>(chunked.size()), "0\r\n\r\n"}}, -1,
         false, true},
        {"chunked without its last chunk", {{1, chunked.substr(0, 2500)}, {2501, chunked.substr(2500)}}, -1, false, false},
    };
    for (const auto& c : cases) {
        const int i = waitingItem(c.pieces, "");
        item(i).contentLength = c.contentLength;
        item(i).imported = c.imported;
        processNow(i);
        ASSERT_TRUE(item(i).is(ItemState::Done)) << c.name;
        EXPECT_EQ(post_->completeOf(i), c.complete) << c.name;
    }
    // Not finished: never complete.
    const int waiting = waitingItem({{1, body.substr(0, 1500)}, {1501, body.substr(1500)}}, "");
    EXPECT_FALSE(post_->completeOf(waiting));
}

// Capture data files past 4 GiB: the index keeps the low 32 bits of each
// offset, and the reader unwraps them in file order. The data file is sparse,
// so the test writes a few KB, not 4 GiB.
TEST_F(PostProcessorTest, DataFilePast4GiBIsReadInOrder) {
    const std::string body = flvBody(6000);
    const int i = waitingItem({{1, body.substr(0, 1000)}, {1001, body.substr(1000, 10)}}, "big.flv");
    const std::uint64_t far = (std::uint64_t{1} << 32) - 1500;  // the second piece crosses 4 GiB
    {
        std::FILE* f = std::fopen(dataPath(i).c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(::fseeko(f, static_cast<off_t>(far), SEEK_SET), 0);
        ASSERT_EQ(std::fwrite(body.data() + 1000, 1, 5000, f), 5000u);
        std::fclose(f);
    }
    // Index: the first piece as stored, then three pieces at far, far+2000
    // and past 4 GiB, as the writer records them (low 32 bits).
    std::string index = readFile(indexPath(i)).substr(0, kestrel::capture_files::kEntrySize);
    const std::pair<std::uint64_t, std::uint32_t> pieces[] = {{far, 2000}, {far + 2000, 2000}, {far + 4000, 1000}};
    std::uint32_t sequence = 1001;
    for (const auto& [offset, length] : pieces) {
        kestrel::capture_files::IndexEntry e;
        e.sequence = sequence;
        e.dataOffset = offset;
        e.length = length;
        e.ipLength = length + 40;
        const auto bytes = kestrel::capture_files::encodeEntry(e);
        index.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        sequence += length;
    }
    writeFile(indexPath(i), index);
    item(i).contentLength = 6000;
    processNow(i);
    ASSERT_TRUE(item(i).is(ItemState::Done));
    EXPECT_TRUE(readFile(save_ + "big.flv") == body) << "the pieces past 4 GiB came back out of place";
    EXPECT_TRUE(post_->completeOf(i));
}

// An item that never stored a byte (a request captured twice, or one whose
// answer never came) fails without a file, but is marked as having lost
// nothing; one whose stored data went missing is a real loss.
TEST_F(PostProcessorTest, ItemWithoutAnyDataIsMarkedAsHavingLostNothing) {
    NewItem init;
    init.extension = ".FLV";
    const int phantom = engine_->items().create(init, ItemState::CaptureEnded);
    const int lost = waitingItem({{1, flvBody(100)}, {101, flvBody(100)}}, "");
    item(lost).storedBytes = 200;
    std::filesystem::remove(dataPath(lost));
    processNow(phantom);
    processNow(lost);
    EXPECT_TRUE(item(phantom).is(ItemState::Failed));
    EXPECT_TRUE(item(phantom).neverReceived);
    EXPECT_TRUE(item(lost).is(ItemState::Failed));
    EXPECT_FALSE(item(lost).neverReceived);
    EXPECT_NE(item(lost).failure.view().find("is missing"), std::string_view::npos) << item(lost).failure.view();
}
