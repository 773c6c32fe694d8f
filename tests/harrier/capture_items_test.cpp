// Capture items made from frames handed to the recorder's dispatch, as the
// capture thread hands them: streams that start and stop, the places and
// the waiting list, ending and deleting, lost packets, the idle end, FLV
// requests seen on the network, RTMP tunnelled over HTTP.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harrier/capture_item.h"
#include "harrier/recorder.h"
#include "harrier_test_support.h"
#include "merlin/stream_record.h"
#include "tests/support/frame_builder.h"

namespace kestrel::harrier {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::HttpTestServer;
using test::Report;
using test::responseHead;
using test::Route;
using test::TempFolder;
using test::TestHost;

constexpr std::uint32_t C = HARRIER_MSG_CAPTURE;
constexpr std::uint32_t D = HARRIER_MSG_DOWNLOAD;

const std::string kPlayStart = "\x02\x00\x14NetStream.Play.Start"s;
const std::string kPlayStop = "\x02\x00\x13NetStream.Play.Stop"s;

// The server-to-client bytes of one connection, and frames that carry them.
class Connection {
public:
    Connection(std::uint16_t clientPort, std::uint32_t sequenceBase, std::size_t size = 60000)
        : clientPort_(clientPort), base_(sequenceBase) {
        bytes_ = "\x14\x00\x00\x00\x00onStatus"s + kPlayStart + std::string(40, 'p');
        std::uint32_t x = clientPort;
        while (bytes_.size() < size) {
            x = x * 1664525u + 1013904223u;
            bytes_.push_back(static_cast<char>('a' + (x >> 24) % 26));
        }
        stopAt_ = bytes_.size();
        bytes_ += "\x14onStatus"s + kPlayStop + std::string(20, 's');
    }
    // A server-to-client frame of bytes [offset, offset + length).
    std::vector<std::uint8_t> frame(std::size_t offset, std::size_t length) const {
        kestrel::test::FrameSpec s;
        s.src[3] = 1;
        s.dst[3] = 2;
        s.sport = 1935;
        s.dport = clientPort_;
        s.seq = base_ + static_cast<std::uint32_t>(offset);
        s.tcpOptions = 12;  // timestamps, as Linux sends them
        return kestrel::test::buildFrame(s, std::string_view(bytes_).substr(offset, length));
    }
    // A client-to-server frame.
    std::vector<std::uint8_t> request(const std::string& payload, std::uint16_t serverPort = 1935) const {
        kestrel::test::FrameSpec s;
        s.src[3] = 2;
        s.dst[3] = 1;
        s.sport = clientPort_;
        s.dport = serverPort;
        return kestrel::test::buildFrame(s, payload);
    }
    const std::string& bytes() const { return bytes_; }
    std::size_t stopAt() const { return stopAt_; }  // where the play-stop record starts
    std::size_t size() const { return bytes_.size(); }

private:
    std::uint16_t clientPort_;
    std::uint32_t base_;
    std::string bytes_;
    std::size_t stopAt_ = 0;
};

struct RecordRead {
    std::vector<std::uint8_t> flags;
    std::string data;  // every record's data, joined
};

RecordRead readRecords(const std::string& path) {
    RecordRead out;
    merlin::StreamRecordReader reader;
    if (!reader.open(path.c_str())) return out;
    std::vector<std::uint8_t> payload(merlin::kMaxRecordPayload);
    merlin::StreamRecord record;
    while (reader.next(record, payload) == merlin::RecordStatus::Record) {
        out.flags.push_back(record.flags);
        out.data.append(payload.begin(), payload.begin() + record.length);
    }
    return out;
}

class CaptureItems : public ::testing::Test {
protected:
    explicit CaptureItems(RecorderTiming timing = {}) : recorder(std::make_unique<Recorder>(timing)) {}
    void SetUp() override {
        recorder->setWindow(host.handle());
        recorder->setCapacity(9);
        ASSERT_TRUE(recorder->setOutputFolder(dir.path));
    }
    void TearDown() override {
        host.close();
        server.release();
        recorder.reset();
    }
    void dispatch(const std::vector<std::uint8_t>& frame) { recorder->dispatchFrame(frame); }
    // Sends every byte from offset on, in segments of size bytes.
    void dispatchFrom(const Connection& c, std::size_t offset, std::size_t segment, std::size_t end = 0) {
        if (end == 0) end = c.size();
        for (std::size_t at = offset; at < end; at += segment) dispatch(c.frame(at, std::min(segment, end - at)));
    }

