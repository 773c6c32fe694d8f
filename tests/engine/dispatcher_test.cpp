#include "kestrel/engine/packet_dispatcher.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "kestrel/engine/messages.h"
#include "platform/capture.h"
#include "dispatcher_fixture.h"
#include "tests/support/frame_builder.h"

using namespace kestrel::engine;
using kestrel::test::buildFrame;
using kestrel::test::FrameSpec;

namespace {

// A client at 10.0.0.2:40000 talking to a server at 10.0.0.1:80.
FrameSpec fromClient(std::uint32_t seq, std::uint32_t ack) {
    FrameSpec s;
    std::memcpy(s.src, "\x0a\x00\x00\x02", 4);
    std::memcpy(s.dst, "\x0a\x00\x00\x01", 4);
    s.sport = 40000;
    s.dport = 80;
    s.seq = seq;
    s.ack = ack;
    return s;
}
FrameSpec fromServer(std::uint32_t seq, std::uint32_t ack) {
    FrameSpec s;
    std::memcpy(s.src, "\x0a\x00\x00\x01", 4);
    std::memcpy(s.dst, "\x0a\x00\x00\x02", 4);
    s.sport = 80;
    s.dport = 40000;
    s.seq = seq;
    s.ack = ack;
    return s;
}

const std::string kRequest = "GET /v/clip.flv?start=100 HTTP/1.1\r\nHost: media.example\r\nAccept: */*\r\n\r\n";

using DispatcherTest = kestrel::test::DispatcherFixture;

}  // namespace

TEST_F(DispatcherTest, RequestCreatesAnItemAndTheBodyIsStored) {
    const std::uint32_t reqSeq = 7000;
    feed(fromClient(reqSeq, 1), kRequest);
    ASSERT_EQ(table_.count(), 1);
    RecordItem& it = item(1);
    EXPECT_TRUE(it.is(ItemState::Recording));
    EXPECT_EQ(it.url.view(), "http://media.example/v/clip.flv?start=100");
    EXPECT_EQ(it.title.view(), "clip.flv");
    EXPECT_EQ(it.titleLength, 8);
    EXPECT_EQ(it.outputName.view(), "1.FLV");
    EXPECT_EQ(it.serverPort, 80);
    EXPECT_EQ(it.clientPort, 40000);
    const std::uint32_t ack = reqSeq + static_cast<std::uint32_t>(kRequest.size());
    EXPECT_EQ(it.expectedAck, ack);
    EXPECT_EQ(it.filesOpen.load(), 0);  // opened by the first stored segment

    FrameSpec resp = fromServer(100, ack);
    resp.tcpOptions = 12;  // TCP timestamps must not leak into the payload
    feed(resp, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 1234\r\n\r\nFLVbody");
    EXPECT_EQ(it.expectedSize.load(), 1234);
    const std::string headerText = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 1234\r\n\r\n";
    FrameSpec next = fromServer(100 + static_cast<std::uint32_t>(headerText.size()) + 7, ack);
    next.padding = 6;
    feed(next, "more");
    EXPECT_EQ(dataOf(1), std::string("PIP\0\0FLVbodymore", 16));
    const auto idx = indexOf(1);
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_EQ(idx[0].sequence, 100 + headerText.size());
    EXPECT_EQ(idx[0].length, 7u);
    EXPECT_EQ(idx[0].dataOffset, 5u);
    EXPECT_EQ(idx[1].length, 4u);  // the padding is not payload
    EXPECT_EQ(idx[1].ipLength, 44u);
}

TEST_F(DispatcherTest, RequestRules) {
    struct Case {
        const char* what;
        std::string request;
        bool creates;
        const char* outputName;
    } cases[] = {
        {"php page", "GET /video.php?id=7 HTTP/1.1\r\nHost: h\r\n\r\n", false, ""},
        {"no host line", "GET /clip.flv HTTP/1.1\r\nAccept: */*\r\n\r\n", false, ""},
        {"mp3", "GET /a/song.mp3 HTTP/1.0\r\nHost: h\r\n\r\n", true, ".MP3"},
        {"upper-case extension", "GET /CLIP.M4V HTTP/1.1\r\nHost: h\r\n\r\n", true, ".M4V"},
        {"swf while not recorded", "GET /movie.swf HTTP/1.1\r\nHost: h\r\n\r\n", false, ""},
        {"host line beyond the scan", "GET /clip.flv HTTP/1.1\r\nHost: h", false, ""},
    };
    for (const auto& c : cases) {
        const int before = table_.count();
        feed(fromClient(1, 1), c.request);
        EXPECT_EQ(table_.count() > before, c.creates) << c.what;
        if (c.creates) {
            EXPECT_NE(item(table_.count()).outputName.view().find(c.outputName), std::string::npos) << c.what;
        }
    }
    dispatcher_.beginCapture(dir_, true);
    feed(fromClient(1, 1), "GET /movie.swf HTTP/1.1\r\nHost: h\r\n\r\n");
    EXPECT_EQ(item(table_.count()).outputName.view().substr(1), ".SWF");
}

TEST_F(DispatcherTest, ResponseContentTypes) {
    struct Case {
        const char* what;
        std::string header;
        bool creates;
        const char* ext;
    } cases[] = {
        {"video/x-flv", "Content-Type: video/x-flv", true, ".FLV"},
        {"with parameters", "Content-Type: video/mp4; charset=binary", true, ".MP4"},
        {"audio/x-mpeg", "Content-Type: audio/x-mpeg", true, ".MP3"},
        {"lower-case t", "Content-type: video/x-flv", false, ""},
        {"other type", "Content-Type: text/html", false, ""},
        {"swf while not recorded", "Content-Type: application/x-shockwave-flash", false, ""},
    };
    std::uint16_t port = 41000;
    for (const auto& c : cases) {
        FrameSpec s = fromServer(500, 9);
        s.dport = port++;
        const int before = table_.count();
        feed(s, "HTTP/1.1 206 Partial Content\r\n" + c.header + "\r\nContent-Length: 99\r\n\r\nFLVx");
        EXPECT_EQ(table_.count() > before, c.creates) << c.what;
        if (c.creates) {
            RecordItem& it = item(table_.count());
            EXPECT_EQ(it.outputName.view().substr(it.outputName.view().find('.')), c.ext) << c.what;
            EXPECT_EQ(it.expectedSize.load(), 99) << c.what;
            EXPECT_EQ(it.expectedAck, 9u) << c.what;
            EXPECT_TRUE(it.url.empty()) << c.what;
            EXPECT_EQ(it.titleLength, 0) << c.what;
        }
    }
}

TEST_F(DispatcherTest, MetadataRuleAndHeaderEndingAtTheFrameEnd) {
    feed(fromServer(1000, 9), std::string("HTTP/1.1 200 OK\r\nServer: x\r\n\r\n\x02\x00\x0a" "onMetaData", 43));
    ASSERT_EQ(table_.count(), 1);
    EXPECT_EQ(item(1).outputName.view(), "1.FLV");
    EXPECT_EQ(dataOf(1), std::string("PIP\0\0\x02\0\x0aonMetaData", 18));

    FrameSpec s = fromServer(2000, 9);
    s.dport = 41001;
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: video/flv\r\n\r\n";
    feed(s, header);
    ASSERT_EQ(table_.count(), 2);
    EXPECT_EQ(dataOf(2), std::string("PIP\0\0", 5));
    const auto idx = indexOf(2);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx[0].length, 0u);
    EXPECT_EQ(idx[0].sequence, 2000 + header.size());
}

