// playlist.dat: hand-made files read as laid out, what we write read back
// byte for byte, and damaged or cut files giving exactly the entries before
// the damage.

#include "kestrel/shell/playlist_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

using namespace kestrel::shell;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Builders for hand-made files, written apart from the program's writer.
void le16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void le32(Bytes& out, std::uint32_t v) {
    le16(out, v & 0xFFFF);
    le16(out, v >> 16);
}
struct Record {
    std::uint32_t recordLength;  // as written, right or wrong
    std::uint8_t flag;
    std::uint32_t size;
    std::uint32_t added;
    std::uint32_t pathLength;  // as written, right or wrong
    std::string path;          // the bytes that follow
};
Record goodRecord(std::string path, std::uint32_t size = 5000, std::uint8_t flag = 0, std::uint32_t added = 1700000000) {
    const auto length = static_cast<std::uint32_t>(path.size());
    return {length + 11, flag, size, added, length, std::move(path)};
}
void put(Bytes& out, const Record& r) {
    le16(out, r.recordLength);
    out.push_back(r.flag);
    le32(out, r.size);
    le32(out, r.added);
    le16(out, r.pathLength);
    out.insert(out.end(), r.path.begin(), r.path.end());
}
Bytes file(const std::vector<Record>& records, std::uint32_t total = 0) {
    Bytes out;
    le32(out, total);
    for (const Record& r : records) put(out, r);
    return out;
}

std::string bytesAsString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

TEST(PlaylistFile, HandMadeFileReadsAsLaidOut) {
    // Two records, written out byte by byte.
    const Bytes bytes = {
        0x2B, 0x00, 0x00, 0x00,                          // total: 43
        0x10, 0x00,                                      // record length 16 = 5 + 11
        0x00,                                            // playable
        0x00, 0x10, 0x00, 0x00,                          // size 4096
        0x80, 0xF1, 0x53, 0x65,                          // added 0x6553F180
        0x05, 0x00,                                      // path length 5
        '/', 'a', '.', 'f', 'l',                         // path
        0x13, 0x00,                                      // record length 19 = 8 + 11
        0x01,                                            // unplayable
        0x78, 0x56, 0x34, 0x12,                          // size 0x12345678
        0x01, 0x00, 0x00, 0x80,                          // added 0x80000001
        0x08, 0x00,                                      // path length 8
        '/', 'm', 'e', '/', 0xC3, 0xA9, '.', 'x',        // path with a two-byte character
    };
    std::size_t consumed = 0;
    const std::vector<PlaylistEntry> entries = parsePlaylist(bytes, &consumed);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(consumed, bytes.size());

    EXPECT_EQ(entries[0].path, "/a.fl");
    EXPECT_EQ(entries[0].size, 4096u);
    EXPECT_EQ(entries[0].added, 0x6553F180u);
    EXPECT_EQ(entries[0].unplayable, 0);
    EXPECT_EQ(entries[0].icon, kPlaylistIconPlayable);

    EXPECT_EQ(entries[1].path, "/me/\xC3\xA9.x");
    EXPECT_EQ(entries[1].size, 0x12345678u);
    EXPECT_EQ(entries[1].added, 0x80000001u);
    EXPECT_EQ(entries[1].unplayable, 1);
    EXPECT_EQ(entries[1].icon, kPlaylistIconDamaged);

    // And the writer lays the same entries out in exactly these bytes.
    EXPECT_EQ(serializePlaylist(entries), bytes);
}

TEST(PlaylistFile, TheTotalIsWrittenAsTheFileLengthAndIgnoredOnReading) {
    const std::vector<Record> records = {goodRecord("/v/one.flv"), goodRecord("/v/two.flv")};
    const std::vector<PlaylistEntry> expected = parsePlaylist(file(records, 46));
    ASSERT_EQ(expected.size(), 2u);
    for (const std::uint32_t total : {0u, 4u, 7u, 46u, 1000000u, 0xFFFFFFFFu})
        EXPECT_EQ(parsePlaylist(file(records, total)), expected) << total;

    for (std::size_t n = 0; n <= 2; ++n) {
        const Bytes written = serializePlaylist(std::span(expected).first(n));
        ASSERT_GE(written.size(), 4u);
        std::uint32_t total = 0;
        for (std::size_t i = 0; i < 4; ++i) total |= static_cast<std::uint32_t>(written[i]) << (8 * i);
        EXPECT_EQ(total, written.size()) << n << " entries";
    }
}

