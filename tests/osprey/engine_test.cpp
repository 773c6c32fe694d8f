// The engine fed with built frames: requests, responses, record items, the
// storing of bodies, the end of an item and its conversion, and the notices
// and messages the client's window gets.

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common/capture_files.h"
#include "tests/osprey/osprey_test_support.h"

using namespace kestrel::test;
using namespace kestrel::osprey;
namespace fs = std::filesystem;

namespace {

class OspreyEngine : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        options({"example.com"});
        begin();
    }
    // GET and the response header (with the first body bytes) on one
    // connection.
    Conversation download(std::uint16_t port, std::string_view target, std::string_view type, long long length,
                          std::string_view headBody = {}, std::string_view host = "example.com") {
        Conversation c = conversation(port);
        clientSends(c, getRequest(target, host));
        serverSends(c, responseHeader(type, length) + std::string(headBody));
        return c;
    }
    std::vector<std::string> tempFiles() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(saveDir() + "Temp")) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<kestrel::capture_files::IndexEntry> indexOf(const std::string& name) {
        const std::string raw = readFile(saveDir() + "Temp/" + name);
        std::vector<kestrel::capture_files::IndexEntry> out;
        for (std::size_t at = 0; at + 18 <= raw.size(); at += 18)
            out.push_back(kestrel::capture_files::decodeEntry(std::span<const std::uint8_t, 18>(
                reinterpret_cast<const std::uint8_t*>(raw.data() + at), 18)));
        return out;
    }
    // Every WM_USER+58 seen so far, as (ID, state).
    std::vector<std::pair<int, int>> stateMessages() {
        window_.pump();
        std::vector<std::pair<int, int>> out;
        for (const auto& m : window_.of(OSPREY_WM_ITEM_STATE))
            out.emplace_back(static_cast<int>(m.wParam), static_cast<int>(m.lParam));
        return out;
    }
};

}  // namespace

TEST_F(OspreyEngine, ExtensionDecidesAndTheNoticesSayWhat) {
    download(40001, "/v/clip.flv?x=1", "text/html", 1000);
    const auto responses = window_.notices(OSPREY_NOTICE_RESPONSE);
    const auto items = window_.notices(OSPREY_NOTICE_ITEM);
    ASSERT_EQ(responses.size(), 1u);
    ASSERT_EQ(items.size(), 1u);
    // Response notice, item notice, diagnostic: in this order.
    ASSERT_EQ(window_.messages.size(), 3u);
    EXPECT_EQ(window_.messages[0].dwData, OSPREY_NOTICE_RESPONSE);
    EXPECT_EQ(window_.messages[1].dwData, OSPREY_NOTICE_ITEM);
    EXPECT_EQ(window_.messages[2].dwData, OSPREY_NOTICE_DIAGNOSTIC);
    const auto& n = items[0];
    EXPECT_EQ(n.wParam, 107u);
    ASSERT_EQ(n.data.size(), 2412u);
    EXPECT_EQ(n.le32(0), 80u);
    EXPECT_EQ(n.le32(4), 1u);
    EXPECT_EQ(n.le32(8), 101u);  // ID base 100
    EXPECT_EQ(n.field(12, 300), "example.com");
    EXPECT_EQ(n.field(312, 1300), "/v/clip.flv?x=1");
    EXPECT_EQ(n.field(1612, 200), "text/html");
    EXPECT_EQ(n.field(2312, 100), "clip.flv");
    EXPECT_EQ(responses[0].le32(8), 0u);             // no item ID in a response notice
    EXPECT_EQ(responses[0].field(2312, 100), "");    // nor a local name
    EXPECT_EQ(window_.messages[2].text(), "l_LocalFile = clip.flv, file name = clip.flv, len = 8");
    ASSERT_EQ(engine_->itemCount(), 1);
    EXPECT_TRUE(item(1).is(kStateRecording));
    EXPECT_EQ(item(1).url.view(), "http://example.com/v/clip.flv?x=1");
    EXPECT_EQ(engine_->localName(101), "clip.flv");
    EXPECT_EQ(engine_->totalSize(101), 1000);
}