TEST_F(DispatcherTest, HeaderSplitOverTwoSegmentsIsStoredAsBody) {
    FrameSpec s = fromServer(3000, 9);
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nX-Long: ";
    feed(s, first + "aaaa");
    ASSERT_EQ(table_.count(), 1);
    const auto idx = indexOf(1);
    ASSERT_EQ(idx.size(), 1u);
    EXPECT_EQ(idx[0].sequence, 3000u);
    EXPECT_EQ(idx[0].length, first.size() + 4);
}

TEST_F(DispatcherTest, KeptAliveConnectionAndRtmpItems) {
    feed(fromClient(7000, 1), kRequest);
    const std::uint32_t ack1 = 7000 + static_cast<std::uint32_t>(kRequest.size());
    // The client sends a second request: the server's segments now carry a
    // new acknowledgement, which the first item does not expect.
    feed(fromServer(100, ack1), "first");
    feed(fromServer(105, ack1 + 50), "second");
    EXPECT_EQ(item(1).storedBytes.load(), 5);
    EXPECT_EQ(item(1).segmentCount.load(), 1);
    // An RTMP item takes every segment of its connection, whatever the acknowledgement.
    NewItem rtmp;
    rtmp.kind = ItemKind::Rtmp;
    std::memcpy(rtmp.serverAddress.bytes, "\x0a\x00\x00\x01", 4);
    std::memcpy(rtmp.clientAddress.bytes, "\x0a\x00\x00\x02", 4);
    rtmp.serverPort = 80;
    rtmp.clientPort = 40001;
    const int r = table_.create(rtmp, ItemState::Recording);
    FrameSpec s = fromServer(1, 111);
    s.dport = 40001;
    feed(s, "chunk");
    s.ack = 222;
    s.seq = 6;
    feed(s, "chunk2");
    EXPECT_EQ(item(r).storedBytes.load(), 11);
}

