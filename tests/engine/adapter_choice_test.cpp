#include "kestrel/engine/adapter_choice.h"
#include "tests/support/adapters.h"

#include <gtest/gtest.h>

using namespace kestrel::engine;
using kestrel::platform::AdapterInfo;

TEST(AddressChooser, RowsAreInsertedAtTheTop) {
    AddressChooser c("10.0.0.1|192.168.1.5||172.16.0.9");
    EXPECT_EQ(c.rows(), (std::vector<std::string>{"172.16.0.9", "192.168.1.5", "10.0.0.1"}));
    EXPECT_FALSE(c.okEnabled());
    EXPECT_EQ(c.result(), "");
}

TEST(AddressChooser, AtMostTwentyParts) {
    std::string text;
    for (int i = 1; i <= 25; ++i) text += "10.0.0." + std::to_string(i) + "|";
    AddressChooser c(text);
    ASSERT_EQ(c.rows().size(), 20u);
    EXPECT_EQ(c.rows().front(), "10.0.0.20");
    EXPECT_EQ(c.rows().back(), "10.0.0.1");
    // Empty parts count towards the twenty.
    AddressChooser withGaps("||||||||||||||||||||10.0.0.1");
    EXPECT_TRUE(withGaps.rows().empty());
}

TEST(AddressChooser, ClickBesideRowsDisablesOkButResultIsTheLastRowClicked) {
    AddressChooser c("a|b");
    c.click(1);
    EXPECT_TRUE(c.okEnabled());
    EXPECT_EQ(c.result(), "a");
    c.click(-1);
    EXPECT_FALSE(c.okEnabled());
    c.click(0);
    EXPECT_EQ(c.result(), "b");
    c.click(7);
    EXPECT_FALSE(c.okEnabled());
}

TEST(MatchAdapter, SubstringRulesAndLimits) {
    const std::string two = "rpcap://a|A|16777215|10.0.0.1<|>rpcap://b|B|16777215|110.0.0.1<|>";
    struct Case {
        const char* what;
        std::string address;
        std::string list;
        std::string expected;
    } cases[] = {
        {"exact", "10.0.0.1|", "rpcap://a|A|16777215|10.0.0.1<|>", "rpcap://a"},
        {"suffix match, later wins", "10.0.0.1|", two, "rpcap://b"},
        {"whole address only", "10.0.0.1|", "rpcap://a|A|1|10.0.0.10<|>", ""},
        {"text after the last separator is not examined", "10.0.0.1|", "rpcap://a|A|1|10.0.0.1", ""},
        {"entry without bar", "x|", "x<|>", "x"},
        {"empty list", "10.0.0.1|", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(matchAdapter(c.address, c.list), c.expected) << c.what;

    std::string many;
    for (int i = 1; i <= 21; ++i) many += "rpcap://if" + std::to_string(i) + "|d|1|10.1.0." + std::to_string(i) + "<|>";
    EXPECT_EQ(matchAdapter("10.1.0.20|", many), "rpcap://if20");
    EXPECT_EQ(matchAdapter("10.1.0.21|", many), "");  // the 21st entry is never examined
}

using kestrel::test::adapter;

TEST(AdapterListDialog, RowsFromTheDriversList) {
    AdapterListDialog d;
    d.setAdapters({
        adapter("rpcap://eth0", "Network adapter 'Intel(R) PRO/1000' on local host",
                {{{10, 0, 0, 1}, {255, 0, 0, 0}}, {{192, 168, 1, 5}, {255, 255, 255, 0}}}),
        adapter("rpcap://wlan0", "wireless adapter without wrapping text x", {}),
        adapter("rpcap://short", "short", {}),
    });
    ASSERT_EQ(d.rows().size(), 3u);
    const AdapterRow& eth = d.rows()[0];
    EXPECT_EQ(eth.description, "Intel(R) PRO/1000");
    EXPECT_EQ(eth.address, "192.168.1.5");  // the last IPv4 address counts
    EXPECT_EQ(eth.netmask, "255.255.255.0");
    EXPECT_EQ(eth.itemData, 16777215u);
    EXPECT_EQ(eth.interfaceName, "rpcap://eth0");
    // Cut by 17 and 15 characters even without the driver's wrapping.
    EXPECT_EQ(d.rows()[1].description, "without");  // trailing blank trimmed
    EXPECT_EQ(d.rows()[1].address, "");
    EXPECT_EQ(d.rows()[1].itemData, 0xFFFFFFu);
    EXPECT_EQ(d.rows()[2].description, "");
}

TEST(AdapterListDialog, SelectionAndAccept) {
    AdapterListDialog d;
    d.setAdapters({adapter("rpcap://eth0", "Network adapter 'eth0' on local host", {{{10, 0, 0, 1}, {255, 255, 0, 0}}})});
    EXPECT_FALSE(d.okEnabled());
    EXPECT_FALSE(d.accept());
    d.click(0);
    EXPECT_TRUE(d.okEnabled());
    d.click(-1);
    EXPECT_FALSE(d.okEnabled());
    d.click(0);
    ASSERT_TRUE(d.accept());
    EXPECT_EQ(d.interfaceName, "rpcap://eth0");
    EXPECT_EQ(d.netmask, 65535u);
    EXPECT_EQ(d.description, "eth0");
    EXPECT_EQ(d.address, "10.0.0.1");
}

TEST(AdapterListDialog, EmptyListIsASuccessWithOkDisabled) {
    AdapterListDialog d;
    d.setAdapters({});
    EXPECT_TRUE(d.rows().empty());
    d.click(0);
    EXPECT_FALSE(d.okEnabled());
}
