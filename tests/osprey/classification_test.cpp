#include "osprey/media_classifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/support/test_files.h"

using namespace kestrel::osprey;

TEST(OspreyClassification, MediaDecision) {
    struct Row {
        const char* url;
        const char* mime;
        bool expected;
    } rows[] = {
        // A media extension decides whatever the type, a page type included.
        {"/clip.flv", "text/html", true},
        {"/video/clip.FLV?x=1", "text/plain", true},
        {"/a.mp3", "", true},
        {"http://h/x/y.F4V", "application/json", true},
        // An unlisted extension: a listed media type decides...
        {"/stream.xyz", "audio/mpeg", true},
        {"/stream.xyz", "audio/mpeg; charset=x", false},
        {"/stream.xyz", "text/html", false},
        // ...unless the extension names a page, script, image or module.
        {"/watch.php", "video/x-flv", false},
        {"/logo.PNG", "video/mp4", false},
        {"/x.ocx", "video/mp4", false},
        // No extension: the type alone.
        {"/get_video", "video/x-flv", true},
        {"/get_video", "text/html", false},
        {"/a.b/c", "video/mp4", true},   // the point stands before the last slash
        {"/a.b/c", "text/plain", false},
        {"/watch?v=1.flv", "text/html", false},  // the query is cut first
        {"/clip.flv   ", "text/html", true},     // trailing blanks removed
        {"", "video/flv", true},
        {"", "", false},
        // The type must be exactly a listed entry.
        {"/get", "video/x-flv; charset=binary", false},
        {"/get", "VIDEO/X-FLV", false},
        {"/get", " video/x-flv", false},
        {"/get", "application/smil;charset=utf-8", true},
        {"/get", "application/smil; charset=utf-8", false},
        {"/get", "   ", false},
    };
    for (const auto& r : rows)
        EXPECT_EQ(isMediaDownload(r.url, r.mime), r.expected) << r.url << " | " << r.mime;
}

TEST(OspreyClassification, UrlExtension) {
    struct Row {
        const char* url;
        const char* extension;
    } rows[] = {
        {"/video/clip.FLV?x=1", ".flv"}, {"/a.b/c", ""}, {"/x/y.tar.GZ", ".gz"}, {"clip.Mp4  \t", ".mp4"},
        {"/dir/", ""},                   {"?.flv", ""},  {"/a.flv?b.mp3/c", ".flv"}, {"/\xC3\x84.FLV", ".flv"},
    };
    for (const auto& r : rows) EXPECT_EQ(lowerUrlExtension(r.url), r.extension) << r.url;
}

TEST(OspreyClassification, TablesHoldTheirEntries) {
    EXPECT_EQ(mediaTypeTable().size(), 49u);
    EXPECT_EQ(mediaExtensionTable().size(), 84u);
    EXPECT_EQ(pageExtensionTable().size(), 53u);
    // Every entry answers its own lookup; no entry is listed twice, and the
    // media and page extensions never overlap (the decision relies on it).
    const TextTable* tables[] = {&mediaTypeTable(), &mediaExtensionTable(), &pageExtensionTable()};
    for (const TextTable* t : tables) {
        std::set<std::string> seen;
        for (std::size_t i = 0; i < t->size(); ++i) {
            EXPECT_TRUE(t->contains((*t)[i], false)) << (*t)[i];
            EXPECT_TRUE(seen.insert(std::string((*t)[i])).second) << "listed twice: " << (*t)[i];
        }
    }
    for (std::size_t i = 0; i < mediaExtensionTable().size(); ++i)
        EXPECT_FALSE(isPageExtension(mediaExtensionTable()[i])) << mediaExtensionTable()[i];
    // Extensions carry their point and are lower case.
    for (const TextTable* t : {&mediaExtensionTable(), &pageExtensionTable()})
        for (std::size_t i = 0; i < t->size(); ++i) {
            const std::string_view e = (*t)[i];
            EXPECT_EQ(e.front(), '.');
            for (char c : e) EXPECT_FALSE(c >= 'A' && c <= 'Z') << e;
        }
}