TEST_F(OspreyEngine, BodyRecordedWhenTheSiteMatches) {
    const std::string body = bodyBytes(0, 1000);
    Conversation c = download(40002, "/clip.flv", "video/x-flv", 1000, body.substr(0, 400));
    EXPECT_EQ(engine_->recordedSize(101), 400);
    EXPECT_TRUE(item(1).is(kStateRecording));
    serverSends(c, body.substr(400));
    EXPECT_TRUE(item(1).is(kStateWaiting) || item(1).is(kStateConverting) || item(1).is(kStateDone));
    finishWorker();
    EXPECT_EQ(stateMessages(), (std::vector<std::pair<int, int>>{{101, 6}, {101, 2}}));
    EXPECT_TRUE(item(1).is(kStateDone));
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "clip.flv"), body));
    EXPECT_TRUE(tempFiles().empty());  // capture files deleted after the conversion
    EXPECT_EQ(engine_->recordedSize(101), 1000);
    EXPECT_DOUBLE_EQ(engine_->recordPercent(101), 100.0);
}

TEST_F(OspreyEngine, OtherSitesAreOnlyAnnounced) {
    Conversation c = download(40003, "/clip.flv", "video/x-flv", 500, bodyBytes(0, 200), "other.org");
    serverSends(c, bodyBytes(200, 300));
    const auto items = window_.notices(OSPREY_NOTICE_ITEM);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].le32(4), 0u);
    EXPECT_TRUE(item(1).is(kStateRecording));
    EXPECT_TRUE(tempFiles().empty());
    engine_->endRun({});
    EXPECT_TRUE(item(1).is(kStateRecording));
    EXPECT_TRUE(stateMessages().empty());
    EXPECT_EQ(engine_->recordedSize(101), 0);
}

TEST_F(OspreyEngine, RefererMatchesToo) {
    Conversation c = conversation(40004);
    clientSends(c, getRequest("/a.mp3", "cdn.other.org", "http://www.EXAMPLE.com/page"));
    serverSends(c, responseHeader("audio/mpeg", 10) + "0123456789");
    EXPECT_EQ(window_.notices(OSPREY_NOTICE_ITEM).at(0).le32(4), 1u);
    EXPECT_EQ(window_.notices(OSPREY_NOTICE_ITEM).at(0).field(1812, 500), "http://www.EXAMPLE.com/page");
    finishWorker();
    EXPECT_EQ(readFile(saveDir() + "a.mp3"), "0123456789");
}

TEST_F(OspreyEngine, WithoutLengthTheBodyEndsWhereTheServerCloses) {
    const std::string body = bodyBytes(0, 3000);
    Conversation c = download(40005, "/live.flv", "video/x-flv", -1, body.substr(0, 1000));
    const std::uint32_t second = c.server.seq;
    c.server.seq += 1000;  // the second segment is lost on the way for now
    serverSends(c, body.substr(2000));
    EXPECT_TRUE(item(1).is(kStateRecording)) << "ended at a data segment";
    serverSends(c, "", 0x11);  // FIN ACK
    EXPECT_TRUE(item(1).is(kStateRecording)) << "ended before the bytes before the FIN came";
    EXPECT_EQ(engine_->totalSize(101), 2000);  // the bytes received, without a length
    FrameSpec resent = c.server;
    resent.seq = second;
    feed(resent, body.substr(1000, 1000));
    EXPECT_FALSE(item(1).is(kStateRecording));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "live.flv"), body));
}

TEST_F(OspreyEngine, WithoutLengthAResetOrTheCaptureEndEndsTheBody) {
    Conversation a = download(40006, "/a.flv", "video/x-flv", -1, bodyBytes(0, 100));
    download(40007, "/b.flv", "video/x-flv", -1, bodyBytes(0, 100));
    serverSends(a, "", 0x04);  // RST
    EXPECT_FALSE(item(1).is(kStateRecording));
    EXPECT_TRUE(item(2).is(kStateRecording));
    engine_->endRun({});
    EXPECT_FALSE(item(2).is(kStateRecording));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "a.flv"), bodyBytes(0, 100)));
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "b.flv"), bodyBytes(0, 100)));
}