    TempFolder dir;
    HttpTestServer server;
    std::unique_ptr<Recorder> recorder;
    TestHost host{[this](const HarrierItemReport* r, HarrierItemReport* c) { recorder->copyReport(r, c); },
                  [this] { return recorder->lastError(); }};
};

class IdleCaptureItems : public CaptureItems {
protected:
    IdleCaptureItems() : CaptureItems(RecorderTiming{300ms}) {}
};

TEST_F(CaptureItems, APlayStartMakesAnItemThatThePlayStopEnds) {
    for (std::uint32_t base : {5000u, 0xFFFFFFFFu - 30000u}) {
        const Connection c(50000 + static_cast<std::uint16_t>(base % 7), base);
        dispatch(c.request("\x03play\x00stream"s));  // the client's side is not recorded
        dispatchFrom(c, 0, 1460);
        const auto started = host.waitReport(C, HARRIER_CAPTURE_STARTED);
        ASSERT_TRUE(started);
        const std::string record = started->block.fileName;
        EXPECT_EQ(record, dir.file(base == 5000u ? "flash.@@@" : "flash[1].@@@"));
        const auto ended = host.waitReport(C, HARRIER_CAPTURE_ENDED, started->block.index);
        ASSERT_TRUE(ended);
        const RecordRead r = readRecords(record);
        // Everything up to the segment with the stop status.
        const std::size_t stopSegmentEnd = std::min(c.size(), (c.stopAt() / 1460 + 1) * 1460);
        EXPECT_EQ(r.data, c.bytes().substr(0, stopSegmentEnd)) << base;
        EXPECT_EQ(std::count(r.flags.begin(), r.flags.end(), 0x20), 0);
        EXPECT_EQ(ended->block.bytes, stopSegmentEnd);
        EXPECT_EQ(ended->block.gapRecords, 0u);
        // The place is free once the end report has been handled.
        EXPECT_TRUE(host.waitFor([&](const auto&) { return recorder->captureCount() == 0; }));
    }
}

TEST_F(CaptureItems, ReorderedAndRepeatedSegmentsAreWrittenOnce) {
    const Connection c(50010, 77777);
    std::vector<std::pair<std::size_t, std::size_t>> order;
    for (std::size_t at = 0; at < c.size(); at += 1000) order.emplace_back(at, std::min<std::size_t>(1000, c.size() - at));
    // Swap neighbours, repeat some, send a coalesced copy of two.
    for (std::size_t i = 2; i + 1 < order.size(); i += 5) std::swap(order[i], order[i + 1]);
    std::vector<std::pair<std::size_t, std::size_t>> sent;
    for (std::size_t i = 0; i < order.size(); ++i) {
        sent.push_back(order[i]);
        if (i % 7 == 3) sent.push_back(order[i]);
        if (i % 11 == 5 && order[i].first + 2000 <= c.size()) sent.emplace_back(order[i].first, 2000);
    }
    for (const auto& [at, n] : sent) dispatch(c.frame(at, n));
    const auto started = host.waitReport(C, HARRIER_CAPTURE_STARTED);
    ASSERT_TRUE(started);
    ASSERT_TRUE(host.waitReport(C, HARRIER_CAPTURE_ENDED));
    const RecordRead r = readRecords(started->block.fileName);
    EXPECT_EQ(r.data.substr(0, c.stopAt()), c.bytes().substr(0, c.stopAt()));
    EXPECT_EQ(std::count(r.flags.begin(), r.flags.end(), 0x20), 0);
}

TEST_F(CaptureItems, APlayStartWhileAUrlWaitsStartsNothing) {
    recorder->setCapacity(1);
    server.route("/held.flv", Route{responseHead("200 OK"), test::flvBody(5000), 13});
    ASSERT_EQ(recorder->getFlvOverHttp(server.url("/held.flv").c_str(), 1), HARRIER_URL_STARTED);
    ASSERT_EQ(recorder->getFlvOverHttp(server.url("/waits.flv").c_str(), 1), HARRIER_URL_QUEUED);
    const Connection c(50020, 1000);
    dispatch(c.frame(0, 1460));
    const auto refused = host.waitReport(C, HARRIER_NO_FREE_PLACE);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->lParam, 1);
    EXPECT_EQ(host.count(C, HARRIER_CAPTURE_STARTED), 0u);
    EXPECT_EQ(recorder->captureCount(), 0);
    EXPECT_FALSE(test::fileExists(dir.file("flash.@@@")));
    // Without the waiting URL the same stream gets its item.
    recorder->deleteWaiting(server.url("/waits.flv").c_str());
    dispatch(c.frame(0, 1460));
    EXPECT_TRUE(host.waitReport(C, HARRIER_CAPTURE_STARTED));
}