TEST(OspreyClassification, Lookups) {
    struct Row {
        const char* probe;
        bool type, media, page;
    } rows[] = {
        {"video/x-flv", true, false, false},
        {"rtmp", true, false, false},
        {".flv", false, true, false},
        {".fla", false, true, false},
        {".FLV", false, false, false},  // case-sensitive: callers lower the extension
        {".php", false, false, true},
        {".ocx", false, false, true},
        {" .flv", false, false, false},  // compared untrimmed
        {"", false, true, false},        // an empty probe: only the media extension lookup says yes
        {"  \t", false, true, false},
        {"flv", false, false, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(isMediaType(r.probe), r.type) << '"' << r.probe << '"';
        EXPECT_EQ(isMediaExtension(r.probe), r.media) << '"' << r.probe << '"';
        EXPECT_EQ(isPageExtension(r.probe), r.page) << '"' << r.probe << '"';
    }
}

class OspreySiteList : public ::testing::Test {
protected:
    void SetUp() override { dir_ = kestrel::test::tempFolder("osprey-sites"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string write(const std::string& name, const std::string& text) {
        kestrel::test::writeFile(dir_ + name, text);
        return dir_ + name;
    }
    std::string dir_;
    SiteList list_;
};

TEST_F(OspreySiteList, MatchesHostOrRefererWithoutCase) {
    ASSERT_TRUE(list_.load(write("s", "YouTube\r\n\nvimeo.com\n")));
    struct Row {
        const char* host;
        const char* referer;
        bool expected;
    } rows[] = {
        {"WWW.YOUTUBE.COM", "", true},
        {"cdn.example", "http://www.youtube.com/watch", true},
        {"player.vimeo.com", "", true},
        {"vimeo.org", "", false},
        {"", "", false},  // the empty line matches nothing
        {"example.com", "http://example.com/", false},
    };
    for (const auto& r : rows) EXPECT_EQ(list_.matches(r.host, r.referer), r.expected) << r.host << " " << r.referer;
    EXPECT_EQ(list_.slot(0), "YouTube");  // the CR of a CR LF line end is no part of it
    EXPECT_EQ(list_.slot(1), "");
}

TEST_F(OspreySiteList, EmptyListNeverMatches) {
    EXPECT_FALSE(list_.matches("anything", "anything"));
    ASSERT_TRUE(list_.load(write("empty", "")));
    EXPECT_FALSE(list_.matches("a", "b"));
}

TEST_F(OspreySiteList, TwoHundredSlotsAtMost) {
    std::string text;
    for (int i = 1; i <= 250; ++i) text += "site" + std::to_string(i) + ".example\n";
    ASSERT_TRUE(list_.load(write("many", text)));
    EXPECT_EQ(list_.slot(199), "site200.example");
    EXPECT_TRUE(list_.matches("site200.example", ""));
    EXPECT_FALSE(list_.matches("site201.example", ""));
}

TEST_F(OspreySiteList, MissingFileKeepsTheListBefore) {
    ASSERT_TRUE(list_.load(write("one", "first.example\nsecond.example\n")));
    EXPECT_FALSE(list_.load(dir_ + "missing"));
    EXPECT_TRUE(list_.matches("second.example", ""));
    // A shorter list clears the slots after its last line.
    ASSERT_TRUE(list_.load(write("two", "third.example\n")));
    EXPECT_FALSE(list_.matches("second.example", ""));
    EXPECT_TRUE(list_.matches("third.example", ""));
}

TEST_F(OspreySiteList, OverlongLineLeavesItsSlotEmpty) {
    const std::string longEntry(100, 'a');
    ASSERT_TRUE(list_.load(write("long", longEntry + "\n" + std::string(99, 'b') + "\nlast\n")));
    // Cut to 99 characters, the entry would match hosts it never named.
    EXPECT_FALSE(list_.matches(std::string(99, 'a'), ""));
    EXPECT_EQ(list_.slot(0), "");
    EXPECT_TRUE(list_.matches(std::string(99, 'b'), ""));
    EXPECT_EQ(list_.slot(2), "last");  // later lines keep their slots
}
