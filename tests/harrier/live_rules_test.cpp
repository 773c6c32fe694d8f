// What the live capture looks for: the filter text, the play-start and
// play-stop statuses, FLV requests.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harrier/live_rules.h"

namespace kestrel::harrier {
namespace {

std::vector<std::uint8_t> bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

using namespace std::string_literals;

TEST(CaptureFilter, PacketTypeAndHostFilter) {
    struct Row {
        int type;
        const char* host;
        const char* filter;
    } rows[] = {
        {1, "N/A", "tcp or udp"},
        {2, "N/A", "tcp"},
        {3, "N/A", "tcp"},
        {4, "N/A", "udp"},
        {5, "N/A", "udp"},
        {6, "N/A", "tcp or udp"},
        {7, "N/A", "tcp or udp"},
        {2, "192.168.1.20", "host 192.168.1.20 and tcp"},
        {4, "10.0.0.1", "host 10.0.0.1 and udp"},
        // Only exactly "N/A" means no host.
        {2, "n/a", "host n/a and tcp"},
        {2, "", "host  and tcp"},
    };
    for (const auto& r : rows) EXPECT_EQ(captureFilterText(r.type, r.host), r.filter) << r.type << " " << r.host;
    for (int t : {-1, 0, 8, 100}) EXPECT_FALSE(isKnownPacketType(t)) << t;
    for (int t = 1; t <= 7; ++t) EXPECT_TRUE(isKnownPacketType(t)) << t;
}

TEST(StreamStatus, PlayStartAndStopAnywhereWithoutRegardToCase) {
    const std::string start = "\x02\x00\x14NetStream.Play.Start"s;
    const std::string stop = "\x02\x00\x13NetStream.Play.Stop"s;
    struct Row {
        const char* name;
        std::string payload;
        bool start;
        bool stop;
    } rows[] = {
        {"start alone", start, true, false},
        {"stop alone", stop, false, true},
        {"start inside", "\x03\x00\x00\x00"s + "code" + start + "\x00\x0b"s, true, false},
        {"start in capitals", "xx\x02\x00\x14NETSTREAM.PLAY.START"s, true, false},
        {"stop in lower case", "\x02\x00\x13netstream.play.stop"s + "tail", false, true},
        {"start at the very end", std::string(500, 'a') + start, true, false},
        {"start cut by one byte", start.substr(0, start.size() - 1), false, false},
        {"stop cut by one byte", stop.substr(0, stop.size() - 1), false, false},
        {"wrong length prefix", "\x02\x00\x15NetStream.Play.Start"s, false, false},
        {"no string marker", "\x00\x00\x14NetStream.Play.Start"s, false, false},
        {"reset is no start", "\x02\x00\x14NetStream.Play.Reset"s, false, false},
        {"a false prefix before the real one", "\x02\x00\x14NetStream.Play\x02\x00\x14NetStream.Play.Start"s, true, false},
        {"both", start + stop, true, true},
        {"empty", "", false, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(holdsPlayStart(bytes(r.payload)), r.start) << r.name;
        EXPECT_EQ(holdsPlayStop(bytes(r.payload)), r.stop) << r.name;
    }
}

TEST(RequestedUrl, GetLineAndHostHeader) {
    struct Row {
        const char* name;
        std::string payload;
        const char* url;  // nullptr: none
    } rows[] = {
        {"plain", "GET /v/clip.flv HTTP/1.1\r\nHost: example.net\r\nAccept: */*\r\n\r\n", "http://example.net/v/clip.flv"},
        {"host with port", "GET /a.flv?x=1 HTTP/1.1\r\nUser-Agent: t\r\nHost: 10.0.0.2:8080\r\n\r\n",
         "http://10.0.0.2:8080/a.flv?x=1"},
        {"no host line", "GET /clip.flv HTTP/1.0\r\nAccept: */*\r\n\r\n", nullptr},
        {"host line cut off", "GET /clip.flv HTTP/1.1\r\nHost: exam", nullptr},
        {"not a GET", "POST /clip.flv HTTP/1.1\r\nHost: h\r\n\r\n", nullptr},
        {"lower-case method", "get /clip.flv HTTP/1.1\r\nHost: h\r\n\r\n", nullptr},
        {"no version", "GET /clip.flv\r\nHost: h\r\n\r\n", nullptr},
        {"empty", "", nullptr},
        {"GET alone", "GET ", nullptr},
    };
    for (const auto& r : rows) {
        const auto url = requestedUrl(bytes(r.payload));
        if (!r.url) {
            EXPECT_FALSE(url.has_value()) << r.name;
        } else {
            ASSERT_TRUE(url.has_value()) << r.name;
            EXPECT_EQ(*url, r.url) << r.name;
        }
    }
}

TEST(FlvUrl, TheFourTests) {
    const char* site = "videos.example.org";
    struct Row {
        const char* url;
        bool flv;
    } rows[] = {
        {"http://h/clip.flv", true},
        {"http://h/CLIP.FLV", true},
        {"http://h/clip.mp4", false},
        {"http://h/clip.flv?start=10", true},
        // ".flv?" is compared as it stands.
        {"http://h/clip.FLV?start=10", false},
        {"http://h/get?fetch?file=a.flv&b=1", true},
        {"http://h/get?file=a.flv&b=1", false},
        {"http://h/fetch?file=a.FLV&b=1", false},
        // The video site's request, not from its www host.
        {"http://cache1.videos.example.org/get_video?video_id=abc", true},
        {"http://CACHE1.VIDEOS.EXAMPLE.ORG/GET_VIDEO?VIDEO_ID=abc", true},
        {"http://www.videos.example.org/get_video?video_id=abc", false},
        {"http://cache1.videos.example.org/get_video?id=abc", false},
        {"http://other.example.com/get_video?video_id=abc", false},
        // ".flv?" and ".flv&" after the first character only.
        {".flv?", false},
        {"x.flv?", true},
    };
    for (const auto& r : rows) EXPECT_EQ(isFlvUrl(r.url, site), r.flv) << r.url;
    // Without a video site the site rule never matches.
    EXPECT_FALSE(isFlvUrl("http://cache1.videos.example.org/get_video?video_id=abc", ""));
    EXPECT_FALSE(isFlvUrl("http://h/get_video?video_id=abc", ""));
}

}  // namespace
}  // namespace kestrel::harrier