TEST_F(OspreyEngine, WholeBodyInTheFirstSegmentEnds) {
    download(40008, "/small.flv", "video/x-flv", 500, bodyBytes(0, 500));
    EXPECT_FALSE(item(1).is(kStateRecording));
    finishWorker();
    // One index entry is a whole body.
    EXPECT_TRUE(item(1).is(kStateDone));
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "small.flv"), bodyBytes(0, 500)));
}

TEST_F(OspreyEngine, EmptyBodyFailsVisibly) {
    download(40009, "/empty.flv", "video/x-flv", 0);
    finishWorker();
    EXPECT_TRUE(item(1).is(kStateFailed));
    const auto failed = window_.of(OSPREY_WM_ITEM_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].wParam, 1u);  // the position
}

TEST_F(OspreyEngine, RetransmissionsDoNotEndADownloadEarly) {
    const std::string body = bodyBytes(0, 3000);
    Conversation c = download(40010, "/r.flv", "video/x-flv", 3000, body.substr(0, 1000));
    FrameSpec again = c.server;
    serverSends(c, body.substr(1000, 1000));
    feed(again, body.substr(1000, 1000));  // the same segment twice more
    feed(again, body.substr(1000, 1000));
    EXPECT_TRUE(item(1).is(kStateRecording)) << "3000 bytes were stored, but not 3000 of the body";
    EXPECT_EQ(engine_->recordedSize(101), 2000);
    EXPECT_EQ(engine_->totalSize(101), 3000);
    EXPECT_DOUBLE_EQ(engine_->recordPercent(101), 66.7);
    serverSends(c, body.substr(2000));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "r.flv"), body));
}

TEST_F(OspreyEngine, SegmentsThatOvertookTheHeaderAreKept) {
    const std::string body = bodyBytes(0, 4000);
    Conversation c = conversation(40011);
    clientSends(c, getRequest("/late.flv", "example.com"));
    const std::string header = responseHeader("video/x-flv", 4000);
    FrameSpec headerFrame = c.server;
    FrameSpec later = c.server;
    later.seq = c.server.seq + static_cast<std::uint32_t>(header.size()) + 1000;
    feed(later, body.substr(1000, 1500));
    later.seq += 1500;
    feed(later, body.substr(2500, 1500));
    feed(headerFrame, header + body.substr(0, 1000));  // sent again after it was lost
    EXPECT_FALSE(item(1).is(kStateRecording));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "late.flv"), body));
}

TEST_F(OspreyEngine, HeaderSplitOverTwoSegments) {
    const std::string body = bodyBytes(0, 2000);
    Conversation c = conversation(40012);
    clientSends(c, getRequest("/split.flv", "example.com"));
    const std::string header = "HTTP/1.1 200 OK\r\nContent-Length: 2000\r\nContent-Type: video/x-flv\r\n\r\n";
    // The empty line itself is split: "\r" | "\n\r\n".
    const std::size_t cut = header.size() - 3;
    serverSends(c, header.substr(0, cut));
    ASSERT_EQ(engine_->itemCount(), 1);
    EXPECT_EQ(item(1).headBodyLength, 0);
    serverSends(c, header.substr(cut) + body.substr(0, 1200));
    EXPECT_EQ(engine_->recordedSize(101), 1200);
    serverSends(c, body.substr(1200));
    EXPECT_FALSE(item(1).is(kStateRecording));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "split.flv"), body));
}

TEST_F(OspreyEngine, SameUrlOnTwoConnectionsMakesOneItem) {
    download(40013, "/twice.flv", "video/x-flv", 100);
    download(40014, "/twice.flv", "video/x-flv", 100);
    EXPECT_EQ(engine_->itemCount(), 1);
    EXPECT_EQ(window_.notices(OSPREY_NOTICE_ITEM).size(), 1u);
    EXPECT_EQ(window_.notices(OSPREY_NOTICE_RESPONSE).size(), 2u);
}

TEST_F(OspreyEngine, ARequestSentTwiceTakesOneEntry) {
    Conversation c = conversation(40015);
    FrameSpec first = c.client;
    const std::string get = getRequest("/dup.flv", "example.com");
    feed(first, get);
    feed(first, get);  // retransmitted
    clientSends(c, get);
    serverSends(c, responseHeader("video/x-flv", 50));
    // A second entry would have waited for ever, and answered the next
    // request on the connection.
    Conversation next = c;
    clientSends(next, getRequest("/second.flv", "example.com"));
    serverSends(next, responseHeader("video/x-flv", 50));
    ASSERT_EQ(engine_->itemCount(), 2);
    EXPECT_EQ(item(2).url.view(), "http://example.com/second.flv");
}

