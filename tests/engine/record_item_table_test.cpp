#include "kestrel/engine/record_item_table.h"

#include <gtest/gtest.h>

#include <string>

using namespace kestrel::engine;

TEST(RecordItemTable, RecordingNumberWrapsAfterTheLimit) {
    struct Case {
        std::int32_t current, next;
    } cases[] = {{0, 1}, {41, 42}, {2147483638, 2147483639}, {2147483639, 1}, {-5, 1}};
    for (const auto& c : cases) EXPECT_EQ(RecordItemTable::nextRecordingNumber(c.current), c.next) << c.current;

    RecordItemTable table;
    table.setRecordingNumber(2147483639);
    NewItem init;
    init.extension = ".FLV";
    const int index = table.create(init, ItemState::Recording);
    ASSERT_EQ(index, 1);
    EXPECT_EQ(table.recordingNumber(), 1);
    EXPECT_EQ(table.at(index)->outputName.view(), "1.FLV");
    EXPECT_EQ(table.at(index)->dataFileName.view(), "1.flvdata");
    EXPECT_EQ(table.at(index)->indexFileName.view(), "1.flvdata.idx");
}

TEST(RecordItemTable, CreateFillsTheItemAndZeroesTheRest) {
    RecordItemTable table;
    table.setRecordingNumber(11);
    NewItem init;
    init.kind = ItemKind::Rtmp;
    init.serverAddress = {{10, 0, 0, 1, 0}};
    init.serverPort = 1935;
    init.clientAddress = {{10, 0, 0, 2, 7}};  // a stray fifth byte is not kept
    init.clientPort = 50000;
    init.url = "rtmp";
    init.extension = ".FLV";
    const int index = table.create(init, ItemState::Recording);
    const RecordItem* item = table.at(index);
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(item->is(ItemState::Recording));
    EXPECT_EQ(item->kind, ItemKind::Rtmp);
    EXPECT_EQ(item->serverPort, 1935);
    EXPECT_EQ(item->clientAddress.bytes[4], 0);
    EXPECT_EQ(item->url.view(), "rtmp");
    EXPECT_EQ(item->outputName.view(), "12.FLV");
    EXPECT_EQ(item->titleLength, 0);
    EXPECT_EQ(item->storedBytes.load(), 0);
    EXPECT_EQ(item->filesOpen.load(), 0);
    EXPECT_EQ(table.at(0), nullptr);
    EXPECT_EQ(table.at(2), nullptr);
}

TEST(RecordItemTable, OverlongNetworkTextsStayInTheirFields) {
    RecordItemTable table;
    const std::string url(5000, 'u');
    const std::string title(300, 't');
    NewItem init;
    init.url = url;
    init.title = title;
    const RecordItem* item = table.at(table.create(init, ItemState::Recording));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->url.view().size(), 999u);
    EXPECT_EQ(item->title.view().size(), 41u);
    EXPECT_EQ(item->titleLength, 41);
}

TEST(RecordItemTable, ThousandItemsThenFullAndRemovedSlotsStayTaken) {
    RecordItemTable table;
    NewItem init;
    for (int i = 1; i <= kMaxRecordItems; ++i) ASSERT_EQ(table.create(init, ItemState::Recording), i);
    table.at(5)->state = ItemState::Removed;
    EXPECT_EQ(table.refused(), 0u);
    EXPECT_EQ(table.create(init, ItemState::Recording), 0);
    EXPECT_EQ(table.create(init, ItemState::Recording), 0);
    EXPECT_EQ(table.refused(), 1u);  // counted once per connection, so the host can say so
    init.clientPort = 4000;
    EXPECT_EQ(table.create(init, ItemState::Recording), 0);
    EXPECT_EQ(table.refused(), 2u);
    EXPECT_EQ(table.count(), kMaxRecordItems);
    EXPECT_EQ(table.recordingNumber(), kMaxRecordItems);  // a refused creation takes no number
}

TEST(RecordItemTable, FirstWaitingScansFromOne) {
    RecordItemTable table;
    NewItem init;
    for (int i = 0; i < 5; ++i) table.create(init, ItemState::Recording);
    EXPECT_EQ(table.firstWaiting(), 0);
    table.at(4)->state = ItemState::CaptureEnded;
    table.at(2)->state = ItemState::Done;
    EXPECT_EQ(table.firstWaiting(), 4);
    table.at(3)->state = ItemState::CaptureEnded;
    EXPECT_EQ(table.firstWaiting(), 3);
    EXPECT_EQ(table.create(init, ItemState::CaptureEnded), 6);  // an import waits from the start
    table.at(3)->state = ItemState::Processing;
    table.at(4)->state = ItemState::Failed;
    EXPECT_EQ(table.firstWaiting(), 6);
}
