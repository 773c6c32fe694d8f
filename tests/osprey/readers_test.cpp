// The readers of untrusted bytes: local names, request and response lines,
// RTSP and MMS requests, RTMP connect and play commands.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "osprey/http_exchange.h"
#include "osprey/local_name.h"
#include "osprey/rtmp_commands.h"
#include "osprey/url_requests.h"
#include "platform/byte_reader.h"
#include "tests/osprey/osprey_test_support.h"

using namespace kestrel::osprey;
using kestrel::asBytes;
using namespace kestrel::test;

TEST(OspreyLocalName, FromUrl) {
    struct Row {
        std::string url;
        std::string expected;
    } rows[] = {
        {"http://h/a/b/video%20clip.flv;id=1", "video clip.flv"},
        {"http://h/watch?v=1", "watch"},
        {"http://h/", "Media"},
        {"http://h", "h"},
        {"http://h/clip.flv  \r\n", "clip.flv"},
        {"http://h/a%2fb%3ac.flv", "b c.flv"},  // %2f makes a slash first, then the last part is kept
        {"http://h/x%3fy.flv", "x"},            // %3f makes a query
        {"http://h/a%5cb.flv", "a#b.flv"},
        {"http://h/a%26b.flv", "a"},            // %26 makes an "&": cut there
        {"http://h/a%3db.flv", "a=b.flv"},
        {"http://h/A%2Fb.flv", "A%2Fb.flv"},    // upper-case escapes stay
        {"http://h/a*b<c>d|e\\f\"g.flv", "a b c d e f\"g.flv"},
        {"http://h/" + std::string(150, 'x') + ".flv", std::string(96, 'x') + ".flv"},
        {"http://h/" + std::string(150, 'x') + ";tail", std::string(100, 'x').substr(0, 95)},
        {"http://h/..", "Media"},  // would name the folder above
        {"http://h/.", "Media"},
        {"http://h/%20%20", "Media"},
        {"http://h/a\tb\x01" "c.flv", "a b c.flv"},
        {"http://h/;x", "Media"},
        {"http://h/&x", "Media"},
    };
    for (const auto& r : rows) EXPECT_EQ(localNameOfUrl(r.url), r.expected) << r.url;
}

TEST(OspreyHttpLines, RequestLines) {
    struct Row {
        std::string line;
        RequestLine::Kind kind;
        std::string value;
    } rows[] = {
        {"GET /clip.flv HTTP/1.1", RequestLine::Kind::Get, "/clip.flv"},
        {"GET / HTTP/1.1", RequestLine::Kind::Get, "/"},
        {"GET  HTTP/1.1", RequestLine::Kind::Get, ""},  // 13 characters: no target
        {"GET /" + std::string(1298, 'a') + " HTTP/1.1", RequestLine::Kind::Get, "/" + std::string(1298, 'a')},
        {"GET /" + std::string(1299, 'a') + " HTTP/1.1", RequestLine::Kind::Get, ""},  // 1300: not stored
        {"Host: example.com", RequestLine::Kind::Host, "example.com"},
        {"Host:", RequestLine::Kind::Host, ""},
        {"Host: " + std::string(299, 'h'), RequestLine::Kind::Host, std::string(299, 'h')},
        {"Host: " + std::string(300, 'h'), RequestLine::Kind::Host, ""},
        {"host: example.com", RequestLine::Kind::Other, ""},  // capital H only
        {"Referer: http://r/", RequestLine::Kind::Referer, "http://r/"},
        {"referer: http://r/", RequestLine::Kind::Referer, "http://r/"},
        {"Referer: " + std::string(300, 'r'), RequestLine::Kind::Referer, ""},
        {"Accept: */*", RequestLine::Kind::Other, ""},
    };
    for (const auto& r : rows) {
        const RequestLine got = readRequestLine(r.line);
        EXPECT_EQ(got.kind, r.kind) << r.line.substr(0, 40);
        EXPECT_EQ(got.value, r.value) << r.line.substr(0, 40);
    }
}