// A request captured twice asks for one answer: no second item, which would
// never receive a byte. A retransmitted answer segment is stored twice (the
// rebuild skips the repeat).
TEST_F(DispatcherTest, RetransmittedRequestMakesNoSecondItem) {
    feed(fromClient(7000, 1), kRequest);
    const std::uint32_t ack = 7000 + static_cast<std::uint32_t>(kRequest.size());
    feed(fromClient(7000, 1), kRequest);  // the same request again
    ASSERT_EQ(table_.count(), 1);
    feed(fromServer(100, ack), "abc");
    feed(fromServer(100, ack), "abc");
    EXPECT_EQ(item(1).segmentCount.load(), 2);
    const auto idx = indexOf(1);
    ASSERT_EQ(idx.size(), 2u);
    EXPECT_EQ(idx[0].sequence, idx[1].sequence);
    EXPECT_EQ(idx[1].dataOffset, 8u);
    // A new request on the same connection (another acknowledgement) is a
    // new download; once the first item stops recording, its segments are
    // dropped.
    feed(fromClient(ack, 1), kRequest);
    EXPECT_EQ(table_.count(), 2);
    item(1).state = ItemState::CaptureEnded;
    feed(fromServer(103, ack), "def");
    EXPECT_EQ(item(1).segmentCount.load(), 2);
    EXPECT_EQ(item(2).segmentCount.load(), 0);
}

TEST_F(DispatcherTest, ExactlyOneReceivingMessageAfter2048Bytes) {
    feed(fromClient(7000, 1), kRequest);
    const std::uint32_t ack = 7000 + static_cast<std::uint32_t>(kRequest.size());
    feed(fromServer(100, ack), std::string(2048, 'x'));
    EXPECT_EQ(messagesOf(WM_ITEM_RECEIVING), 0);  // 2048 bytes: not yet
    feed(fromServer(2148, ack), "y");
    EXPECT_EQ(messagesOf(WM_ITEM_RECEIVING), 1);
    EXPECT_EQ(outbox_.entries().back().wParam, 1u);
    feed(fromServer(2149, ack), std::string(5000, 'z'));
    EXPECT_EQ(messagesOf(WM_ITEM_RECEIVING), 1);
    EXPECT_EQ(item(1).storedBytes.load(), 7049);
    EXPECT_EQ(item(1).expectedSize.load(), 7049);  // raised to what was stored
}

TEST_F(DispatcherTest, MidStreamTextIsTakenForAHeader) {
    feed(fromClient(7000, 1), kRequest);
    const std::uint32_t ack = 7000 + static_cast<std::uint32_t>(kRequest.size());
    feed(fromServer(100, ack), "HTTP/1.1 looks like a status line but is body data");
    feed(fromServer(200, ack), "GET more body");
    EXPECT_EQ(item(1).segmentCount.load(), 0);
    EXPECT_FALSE(item(1).files.dataOpen());
}

TEST_F(DispatcherTest, TableFullCreatesNothing) {
    NewItem filler;
    while (table_.count() < kMaxRecordItems) table_.create(filler, ItemState::Done);
    feed(fromClient(7000, 1), kRequest);
    feed(fromServer(1, 2), "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\n\r\nFLV");
    EXPECT_EQ(table_.count(), kMaxRecordItems);
}

// Capture data that cannot be written fails its item at once, with the
// system's reason: storing on would give a file with holes that nobody
// was told about.
TEST_F(DispatcherTest, UnwritableSaveFolderFailsTheItemWithTheReason) {
    dispatcher_.beginCapture(dir_ + "missing/", false);
    feed(fromClient(7000, 1), kRequest);
    const std::uint32_t ack = 7000 + static_cast<std::uint32_t>(kRequest.size());
    feed(fromServer(100, ack), "lost");
    EXPECT_TRUE(item(1).is(ItemState::Failed));
    EXPECT_EQ(item(1).failure.view(), "cannot create " + dir_ + "missing/Temp/1.flvdata: No such file or directory");
    EXPECT_EQ(item(1).filesOpen.load(), 0);
    EXPECT_EQ(messagesOf(WM_ITEM_STATE_CHANGED), 1);
    EXPECT_EQ(dispatcher_.writeFailures(), 1u);
    // Nothing more is stored for it, even once the folder is there.
    std::filesystem::create_directories(dir_ + "missing/Temp");
    feed(fromServer(104, ack), "more");
    EXPECT_FALSE(std::filesystem::exists(dir_ + "missing/Temp/1.flvdata"));
    EXPECT_EQ(messagesOf(WM_ITEM_STATE_CHANGED), 1);
}