TEST_F(CaptureItems, AStreamWithoutAFreePlaceIsRefused) {
    recorder->setCapacity(1);
    const Connection a(50030, 1000), b(50031, 9000);
    dispatch(a.frame(0, 1460));
    ASSERT_TRUE(host.waitReport(C, HARRIER_CAPTURE_STARTED));
    dispatch(b.frame(0, 1460));
    const auto refused = host.waitReport(C, HARRIER_NO_FREE_PLACE);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->lParam, 1);
    EXPECT_EQ(recorder->captureCount(), 1);
    // Segments of the refused stream do not reach the other item.
    dispatchFrom(b, 1460, 1460);
    dispatchFrom(a, 1460, 1460);
    const auto ended = host.waitReport(C, HARRIER_CAPTURE_ENDED);
    ASSERT_TRUE(ended);
    EXPECT_EQ(readRecords(ended->block.fileName).data.substr(0, a.stopAt()), a.bytes().substr(0, a.stopAt()));
    // With no places at all, nothing starts.
    recorder->setCapacity(0);
    dispatch(b.frame(0, 1460));
    EXPECT_TRUE(host.waitReport(C, HARRIER_NO_FREE_PLACE));
}

TEST_F(CaptureItems, EndRecordWritesEverythingCapturedAndDeleteRecordRemovesTheFile) {
    const Connection keep(50040, 1000, 400000), drop(50041, 2000, 400000);
    // Everything but the stop status, and one hole near the end.
    const std::size_t hole = 300000;
    dispatchFrom(keep, 0, 1460, hole);
    dispatchFrom(keep, hole + 1460, 1460, keep.stopAt());
    dispatchFrom(drop, 0, 1460, drop.stopAt());
    ASSERT_TRUE(host.waitFor([](const auto& rs) {
        return std::count_if(rs.begin(), rs.end(), [](const Report& r) { return r.wParam == HARRIER_CAPTURE_STARTED; }) == 2;
    }));
    std::map<std::string, Report> started;
    for (const auto& r : host.reports())
        if (r.wParam == HARRIER_CAPTURE_STARTED) started[r.block.fileName] = r;
    const Report& keepItem = started.at(dir.file("flash.@@@"));
    const Report& dropItem = started.at(dir.file("flash[1].@@@"));
    // Ended at once, with segments maybe still queued.
    EXPECT_EQ(recorder->endRecord(0, keepItem.block.index, false), 1);
    EXPECT_EQ(recorder->endRecord(0, dropItem.block.index, true), 1);
    const auto ended = host.waitReport(C, HARRIER_CAPTURE_ENDED, keepItem.block.index);
    ASSERT_TRUE(ended);
    const auto deleted = host.waitReport(C, HARRIER_CAPTURE_DELETED, dropItem.block.index);
    ASSERT_TRUE(deleted);
    const RecordRead r = readRecords(dir.file("flash.@@@"));
    const std::size_t resume = hole + 1460;
    EXPECT_EQ(r.data, keep.bytes().substr(0, hole) + keep.bytes().substr(resume, keep.stopAt() - resume));
    EXPECT_EQ(std::count(r.flags.begin(), r.flags.end(), 0x20), 1);
    EXPECT_EQ(ended->block.gapRecords, 1u);
    EXPECT_FALSE(test::fileExists(dir.file("flash[1].@@@")));
    EXPECT_TRUE(host.waitFor([&](const auto&) { return recorder->captureCount() == 0; }));
    // Places without an item: nothing happens.
    EXPECT_EQ(recorder->endRecord(0, 3, true), 1);
    EXPECT_EQ(recorder->endRecord(0, 42, false), 1);
}