TEST(PlaylistFile, SizeDecidesWhetherAnEntryCanBePlayed) {
    struct Case {
        std::uint32_t size;
        std::uint8_t flag;
        std::uint8_t readFlag;
        int icon;
    };
    const Case cases[] = {
        {0, 0, 1, kPlaylistIconDamaged},
        {9, 0, 1, kPlaylistIconDamaged},   // an FLV header alone
        {13, 0, 1, kPlaylistIconDamaged},  // header and first back-pointer, no tag
        {14, 0, 0, kPlaylistIconPlayable},
        {0xFFFFFFFF, 0, 0, kPlaylistIconPlayable},
        {14, 1, 1, kPlaylistIconDamaged},  // the flag as stored counts too
        {5000, 7, 7, kPlaylistIconDamaged},
        {13, 1, 1, kPlaylistIconDamaged},
        {0, 9, 1, kPlaylistIconDamaged},
    };
    for (const Case& c : cases) {
        const std::vector<PlaylistEntry> entries = parsePlaylist(file({goodRecord("/f.flv", c.size, c.flag)}));
        ASSERT_EQ(entries.size(), 1u) << c.size;
        EXPECT_EQ(entries[0].unplayable, c.readFlag) << c.size << " flag " << int(c.flag);
        EXPECT_EQ(entries[0].icon, c.icon) << c.size << " flag " << int(c.flag);
    }
}

TEST(PlaylistFile, CutAtEveryByteKeepsExactlyTheWholeRecordsBeforeTheCut) {
    const std::vector<Record> records = {goodRecord("/home/me/first.flv"), goodRecord(""),
                                         goodRecord("/tmp/third \xE2\x82\xAC.flv", 13)};
    const Bytes whole = file(records);
    std::vector<std::size_t> ends;  // where each record ends
    std::size_t at = 4;
    for (const Record& r : records) {
        at += 2 + r.recordLength;
        ends.push_back(at);
    }
    ASSERT_EQ(ends.back(), whole.size());
    const std::vector<PlaylistEntry> all = parsePlaylist(whole);
    ASSERT_EQ(all.size(), 3u);

    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        std::size_t wholeRecords = 0;
        while (wholeRecords < ends.size() && ends[wholeRecords] <= cut) ++wholeRecords;
        std::size_t consumed = 99999;
        const std::vector<PlaylistEntry> got = parsePlaylist(std::span(whole).first(cut), &consumed);
        ASSERT_EQ(got.size(), wholeRecords) << "cut at " << cut;
        EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << "cut at " << cut;
        EXPECT_EQ(consumed, cut < 4 ? 0 : wholeRecords == 0 ? 4 : ends[wholeRecords - 1]) << "cut at " << cut;
    }
}

