// The blocking sockets: failure texts, the header line reader and the
// response reader over a socket pair, waits that a cleared running flag
// ends, and no SIGPIPE on a closed peer.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "harrier/blocking_socket.h"

namespace kestrel::harrier {
namespace {

using Clock = std::chrono::steady_clock;

struct Pair {
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        socket.attach(fds[0]);
        peer = fds[1];
    }
    ~Pair() {
        if (peer >= 0) ::close(peer);
    }
    void send(const std::string& s) const { ASSERT_EQ(::write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    void closePeer() {
        ::close(peer);
        peer = -1;
    }
    CHttpBlockingSocket socket;
    int peer = -1;
};

std::string readLine(CHttpBlockingSocket& s, std::size_t size = 10000) {
    std::string buf(size, '\0');
    const std::size_t n = s.readHttpHeaderLine(buf.data(), buf.size());
    return buf.substr(0, n);
}

TEST(SocketException, StageAndCode) {
    struct Row {
        const char* stage;
        int code;
        const char* message;
    } rows[] = {
        {"Connect", 111, "Connect error #111"},
        {"Receive timeout", 0, "Receive timeout error"},
        {"GetHostByName", -2, "GetHostByName error #-2"},
        {"ReadHeaderLine", 0, "ReadHeaderLine error"},
    };
    for (const auto& r : rows) {
        CBlockingSocketException e(r.stage, r.code);
        EXPECT_EQ(e.message(), r.message);
        EXPECT_STREQ(e.what(), r.message);
        EXPECT_EQ(e.stage(), r.stage);
        EXPECT_EQ(e.code(), r.code);
    }
}

TEST(HttpSocket, HeaderLinesThenTheBodyLeftOver) {
    Pair p;
    std::thread writer([&] {
        p.send("HTTP/1.1 200 OK\r\nContent-");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.send("Type: video/x-flv\r\n\r\nFLV");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.send("-rest");
        p.closePeer();
    });
    EXPECT_EQ(readLine(p.socket), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(readLine(p.socket), "Content-Type: video/x-flv\r\n");
    EXPECT_EQ(readLine(p.socket), "\r\n");
    std::string body(100, '\0');
    std::size_t got = 0;
    for (;;) {
        const std::size_t n =
            p.socket.readHttpResponse(reinterpret_cast<std::uint8_t*>(body.data()) + got, body.size() - got);
        if (n == 0) break;
        got += n;
    }
    writer.join();
    EXPECT_EQ(body.substr(0, got), "FLV-rest");
}

TEST(HttpSocket, ALineLongerThanTheReceiveBufferNeverEnds) {
    Pair p;
    p.send(std::string(CHttpBlockingSocket::kReceiveBufferSize + 500, 'x'));
    p.closePeer();
    try {
        readLine(p.socket);
        FAIL() << "no failure";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.stage(), "ReadHeaderLine");
    }
}

TEST(HttpSocket, APeerThatClosesInsideALine) {
    Pair p;
    p.send("HTTP/1.1 200");
    p.closePeer();
    try {
        readLine(p.socket);
        FAIL() << "no failure";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.message(), "ReadHeaderLine error");
    }
}

TEST(HttpSocket, ALineIsCutToTheCallersBuffer) {
    Pair p;
    p.send("HTTP/1.1 200 OK\r\nnext\r\n");
    EXPECT_EQ(readLine(p.socket, 9), "HTTP/1.1");
    EXPECT_EQ(readLine(p.socket), "next\r\n");
}

TEST(HttpSocket, ClearingTheRunningFlagEndsAWait) {
    Pair p;
    const auto start = Clock::now();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        p.socket.setRunning(false);
    });
    std::string line(100, '\0');
    EXPECT_EQ(p.socket.readHttpHeaderLine(line.data(), line.size()), 0u);
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

// A peer that sends part of a block and then stays silent: the bytes that
// came are handed over, and the time-out is raised by the next read.
TEST(HttpSocket, BytesBeforeATimeOutAreNotLost) {
    Pair p;
    p.send("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(readLine(p.socket), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(readLine(p.socket), "\r\n");
    p.send(std::string(500, 'd'));
    std::vector<std::uint8_t> block(10000);
    const auto start = Clock::now();
    EXPECT_EQ(p.socket.readHttpResponse(block.data(), block.size(), 1), 500u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
    try {
        p.socket.readHttpResponse(block.data(), block.size(), 1);
        FAIL() << "no failure";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.stage(), "Receive timeout");
    }
}

TEST(BlockingSocket, SendingToAClosedPeerFailsWithoutASignal) {
    Pair p;
    p.closePeer();
    const std::string data(200000, 'x');
    try {
        for (int i = 0; i < 10; ++i) p.socket.write(data.data(), data.size());
        FAIL() << "no failure";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.stage(), "Send");
        EXPECT_EQ(e.code(), EPIPE);
    }
}

TEST(BlockingSocket, ConnectAndResolve) {
    // A port nobody listens on: bound, then closed.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(probe);

    const sockaddr_in target = CBlockingSocket::getHostByName("127.0.0.1", ntohs(a.sin_port));
    EXPECT_EQ(target.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(target.sin_port, a.sin_port);
    CBlockingSocket s;
    s.create();
    try {
        s.connect(target);
        FAIL() << "connected to a closed port";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.stage(), "Connect");
        EXPECT_EQ(e.code(), ECONNREFUSED);
    }
    try {
        CBlockingSocket::getHostByName("", 80);
        FAIL() << "resolved an empty name";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.stage(), "GetHostByName");
    }
}

}  // namespace
}  // namespace kestrel::harrier
