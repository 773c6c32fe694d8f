#include "kestrel/shell/recording_texts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using kestrel::engine::ItemState;
using kestrel::engine::RecordItem;
using namespace kestrel::shell;

namespace {

struct SizeCase {
    std::int64_t bytes;
    const char* text;
};

TEST(RecordingTexts, ListSizeAtEveryUnitBoundary) {
    const SizeCase cases[] = {
        {0, "0"},
        {1, "1"},
        {1023, "1023"},
        {1024, "1.00 K"},
        {1536, "1.50 K"},
        {0xFFFFF, "1024.00 K"},  // the last value still counted in K rounds up
        {0x100000, "1.00 M"},
        {0x3FFFFFFF, "1024.00 M"},
        {0x40000000, "1.00 G"},
        {3000000000LL, "2.79 G"},               // past 2^31: sizes are 64-bit
        {5LL * 1024 * 1024 * 1024 + 0x20000000, "5.50 G"},
    };
    for (const auto& c : cases) EXPECT_EQ(listSize(c.bytes), c.text) << c.bytes;
}

TEST(RecordingTexts, LibrarySizeAtEveryUnitBoundary) {
    const SizeCase cases[] = {
        {0, "0B"},
        {1024, "1024B"},  // bytes up to and including 1024
        {1025, "1.00KB"},
        {0x100000, "1024.00KB"},
        {0x100001, "1.00MB"},
        {3000000000LL, "2861.02MB"},
    };
    for (const auto& c : cases) EXPECT_EQ(librarySize(c.bytes), c.text) << c.bytes;
}

TEST(RecordingTexts, RateIsZeroPaddedKilobytes) {
    const SizeCase cases[] = {
        {0, "0000.00KB/S"},
        {512, "0000.50KB/S"},
        {1536, "0001.50KB/S"},
        {1024 * 1024, "1024.00KB/S"},
        {10 * 1024 * 1024, "10240.00KB/S"},  // wider than the padding: not cut
    };
    for (const auto& c : cases) EXPECT_EQ(rateText(c.bytes), c.text) << c.bytes;
}

TEST(RecordingTexts, ElapsedTimeAtEveryCarry) {
    const SizeCase cases[] = {
        {0, "00:00:00"},     {59, "00:00:59"},        {60, "00:01:00"},  {3599, "00:59:59"},
        {3600, "01:00:00"},  {86399, "23:59:59"},     {86400, "24:00:00"}, {360000, "100:00:00"},
        {-5, "00:00:00"},
    };
    for (const auto& c : cases) EXPECT_EQ(elapsedText(c.bytes), c.text) << c.bytes;
}

void name(RecordItem& item, const char* outputName, const char* title) {
    item.outputName.assign(outputName);
    item.titleLength = static_cast<std::int32_t>(item.title.assign(title));
}

TEST(RecordingTexts, DisplayedNameIsTitleOnlyWhenItHasALength) {
    RecordItem item;
    name(item, "12.FLV", "clip.flv");
    EXPECT_EQ(displayedName(item), "clip.flv");
    item.titleLength = 0;  // a title whose rename failed is not shown
    EXPECT_EQ(displayedName(item), "12.FLV");
}

TEST(RecordingTexts, NewRowTextByteForByte) {
    RecordItem item;
    name(item, "7.FLV", "video.flv");
    EXPECT_EQ(newRecordingRowText(item),
              "<b>File: </b>video.flv<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S");
    item.titleLength = 0;
    EXPECT_EQ(newRecordingRowText(item), "<b>File: </b>7.FLV<br>\t\t\t\t<b>Received: </b>0     <b>Rate: </b>0B/S");
}

TEST(RecordingTexts, RefreshedRowTextByteForByte) {
    RecordItem item;
    name(item, "7.FLV", "video.flv");
    item.state = ItemState::Recording;
    item.storedBytes = 1536;
    item.expectedSize = 3072;
    EXPECT_EQ(recordingRowText(item),
              "<b>File: </b>video.flv<br>\t\t\t\t\t<b>Received: </b>1.50 K (50.00%)  <b>Total: </b>3.00 K");
}

struct ReceivedCase {
    ItemState state;
    std::int64_t expected, stored, processed;
    const char* text;
};

TEST(RecordingTexts, ReceivedTextByState) {
    const ReceivedCase cases[] = {
        {ItemState::Recording, 0, 500, 0, "500"},  // nothing expected: no percentage
        {ItemState::Recording, -1, 500, 0, "500"},
        {ItemState::Recording, 2000, 500, 0, "500 (25.00%)"},
        {ItemState::Recording, 1000, 3000, 0, "2.93 K (100.00%)"},  // more than expected: capped
        {ItemState::CaptureEnded, 4096, 1024, 0, "1.00 K (25.00%)"},
        {ItemState::Processing, 1000, 1000, 0, "1000 (0.00%)"},  // the share written, not the share stored
        {ItemState::Processing, 1000, 1000, 333, "1000 (33.30%)"},
        {ItemState::Processing, 1000, 1000, 5000, "1000 (100.00%)"},
        {ItemState::Processing, 0, 1000, 500, "1000"},
        {ItemState::Done, 2000, 1000, 1000, "1000"},  // finished: the size only
        {ItemState::Failed, 2000, 500, 100, "500 (25.00%)"},
        {ItemState::Recording, 6000000000LL, 3000000000LL, 0, "2.79 G (50.00%)"},
    };
    for (const auto& c : cases) {
        RecordItem item;
        item.state = c.state;
        item.expectedSize = c.expected;
        item.storedBytes = c.stored;
        item.processedBytes = c.processed;
        EXPECT_EQ(receivedText(item), c.text) << static_cast<int>(c.state) << " " << c.expected;
    }
}

struct MarkerCase {
    ItemState state;
    RecordingOutcome outcome;
    const char* failure;
    const char* suffix;  // what follows the designed text
};

TEST(RecordingTexts, FinishedRowsThatWentWrongSaySoAfterTheFigures) {
    const MarkerCase cases[] = {
        {ItemState::Done, RecordingOutcome::Complete, "", ""},
        {ItemState::Done, RecordingOutcome::Unknown, "", ""},
        {ItemState::Done, RecordingOutcome::Incomplete, "", " <font color=\"#ff7b6b\">gaps</font>"},
        {ItemState::Recording, RecordingOutcome::Incomplete, "", ""},  // not finished yet: nothing to say
        {ItemState::Processing, RecordingOutcome::Incomplete, "", ""},
        {ItemState::Failed, RecordingOutcome::Unknown, "cannot write /s/1.FLV: No space left on device",
         " <font color=\"#ff7b6b\">failed: cannot write /s/1.FLV: No space left on device</font>"},
        {ItemState::Failed, RecordingOutcome::Incomplete, "", " <font color=\"#ff7b6b\">failed</font>"},
    };
    for (const auto& c : cases) {
        RecordItem item;
        name(item, "1.FLV", "");
        item.state = c.state;
        item.storedBytes = 100;
        item.failure.assign(c.failure);
        const std::string designed = "<b>File: </b>1.FLV<br>\t\t\t\t\t<b>Received: </b>" + receivedText(item) +
                                     "  <b>Total: </b>0";
        EXPECT_EQ(recordingRowText(item, c.outcome), designed + c.suffix) << static_cast<int>(c.state);
    }
}

TEST(RecordingTexts, LibraryRowCountsItsShowingsAndTheBytesBetweenThem) {
    LibraryItem item;
    item.fileName = "/save/clip.flv";
    item.bytes = 2048;
    EXPECT_EQ(libraryRowText(item),
              "<b>File: </b>/save/clip.flv<br>\t\t\t\t<b>Used time: </b>00:00:00<br>\t\t\t\t<b>Received: </b>"
              "2.00KB<br>\t\t\t\t<b>Rate: </b>0002.00KB/S<br>\t\t\t\t<b>Handling: </b>N/A");
    EXPECT_EQ(item.refreshCount, 1);
    EXPECT_EQ(item.previousBytes, 2048);
    item.bytes = 2048 + 512;
    const std::string second = libraryRowText(item);
    EXPECT_NE(second.find("<b>Used time: </b>00:00:00<br>"), std::string::npos) << second;  // 1 / 2 s
    EXPECT_NE(second.find("<b>Rate: </b>0000.50KB/S<br>"), std::string::npos) << second;
    const std::string third = libraryRowText(item);
    EXPECT_NE(third.find("<b>Used time: </b>00:00:01<br>"), std::string::npos) << third;
    EXPECT_NE(third.find("<b>Rate: </b>0000.00KB/S<br>"), std::string::npos) << third;
}

struct CutCase {
    std::string text;
    std::size_t maxChars, maxBytes;
    std::string kept;
};

TEST(RecordingTexts, LastCharactersNeverSplitACharacter) {
    const std::string forty = "abcdefghij0123456789ABCDEFGHIJklmnopqrst";
    std::string fortyE;
    for (int i = 0; i < 40; ++i) fortyE += "\xC3\xA9";  // é, two bytes
    const CutCase cases[] = {
        {forty, 30, 41, forty.substr(10)},
        {"short.flv", 30, 41, "short.flv"},
        {"", 30, 41, ""},
        {fortyE, 30, 41, fortyE.substr(0, 40)},            // 20 characters fill 40 of the 41 bytes
        {fortyE, 30, 1000, fortyE.substr(0, 60)},           // 30 characters
        {"a\xE2\x82\xAC" "b", 2, 10, "\xE2\x82\xAC" "b"},  // the euro sign is one character
        {"a\xE2\x82\xAC" "b", 3, 3, "b"},                  // it does not fit in what is left
        {"a\xF0\x9F\x8E\xA5.flv", 5, 41, "\xF0\x9F\x8E\xA5.flv"},
    };
    for (const auto& c : cases) EXPECT_EQ(lastCharacters(c.text, c.maxChars, c.maxBytes), c.kept) << c.text;
}

TEST(RecordingTexts, OnlyPlainFileNamesAreAccepted) {
    const std::vector<std::string> refused = {"",         ".",  "..", "a/b", "/etc/passwd",
                                              "../x.flv", "x/", std::string("a\0b", 3)};
    for (const auto& n : refused) EXPECT_FALSE(isPlainFileName(n)) << n;
    const std::vector<std::string> accepted = {"clip.flv", "...",   ".hidden",
                                               "a b.flv",  "..flv", "\xC3\xA9t\xC3\xA9.flv"};
    for (const auto& n : accepted) EXPECT_TRUE(isPlainFileName(n)) << n;
}

}  // namespace