TEST(OspreyHttpLines, LineWalk) {
    std::vector<std::string> lines;
    auto walk = [&](std::string_view payload) {
        lines.clear();
        forEachLine(payload, [&](std::string_view line, std::size_t) {
            lines.emplace_back(line);
            return true;
        });
    };
    walk("A\r\nB\r\n\r\n");
    EXPECT_EQ(lines, (std::vector<std::string>{"A", "B"}));
    walk("A\r\nno end");
    EXPECT_EQ(lines, (std::vector<std::string>{"A"}));
    walk(std::string(1999, 'x') + "\r\nB\r\n\r\n");
    EXPECT_EQ(lines.size(), 2u);
    walk(std::string(2000, 'x') + "\r\nB\r\n\r\n");  // too long: the walk ends
    EXPECT_TRUE(lines.empty());
    walk("A\r\nB");  // fewer than 4 bytes after a line: no more lines
    EXPECT_EQ(lines, (std::vector<std::string>{"A"}));
    walk("A\r\n");  // fewer than 4 bytes in all: no line
    EXPECT_TRUE(lines.empty());
    walk("");
    EXPECT_TRUE(lines.empty());
}

TEST(OspreyHttpLines, ResponseHeader) {
    struct Row {
        std::string payload;
        std::string type;
        bool hasLength;
        std::int64_t length;
        std::size_t headerLength;
    } rows[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: video/x-flv\r\nContent-Length: 1000\r\n\r\nFLV", "video/x-flv", true, 1000,
         68},
        {"HTTP/1.1 200 OK\r\ncontent-type: a/b\r\ncontent-length: 7\r\n\r\n", "a/b", true, 7, 57},
        {"HTTP/1.1 200 OK\r\nContent-type: a/b\r\nContent-length:12\r\n\r\n", "a/b", true, 12, 57},
        {"HTTP/1.1 200 OK\r\nCONTENT-TYPE: a/b\r\n\r\n", "", false, 0, 38},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n", "text/html", false, 0, 0},  // the block goes on
        {"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", "", false, 0, 40},
        {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", "", true, std::int64_t{1} << 50, 57},
        {"HTTP/1.1 200 OK\r\nContent-Type: " + std::string(199, 't') + "\r\n\r\n", std::string(199, 't'), false, 0,
         234},
        {"HTTP/1.1 200 OK\r\nContent-Type: " + std::string(200, 't') + "\r\n\r\n", "", false, 0, 235},
        // A later line overrides; lines after the empty line are the body.
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nContent-Length: 9\r\n\r\n", "", true, 6,
         57},
    };
    for (const auto& r : rows) {
        const ResponseHeader h = readResponseHeader(asBytes(r.payload));
        EXPECT_EQ(h.contentType, r.type) << r.payload.substr(0, 60);
        EXPECT_EQ(h.hasLength, r.hasLength) << r.payload.substr(0, 60);
        if (r.hasLength) {
            EXPECT_EQ(h.contentLength, r.length) << r.payload.substr(0, 60);
        }
        EXPECT_EQ(h.headerLength, r.headerLength) << r.payload.substr(0, 60);
    }
}

TEST(OspreyUrlRequests, Describe) {
    struct Row {
        std::string payload;
        std::string url;
    } rows[] = {
        {"DESCRIBE rtsp://cam.example/live.sdp RTSP/1.0\r\nCSeq: 2\r\n\r\n", "rtsp://cam.example/live.sdp"},
        {"DESCRIBE rtsp://a/b RTSP/1.0", "rtsp://a/b"},  // no CR LF: the payload is the line
        {"DESCRIBE x RTSP/1.0\r\n", "x"},
        {"DESCRIBE  RTSP/1.0\r\n", ""},  // 18 characters: nothing between
        {"DESCRIBE abc\r\n", ""},
        {"DESCRIBE rtsp://" + std::string(2100, 'p') + " RTSP/1.0\r\n", std::string("rtsp://") + std::string(992, 'p')},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(isDescribeRequest(asBytes(r.payload)));
        EXPECT_EQ(describeUrl(asBytes(r.payload)), r.url) << r.payload.substr(0, 40);
    }
    EXPECT_FALSE(isDescribeRequest(asBytes("DESCRIBE")));
    EXPECT_FALSE(isDescribeRequest(asBytes("describe rtsp://x RTSP/1.0")));
}

// An MMS "open file" command packet as a client sends it: the file name as
// UTF-16LE at payload offset 56.
std::string mmsOpenFile(std::u16string_view name, bool terminated = true) {
    std::string p(56, '\0');
    p.replace(12, 3, "MMS");
    p[36] = 5;
    p[38] = 3;
    for (char16_t c : name) {
        p += static_cast<char>(c & 0xFF);
        p += static_cast<char>(c >> 8);
    }
    if (terminated) p += std::string(2, '\0');
    return p;
}