TEST_F(OspreyEngine, UrlNamesThePortUnlessTheHostDoes) {
    Conversation a = conversation(40016, 8080);
    clientSends(a, getRequest("/p.flv", "example.com"));
    serverSends(a, responseHeader("video/x-flv", 10));
    Conversation b = conversation(40017, 8081);
    clientSends(b, getRequest("/q.flv", "example.com:8081"));
    serverSends(b, responseHeader("video/x-flv", 10));
    ASSERT_EQ(engine_->itemCount(), 2);
    EXPECT_EQ(item(1).url.view(), "http://example.com:8080/p.flv");
    EXPECT_EQ(item(2).url.view(), "http://example.com:8081/q.flv");
}

TEST_F(OspreyEngine, ResponseWithoutRequestIsIgnored) {
    Conversation c = conversation(40018);
    serverSends(c, responseHeader("video/x-flv", 10));
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_EQ(engine_->itemCount(), 0);
}

TEST_F(OspreyEngine, FlagsChooseTheNotices) {
    struct Row {
        bool report, record;
        std::size_t responses, items;
    } rows[] = {{true, true, 1, 1}, {true, false, 1, 0}, {false, true, 0, 1}, {false, false, 0, 0}};
    std::uint16_t port = 41000;
    for (const auto& r : rows) {
        engine_->beginRun(window_.handle(), r.report, r.record, 0);
        window_.messages.clear();
        const std::string target = "/f" + std::to_string(port) + ".flv";
        download(port++, target, "video/x-flv", 10);
        EXPECT_EQ(window_.notices(OSPREY_NOTICE_RESPONSE).size(), r.responses) << r.report << r.record;
        EXPECT_EQ(window_.notices(OSPREY_NOTICE_ITEM).size(), r.items) << r.report << r.record;
    }
}

TEST_F(OspreyEngine, RtmpPlayIsAnnounced) {
    struct Row {
        bool report, record;
        std::vector<std::uintptr_t> notices;
    } rows[] = {{true, true, {111, 108}}, {true, false, {111}}, {false, true, {108}}, {false, false, {}}};
    std::uint16_t port = 42000;
    for (const auto& r : rows) {
        engine_->beginRun(window_.handle(), r.report, r.record, 0);
        window_.messages.clear();
        Conversation c = conversation(port++, 1935);
        clientSends(c, std::string(1536, 'r') + rtmpMessage(3, 20,
                                                            connectBody({"vod", "rtmp://media.example:1935/vod",
                                                                         "http://media.example/player.swf",
                                                                         "http://www.example/watch.html"})));
        clientSends(c, rtmpMessage(3, 20, amfString("createStream") + amfNumber(2) + "\x05"));
        clientSends(c, rtmpMessage(8, 20, playBody("mp4:movies/trailer.mp4")));
        std::vector<std::uintptr_t> got;
        for (const auto& m : window_.messages) {
            ASSERT_EQ(m.msg, OSPREY_WM_COPYDATA);
            got.push_back(m.dwData);
            EXPECT_EQ(m.wParam, 108u);
            ASSERT_EQ(m.data.size(), 2816u);
            EXPECT_EQ(m.le32(0), 1935u);
            EXPECT_EQ(m.le32(8), 0u);
            EXPECT_EQ(m.field(16, 500), "rtmp://media.example:1935/vod");
            EXPECT_EQ(m.field(516, 200), "vod");
            EXPECT_EQ(m.field(716, 500), "mp4:movies/trailer.mp4");
            EXPECT_EQ(m.field(1216, 1000), "http://media.example/player.swf");
            EXPECT_EQ(m.field(2216, 500), "http://www.example/watch.html");
        }
        EXPECT_EQ(got, r.notices);
    }
}

