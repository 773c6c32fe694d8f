#include "common/final_naming.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {
std::string tempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "kestrel-naming-XXXXXX").string();
    return std::string(::mkdtemp(t.data())) + "/";
}
void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
}  // namespace

TEST(FinalNaming, UniqueNames) {
    const std::string dir = tempDir();
    EXPECT_EQ(kestrel::uniqueName(dir, "clip.flv"), "clip.flv");
    write(dir + "clip.flv", "");
    write(dir + "clip(1).flv", "");
    EXPECT_EQ(kestrel::uniqueName(dir, "clip.flv"), "clip(2).flv");
    write(dir + "noext", "");
    EXPECT_EQ(kestrel::uniqueName(dir, "noext"), "noext(1)");
    write(dir + "a.b.mp4", "");
    EXPECT_EQ(kestrel::uniqueName(dir, "a.b.mp4"), "a.b(1).mp4");
    std::filesystem::remove_all(dir);
}

TEST(FinalNaming, StrayPrefixBeforeFlvIsCut) {
    const std::string dir = tempDir();
    struct Case {
        std::string in, out;
    } cases[] = {
        {"2000\r\nFLV\x01\x05rest", "FLV\x01\x05rest"},
        {std::string("FLV\x01\x05\x00\x00\x00\x09", 9), std::string("FLV\x01\x05\x00\x00\x00\x09", 9)},
        {"123456FL", "123456FL"},    // shorter than 9 bytes: untouched
        {"123456FLV", "FLV"},
        {"abcdefXLV and more", "abcdefXLV and more"},
    };
    for (const auto& c : cases) {
        write(dir + "out.flv", c.in);
        EXPECT_TRUE(kestrel::cutStrayFlvPrefix(dir + "out.flv"));
        EXPECT_EQ(read(dir + "out.flv"), c.out);
        EXPECT_FALSE(std::filesystem::exists(dir + "out.flv.1.flv"));
    }
    std::filesystem::remove_all(dir);
}