TEST(PlaylistFile, DamagedLengthsEndTheReadingAndKeepWhatCameBefore) {
    const Record before = goodRecord("/kept.flv");
    const Record after = goodRecord("/never-read.flv");
    struct Case {
        const char* what;
        Record damaged;
        bool withTail;  // a good record follows the damaged one
    };
    Record longer = goodRecord("/x.flv");
    longer.recordLength += 1;
    Record shorter = goodRecord("/x.flv");
    shorter.recordLength -= 1;
    Record pathTooLong = goodRecord("/x.flv");
    pathTooLong.pathLength += 3;
    Record pathTooShort = goodRecord("/x.flv");
    pathTooShort.pathLength -= 1;
    Record pathBeyondEnd = goodRecord("/x.flv");
    pathBeyondEnd.pathLength = 0xFFFF;
    pathBeyondEnd.recordLength = 0xFFFF;  // agrees, but there are not so many bytes
    Record zero = goodRecord("");
    zero.recordLength = 0;
    Record belowFixed = goodRecord("");
    belowFixed.recordLength = 10;
    Record hugeRecord = goodRecord("/x.flv");
    hugeRecord.recordLength = 0xFFFF;
    const Case cases[] = {
        {"record length one more than path + 11", longer, true},
        {"record length one less than path + 11", shorter, true},
        {"path length beyond its record", pathTooLong, true},
        {"path length short of its record", pathTooShort, true},
        {"path running past the end of the file", pathBeyondEnd, false},
        {"record length 0", zero, true},
        {"record length below the fixed fields", belowFixed, true},
        {"record length past the end of the file", hugeRecord, false},
    };
    for (const Case& c : cases) {
        std::vector<Record> records = {before, c.damaged};
        if (c.withTail) records.push_back(after);
        const Bytes bytes = file(records);
        std::size_t consumed = 0;
        const std::vector<PlaylistEntry> got = parsePlaylist(bytes, &consumed);
        ASSERT_EQ(got.size(), 1u) << c.what;
        EXPECT_EQ(got[0].path, "/kept.flv") << c.what;
        EXPECT_EQ(consumed, 4 + 2 + before.recordLength) << c.what;
    }
}

TEST(PlaylistFile, TooShortForItsTotalGivesNothing) {
    for (const Bytes& bytes : {Bytes{}, Bytes{4}, Bytes{4, 0, 0}, Bytes{4, 0, 0, 0}, Bytes{4, 0, 0, 0, 0x10}}) {
        std::size_t consumed = 99;
        EXPECT_TRUE(parsePlaylist(bytes, &consumed).empty()) << bytes.size();
        EXPECT_EQ(consumed, bytes.size() < 4 ? 0u : 4u) << bytes.size();
    }
}

TEST(PlaylistFile, EntriesAreMadeWithinWhatTheFileCanHold) {
    struct Case {
        std::size_t pathBytes;
        std::uint64_t size;
        bool unplayableAsked;
        bool made;
        std::uint32_t keptSize;
        std::uint8_t flag;
    };
    const Case cases[] = {
        {10, 0, false, true, 0, 1},
        {10, 13, false, true, 13, 1},
        {10, 14, false, true, 14, 0},
        {10, 14, true, true, 14, 1},
        {10, 0xFFFFFFFFull, false, true, 0xFFFFFFFFu, 0},
        {10, 0x100000000ull, false, true, 0xFFFFFFFFu, 0},      // 4 GiB: kept as the largest size
        {10, 0x7FFFFFFFFFFFull, false, true, 0xFFFFFFFFu, 0},
        {kMaxPlaylistPathBytes, 100, false, true, 100, 0},      // 65524: record length 65535
        {kMaxPlaylistPathBytes + 1, 100, false, false, 0, 0},   // its record length would not fit
        {0xFFFF, 100, false, false, 0, 0},
    };
    for (const Case& c : cases) {
        const auto entry = makePlaylistEntry(std::string(c.pathBytes, 'p'), c.size, 1234, c.unplayableAsked);
        ASSERT_EQ(entry.has_value(), c.made) << c.pathBytes << " " << c.size;
        if (!entry) continue;
        EXPECT_EQ(entry->size, c.keptSize) << c.size;
        EXPECT_EQ(entry->unplayable, c.flag) << c.size;
        EXPECT_EQ(entry->icon, c.flag ? kPlaylistIconDamaged : kPlaylistIconPlayable);
        EXPECT_EQ(entry->added, 1234u);
        // What can be made can be written and read back as it was.
        const std::vector<PlaylistEntry> back = parsePlaylist(serializePlaylist(std::span(&*entry, 1)));
        ASSERT_EQ(back.size(), 1u) << c.pathBytes;
        EXPECT_EQ(back[0], *entry) << c.pathBytes;
    }
}