TEST_F(OspreyEngine, RtmpConnectWhoseHeaderCameAlone) {
    Conversation c = conversation(42100, 1935);
    const std::string connect = rtmpMessage(3, 20, connectBody({"live", "rtmp://h:1935/live", "", ""}));
    clientSends(c, connect.substr(0, 12));
    clientSends(c, connect.substr(12));
    clientSends(c, rtmpMessage(8, 20, playBody("stream")));
    const auto n = window_.notices(OSPREY_NOTICE_RTMP_RECORD);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].field(516, 200), "live");
    EXPECT_EQ(n[0].field(716, 500), "stream");
}

TEST_F(OspreyEngine, RtmpConnectSentChunkByChunk) {
    // One segment per chunk, as a player that writes every chunk on its own
    // sends it: the stored connect is completed from the next segments.
    const ConnectProps p{"vod", "rtmp://127.0.0.1:1935/vod", "http://player.example/flash/player.swf?v=2",
                         "http://www.example/watch?v=7&list=" + std::string(120, 'x')};
    const std::string connect = rtmpMessage(3, 20, connectBody(p));
    ASSERT_GT(connect.size(), 140u + 129u);  // three segments at least
    Conversation c = conversation(42300, 1935);
    clientSends(c, std::string(1536, 'r') + connect.substr(0, 140));
    FrameSpec resent = c.client;
    for (std::size_t at = 140; at < connect.size(); at += 129) {
        clientSends(c, connect.substr(at, 129));
        if (at == 140) feed(resent, connect.substr(at, 129));  // a copy sent again adds nothing
    }
    clientSends(c, rtmpMessage(8, 20, playBody("clip")));
    const auto n = window_.notices(OSPREY_NOTICE_RTMP_RECORD);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].field(16, 500), p.tcUrl);
    EXPECT_EQ(n[0].field(516, 200), p.app);
    EXPECT_EQ(n[0].field(716, 500), "clip");
    EXPECT_EQ(n[0].field(1216, 1000), p.swfUrl);
    EXPECT_EQ(n[0].field(2216, 500), p.pageUrl);
}

TEST_F(OspreyEngine, RtmpPlayWithoutConnectIsIgnored) {
    Conversation c = conversation(42200, 1935);
    clientSends(c, rtmpMessage(8, 20, playBody("x")));
    EXPECT_TRUE(window_.messages.empty());
    // Nor does a play on another connection take a stored connect.
    Conversation d = conversation(42201, 1935);
    clientSends(d, rtmpMessage(3, 20, connectBody({"a", "t", "", ""})));
    clientSends(c, rtmpMessage(8, 20, playBody("x")));
    EXPECT_TRUE(window_.messages.empty());
}

TEST_F(OspreyEngine, RtmpConnectionTableHoldsFiveHundred) {
    for (std::uint16_t i = 0; i < 501; ++i) {
        Conversation c = conversation(static_cast<std::uint16_t>(43000 + i), 1935);
        clientSends(c, rtmpMessage(3, 20, connectBody({"app" + std::to_string(i), "t", "", ""})));
    }
    Conversation last = conversation(43500, 1935);
    last.client.seq += 1000;
    clientSends(last, rtmpMessage(8, 20, playBody("s")));
    EXPECT_TRUE(window_.notices(OSPREY_NOTICE_RTMP_RECORD).empty()) << "the 501st connect found room";
    // A connection that closes gives its entry back.
    Conversation first = conversation(43000, 1935);
    FrameSpec fin = first.client;
    fin.flags = 0x11;
    feed(fin, "");
    Conversation again = conversation(43600, 1935);
    clientSends(again, rtmpMessage(3, 20, connectBody({"fresh", "t", "", ""})));
    clientSends(again, rtmpMessage(8, 20, playBody("s")));
    const auto n = window_.notices(OSPREY_NOTICE_RTMP_RECORD);
    ASSERT_EQ(n.size(), 1u);
    EXPECT_EQ(n[0].field(516, 200), "fresh");
}

