// The notice records byte for byte, and the body coverage that decides when
// a download is whole.

#include "osprey/notices.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "osprey/body_coverage.h"
#include "tests/osprey/osprey_test_support.h"

using namespace kestrel::osprey;

namespace {

// A record built by hand: integers little-endian, every text NUL-padded.
template <std::size_t N>
struct Expected {
    std::array<std::uint8_t, N> bytes{};
    void le32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    void text(std::size_t at, std::string_view s) {
        for (std::size_t i = 0; i < s.size(); ++i) bytes[at + i] = static_cast<std::uint8_t>(s[i]);
    }
};

}  // namespace

TEST(OspreyNotices, HttpRecordLayout) {
    HttpNoticeFields f;
    f.serverPort = 8080;
    f.siteFlag = 1;
    f.itemId = -5;
    f.host = "media.example:8080";
    f.target = "/v/clip.flv?x=1";
    f.contentType = "video/x-flv";
    f.referer = "http://page.example/";
    f.localName = "clip.flv";
    Expected<2412> e;
    e.le32(0, 8080);
    e.le32(4, 1);
    e.le32(8, 0xFFFFFFFBu);
    e.text(12, "media.example:8080");
    e.text(312, "/v/clip.flv?x=1");
    e.text(1612, "video/x-flv");
    e.text(1812, "http://page.example/");
    e.text(2312, "clip.flv");
    EXPECT_EQ(buildHttpNotice(f), e.bytes);
}

TEST(OspreyNotices, HttpFieldsAreCutAndEndWithNul) {
    struct Row {
        std::size_t offset, size;
        void (*set)(HttpNoticeFields&, const std::string&);
    } rows[] = {
        {12, 300, [](HttpNoticeFields& f, const std::string& s) { f.host = s; }},
        {312, 1300, [](HttpNoticeFields& f, const std::string& s) { f.target = s; }},
        {1612, 200, [](HttpNoticeFields& f, const std::string& s) { f.contentType = s; }},
        {1812, 500, [](HttpNoticeFields& f, const std::string& s) { f.referer = s; }},
        {2312, 100, [](HttpNoticeFields& f, const std::string& s) { f.localName = s; }},
    };
    for (const auto& r : rows) {
        const std::string overlong(r.size + 50, 'x');
        HttpNoticeFields f;
        r.set(f, overlong);
        const HttpNotice n = buildHttpNotice(f);
        for (std::size_t i = 0; i < n.size(); ++i) {
            const bool inField = i >= r.offset && i < r.offset + r.size - 1;
            ASSERT_EQ(n[i], inField ? 'x' : 0) << "field at " << r.offset << ", byte " << i;
        }
    }
}

TEST(OspreyNotices, TextWithNulEndsThere) {
    HttpNoticeFields f;
    f.host = std::string_view("ab\0cd", 5);
    const HttpNotice n = buildHttpNotice(f);
    EXPECT_EQ(n[12], 'a');
    EXPECT_EQ(n[13], 'b');
    EXPECT_EQ(n[14], 0);
    EXPECT_EQ(n[15], 0);  // nothing after the NUL is copied
}

TEST(OspreyNotices, RtmpRecordLayout) {
    RtmpStreamTexts t{"rtmp://h:1935/vod", "vod", "clip", "http://s/p.swf", "http://p/"};
    Expected<2816> e;
    e.le32(0, 1935);
    e.text(16, "rtmp://h:1935/vod");
    e.text(516, "vod");
    e.text(716, "clip");
    e.text(1216, "http://s/p.swf");
    e.text(2216, "http://p/");
    EXPECT_EQ(buildRtmpNotice(1935, t), e.bytes);

    RtmpStreamTexts big{std::string(600, 't'), std::string(300, 'a'), std::string(600, 's'), std::string(1100, 'w'),
                        std::string(600, 'p')};
    Expected<2816> cut;
    cut.le32(0, 1);
    cut.text(16, std::string(499, 't'));
    cut.text(516, std::string(199, 'a'));
    cut.text(716, std::string(499, 's'));
    cut.text(1216, std::string(999, 'w'));
    cut.text(2216, std::string(499, 'p'));
    EXPECT_EQ(buildRtmpNotice(1, big), cut.bytes);
}

