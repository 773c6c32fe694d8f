#include <gtest/gtest.h>

#include <filesystem>

#include "kestrel/engine/messages.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "kestrel/engine/rtmp_patterns.h"
#include "dispatcher_fixture.h"
#include "tests/support/frame_builder.h"

using namespace kestrel::engine;
using kestrel::test::buildFrame;
using kestrel::test::FrameSpec;

namespace {

// A connect command as a client sends it: chunk stream 3, full header, AMF0 "connect".
std::string connectCommand() {
    std::string c("\x03\x00\x00\x00\x00\x00\xA0\x14\x00\x00\x00\x00", 12);
    c += std::string("\x02\x00\x07", 3) + "connect";
    c += std::string("\x00\x3F\xF0\x00\x00\x00\x00\x00\x00\x03\x00\x03", 12) + "app";
    c += std::string("\x02\x00\x04", 3) + "vod" + std::string("\x00\x05", 2) + "tcUrl" + std::string("\x02\x00\x15", 3) +
         "rtmp://127.0.0.1/vod";
    return c;
}

// The server's end-of-stream status with the code at the offsets the
// recogniser looks at.
std::string endStatus(const std::string& word) {
    std::string s(80, '\0');
    s[0] = 0x45;
    s[7] = 0x14;
    if (word == "Stop") s.replace(70, 4, "Stop");
    if (word == "Pause") s.replace(65, 5, "Pause");
    return s;
}

FrameSpec side(bool fromServer, std::uint16_t serverPort, std::uint16_t clientPort, std::uint32_t seq, std::uint32_t ack) {
    FrameSpec s;
    const std::uint8_t server[4] = {10, 0, 0, 1}, client[4] = {10, 0, 0, 2};
    std::memcpy(s.src, fromServer ? server : client, 4);
    std::memcpy(s.dst, fromServer ? client : server, 4);
    s.sport = fromServer ? serverPort : clientPort;
    s.dport = fromServer ? clientPort : serverPort;
    s.seq = seq;
    s.ack = ack;
    return s;
}

using RtmpDetectionTest = kestrel::test::DispatcherFixture;

}  // namespace

TEST(RtmpPatterns, Table) {
    struct Case {
        const char* what;
        std::string payload;
        bool connect, play, end;
    } cases[] = {
        {"connect", connectCommand(), true, false, false},
        {"connect cut before its name", connectCommand().substr(0, 20), false, false, false},
        {"play with 12-byte lead", std::string("\x08\0\0\0\0\0\0\0\0\0\0\0\x02\0\x04", 15) + "play" + std::string(20, 'x'), false, true, false},
        {"play with 13-byte lead", std::string("\x08\0\0\0\0\0\0\0\0\0\0\0\0\x02\0\x04", 16) + "play" + std::string(20, 'x'), false, true, false},
        {"Stop", endStatus("Stop"), false, false, true},
        {"Pause", endStatus("Pause"), false, false, true},
        {"Stop in a 73-byte payload", endStatus("Stop").substr(0, 73), false, false, false},
        {"status on another chunk stream", [] { auto s = endStatus("Stop"); s[0] = 0x44; return s; }(), false, false, false},
    };
    for (const auto& c : cases) {
        const auto b = std::span(reinterpret_cast<const std::uint8_t*>(c.payload.data()), c.payload.size());
        EXPECT_EQ(rtmp::connectAt(b, 0), c.connect) << c.what;
        EXPECT_EQ(rtmp::playAtStart(b), c.play) << c.what;
        EXPECT_EQ(rtmp::streamEndStatus(b), c.end) << c.what;
    }
}

TEST_F(RtmpDetectionTest, ConnectCreatesAnItemWithTheCommandAsFirstRecord) {
    feed(side(false, 1935, 50000, 777, 1), connectCommand());
    ASSERT_EQ(table_.count(), 1);
    RecordItem& item = *table_.at(1);
    EXPECT_EQ(item.kind, ItemKind::Rtmp);
    EXPECT_EQ(item.serverPort, 1935);
    EXPECT_EQ(item.outputName.view(), "1.FLV");
    EXPECT_TRUE(item.url.empty());
    // Every later server segment is stored, whatever it acknowledges.
    feed(side(true, 1935, 50000, 100, 5), "server-bytes");
    feed(side(true, 1935, 50000, 112, 99), "more");
    // A second connect on the same connection creates nothing.
    feed(side(false, 1935, 50000, 900, 1), connectCommand());
    EXPECT_EQ(table_.count(), 1);
    EXPECT_EQ(dataOf(1), std::string("PIP\x01\0", 5) + connectCommand() + "server-bytesmore");
}