TEST(OspreyUrlRequests, MmsOpenFile) {
    const std::uint8_t server[4] = {192, 168, 7, 20};
    struct Row {
        std::string payload;
        std::uint16_t port;
        std::string url;
    } rows[] = {
        {mmsOpenFile(u"clips/news.wmv"), 1755, "mms://192.168.7.20/clips/news.wmv"},
        {mmsOpenFile(u"news.wmv"), 8080, "mms://192.168.7.20:8080/news.wmv"},
        {mmsOpenFile(u"abc", false), 1755, "mms://192.168.7.20/abc"},         // ends with the payload
        {mmsOpenFile(u"a\u00e9b"), 1755, "mms://192.168.7.20/a\xE9" "b"},      // low bytes only
        {mmsOpenFile(u""), 1755, "mms://192.168.7.20/"},
        {mmsOpenFile(std::u16string(1000, u'n')), 1755, "mms://192.168.7.20/" + std::string(946, 'n')},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(isMmsOpenFile(asBytes(r.payload)));
        EXPECT_EQ(mmsOpenFileUrl(asBytes(r.payload), server, r.port), r.url);
    }
    std::string notOpen = mmsOpenFile(u"x");
    notOpen[38] = 4;
    EXPECT_FALSE(isMmsOpenFile(asBytes(notOpen)));
    EXPECT_FALSE(isMmsOpenFile(asBytes(mmsOpenFile(u"x").substr(0, 38))));
    std::string notMms = mmsOpenFile(u"x");
    notMms[13] = 'X';
    EXPECT_FALSE(isMmsOpenFile(asBytes(notMms)));
}

TEST(OspreyRtmpCommands, FindsTheFirstCommand) {
    const std::string connect = rtmpMessage(3, 20, connectBody({"vod", "rtmp://h/vod", "", ""}));
    const std::string play = rtmpMessage(8, 20, playBody("clip"));
    const std::string create = rtmpMessage(3, 20, amfString("createStream") + amfNumber(2.0) + "\x05");
    struct Row {
        std::string payload;
        RtmpCommand command;
        std::size_t at;
    } rows[] = {
        {connect, RtmpCommand::Connect, 0},
        {std::string(1536, 'r') + connect, RtmpCommand::Connect, 1536},  // behind the handshake's random bytes
        {play, RtmpCommand::Play, 12},
        {create + play, RtmpCommand::CreateStream, create.find("\x0C" "create") - 1},
        {connect.substr(12), RtmpCommand::HeaderlessConnect, 0},  // its header came in a segment of its own
        {"x" + connect.substr(12), RtmpCommand::None, 0},
        {connect.substr(0, 21), RtmpCommand::None, 0},  // "connect" would end past the payload
        {connect.substr(0, 22), RtmpCommand::Connect, 0},
        {std::string("\x02\x00\x04Play", 7) + std::string(14, '\0'), RtmpCommand::Play, 0},
        {std::string("\x02\x00\x04pla", 6) + std::string(15, '\0'), RtmpCommand::None, 0},
        {"", RtmpCommand::None, 0},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const RtmpCommandAt hit = findRtmpCommand(asBytes(rows[i].payload));
        EXPECT_EQ(hit.command, rows[i].command) << "row " << i;
        if (rows[i].command != RtmpCommand::None) {
            EXPECT_EQ(hit.at, rows[i].at) << "row " << i;
        }
    }
}

TEST(OspreyRtmpCommands, ConnectProperties) {
    struct Row {
        const char* what;
        ConnectProps props;
    } rows[] = {
        {"short", {"vod", "rtmp://127.0.0.1:1935/vod", "", ""}},
        {"every property", {"live/x", "rtmp://media.example:1935/live/x", "http://s.example/player.swf?v=3",
                            "http://www.example/watch?v=abc"}},
        // Long texts cross several 128-byte chunks.
        {"across chunks", {std::string(150, 'a'), "rtmp://h/" + std::string(300, 't'), "http://" + std::string(400, 's'),
                           "http://" + std::string(200, 'p')}},
    };
    for (const auto& r : rows) {
        const std::string message = rtmpMessage(3, 20, connectBody(r.props));
        RtmpStreamTexts t;
        readConnectProperties(asBytes(message), t);
        EXPECT_EQ(t.app, r.props.app) << r.what;
        EXPECT_EQ(t.tcUrl, r.props.tcUrl) << r.what;
        EXPECT_EQ(t.swfUrl, r.props.swfUrl) << r.what;
        EXPECT_EQ(t.pageUrl, r.props.pageUrl) << r.what;
    }
}