TEST(OspreyNotices, SentAsCopyData) {
    kestrel::test::RecordingWindow window;
    sendTextNotice(&window.sink(), OSPREY_NOTICE_URL, "mms://1.2.3.4/a");
    sendTextNotice(&window.sink(), OSPREY_NOTICE_DIAGNOSTIC, itemDiagnostic("clip.flv", "clip.flv", 8));
    const HttpNotice record = buildHttpNotice({});
    sendCopyData(&window.sink(), 107, OSPREY_NOTICE_RESPONSE, record);
    sendTextNotice(nullptr, OSPREY_NOTICE_URL, "nowhere");  // no window: nothing, no crash
    ASSERT_EQ(window.messages.size(), 3u);
    const auto& url = window.messages[0];
    EXPECT_EQ(url.msg, OSPREY_WM_COPYDATA);
    EXPECT_EQ(url.wParam, 109u);
    EXPECT_EQ(url.dwData, 109u);
    EXPECT_EQ(url.data.size(), std::string("mms://1.2.3.4/a").size() + 1);  // cbData = length + 1
    EXPECT_EQ(url.data.back(), 0);
    EXPECT_EQ(url.text(), "mms://1.2.3.4/a");
    EXPECT_EQ(window.messages[1].wParam, 201u);
    EXPECT_EQ(window.messages[1].text(), "l_LocalFile = clip.flv, file name = clip.flv, len = 8");
    EXPECT_EQ(window.messages[2].wParam, 107u);
    EXPECT_EQ(window.messages[2].dwData, 110u);
    EXPECT_EQ(window.messages[2].data.size(), 2412u);
}

TEST(OspreyBodyCoverage, CountsEachByteOnce) {
    struct Step {
        std::int64_t begin, end, limit;
        std::uint64_t added;
    };
    struct Row {
        const char* what;
        std::vector<Step> steps;
        std::uint64_t covered;
        std::size_t ranges;
    } rows[] = {
        {"in order", {{0, 10, -1, 10}, {10, 20, -1, 10}}, 20, 1},
        {"a repeat", {{0, 10, -1, 10}, {0, 10, -1, 0}}, 10, 1},
        {"a partial overlap", {{0, 10, -1, 10}, {5, 15, -1, 5}}, 15, 1},
        {"a hole, then filled", {{0, 10, -1, 10}, {20, 30, -1, 10}, {10, 20, -1, 10}}, 30, 1},
        {"bridging three ranges", {{0, 5, -1, 5}, {10, 15, -1, 5}, {20, 25, -1, 5}, {3, 22, -1, 10}}, 25, 1},
        {"reordered", {{30, 40, -1, 10}, {10, 20, -1, 10}, {0, 10, -1, 10}}, 30, 2},
        {"before the body", {{-5, 5, -1, 5}}, 5, 1},
        {"past the length", {{90, 120, 100, 10}, {100, 200, 100, 0}}, 10, 1},
        {"empty", {{7, 7, -1, 0}, {9, 3, -1, 0}}, 0, 0},
    };
    for (const auto& r : rows) {
        BodyCoverage c;
        for (const auto& s : r.steps) EXPECT_EQ(c.add(s.begin, s.end, s.limit), s.added) << r.what;
        EXPECT_EQ(c.covered(), r.covered) << r.what;
        EXPECT_EQ(c.ranges(), r.ranges) << r.what;
    }
}

TEST(OspreyBodyCoverage, FullTableUndercountsNeverOvercounts) {
    BodyCoverage c;
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(BodyCoverage::kMaxRanges); ++i)
        EXPECT_EQ(c.add(i * 10, i * 10 + 5, -1), 5u);
    EXPECT_EQ(c.add(10000, 10005, -1), 0u);  // no room for a range apart
    EXPECT_EQ(c.add(5, 10, -1), 5u);         // joining two ranges still counts
    EXPECT_EQ(c.covered(), BodyCoverage::kMaxRanges * 5 + 5);
}

TEST(OspreyBodyCoverage, SequenceNumbersAcrossTheWrap) {
    for (std::uint32_t base : {0u, 0xFFFFFF00u, 0x7FFFFFF0u}) {
        SequenceUnwrapper u;
        u.start(base);
        EXPECT_EQ(u.offsetOf(base + 100), 100) << base;
        EXPECT_EQ(u.offsetOf(base + 50), 50) << base;  // reordered
        EXPECT_EQ(u.offsetOf(base - 10), -10) << base;
        // Steps of 1 GiB four and a half times: past 4 GiB the offset keeps growing.
        std::int64_t expected = -10;
        std::uint32_t seq = base - 10;
        for (int i = 0; i < 9; ++i) {
            seq += 0x20000000u;
            expected += 0x20000000;
            EXPECT_EQ(u.offsetOf(seq), expected) << base << " step " << i;
        }
    }
}
