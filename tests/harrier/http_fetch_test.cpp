// The pure parts of a download: URL splitting (with ports), the request
// text, status lines, file names and unique names, the FLV header check.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "harrier/http_fetch.h"
#include "harrier_test_support.h"

namespace kestrel::harrier {
namespace {

using test::TempFolder;

void writeText(const std::string& path, const char* text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fputs(text, f);
    std::fclose(f);
}

TEST(SplitUrl, HostPortAndPath) {
    struct Row {
        const char* url;
        bool valid;
        const char* host;
        int port;
        const char* hostHeader;
        const char* path;
    } rows[] = {
        {"http://example.net/v/clip.flv", true, "example.net", 80, "example.net", "/v/clip.flv"},
        {"http://127.0.0.1:8080/a.flv?x=1", true, "127.0.0.1", 8080, "127.0.0.1:8080", "/a.flv?x=1"},
        {"http://host:65535/", true, "host", 65535, "host:65535", "/"},
        {"http://host:1/p", true, "host", 1, "host:1", "/p"},
        // The path keeps everything after the host, colons and all.
        {"http://h/a:b/c", true, "h", 80, "h", "/a:b/c"},
        {"rtmp://h/app", true, "h", 80, "h", "/app"},
        // Rows that must fail.
        {"http://host", false, "", 80, "", ""},
        {"host/clip.flv", false, "", 80, "", ""},
        {"http:///clip.flv", false, "", 80, "", "/clip.flv"},
        {"http://host:0/p", false, "", 80, "host:0", "/p"},
        {"http://host:65536/p", false, "", 80, "host:65536", "/p"},
        {"http://host:8o/p", false, "", 80, "host:8o", "/p"},
        {"http://host:/p", false, "", 80, "host:", "/p"},
        {"http://host:123456/p", false, "", 80, "host:123456", "/p"},
        {"http://:80/p", false, "", 80, ":80", "/p"},
    };
    for (const auto& r : rows) {
        const UrlParts p = splitUrl(r.url);
        EXPECT_EQ(p.valid, r.valid) << r.url;
        if (!r.valid) continue;
        EXPECT_EQ(p.host, r.host) << r.url;
        EXPECT_EQ(p.port, r.port) << r.url;
        EXPECT_EQ(p.hostHeader, r.hostHeader) << r.url;
        EXPECT_EQ(p.path, r.path) << r.url;
    }
}

TEST(BuildRequest, LinesInOrderWithCrLf) {
    EXPECT_EQ(buildRequest("/v/clip.flv?start=0", "127.0.0.1:8080"),
              "GET /v/clip.flv?start=0 HTTP/1.1\r\n"
              "User-Agent: Mozilla/4.0\r\n"
              "Accept: */*\r\n"
              "Host: 127.0.0.1:8080\r\n"
              "Pramga: no-cache\r\n"
              "Cache-Control: no-cache\r\n"
              "Connection: close\r\n"
              "\r\n");
}

TEST(StatusLine, ThreeDigitsAtNineToEleven) {
    struct Row {
        const char* line;
        int status;  // -1: no status
    } rows[] = {
        {"HTTP/1.1 200 OK\r\n", 200},
        {"HTTP/1.0 206 Partial Content\r\n", 206},
        {"HTTP/1.1 299\r\n", 299},
        {"HTTP/1.1 302 Found\r\n", 302},
        {"HTTP/1.1 404 Not Found\r\n", 404},
        {"HTTP/1.1 199 x\r\n", 199},
        {"HTTP/1.1 20\r\n", -1},
        {"HTTP/1.1 2x0 OK\r\n", -1},
        {"HTTP/1.1  200 OK\r\n", -1},
        {"", -1},
        {"ICY 200 OK\r\n", -1},
    };
    for (const auto& r : rows) {
        const auto s = parseStatusCode(r.line);
        if (r.status < 0) {
            EXPECT_FALSE(s.has_value()) << r.line;
        } else {
            ASSERT_TRUE(s.has_value()) << r.line;
            EXPECT_EQ(*s, r.status) << r.line;
        }
    }
    EXPECT_TRUE(isSuccessStatus(200));
    EXPECT_TRUE(isSuccessStatus(299));
    EXPECT_FALSE(isSuccessStatus(199));
    EXPECT_FALSE(isSuccessStatus(300));
    EXPECT_FALSE(isSuccessStatus(302));
}

TEST(HeaderEnd, BlankLineOnly) {
    EXPECT_TRUE(isHeaderEnd("\r\n"));
    EXPECT_TRUE(isHeaderEnd("\n"));
    EXPECT_FALSE(isHeaderEnd(" \r\n"));
    EXPECT_FALSE(isHeaderEnd("\r\n\r\n"));
    EXPECT_FALSE(isHeaderEnd("Content-Length: 0\r\n"));
    EXPECT_FALSE(isHeaderEnd(""));
}

TEST(DownloadFileName, FromTheLastPathPart) {
    struct Row {
        const char* path;
        const char* name;
    } rows[] = {
        {"/videos/Clip.FLV?start=0", "clip.flv"},
        {"/clip.flv", "clip.flv"},
        {"/a/b/c/Movie.Flv", "movie.flv"},
        {"/watch?v=abc", "flash.flv"},
        {"/dir/", "flash.flv"},
        {"/", "flash.flv"},
        {"", "flash.flv"},
        {"/get?file=a.flv", "get_file=a.flv"},
        {"/x.flv.flv", "x.flv"},
        {"/a?b?c.flv&d", "a_b_c.flv"},
        {"/flv", "flash.flv"},
        {"/.flv", ".flv"},
        {"/..flv", "..flv"},
        // The last "/" wins, even inside the query.
        {"/p.flv?u=/q/r", "flash.flv"},
    };
    for (const auto& r : rows) EXPECT_EQ(downloadFileName(r.path), r.name) << r.path;
}

TEST(DownloadFileName, LongNamesAreCutOnACharacter) {
    const std::string longBase(300, 'a');
    EXPECT_EQ(downloadFileName("/" + longBase + ".flv"), std::string(kMaxBaseName, 'a') + ".flv");
    // Two-byte characters: the cut never splits one.
    std::string wide;
    for (int i = 0; i < 150; ++i) wide += "\xC3\xA9";
    const std::string name = downloadFileName("/x" + wide + ".flv");
    ASSERT_LE(name.size(), kMaxBaseName + 4);
    const std::string base = name.substr(0, name.size() - 4);
    EXPECT_EQ(base.size() % 2, 1u) << "a UTF-8 character was split";
    EXPECT_EQ(static_cast<unsigned char>(base.back()), 0xA9);
}

TEST(FlvHeader, TheNineBytes) {
    auto bytes = [](std::string s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    using namespace std::string_literals;
    struct Row {
        std::string data;
        bool flv;
    } rows[] = {
        {"FLV\x01\x05\x00\x00\x00\x09"s, true},
        {"FLV\x01\x01\x00\x00\x00\x09"s, true},
        {"FLV\x01\x04\x00\x00\x00\x09\x00\x00\x00\x00"s, true},
        {"FLV\x01\x00\x00\x00\x00\x09"s, false},
        {"FLV\x01\x02\x00\x00\x00\x09"s, false},
        {"FLV\x01\x07\x00\x00\x00\x09"s, false},
        {"FLV\x02\x05\x00\x00\x00\x09"s, false},
        {"flv\x01\x05\x00\x00\x00\x09"s, false},
        {"FLV\x01\x05\x00\x00\x00\x0A"s, false},
        {"FLV\x01\x05\x00\x00\x01\x09"s, false},
        {"FLV\x01\x05\x00\x00\x00"s, false},
        {"<html><body>"s, false},
    };
    for (const auto& r : rows) EXPECT_EQ(isFlvHeader(bytes(r.data)), r.flv) << testing::PrintToString(r.data);
}

TEST(AcceptableUrl, LengthAndControlCharacters) {
    EXPECT_TRUE(isAcceptableUrl("http://h/a.flv", 1024));
    EXPECT_TRUE(isAcceptableUrl(std::string(1023, 'a'), 1024));
    EXPECT_FALSE(isAcceptableUrl(std::string(1024, 'a'), 1024));
    EXPECT_FALSE(isAcceptableUrl("", 1024));
    EXPECT_FALSE(isAcceptableUrl("http://h/a.flv\r\nX-Injected: 1", 1024));
    EXPECT_FALSE(isAcceptableUrl("http://h/a\t.flv", 1024));
    EXPECT_FALSE(isAcceptableUrl("http://h/a\x7F.flv", 1024));
    EXPECT_TRUE(isAcceptableUrl("http://h/caf\xC3\xA9.flv", 1024));
}

TEST(UniqueName, BothTheFlvAndTheRecordNameMustBeFree) {
    struct Row {
        const char* name;
        std::vector<std::string> existing;
        const char* expected;  // stem claimed
    } rows[] = {
        {"fresh folder", {}, "flash"},
        {"an FLV of that name", {"flash.flv"}, "flash[1]"},
        {"a record file of that name", {"flash.@@@"}, "flash[1]"},
        {"both taken once", {"flash.flv", "flash[1].@@@"}, "flash[2]"},
        {"a folder named like the FLV", {"flash.flv/"}, "flash[1]"},
        {"a gap in the counters", {"flash.flv", "flash[2].flv"}, "flash[1]"},
    };
    for (const auto& r : rows) {
        TempFolder dir;
        for (const auto& e : r.existing) {
            if (e.back() == '/')
                ASSERT_EQ(::mkdir(dir.file(e).c_str(), 0755), 0);
            else
                writeText(dir.file(e), "");
        }
        ClaimedName c = claimUniqueName(dir.path, "flash");
        ASSERT_GE(c.fd, 0) << r.name;
        ::close(c.fd);
        EXPECT_EQ(c.recordPath, dir.file(std::string(r.expected) + ".@@@")) << r.name;
        EXPECT_EQ(c.finalPath, dir.file(std::string(r.expected) + ".flv")) << r.name;
        EXPECT_TRUE(test::fileExists(c.recordPath)) << r.name;
    }
}

TEST(UniqueName, TwoClaimsNeverGetTheSameName) {
    TempFolder dir;
    ClaimedName a = claimUniqueName(dir.path, "clip");
    ClaimedName b = claimUniqueName(dir.path, "clip");
    ASSERT_GE(a.fd, 0);
    ASSERT_GE(b.fd, 0);
    ::close(a.fd);
    ::close(b.fd);
    EXPECT_EQ(a.recordPath, dir.file("clip.@@@"));
    EXPECT_EQ(b.recordPath, dir.file("clip[1].@@@"));
}

TEST(UniqueName, AMissingFolderFailsAtOnce) {
    TempFolder dir;
    ClaimedName c = claimUniqueName(dir.file("absent/"), "flash");
    EXPECT_LT(c.fd, 0);
    EXPECT_EQ(c.error, ENOENT);
}

TEST(RenameNoReplace, NeverOverwrites) {
    TempFolder dir;
    writeText(dir.file("a.@@@"), "new");
    writeText(dir.file("a.flv"), "old");
    EXPECT_FALSE(renameNoReplace(dir.file("a.@@@"), dir.file("a.flv")));
    EXPECT_EQ(test::readWholeFile(dir.file("a.flv")), "old");
    EXPECT_EQ(test::readWholeFile(dir.file("a.@@@")), "new");
    EXPECT_TRUE(renameNoReplace(dir.file("a.@@@"), dir.file("b.flv")));
    EXPECT_EQ(test::readWholeFile(dir.file("b.flv")), "new");
    EXPECT_FALSE(test::fileExists(dir.file("a.@@@")));
    EXPECT_EQ(flvPathOf("/x/flash[3].@@@"), "/x/flash[3].flv");
}

}  // namespace
}  // namespace kestrel::harrier