TEST_F(OspreyEngine, RequestTableHoldsTwoHundred) {
    for (std::uint16_t i = 0; i < 201; ++i) {
        Conversation c = conversation(static_cast<std::uint16_t>(44000 + i));
        clientSends(c, getRequest("/r" + std::to_string(i) + ".flv", "example.com"));
    }
    Conversation extra = conversation(44200);
    extra.client.seq += static_cast<std::uint32_t>(getRequest("/r200.flv", "example.com").size());
    extra.server.ack = extra.client.seq;
    serverSends(extra, responseHeader("video/x-flv", 10));
    EXPECT_TRUE(window_.messages.empty()) << "the 201st request found room";
    // A server that closes without answering gives the entry back.
    Conversation first = conversation(44000);
    serverSends(first, "", 0x11);
    Conversation fresh = conversation(44300);
    clientSends(fresh, getRequest("/fresh.flv", "example.com"));
    serverSends(fresh, responseHeader("video/x-flv", 10));
    ASSERT_EQ(engine_->itemCount(), 1);
    EXPECT_EQ(item(1).url.view(), "http://example.com/fresh.flv");
}

TEST_F(OspreyEngine, StreamingRequestsAreAnnouncedWhateverTheFlags) {
    engine_->beginRun(window_.handle(), false, false, 0);
    Conversation rtsp = conversation(45000, 554);
    clientSends(rtsp, "DESCRIBE rtsp://cam.example/live.sdp RTSP/1.0\r\nCSeq: 2\r\n\r\n");
    std::string mms(56, '\0');
    mms.replace(12, 3, "MMS");
    mms[36] = 5;
    mms[38] = 3;
    for (char ch : std::string("clip.wmv")) mms += std::string{ch, '\0'};
    mms += std::string(2, '\0');
    Conversation a = conversation(45001, 1755);
    clientSends(a, mms);
    Conversation b = conversation(45002, 8080);
    clientSends(b, mms);
    const auto urls = window_.notices(OSPREY_NOTICE_URL);
    ASSERT_EQ(urls.size(), 3u);
    EXPECT_EQ(urls[0].text(), "rtsp://cam.example/live.sdp");
    EXPECT_EQ(urls[1].text(), "mms://10.0.0.9/clip.wmv");
    EXPECT_EQ(urls[2].text(), "mms://10.0.0.9:8080/clip.wmv");
    for (const auto& u : urls) EXPECT_EQ(u.wParam, 109u);
}

TEST_F(OspreyEngine, TimestampOptionsAndLongSegments) {
    // TCP timestamps: 32-byte TCP headers; segments of 64 KiB from
    // segmentation offload: stored as entries of at most 9999 bytes.
    const std::string body = bodyBytes(0, 60000);
    Conversation c = conversation(40020);
    c.client.tcpOptions = 12;
    c.server.tcpOptions = 12;
    clientSends(c, getRequest("/big.flv", "example.com"));
    serverSends(c, responseHeader("video/x-flv", 60000) + body.substr(0, 100));
    serverSends(c, body.substr(100, 30000));
    engine_->endRun({});  // the files are closed: everything stored is in them
    const auto entries = indexOf(item(1).indexFileName.str());
    ASSERT_EQ(entries.size(), 5u);
    std::uint32_t expectedSeq = entries[0].sequence;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_LE(entries[i].length, 9999u);
        EXPECT_EQ(entries[i].ipLength, entries[i].length + 40);  // readers take IP length - 40
        EXPECT_EQ(entries[i].sequence, expectedSeq);
        expectedSeq += entries[i].length;
    }
    begin();
    serverSends(c, body.substr(30100));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "big.flv"), body));
}

TEST_F(OspreyEngine, SequenceNumbersAcrossTheWrap) {
    const std::string body = bodyBytes(0, 5000);
    Conversation c = conversation(40021, 80, 0xFFFFFF00u, 0xFFFFF000u);
    clientSends(c, getRequest("/wrap.flv", "example.com"));
    serverSends(c, responseHeader("video/x-flv", 5000) + body.substr(0, 1000));
    FrameSpec later = c.server;
    later.seq += 2000;
    feed(later, body.substr(3000));  // reordered across 2^32
    serverSends(c, body.substr(1000, 2000));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "wrap.flv"), body));
}

TEST_F(OspreyEngine, LocalNamesBecomeUniqueFileNames) {
    writeFile(saveDir() + "clip.flv", "older");
    download(40022, "/x/clip.flv", "video/x-flv", 3, "abc");
    finishWorker();
    EXPECT_EQ(readFile(saveDir() + "clip.flv"), "older");
    EXPECT_EQ(readFile(saveDir() + "clip(1).flv"), "abc");
    EXPECT_EQ(engine_->localName(101), "clip(1).flv");
    // A name without a point: a file without extension.
    Conversation c = conversation(40023);
    clientSends(c, getRequest("/", "example.com"));
    serverSends(c, responseHeader("video/mp4", 2) + "xy");
    finishWorker();
    EXPECT_EQ(readFile(saveDir() + "Media"), "xy");
    EXPECT_EQ(engine_->localName(102), "Media");
}

