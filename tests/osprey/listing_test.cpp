#include "osprey/listing.h"

#include "common/adapter_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "kestrel/engine/osprey_module.h"
#include "tests/support/adapters.h"

using kestrel::osprey::formatAdapterList;
using kestrel::osprey::formatUsableAddresses;
using kestrel::platform::AdapterInfo;

using kestrel::test::adapter;

TEST(OspreyListing, AdapterEntries) {
    struct Case {
        const char* what;
        std::vector<AdapterInfo> adapters;
        std::string expected;
    } cases[] = {
        {"wrapped name", {adapter("rpcap://eth0", "Network adapter 'Intel(R) PRO/1000' on local host", {{{192, 168, 1, 5}, {255, 255, 255, 0}}})},
         "rpcap://eth0|Intel(R) PRO/1000|16777215|192.168.1.5<|>"},
        {"20-character description", {adapter("x", "12345678901234567890", {})}, "x||16777215|N/A<|>"},
        {"32 characters", {adapter("x", std::string(32, 'd'), {})}, "x||16777215|N/A<|>"},
        {"no description", {adapter("x", "", {})}, "x||16777215|N/A<|>"},
        {"mask repeated for an adapter without IPv4",
         {adapter("a", "", {{{10, 0, 0, 1}, {255, 255, 0, 0}}}), adapter("b", "", {}),
          adapter("c", "", {{{10, 1, 0, 1}, {255, 255, 0, 0}}})},
         "a||65535|10.0.0.1<|>b||65535|N/A<|>c||65535|10.1.0.1<|>"},
        {"last IPv4 address counts", {adapter("a", "", {{{10, 0, 0, 1}, {255, 0, 0, 0}}, {{10, 0, 0, 2}, {255, 255, 255, 255}}})},
         "a||4294967295|10.0.0.2<|>"},
        {"no adapters", {}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(formatAdapterList(c.adapters), c.expected) << c.what;
}

TEST(OspreyListing, UsableAddresses) {
    EXPECT_EQ(formatUsableAddresses({}), "");
    EXPECT_EQ(formatUsableAddresses({{10, 0, 0, 7}}), "|10.0.0.7");
    EXPECT_EQ(formatUsableAddresses({{10, 0, 0, 7}, {192, 168, 0, 1}}), "|10.0.0.7|192.168.0.1");
}

TEST(OspreyListing, TwelveDottedAddressesStayValid) {
    const char* texts[13];
    for (std::uint8_t i = 0; i < 13; ++i) {
        const std::uint8_t a[4] = {10, 0, 0, i};
        texts[i] = kestrel::dottedAddress(a);
    }
    EXPECT_STREQ(texts[1], "10.0.0.1");
    EXPECT_STREQ(texts[12], "10.0.0.12");
    EXPECT_STREQ(texts[0], "10.0.0.12");  // the thirteenth reuses the first buffer
}

TEST(OspreyLibrary, ExportsMatchTheMachinesAdapters) {
    auto module = kestrel::engine::OspreyModule::loadFrom(std::string(KESTREL_BIN_DIR) + "/libosprey.so");
    ASSERT_TRUE(module.loaded());
    ASSERT_NE(module.adapterList(), nullptr);
    ASSERT_NE(module.usableIpInfo(), nullptr);
    std::vector<AdapterInfo> adapters;
    std::string error;
    ASSERT_TRUE(kestrel::platform::listAdapters(adapters, error)) << error;
    EXPECT_EQ(std::string(module.adapterList()(nullptr)), formatAdapterList(adapters));
    std::vector<std::array<std::uint8_t, 4>> usable;
    ASSERT_TRUE(kestrel::platform::listUsableAddresses(usable));
    const std::string text = module.usableIpInfo()(nullptr);
    EXPECT_EQ(text, formatUsableAddresses(usable));
    EXPECT_EQ(text.find("127.0.0.1"), std::string::npos);  // loopback is never usable
}
