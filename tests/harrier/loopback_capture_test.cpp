// The live capture on the loopback adapter (needs the right to capture:
// root; the tests skip otherwise): a second start, halting, and a stream
// sent in segments of up to 64 KiB (as Linux hands loopback traffic to the
// capture) recorded without a byte lost or a frame cut.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "harrier/recorder.h"
#include "harrier_test_support.h"
#include "merlin/stream_record.h"

namespace kestrel::harrier {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using test::Report;
using test::TempFolder;
using test::TestHost;
using Clock = std::chrono::steady_clock;

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "capturing on the loopback adapter needs root";
        recorder->setWindow(host.handle());
        ASSERT_EQ(recorder->startup(dir.path.c_str(), "lo", 0, 2, "127.0.0.1", 9), HARRIER_STARTED);
        host.pumpFor(200ms);
        if (host.count(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_FAILED) > 0)
            GTEST_SKIP() << "the loopback adapter cannot be captured here: " << recorder->lastError();
    }
    void TearDown() override {
        host.close();
        recorder.reset();
    }
    TempFolder dir;
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>();
    TestHost host{[this](const HarrierItemReport* r, HarrierItemReport* c) { recorder->copyReport(r, c); },
                  [this] { return recorder->lastError(); }};
};

TEST_F(Loopback, ASecondStartOnlyTakesTheCapacityAndHaltEmptiesTheWaitingList) {
    EXPECT_EQ(recorder->startup(dir.path.c_str(), "lo", 0, 2, "N/A", 0), HARRIER_ALREADY_RUNNING);
    EXPECT_EQ(recorder->capacity(), 0);
    EXPECT_EQ(recorder->getFlvOverHttp("http://127.0.0.1:9/a.flv", 1), HARRIER_URL_QUEUED);
    EXPECT_EQ(recorder->waitingCount(), 1u);
    EXPECT_TRUE(recorder->captureRunning());
    // An idle adapter: the halt is seen within the read time-out.
    const auto start = Clock::now();
    EXPECT_EQ(recorder->halt(), 1);
    EXPECT_LT(Clock::now() - start, 2500ms);
    EXPECT_FALSE(recorder->captureRunning());
    EXPECT_EQ(recorder->waitingCount(), 0u);
    const auto stats = recorder->captureStats();
    EXPECT_EQ(stats.kernelKnown, 1);
    // Started again after a halt.
    EXPECT_EQ(recorder->startup(dir.path.c_str(), "lo", 0, 2, "N/A", 9), HARRIER_STARTED);
    EXPECT_TRUE(recorder->captureRunning());
    EXPECT_EQ(recorder->halt(), 1);
    host.pumpFor(100ms);
    EXPECT_EQ(host.count(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_FAILED), 0u);
}

// The server writes its stream in large blocks: the kernel hands them to
// the capture as segments of up to 64 KiB, frames longer than 65,536 bytes.
TEST_F(Loopback, LargeSegmentsAreRecordedWhole) {
    std::string stream = "\x14\x00\x00\x00onStatus\x02\x00\x14NetStream.Play.Start"s + std::string(100, ' ');
    std::uint32_t x = 7;
    while (stream.size() < 6 * 1024 * 1024) {
        x = x * 1664525u + 1013904223u;
        stream.push_back(static_cast<char>('A' + (x >> 26)));
    }
    stream += "\x14onStatus\x02\x00\x13NetStream.Play.Stop"s;

    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        for (std::size_t at = 0; at < stream.size();) {
            const ssize_t n = ::send(fd, stream.data() + at, std::min<std::size_t>(256 * 1024, stream.size() - at), 0);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    std::size_t received = 0;
    std::thread client([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            char buf[65536];
            for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) received += static_cast<std::size_t>(n);
        }
        ::close(fd);
    });
    server.join();
    client.join();
    ::close(listener);
    ASSERT_EQ(received, stream.size());

    const auto started = host.waitReport(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_STARTED);
    ASSERT_TRUE(started);
    const auto ended = host.waitReport(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_ENDED, started->block.index, 60s);
    ASSERT_TRUE(ended);
    recorder->halt();
    const auto stats = recorder->captureStats();
    EXPECT_EQ(stats.cutFrames, 0u);
    std::printf("[ harrier ] loopback: %llu packets received by the filter, %llu dropped by the kernel\n",
                static_cast<unsigned long long>(stats.received), static_cast<unsigned long long>(stats.dropped));

    merlin::StreamRecordReader reader;
    ASSERT_TRUE(reader.open(ended->block.fileName));
    std::vector<std::uint8_t> payload(merlin::kMaxRecordPayload);
    merlin::StreamRecord record;
    std::string data;
    std::size_t gaps = 0, largest = 0;
    while (reader.next(record, payload) == merlin::RecordStatus::Record) {
        if (record.flags & 0x20) ++gaps;
        largest = std::max<std::size_t>(largest, record.length);
        data.append(payload.begin(), payload.begin() + record.length);
    }
    std::printf("[ harrier ] loopback: largest segment recorded %zu bytes\n", largest);
    if (stats.dropped > 0) GTEST_SKIP() << "the kernel dropped packets: the machine is too busy for this test";
    EXPECT_EQ(gaps, 0u);
    EXPECT_EQ(data.size(), stream.size());
    EXPECT_TRUE(data == stream) << "the recorded stream differs from the one sent";
}

}  // namespace
}  // namespace kestrel::harrier