TEST_F(OspreyEngine, RecordingNumbersPassOverFilesLeftBehind) {
    writeFile(saveDir() + "Temp/1.gannet", "capture data of an earlier run");
    writeFile(saveDir() + "Temp/2.gannet.idx", "its index");
    writeFile(saveDir() + "3", "a file named like an output");
    download(40024, "/n.flv", "video/x-flv", 10, "0123");
    EXPECT_EQ(item(1).numberName.view(), "4");
    EXPECT_EQ(item(1).dataFileName.view(), "4.gannet");
    EXPECT_EQ(item(1).indexFileName.view(), "4.gannet.idx");
    EXPECT_EQ(readFile(saveDir() + "Temp/1.gannet"), "capture data of an earlier run");
    EXPECT_EQ(readFile(saveDir() + "3"), "a file named like an output");
}

TEST_F(OspreyEngine, CancelledItemTakesNothingMore) {
    Conversation c = download(40025, "/c.flv", "video/x-flv", 3000, bodyBytes(0, 1000));
    engine_->cancel(101);
    EXPECT_TRUE(item(1).is(kStateCancelled));
    serverSends(c, bodyBytes(1000, 2000));
    EXPECT_FALSE(item(1).filesOpen);  // closed where no frame is stored into them
    engine_->endRun({});
    finishWorker();
    EXPECT_TRUE(item(1).is(kStateCancelled));
    EXPECT_EQ(readFile(saveDir() + "Temp/" + item(1).dataFileName.str()).size(), 5u + 1000u);  // kept as it was
    EXPECT_FALSE(fs::exists(saveDir() + "c.flv"));
    EXPECT_TRUE(stateMessages().empty());
    engine_->cancel(999);  // unknown: nothing
}

TEST_F(OspreyEngine, CaptureEndClosesFilesAndALaterRunGoesOn) {
    const std::string body = bodyBytes(0, 3000);
    Conversation c = download(40026, "/long.flv", "video/x-flv", 3000, body.substr(0, 1000));
    serverSends(c, body.substr(1000, 1000));
    engine_->endRun({});
    EXPECT_TRUE(item(1).is(kStateRecording));  // with a length it waits for the rest
    EXPECT_FALSE(item(1).filesOpen);
    // Everything stored is in the file once the run ended.
    EXPECT_EQ(readFile(saveDir() + "Temp/" + item(1).dataFileName.str()).size(), 5u + 2000u);
    begin();
    serverSends(c, body.substr(2000));
    finishWorker();
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "long.flv"), body));
}

TEST_F(OspreyEngine, CaptureFileThatCannotBeMadeFailsTheItem) {
    fs::remove_all(saveDir() + "Temp");
    download(40027, "/nofolder.flv", "video/x-flv", 3000, bodyBytes(0, 1000));
    EXPECT_TRUE(item(1).is(kStateFailed));
    const auto failed = window_.of(OSPREY_WM_ITEM_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].wParam, 1u);
    EXPECT_FALSE(engine_->aborted());  // other downloads go on
}