TEST_F(RtmpDetectionTest, ConnectNotAtThePayloadStartOnlyOnRtmpPorts) {
    const std::string payload = std::string(40, 'z') + connectCommand();
    feed(side(false, 8080, 50000, 1, 1), payload);  // not an RTMP port: not seen
    EXPECT_EQ(table_.count(), 0);
    feed(side(false, 1935, 50001, 1, 1), payload);
    ASSERT_EQ(table_.count(), 1);
    // The record starts at the URL inside the command.
    const std::string data = dataOf(1);
    EXPECT_EQ(data.substr(5, 20), "rtmp://127.0.0.1/vod");
    feed(side(false, 8080, 50002, 1, 1), connectCommand());  // at the start: any port
    EXPECT_EQ(table_.count(), 2);
}

TEST_F(RtmpDetectionTest, PlayStartOnPort80GivesUrlRtmp) {
    const std::string status = std::string(30, 's') + "NetStream.Play.Start" + std::string(30, 't');
    feed(side(true, 80, 50000, 4000, 7), status);
    ASSERT_EQ(table_.count(), 1);
    EXPECT_EQ(table_.at(1)->url.view(), "rtmp");
    // The status segment itself is the item's first record.
    EXPECT_EQ(dataOf(1), std::string("PIP\x01\0", 5) + status);
    feed(side(true, 8080, 50001, 4000, 7), status);  // not an RTMP port
    EXPECT_EQ(table_.count(), 1);
}

TEST_F(RtmpDetectionTest, StopAndPauseEndTheItemAndResumingCreatesNothing) {
    for (const char* word : {"Stop", "Pause"}) {
        const auto clientPort = static_cast<std::uint16_t>(word[0] == 'S' ? 50000 : 50001);
        feed(side(false, 1935, clientPort, 1, 1), connectCommand());
        const int index = table_.count();
        feed(side(true, 1935, clientPort, 10, 2), "media");
        outbox_.clear();
        feed(side(true, 1935, clientPort, 15, 2), endStatus(word));
        EXPECT_TRUE(table_.at(index)->is(ItemState::CaptureEnded)) << word;
        EXPECT_EQ(table_.at(index)->filesOpen.load(), 0) << word;
        EXPECT_EQ(messagesOf(WM_STREAM_ENDED), 1) << word;
        // The status is not stored, nor is anything after it; play resumes
        // on the same connection without a new item.
        feed(side(true, 1935, clientPort, 95, 2), std::string(30, 's') + "NetStream.Play.Start");
        feed(side(true, 1935, clientPort, 145, 2), "later");
        EXPECT_EQ(table_.count(), index) << word;
        EXPECT_EQ(dataOf(index), std::string("PIP\x01\0", 5) + connectCommand() + "media") << word;
    }
    // A status for a connection without an item is ignored.
    outbox_.clear();
    feed(side(true, 1935, 50009, 1, 1), endStatus("Stop"));
    EXPECT_EQ(messagesOf(WM_STREAM_ENDED), 0);
}

// The stream begins where the client's connect command says it has read up
// to (or with the server segment that made the item): a late copy of the
// handshake lies before it and is not stored, and a segment that reaches
// across the start keeps only its bytes from the start on.
TEST_F(RtmpDetectionTest, LateCopiesOfTheHandshakeStayOutOfTheStream) {
    feed(side(false, 1935, 50000, 777, 5000), connectCommand());
    ASSERT_EQ(table_.count(), 1);
    feed(side(true, 1935, 50000, 5000, 800), "first");
    feed(side(true, 1935, 50000, 1463, 800), std::string(1536, 'h'));  // S1 again
    feed(side(true, 1935, 50000, 4990, 800), "0123456789first-again");  // reaches across the start
    feed(side(true, 1935, 50000, 5005, 800), "next");
    EXPECT_EQ(item(1).storedBytes.load(), 5 + 11 + 4);
    EXPECT_EQ(dataOf(1), std::string("PIP\x01\0", 5) + connectCommand() + "first" + "first-again" + "next");

    // Made by the server's play-start status: the stream begins there.
    const std::string status = std::string(30, 's') + "NetStream.Play.Start" + std::string(30, 't');
    feed(side(true, 1935, 50001, 9000, 1), status);
    ASSERT_EQ(table_.count(), 2);
    feed(side(true, 1935, 50001, 6000, 1), std::string(1536, 'h'));
    feed(side(true, 1935, 50001, 9080, 1), "after");
    EXPECT_EQ(dataOf(2).find('h'), std::string::npos);
}
