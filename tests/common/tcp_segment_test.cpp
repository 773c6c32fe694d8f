#include "common/tcp_segment.h"

#include <gtest/gtest.h>

#include "tests/support/frame_builder.h"

using kestrel::TcpSegment;
using kestrel::test::buildFrame;
using kestrel::test::FrameSpec;

TEST(TcpSegment, PayloadFollowsTheRealHeaderLengths) {
    struct Case {
        const char* what;
        std::size_t ipOptions, tcpOptions, padding;
    } cases[] = {
        {"plain headers", 0, 0, 0},
        {"TCP timestamps", 0, 12, 0},
        {"IP options and TCP options", 8, 20, 0},
        {"Ethernet padding", 0, 0, 6},
        {"padding and timestamps", 0, 12, 10},
    };
    for (const auto& c : cases) {
        FrameSpec s;
        s.ipOptions = c.ipOptions;
        s.tcpOptions = c.tcpOptions;
        s.padding = c.padding;
        const auto frame = buildFrame(s, "HTTP/1.1 200 OK");
        TcpSegment seg;
        ASSERT_TRUE(kestrel::decodeTcpSegment(frame, seg)) << c.what;
        EXPECT_EQ(std::string(seg.payload.begin(), seg.payload.end()), "HTTP/1.1 200 OK") << c.what;
        EXPECT_EQ(seg.sourcePort, 80) << c.what;
        EXPECT_EQ(seg.sequence, 1000u) << c.what;
        EXPECT_EQ(seg.acknowledgement, 5000u) << c.what;
        EXPECT_EQ(seg.storedIpLength(seg.payload.size()), 15 + 40) << c.what;
    }
}

TEST(TcpSegment, FramesThatAreNotWholeSegmentsAreRefused) {
    const auto good = buildFrame(FrameSpec{}, "data");
    struct Case {
        const char* what;
        std::vector<std::uint8_t> frame;
    } cases[] = {
        {"cut inside the IP header", std::vector<std::uint8_t>(good.begin(), good.begin() + 30)},
        {"cut inside the TCP header", std::vector<std::uint8_t>(good.begin(), good.begin() + 50)},
        {"not IPv4", [&] { auto f = good; f[12] = 0x86; f[13] = 0xDD; return f; }()},
        {"not TCP", [&] { auto f = good; f[23] = 17; return f; }()},
        {"IP version 6 in an IPv4 frame", [&] { auto f = good; f[14] = 0x65; return f; }()},
        {"IP header length below 20", [&] { auto f = good; f[14] = 0x44; return f; }()},
        {"TCP data offset below 20", [&] { auto f = good; f[46] = 0x40; return f; }()},
        {"TCP options beyond the frame", [&] { auto f = good; f[46] = 0xF0; return f; }()},
        {"total length shorter than the headers", [&] { auto f = good; f[16] = 0; f[17] = 30; return f; }()},
        {"later fragment", [&] { auto f = good; f[21] = 0x10; return f; }()},
        {"empty", {}},
    };
    for (const auto& c : cases) {
        TcpSegment seg;
        EXPECT_FALSE(kestrel::decodeTcpSegment(c.frame, seg)) << c.what;
    }
}

TEST(TcpSegment, SnapLengthCutKeepsWhatWasCaptured) {
    auto frame = buildFrame(FrameSpec{}, "0123456789");
    frame.resize(frame.size() - 4);
    TcpSegment seg;
    ASSERT_TRUE(kestrel::decodeTcpSegment(frame, seg));
    EXPECT_EQ(seg.payload.size(), 6u);
}