// An item ended while segments still wait in its queue writes them too:
// the segments are queued before its thread runs, and the end comes first.
TEST_F(CaptureItems, AnEndedItemWritesWhatWasStillQueued) {
    const Connection c(50045, 3000, 200000);
    for (bool deleteFile : {false, true}) {
        CaptureItem item;
        item.report.index = 4;
        const std::string path = dir.file(deleteFile ? "deleted.@@@" : "kept.@@@");
        std::snprintf(item.report.fileName, sizeof item.report.fileName, "%s", path.c_str());
        CaptureItemThread thread(*recorder, item);
        for (std::size_t at = 0; at < c.stopAt(); at += 1460) {
            const auto frame = c.frame(at, std::min<std::size_t>(1460, c.stopAt() - at));
            // The payload of the frame: after 14 + 20 + 32 bytes of headers.
            thread.queue(3000 + static_cast<std::uint32_t>(at), std::span(frame).subspan(66));
        }
        thread.requestEnd(deleteFile);
        thread.start();
        const auto ended = host.waitReport(C, deleteFile ? HARRIER_CAPTURE_DELETED : HARRIER_CAPTURE_ENDED, 4);
        ASSERT_TRUE(ended);
        thread.join();
        if (deleteFile) {
            EXPECT_FALSE(test::fileExists(path));
        } else {
            EXPECT_EQ(readRecords(path).data, c.bytes().substr(0, c.stopAt()));
            EXPECT_EQ(ended->block.bytes, c.stopAt());
        }
    }
}

TEST_F(CaptureItems, AHoleInTheFirstBytesEndsTheItemWithPacketsLoss) {
    const Connection c(50050, 1000, 400000);
    dispatch(c.frame(0, 1000));
    // A hole right after the first segment; 100 segments wait behind it.
    dispatchFrom(c, 2000, 1000, 2000 + 100 * 1000);
    const auto lost = host.waitReport(C, HARRIER_CAPTURE_LOST);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->lastError, "Packets loss!");
    EXPECT_TRUE(host.waitFor([&](const auto&) { return recorder->captureCount() == 0; }));
}

TEST_F(CaptureItems, AHoleAfterACleanStartIsAGapRecord) {
    const Connection c(50060, 1000, 400000);
    dispatchFrom(c, 0, 1000, 5000);
    // A hole of 1000 bytes that no segment fills; 100 segments after it.
    dispatchFrom(c, 6000, 1000, c.size());
    const auto ended = host.waitReport(C, HARRIER_CAPTURE_ENDED);
    ASSERT_TRUE(ended);
    EXPECT_EQ(host.count(C, HARRIER_CAPTURE_LOST), 0u);
    const RecordRead r = readRecords(ended->block.fileName);
    EXPECT_EQ(r.data.substr(0, 5000), c.bytes().substr(0, 5000));
    EXPECT_EQ(r.data.substr(5000, 1000), c.bytes().substr(6000, 1000));
    EXPECT_EQ(std::count(r.flags.begin(), r.flags.end(), 0x20), 1);
    EXPECT_EQ(ended->block.gapRecords, 1u);
}