TEST(OspreyRtmpCommands, ConnectTextsAreCutToTheirFields) {
    RtmpStreamTexts t;
    readConnectProperties(asBytes(rtmpMessage(3, 20, connectBody({std::string(300, 'a'), std::string(600, 't'), "", ""}))),
                          t);
    EXPECT_EQ(t.app, std::string(199, 'a'));
    EXPECT_EQ(t.tcUrl, std::string(499, 't'));
    RtmpStreamTexts s;
    readConnectProperties(asBytes(rtmpMessage(3, 20, connectBody({"a", "t", std::string(1500, 's'), ""}))), s);
    EXPECT_EQ(s.swfUrl, std::string(999, 's'));
    EXPECT_EQ(s.tcUrl, "");  // it comes after 1500 bytes of the body
}

TEST(OspreyRtmpCommands, ConnectThatIsNoCommandMessage) {
    const std::string message = rtmpMessage(3, 17, connectBody({"vod", "rtmp://h/vod", "", ""}));  // AMF3 command
    RtmpStreamTexts t;
    readConnectProperties(asBytes(message), t);
    EXPECT_TRUE(t.app.empty());
    EXPECT_TRUE(t.tcUrl.empty());
}

TEST(OspreyRtmpCommands, TextsRunningPastTheMessageKeepWhatIsThere) {
    const std::string message = rtmpMessage(3, 20, connectBody({"vod", "rtmp://host.example/vod", "", ""}));
    const std::size_t tc = message.find("rtmp://host");
    RtmpStreamTexts t;
    readConnectProperties(asBytes(message.substr(0, tc + 6)), t);
    EXPECT_EQ(t.tcUrl, "rtmp:/");
    EXPECT_EQ(t.app, "vod");
}

TEST(OspreyRtmpCommands, LaterPropertyOverrides) {
    std::string body = amfString("connect") + amfNumber(1.0) + "\x03" + amfKey("app") + amfString("first") +
                       amfKey("app") + amfString("") + amfKey("tcUrl") + amfString("a") + amfKey("tcUrl") +
                       amfString("b") + std::string("\x00\x00\x09", 3);
    RtmpStreamTexts t;
    readConnectProperties(asBytes(rtmpMessage(3, 20, body)), t);
    EXPECT_EQ(t.app, "");
    EXPECT_EQ(t.tcUrl, "b");
}

TEST(OspreyRtmpCommands, PlayStreamName) {
    struct Row {
        std::string message;
        std::string name;
    } rows[] = {
        {playBody("clip"), "clip"},
        {playBody("mp4:folder/video.mp4"), "mp4:folder/video.mp4"},
        {playBody(""), ""},
        {playBody(std::string(499, 'n')), std::string(499, 'n')},
        {playBody(std::string(600, 'n')).substr(0, 480), std::string(460, 'n')},
        {std::string("\x02\x00\x04Play", 7) + amfNumber(0) + "\x05" + amfString("Big"), "Big"},
        {"nothing here", ""},
    };
    for (const auto& r : rows) {
        // A play body longer than a chunk as a player sends it: a
        // continuation header after every 128 bytes.
        std::string stored;
        for (std::size_t at = 0; at < r.message.size(); at += 128) {
            if (at > 0) stored += '\xC8';
            stored += r.message.substr(at, 128);
        }
        EXPECT_EQ(readPlayStreamName(asBytes(stored)), r.name) << r.message.substr(0, 30);
    }
}

TEST(OspreyRtmpCommands, PlayOnChunkStreamTwoDropsAWholeHeader) {
    std::string stored = playBody(std::string(200, 'z'));
    // After 128 bytes: 0xC2 and 11 more header bytes between the chunks.
    stored.insert(128, std::string("\xC2") + std::string(11, '\x7F'));
    EXPECT_EQ(readPlayStreamName(asBytes(stored)), std::string(200, 'z'));
}