TEST(PlaylistFile, AnEntryTooLongForTheFileIsLeftOutOfItNotWrittenBroken) {
    PlaylistEntry overlong;
    overlong.path = std::string(kMaxPlaylistPathBytes + 1, 'q');
    overlong.size = 100;
    const auto good = makePlaylistEntry("/ok.flv", 100, 5);
    ASSERT_TRUE(good);
    const std::vector<PlaylistEntry> entries = {overlong, *good, overlong};
    const std::vector<PlaylistEntry> back = parsePlaylist(serializePlaylist(entries));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0], *good);
}

class PlaylistFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override { folder_ = kestrel::test::tempFolder("kestrel-playlist-file"); }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::directory_iterator(folder_)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string folder_;
};

TEST_F(PlaylistFileOnDisk, WrittenReadAndWrittenAgainIsTheSameFileByteForByte) {
    std::vector<PlaylistEntry> entries;
    const struct {
        std::string path;
        std::uint64_t size;
        std::uint32_t added;
    } made[] = {
        {"/home/user/Kestrel/1.flv", 123456, 1700000000},
        {"/home/user/Vid\xC3\xA9os/\xE6\x98\xA0\xE7\x94\xBB.flv", 13, 0},
        {"", 0, 0xFFFFFFFF},
        {"/big.flv", 0x123456789ull, 42},
        {std::string(kMaxPlaylistPathBytes, 'z'), 14, 7},
    };
    for (const auto& m : made) {
        auto entry = makePlaylistEntry(m.path, m.size, m.added);
        ASSERT_TRUE(entry);
        entries.push_back(*entry);
    }
    const std::string first = folder_ + "playlist.dat";
    const std::string second = folder_ + "again.dat";
    ASSERT_TRUE(writePlaylistFile(first, entries));
    const std::vector<PlaylistEntry> read = readPlaylistFile(first);
    EXPECT_EQ(read, entries);
    ASSERT_TRUE(writePlaylistFile(second, read));
    const std::string a = kestrel::test::readFile(first);
    EXPECT_EQ(a, kestrel::test::readFile(second));
    EXPECT_EQ(a, bytesAsString(serializePlaylist(entries)));
    // Only the two files: no temporary file is left behind.
    EXPECT_EQ(names(), (std::vector<std::string>{"again.dat", "playlist.dat"}));
}

TEST_F(PlaylistFileOnDisk, MissingOrUnreadableFilesGiveAnEmptyList) {
    EXPECT_TRUE(readPlaylistFile(folder_ + "missing.dat").empty());
    EXPECT_TRUE(readPlaylistFile(folder_).empty());  // a folder
    EXPECT_TRUE(readPlaylistFile("").empty());
}

TEST_F(PlaylistFileOnDisk, AFailedWriteSaysSoAndLeavesTheOldListWhole) {
    const auto entry = makePlaylistEntry("/new.flv", 5000, 1);
    ASSERT_TRUE(entry);
    const std::vector<PlaylistEntry> entries = {*entry};

    // No folder to write in.
    EXPECT_FALSE(writePlaylistFile(folder_ + "no-such-folder/playlist.dat", entries));
    EXPECT_FALSE(writePlaylistFile("", entries));

    // A folder where the file should be: it is not replaced.
    std::filesystem::create_directory(folder_ + "taken.dat");
    EXPECT_FALSE(writePlaylistFile(folder_ + "taken.dat", entries));
    EXPECT_TRUE(std::filesystem::is_directory(folder_ + "taken.dat"));

    // An old list whose temporary file cannot be made beside it (its name
    // is as long as a name may be): the old bytes stay as they were.
    const std::string old = folder_ + std::string(250, 'o');
    const Bytes oldBytes = file({goodRecord("/old.flv")}, 27);
    kestrel::test::writeFile(old, bytesAsString(oldBytes));
    EXPECT_FALSE(writePlaylistFile(old, entries));
    EXPECT_EQ(kestrel::test::readFile(old), bytesAsString(oldBytes));
    ASSERT_EQ(readPlaylistFile(old).size(), 1u);
    EXPECT_EQ(readPlaylistFile(old)[0].path, "/old.flv");

    EXPECT_EQ(names(), (std::vector<std::string>{std::string(250, 'o'), "taken.dat"}));
}

}  // namespace
