#include "common/url_text.h"

#include <gtest/gtest.h>

TEST(UrlText, Extension) {
    struct Case {
        const char* url;
        const char* ext;
    } cases[] = {
        {"http://h/v/clip.flv?start=100", ".flv"},
        {"http://h/video.php?id=7", ".php"},
        {"http://h/a.b/c", ""},
        {"http://h/dir.x/file.MP4  ", ".MP4"},
        {"http://h/clip.flv?x=a/b.mp3", ".flv"},
        {"http://h/", ""},
        {"noslash.m4a", ".m4a"},
    };
    for (const auto& c : cases) EXPECT_EQ(kestrel::urlExtension(c.url), c.ext) << c.url;
}

TEST(UrlText, Title) {
    struct Case {
        const char* url;
        const char* title;
    } cases[] = {
        {"http://h/v/clip.flv?start=100", "clip.flv"},
        {"http://h/my%20clip%26more.flv", "my clip&more.flv"},
        {"http://h/a%2fb.flv", "b.flv"},                       // a decoded slash starts a new path part
        {"http://h/q%3fx.flv", "q"},                           // a decoded "?" cuts the rest
        {"http://h/A%3aB%3dC.flv", "A B=C.flv"},               // ":" becomes a blank
        {"http://h/a%5cb.flv", "a_b.flv"},                     // the backslash escape stays readable
        {"http://h/UPPER%2F.flv", "UPPER%2F.flv"},             // upper-case escapes are not decoded
        {"http://h/abcdefghijklmnopqrstuvwxyz0123456789.flv", "klmnopqrstuvwxyz0123456789.flv"},
        {"http://h/a*b<c>d|e\"f.flv", "a b c d e\"f.flv"},
        {"http://h/..", ""},                                    // never names a folder
        {"http://h/.", ""},
        {"http://h/dir/.flv", ""},                              // never a hidden file
        {"http://h/..flv", ""},
        {"http://h/xyz.abcdefghijklmnopqrstuvwxy.flv", ""},  // the cut to 30 leaves a leading dot
        {"http://h/a.flv", "a.flv"},
        {"http://h/%20%20", ""},
        {"http://h/x\x01y.flv", "x y.flv"},
    };
    for (const auto& c : cases) EXPECT_EQ(kestrel::urlTitle(c.url), c.title) << c.url;
    EXPECT_EQ(kestrel::urlTitle("http://h/abcdefghijklmnopqrstuvwxyz0123456789.flv").size(), 30u);
}
