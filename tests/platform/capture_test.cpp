#include "platform/capture.h"

#include <gtest/gtest.h>

using kestrel::platform::CaptureOptions;
using kestrel::platform::Frame;
using kestrel::platform::PacketSource;

TEST(PacketSource, SourceNames) {
    struct Case {
        const char* source;
        const char* target;
        bool isFile;
    } cases[] = {
        {"rpcap://eth0", "eth0", false},
        {"eth0", "eth0", false},
        {"file:///tmp/a.pcap", "/tmp/a.pcap", true},
        {"file://rel.pcap", "rel.pcap", true},
        {"rpcap://", "", false},
    };
    for (const auto& c : cases) {
        std::string target;
        bool isFile = !c.isFile;
        PacketSource::parseSourceName(c.source, target, isFile);
        EXPECT_EQ(target, c.target) << c.source;
        EXPECT_EQ(isFile, c.isFile) << c.source;
    }
}

TEST(PacketSource, ReplaysAFileToItsEnd) {
    PacketSource src;
    ASSERT_TRUE(src.open(std::string("file://") + KESTREL_CAPTURES_DIR + "/http-flv-eth1500.pcap", CaptureOptions{}))
        << src.error();
    EXPECT_TRUE(src.isFile());
    EXPECT_EQ(src.dataLink(), kestrel::platform::kLinkTypeEthernet);
    ASSERT_TRUE(src.setFilter("ip and tcp", true, 0xFFFFFF)) << src.error();
    Frame f;
    int frames = 0, rc = 0;
    while ((rc = src.next(f)) == 1) ++frames;
    EXPECT_LT(rc, 0);
    EXPECT_EQ(frames, 156);  // every frame of this capture is IPv4 TCP
}

TEST(PacketSource, FailuresCarryLibpcapText) {
    PacketSource src;
    EXPECT_FALSE(src.open("file:///nonexistent/x.pcap", CaptureOptions{}));
    EXPECT_NE(src.error().find("No such file"), std::string::npos) << src.error();
    EXPECT_FALSE(src.open("rpcap://no-such-device-kestrel", CaptureOptions{}));
    EXPECT_FALSE(src.error().empty());
    PacketSource ok;
    ASSERT_TRUE(ok.open(std::string("file://") + KESTREL_CAPTURES_DIR + "/http-flv-eth1500.pcap", CaptureOptions{}));
    EXPECT_FALSE(ok.setFilter("ip and and tcp", true, 0));
    EXPECT_FALSE(ok.error().empty());
}
