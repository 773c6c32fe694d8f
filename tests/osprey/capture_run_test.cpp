// Whole capture runs through Engine::startRecord: the start key, sources
// that cannot be used, capture files replayed to their end, frames cut by
// the snapshot length, and a stop on an adapter without traffic.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <chrono>
#include <thread>

#include "tests/engine/test_pcap.h"
#include "tests/osprey/osprey_test_support.h"

using namespace kestrel::test;
using namespace kestrel::osprey;
namespace platform = kestrel::platform;

namespace {

class OspreyCaptureRun : public EngineFixture {
protected:
    void SetUp() override {
        EngineFixture::SetUp();
        options({"example.com"});
    }
    // A capture file of one download: GET, response header with the first
    // body bytes, the rest of the body in segments of 1000.
    std::string downloadCapture(const std::string& name, const std::string& body, std::vector<std::uint32_t> cut = {}) {
        PcapWriter pcap;
        Conversation c = conversation(40100);
        const std::string get = getRequest("/run.flv", "example.com");
        pcap.frames.push_back(buildFrame(c.client, get));
        c.client.seq += static_cast<std::uint32_t>(get.size());
        c.server.ack = c.client.seq;
        const std::string head = responseHeader("video/x-flv", static_cast<long long>(body.size())) + body.substr(0, 500);
        pcap.frames.push_back(buildFrame(c.server, head));
        c.server.seq += static_cast<std::uint32_t>(head.size());
        for (std::size_t at = 500; at < body.size(); at += 1000) {
            const std::string piece = body.substr(at, 1000);
            pcap.frames.push_back(buildFrame(c.server, piece));
            c.server.seq += static_cast<std::uint32_t>(piece.size());
        }
        pcap.wireLengths = std::move(cut);
        const std::string path = dir_ + name;
        EXPECT_TRUE(pcap.write(path));
        return path;
    }
    int run(const std::string& source, int key = OSPREY_START_KEY) {
        return engine_->startRecord(key, window_.handle(), source, 0, 1, 1, 500);
    }
};

}  // namespace

TEST_F(OspreyCaptureRun, WrongStartKeyDoesNothing) {
    const std::string pcap = "file://" + downloadCapture("a.pcap", bodyBytes(0, 1500));
    for (int key : {0, -1, 531803, 531805, 5318040, -531804}) {
        EXPECT_EQ(run(pcap, key), 0) << key;
        window_.pump();
        EXPECT_TRUE(window_.messages.empty()) << key;
        EXPECT_EQ(engine_->itemCount(), 0) << key;
    }
    EXPECT_EQ(run(pcap), 0);
    window_.pump();
    EXPECT_EQ(engine_->itemCount(), 1);
}

TEST_F(OspreyCaptureRun, SourcesThatCannotBeUsed) {
    PcapWriter notEthernet;
    notEthernet.linkType = 12;  // raw IP
    notEthernet.frames.push_back(std::vector<std::uint8_t>(60, 0x45));
    ASSERT_TRUE(notEthernet.write(dir_ + "raw.pcap"));
    writeFile(dir_ + "garbage.pcap", "this is not a capture file");
    for (const std::string& source : {"file://" + dir_ + "missing.pcap", "file://" + dir_ + "raw.pcap",
                                     "file://" + dir_ + "garbage.pcap", std::string("no-such-adapter0"),
                                     std::string("")}) {
        EXPECT_EQ(run(source), -1) << source;
        window_.pump();
        EXPECT_TRUE(window_.of(OSPREY_WM_CAPTURE_ENDED).empty()) << source;
    }
}

TEST_F(OspreyCaptureRun, FileSourceEndsTheRun) {
    const std::string body = bodyBytes(0, 4500);
    EXPECT_EQ(run("file://" + downloadCapture("d.pcap", body)), 0);
    finishWorker();
    const auto ended = window_.of(OSPREY_WM_CAPTURE_ENDED);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].wParam, 0u);
    EXPECT_EQ(ended[0].lParam, 0);
    // The item ended inside the run: its message came before the end's (the
    // worker's may come before or after it).
    std::vector<std::pair<std::uint32_t, platform::LParam>> order;
    for (const auto& m : window_.messages)
        if (m.msg != OSPREY_WM_COPYDATA) order.emplace_back(m.msg, m.lParam);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], std::make_pair(std::uint32_t{OSPREY_WM_ITEM_STATE}, platform::LParam{6}));
    EXPECT_EQ(window_.of(OSPREY_WM_ITEM_STATE).back().lParam, 2);
    EXPECT_EQ(item(1).id, 501);
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "run.flv"), body));
    // No diagnostic about the capture: a file source has no kernel counts
    // and nothing was cut.
    for (const auto& d : window_.notices(OSPREY_NOTICE_DIAGNOSTIC)) EXPECT_EQ(d.text().find("capture ended"), std::string::npos);
}