// Damaged frames (flipped bytes, wrong lengths, cut short) from a real
// capture must never read outside the frame; under the sanitizers any such
// read fails this test.
TEST_F(DispatcherTest, DamagedFramesAreSafe) {
    kestrel::platform::PacketSource src;
    ASSERT_TRUE(src.open(std::string("file://") + KESTREL_CAPTURES_DIR + "/http-keepalive-two-flv-eth1500.pcap", {}));
    std::vector<std::vector<std::uint8_t>> frames;
    kestrel::platform::Frame f;
    while (src.next(f) == 1) frames.emplace_back(f.bytes.begin(), f.bytes.end());
    ASSERT_GT(frames.size(), 100u);
    std::uint32_t rng = 12345;
    auto next = [&] { return rng = rng * 1103515245u + 12345u; };
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> frame = frames[next() % frames.size()];
        const int flips = static_cast<int>(next() % 6);
        for (int k = 0; k < flips; ++k) frame[next() % frame.size()] = static_cast<std::uint8_t>(next() >> 16);
        // Length fields, header lengths and the frame's own length are the interesting places.
        if (next() % 3 == 0) frame[16 + next() % 2] = static_cast<std::uint8_t>(next() >> 16);
        if (next() % 3 == 0) frame[46] = static_cast<std::uint8_t>(next() >> 16);
        if (next() % 4 == 0) frame.resize(next() % (frame.size() + 1));
        dispatcher_.process(frame, outbox_);
        outbox_.clear();
    }
    EXPECT_GT(dispatcher_.framesNotDecoded(), 0u);  // cut-short frames were refused, not read past
}

// A response header sent alone, with a type that names no media: the first
// body segment decides, by the FLV metadata in it, even when later segments
// overtook it.
TEST_F(DispatcherTest, HeaderOnlyResponseDecidedByItsFirstBodySegment) {
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 30\r\n\r\n";
    const auto bodyAt = 500 + static_cast<std::uint32_t>(header.size());
    const std::string first = std::string("FLV\x01\x05\0\0\0\x09\0\0\0\0\x12", 14) + "onMetaData";
    struct Case {
        const char* what;
        std::uint16_t port;
        std::string firstBody;
        bool creates;
    } cases[] = {
        {"metadata in the first body segment", 41000, first, true},
        {"no metadata", 41001, std::string(24, 'x'), false},
    };
    for (const auto& c : cases) {
        FrameSpec s = fromServer(500, 9);
        s.dport = c.port;
        const int before = table_.count();
        feed(s, header);
        EXPECT_EQ(table_.count(), before) << c.what;  // nothing to decide by yet
        FrameSpec later = s;
        later.seq = bodyAt + static_cast<std::uint32_t>(c.firstBody.size());
        feed(later, "tail!");  // overtakes the first body segment
        FrameSpec firstSeg = s;
        firstSeg.seq = bodyAt;
        feed(firstSeg, c.firstBody);
        EXPECT_EQ(table_.count() > before, c.creates) << c.what;
        if (c.creates) {
            const int i = table_.count();
            EXPECT_EQ(item(i).outputName.view().substr(item(i).outputName.view().find('.')), ".FLV");
            EXPECT_EQ(item(i).expectedSize.load(), 30);
            EXPECT_EQ(dataOf(i), std::string("PIP\0\0", 5) + c.firstBody + "tail!");
        }
    }
}

// A run that was killed leaves its capture data in Temp/ for an import, and
// the recording number it reached may never have been saved. New items skip
// every number whose capture files are there, and delete nothing.
TEST_F(DispatcherTest, CaptureDataLeftByAKilledRunIsKeptAndItsNumbersSkipped) {
    const std::string temp = dir_ + "Temp/";
    const std::pair<std::string, std::string> left[] = {
        {"1.flvdata", "PIP\0\0first run"},  // data only
        {"2.flvdata.idx", "index only"},
        {"3.flvdata.tmp", "a raw stream being converted"},
        {"5.flvdata", "PIP\0\0after a hole in the numbers"},
    };
    for (const auto& [name, bytes] : left) kestrel::test::writeFile(temp + name, bytes);

    // An item made by a request, then one made by a response alone.
    feed(fromClient(7000, 1), kRequest);
    feed(fromServer(100, 7000 + static_cast<std::uint32_t>(kRequest.size())), "HTTP/1.1 200 OK\r\n\r\nFLVbody");
    FrameSpec response = fromServer(500, 9);
    response.dport = 41000;
    feed(response, "HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 99\r\n\r\nFLVx");
    ASSERT_EQ(table_.count(), 2);
    EXPECT_EQ(item(1).dataFileName.view(), "4.flvdata");
    EXPECT_EQ(item(2).dataFileName.view(), "6.flvdata");
    EXPECT_EQ(item(2).outputName.view(), "6.FLV");
    EXPECT_EQ(table_.recordingNumber(), 6);
    EXPECT_EQ(dataOf(2), std::string("PIP\0\0FLVx", 9));
    for (const auto& [name, bytes] : left) EXPECT_EQ(kestrel::test::readFile(temp + name), bytes) << name;
}