TEST_F(IdleCaptureItems, AnItemWithoutPacketsForTheIdleTimeEnds) {
    const Connection c(50070, 1000);
    dispatchFrom(c, 0, 1460, 14600);
    dispatch(c.frame(20000, 1460));  // after a hole: written with the gap flag at the end
    const auto start = std::chrono::steady_clock::now();
    const auto ended = host.waitReport(C, HARRIER_CAPTURE_ENDED);
    ASSERT_TRUE(ended);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    const RecordRead r = readRecords(ended->block.fileName);
    EXPECT_EQ(r.data, c.bytes().substr(0, 14600) + c.bytes().substr(20000, 1460));
    EXPECT_EQ(r.flags.back(), 0x20);
}

TEST_F(CaptureItems, RtmpOverHttpIsWrittenWithoutItsHttpHeaders) {
    // Each response: an HTTP header, one byte, then RTMP bytes.
    const std::string rtmp = "\x14\x00\x00\x00onStatus"s + kPlayStart + std::string(3000, 'r');
    const std::string more(1500, 'm');
    const std::string stop = "\x14onStatus"s + kPlayStop;
    auto response = [](const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Type: application/x-fcs\r\nContent-Length: " +
               std::to_string(body.size() + 1) + "\r\n\r\n\x01" + body;
    };
    std::string wire = response(rtmp);
    const std::size_t second = wire.size();
    wire += response(more);
    const std::size_t third = wire.size();
    wire += response(stop);
    auto frame = [&](std::size_t from, std::size_t to) {
        kestrel::test::FrameSpec s;
        s.sport = 80;
        s.dport = 50080;
        s.seq = 4242 + static_cast<std::uint32_t>(from);
        return kestrel::test::buildFrame(s, std::string_view(wire).substr(from, to - from));
    };
    dispatch(frame(0, second));
    dispatch(frame(second, third));
    dispatch(frame(third, wire.size()));
    const auto ended = host.waitReport(C, HARRIER_CAPTURE_ENDED);
    ASSERT_TRUE(ended);
    EXPECT_EQ(readRecords(ended->block.fileName).data, rtmp + more + stop);
}

TEST_F(CaptureItems, RequestedFlvFilesAreFetchedAgain) {
    const std::string body = test::flvBody(70000);
    server.route("/live/clip.flv", Route{responseHead("200 OK"), body});
    server.route("/page.html", Route{responseHead("200 OK"), "<html/>"});
    const Connection c(50090, 1000);
    const std::string host80 = "127.0.0.1:" + std::to_string(server.port());
    dispatch(c.request("GET /page.html HTTP/1.1\r\nHost: " + host80 + "\r\n\r\n", 80));
    dispatch(c.request("GET /live/clip.flv HTTP/1.1\r\nHost: " + host80 + "\r\n\r\n", 8080));
    dispatch(c.request("GET /live/clip.flv HTTP/1.1\r\nHost: " + host80 + "\r\nAccept: */*\r\n\r\n", 80));
    const auto stored = host.waitReport(D, HARRIER_DOWNLOAD_STORED);
    ASSERT_TRUE(stored);
    EXPECT_EQ(std::string(stored->block.url), server.url("/live/clip.flv"));
    EXPECT_EQ(test::readWholeFile(dir.file("clip.flv")), body);
    EXPECT_EQ(server.requests().size(), 1u);
    // The video site's requests count once the site is set (its name as
    // the URL spells it, port included).
    EXPECT_TRUE(recorder->setVideoHost(host80.c_str()));
    server.route("/get_video?video_id=abc", Route{responseHead("200 OK"), body});
    dispatch(c.request("GET /get_video?video_id=abc HTTP/1.1\r\nHost: " + host80 + "\r\n\r\n", 80));
    const auto site = host.waitReport(D, HARRIER_DOWNLOAD_STORED);
    ASSERT_TRUE(site);
    EXPECT_EQ(std::string(site->block.fileName), dir.file("flash.flv"));
    EXPECT_FALSE(recorder->setVideoHost(std::string(300, 'h').c_str()));
}

}  // namespace
}  // namespace kestrel::harrier