TEST_F(OspreyCaptureRun, CutFramesAreNotStoredAsIfWhole) {
    const std::string body = bodyBytes(0, 3500);
    // Frame 4 (the second body segment) was 100 bytes longer on the wire.
    const std::size_t cutFrame = 3;
    std::vector<std::uint32_t> wire(cutFrame + 1, 0);
    wire[cutFrame] = static_cast<std::uint32_t>(54 + 1000 + 100);
    EXPECT_EQ(run("file://" + downloadCapture("cut.pcap", body, wire)), 0);
    window_.pump();
    EXPECT_TRUE(item(1).is(kStateRecording)) << "the body is not whole without that frame";
    EXPECT_EQ(engine_->recordedSize(501), 2500);
    bool reported = false;
    for (const auto& d : window_.notices(OSPREY_NOTICE_DIAGNOSTIC))
        reported = reported || d.text().find("1 frames cut by the snapshot length") != std::string::npos;
    EXPECT_TRUE(reported);
}

TEST_F(OspreyCaptureRun, SecondRunKeepsTheItems) {
    EXPECT_EQ(run("file://" + downloadCapture("one.pcap", bodyBytes(0, 1500))), 0);
    finishWorker();
    EXPECT_EQ(engine_->startRecord(OSPREY_START_KEY, window_.handle(), "file://" + dir_ + "one.pcap", 0, 0, 1, 900),
              0);
    finishWorker();
    // The same URL on the same connection and acknowledgement: not compared,
    // so a second item is made, with an ID from the new base.
    ASSERT_EQ(engine_->itemCount(), 2);
    EXPECT_EQ(item(1).id, 501);
    EXPECT_EQ(item(2).id, 901);
    EXPECT_TRUE(sameBytes(readFile(saveDir() + "run(1).flv"), bodyBytes(0, 1500)));
}

namespace {

// Brings the loopback device of the calling thread's network namespace up.
bool loopbackUp() {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return false;
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
        ok = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    ::close(s);
    return ok;
}

// Sends a TCP segment on the loopback of the namespace the task is in.
void wakeCapture(pid_t task) {
    std::thread waker([task] {
        const std::string ns = "/proc/self/task/" + std::to_string(task) + "/ns/net";
        const int fd = ::open(ns.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) return;
        ::close(fd);
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);  // a SYN, then a reset
        ::close(s);
    });
    waker.join();
}

}  // namespace

TEST_F(OspreyCaptureRun, StopTakesEffectOnAnAdapterWithoutTraffic) {
    // A private network namespace for the capture thread: its loopback
    // carries nothing at all, so no frame comes to end the read.
    enum class Setup { Pending, Ready, Unavailable };
    std::atomic<Setup> setup{Setup::Pending};
    std::atomic<int> result{1};
    std::atomic<bool> returned{false};
    std::atomic<pid_t> captureTask{0};
    std::thread capture([&] {
        captureTask = static_cast<pid_t>(::gettid());
        if (::unshare(CLONE_NEWNET) != 0 || !loopbackUp()) {
            setup = Setup::Unavailable;
            return;
        }
        setup = Setup::Ready;
        result = engine_->startRecord(OSPREY_START_KEY, window_.handle(), "lo", 0, 1, 1, 0);
        returned = true;
    });
    while (setup == Setup::Pending) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (setup == Setup::Unavailable) {
        capture.join();
        GTEST_SKIP() << "no private network namespace can be made here (needs root)";
    }
    while (!engine_->capturing()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // the adapter is open and waiting
    EXPECT_FALSE(returned.load());
    // Another run cannot start beside it.
    EXPECT_EQ(engine_->startRecord(OSPREY_START_KEY, window_.handle(), "file://" + dir_ + "x.pcap", 0, 1, 1, 0), -1);
    const auto stop = std::chrono::steady_clock::now();
    engine_->stopRecord();
    while (!returned.load() && std::chrono::steady_clock::now() - stop < std::chrono::seconds(10)) {
        window_.sink().waitAndPump(10);
    }
    const auto took = std::chrono::steady_clock::now() - stop;
    const bool stoppedByItself = returned.load();
    if (!stoppedByItself) wakeCapture(captureTask.load());  // a frame on its loopback ends it
    capture.join();
    ASSERT_TRUE(stoppedByItself) << "StartRecord did not return within 10 s of StopRecord on a quiet adapter";
    window_.pump();
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_EQ(window_.of(OSPREY_WM_CAPTURE_ENDED).size(), 1u);
    // A live adapter's counts are reported at the end.
    bool counted = false;
    for (const auto& d : window_.notices(OSPREY_NOTICE_DIAGNOSTIC))
        counted = counted || d.text().find("0 dropped by the kernel") != std::string::npos;
    EXPECT_TRUE(counted);
}