// Without options the engine takes $HOME/Gannet/ at its first frame but
// makes no folder: a body that is to be stored fails its item.
TEST_F(EngineFixture, DefaultSaveFolderIsNotMade) {
    const char* oldHome = std::getenv("HOME");
    const std::string home = oldHome ? oldHome : "";
    ::setenv("HOME", (dir_ + "home").c_str(), 1);
    writeFile(dir_ + "sites", "example.com\n");
    engine_->readOptions((dir_ + "sites").c_str(), nullptr);  // the site list alone
    engine_->beginRun(window_.handle(), true, true, 0);
    EXPECT_EQ(engine_->saveFolder(), "");
    Conversation c = conversation(40040);
    clientSends(c, getRequest("/default.flv", "example.com"));
    EXPECT_EQ(engine_->saveFolder(), dir_ + "home/Gannet/");
    EXPECT_FALSE(fs::exists(dir_ + "home"));
    serverSends(c, responseHeader("video/x-flv", 10) + "0123");
    EXPECT_TRUE(item(1).is(kStateFailed));
    EXPECT_EQ(window_.of(OSPREY_WM_ITEM_FAILED).size(), 1u);
    EXPECT_FALSE(fs::exists(dir_ + "home"));
    if (oldHome) {
        ::setenv("HOME", home.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

TEST_F(OspreyEngine, MissingCaptureDataFailsTheConversionVisibly) {
    Conversation c = download(40028, "/gone.flv", "video/x-flv", -1, bodyBytes(0, 1000));
    fs::remove(saveDir() + "Temp/" + item(1).dataFileName.str());
    serverSends(c, "", 0x11);
    finishWorker();
    EXPECT_TRUE(item(1).is(kStateFailed));
    const auto failed = window_.of(OSPREY_WM_ITEM_FAILED);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].wParam, 1u);
    EXPECT_EQ(stateMessages(), (std::vector<std::pair<int, int>>{{101, 6}}));
}

TEST_F(OspreyEngine, WriteFailureFailsTheItemAndStopsCapture) {
    // A file size limit makes the capture data's writes fail (EFBIG).
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Conversation c = download(40029, "/full.flv", "video/x-flv", 100000, bodyBytes(0, 1000));
    for (int i = 0; i < 40 && item(1).is(kStateRecording); ++i) serverSends(c, bodyBytes(0, 1400));
    engine_->endRun({});
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(item(1).is(kStateFailed));
    EXPECT_EQ(window_.of(OSPREY_WM_ITEM_FAILED).size(), 1u);
    EXPECT_TRUE(engine_->aborted());
}

TEST_F(OspreyEngine, RecordTableHoldsAThousand) {
    for (int i = 0; i < 1001; ++i) {
        Conversation c = conversation(static_cast<std::uint16_t>(20000 + i));
        clientSends(c, getRequest("/m" + std::to_string(i) + ".flv", "elsewhere.org"));
        serverSends(c, responseHeader("video/x-flv", 10));
    }
    EXPECT_EQ(engine_->itemCount(), 1000);
    EXPECT_EQ(window_.notices(OSPREY_NOTICE_ITEM).size(), 1000u);
    EXPECT_EQ(window_.notices(OSPREY_NOTICE_RESPONSE).size(), 1001u);
    EXPECT_FALSE(engine_->needsDownload("/clip.flv", ""));
    EXPECT_EQ(item(1000).id, 1100);
    EXPECT_EQ(item(1000).position, 1000);
}

TEST_F(OspreyEngine, QueriesOfUnknownIds) {
    EXPECT_EQ(engine_->recordedSize(12345), 0);
    EXPECT_EQ(engine_->totalSize(12345), 0);
    EXPECT_EQ(engine_->recordPercent(12345), 0.0);
    EXPECT_EQ(engine_->localName(12345), "");
}

TEST_F(OspreyEngine, PercentRoundsToOneDecimal) {
    Conversation c = download(40030, "/p.flv", "video/x-flv", 3, "a");
    EXPECT_DOUBLE_EQ(engine_->recordPercent(101), 33.3);
    serverSends(c, "b");
    EXPECT_DOUBLE_EQ(engine_->recordPercent(101), 66.7);
    download(40031, "/z.flv", "video/x-flv", 0);
    EXPECT_EQ(engine_->recordPercent(102), 0.0);  // a total of 0
}

TEST_F(OspreyEngine, FramesThatAreNoTcpAreIgnored) {
    std::vector<std::uint8_t> frame = buildFrame(FrameSpec{}, getRequest("/x.flv", "example.com"));
    frame[23] = 17;  // UDP
    engine_->processFrame(frame);
    engine_->processFrame(std::vector<std::uint8_t>(54, 0));
    engine_->processFrame({});
    std::vector<std::uint8_t> cut = buildFrame(FrameSpec{}, "GET /x.flv HTTP/1.1\r\n");
    cut.resize(40);  // headers that do not fit
    engine_->processFrame(cut);
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_FALSE(engine_->aborted());
}
