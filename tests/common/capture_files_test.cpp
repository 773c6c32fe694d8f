#include "common/capture_files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <cstring>
#include <fstream>

using namespace kestrel::capture_files;

namespace {

std::string tempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "kestrel-capfiles-XXXXXX").string();
    return std::string(::mkdtemp(t.data())) + "/";
}

std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeEntries(const std::string& path, const std::vector<IndexEntry>& entries, std::size_t extraBytes = 0) {
    std::ofstream out(path, std::ios::binary);
    for (const auto& e : entries) {
        const auto b = encodeEntry(e);
        out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    out << std::string(extraBytes, 'x');
}

}  // namespace

TEST(CaptureFiles, EntryLayout) {
    struct Case {
        IndexEntry e;
        std::string bytes;
    } cases[] = {
        {{0x01020304, 5, 1460, 1500}, std::string("\x01\x02\x03\x04" "5\0\0\0\0\0\0\0" "1460" "\x05\xDC", 18)},
        {{0xFFFFFFFF, 0xABCDEF, 7, 47}, std::string("\xFF\xFF\xFF\xFF" "ABCDEF\0\0" "7\0\0\0" "\x00\x2F", 18)},
        // Eight hex digits fill the field: no NUL is left.
        {{0, 0x10000000, 9999, 10039}, std::string("\0\0\0\0" "10000000" "9999" "\x27\x37", 18)},
        {{0, 0xFFFFFFFF, 0, 40}, std::string("\0\0\0\0" "FFFFFFFF" "0\0\0\0" "\x00\x28", 18)},
    };
    for (const auto& c : cases) {
        const auto b = encodeEntry(c.e);
        EXPECT_EQ(std::string(b.begin(), b.end()), c.bytes);
        const IndexEntry back = decodeEntry(b);
        EXPECT_EQ(back.sequence, c.e.sequence);
        EXPECT_EQ(back.dataOffset, c.e.dataOffset);
        EXPECT_EQ(back.length, c.e.length);
        EXPECT_EQ(back.ipLength, c.e.ipLength);
    }
}

TEST(CaptureFiles, DecodeStopsAtNulOrJunk) {
    const std::string raw("\0\0\0\x01" "1F\0Z\0\0\0\0" "12x4" "\0\0", 18);
    std::array<std::uint8_t, 18> b{};
    std::memcpy(b.data(), raw.data(), 18);
    const IndexEntry e = decodeEntry(b);
    EXPECT_EQ(e.dataOffset, 0x1Fu);
    EXPECT_EQ(e.length, 12u);
}

TEST(CaptureFiles, WriterStoresHeaderOnceAndSplitsLongPayloads) {
    const std::string dir = tempDir();
    CaptureFileWriter w;
    ASSERT_TRUE(w.openData(dir + "1.flvdata", true));
    ASSERT_TRUE(w.openIndex(dir + "1.flvdata.idx", true));
    std::int32_t headerWritten = 0;
    std::string big(25000, 'b');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(w.append(kKindHttp, headerWritten, 0xFFFFF000u, std::span(reinterpret_cast<const std::uint8_t*>("abc"), 3)));
    ASSERT_TRUE(w.append(kKindHttp, headerWritten, 0xFFFFF003u, std::span(reinterpret_cast<const std::uint8_t*>(big.data()), big.size())));
    ASSERT_TRUE(w.append(kKindHttp, headerWritten, 0x5000u, {}));
    w.close();
    EXPECT_EQ(headerWritten, 1);
    const std::string data = read(dir + "1.flvdata");
    EXPECT_EQ(data, std::string("PIP\0\0", 5) + "abc" + big);
    std::vector<OrderedEntry> entries;
    ASSERT_EQ(loadOrderedIndex(dir + "1.flvdata.idx", entries), ReadStatus::Ok);
    ASSERT_EQ(entries.size(), 5u);  // abc, three parts of 25000 bytes, the empty one
    // Ordered by unwrapped position: the parts cross 2^32 and stay after "abc";
    // the empty entry (0x5000 after the wrap) comes last.
    const std::uint32_t lengths[] = {3, 9999, 9999, 5002, 0};
    const std::uint32_t offsets[] = {5, 8, 10007, 20006, 25008};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(entries[i].entry.length, lengths[i]) << i;
        EXPECT_EQ(entries[i].entry.dataOffset, offsets[i]) << i;
        EXPECT_EQ(entries[i].entry.ipLength, lengths[i] + 40) << i;
    }
    EXPECT_EQ(entries[2].entry.sequence, 0xFFFFF003u + 9999u);
    EXPECT_EQ(entries[3].position, 0xFFFFF003LL + 19998);
    EXPECT_EQ(entries[4].position, 0x100005000LL);
    std::filesystem::remove_all(dir);
}

TEST(CaptureFiles, AppendModeContinuesAnExistingFile) {
    const std::string dir = tempDir();
    std::int32_t headerWritten = 0;
    {
        CaptureFileWriter w;
        ASSERT_TRUE(w.openData(dir + "d", true));
        ASSERT_TRUE(w.openIndex(dir + "i", true));
        w.append(kKindRtmp, headerWritten, 1, std::span(reinterpret_cast<const std::uint8_t*>("xy"), 2));
    }
    CaptureFileWriter w;
    ASSERT_TRUE(w.openData(dir + "d", false));
    ASSERT_TRUE(w.openIndex(dir + "i", false));
    w.append(kKindRtmp, headerWritten, 3, std::span(reinterpret_cast<const std::uint8_t*>("z"), 1));
    w.close();
    EXPECT_EQ(read(dir + "d"), std::string("PIP\x01\0xyz", 8));
    std::vector<OrderedEntry> entries;
    ASSERT_EQ(loadOrderedIndex(dir + "i", entries), ReadStatus::Ok);
    EXPECT_EQ(entries[1].entry.dataOffset, 7u);
    std::filesystem::remove_all(dir);
}

TEST(CaptureFiles, IndexLoadingRules) {
    const std::string dir = tempDir();
    std::vector<OrderedEntry> out;
    EXPECT_EQ(loadOrderedIndex(dir + "missing", out), ReadStatus::Missing);
    writeEntries(dir + "one", {{1, 5, 10, 50}});
    EXPECT_EQ(loadOrderedIndex(dir + "one", out), ReadStatus::TooFewEntries);
    writeEntries(dir + "one-and-a-half", {{1, 5, 10, 50}}, 9);
    EXPECT_EQ(loadOrderedIndex(dir + "one-and-a-half", out), ReadStatus::TooFewEntries);
    writeEntries(dir + "partial", {{1, 5, 10, 50}, {11, 15, 10, 50}}, 17);
    ASSERT_EQ(loadOrderedIndex(dir + "partial", out), ReadStatus::Ok);
    EXPECT_EQ(out.size(), 2u);
    std::filesystem::remove_all(dir);
}

TEST(CaptureFiles, OrderingKeepsCaptureOrderForEqualPositionsAndUnwraps) {
    const std::uint32_t bases[] = {1000u, 0xFFFFFFFFu - 2500u};
    for (std::uint32_t base : bases) {
        // Capture order: 2nd segment, 1st, a retransmission of the 2nd (shorter), 3rd.
        const std::vector<IndexEntry> entries = {
            {base + 1000, 100, 1000, 1040},
            {base, 200, 1000, 1040},
            {base + 1000, 300, 500, 540},
            {base + 2000, 400, 1000, 1040},
        };
        std::vector<OrderedEntry> out;
        orderEntries(entries, out);
        ASSERT_EQ(out.size(), 4u);
        EXPECT_EQ(out[0].entry.dataOffset, 200u) << base;
        EXPECT_EQ(out[1].entry.dataOffset, 100u) << base;  // equal positions: capture order
        EXPECT_EQ(out[2].entry.dataOffset, 300u) << base;
        EXPECT_EQ(out[3].entry.dataOffset, 400u) << base;
        EXPECT_EQ(out[3].position - out[0].position, 2000) << base;
    }
}

TEST(CaptureFiles, HeaderCheck) {
    const std::string dir = tempDir();
    struct Case {
        std::string bytes;
        ReadStatus status;
        std::uint8_t kind;
    } cases[] = {
        {"", ReadStatus::Empty, 0},
        {"PIP", ReadStatus::BadHeader, 0},
        {std::string("PIX\0\0", 5), ReadStatus::BadHeader, 0},
        {std::string("PIP\x01\0", 5), ReadStatus::Ok, 1},
        {std::string("PIP\x07\0rest", 9), ReadStatus::Ok, 7},
    };
    for (const auto& c : cases) {
        std::ofstream(dir + "d", std::ios::binary) << c.bytes;
        std::FILE* f = std::fopen((dir + "d").c_str(), "rb");
        std::uint8_t kind = 0xEE;
        EXPECT_EQ(readHeader(f, kind), c.status);
        if (c.status == ReadStatus::Ok) {
            EXPECT_EQ(kind, c.kind);
        }
        std::fclose(f);
    }
    EXPECT_EQ(readHeader(nullptr, *std::make_unique<std::uint8_t>()), ReadStatus::Missing);
    std::filesystem::remove_all(dir);
}

// Offsets are stored as their low 32 bits; in file order they only grow, so
// each one is the previous one plus the 32-bit difference.
TEST(CaptureFiles, DataOffsetsPast4GiBAreUnwrappedInFileOrder) {
    constexpr std::uint64_t k4G = std::uint64_t{1} << 32;
    const struct {
        const char* what;
        std::vector<std::uint64_t> stored, expected;
    } cases[] = {
        {"below 4 GiB: unchanged", {5, 100, 9000}, {5, 100, 9000}},
        {"one wrap", {0xFFFFF000, 0xFFFFF800, 0x10, 0x2000}, {0xFFFFF000, 0xFFFFF800, k4G + 0x10, k4G + 0x2000}},
        {"exactly at 4 GiB", {0xFFFFFFFF, 0x0}, {0xFFFFFFFF, k4G}},
        {"two wraps", {0xFFFFFF00, 0x100, 0x80000000, 0xFFFFFF00, 0x100},
         {0xFFFFFF00, k4G + 0x100, k4G + 0x80000000, 2 * k4G - 0x100, 2 * k4G + 0x100}},
        {"empty payloads keep their offset", {0xFFFFFFF0, 0xFFFFFFF0, 0x5, 0x5}, {0xFFFFFFF0, 0xFFFFFFF0, k4G + 5, k4G + 5}},
        {"one entry", {0x1234}, {0x1234}},
    };
    for (const auto& c : cases) {
        std::vector<IndexEntry> entries;
        for (auto offset : c.stored) {
            IndexEntry e;
            e.dataOffset = offset;
            // Through the file format: only the low 32 bits survive.
            const auto bytes = encodeEntry(e);
            entries.push_back(decodeEntry(bytes));
        }
        unwrapDataOffsets(entries);
        std::vector<std::uint64_t> got;
        for (const auto& e : entries) got.push_back(e.dataOffset);
        EXPECT_EQ(got, c.expected) << c.what;
    }
    // The writer records the low 32 bits of an offset past 4 GiB.
    IndexEntry far;
    far.dataOffset = k4G + 0xABC;
    EXPECT_EQ(decodeEntry(encodeEntry(far)).dataOffset, 0xABCu);
}

// A write that fails is reported with the file and the system's text, and
// every append after it says so too, so the caller stops storing.
TEST(CaptureFiles, WriteFailureIsReportedWithItsReason) {
    const std::string dir = tempDir();
    CaptureFileWriter w;
    ASSERT_TRUE(w.openData(dir + "1.flvdata", true));
    ASSERT_TRUE(w.openIndex(dir + "1.flvdata.idx", true));
    EXPECT_TRUE(w.failure().empty());
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 50000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::vector<std::uint8_t> payload(9000, 0x41);
    std::int32_t headerWritten = 0;
    bool failed = false;
    for (int i = 0; i < 40 && !failed; ++i) {
        failed = !w.append(kKindHttp, headerWritten, static_cast<std::uint32_t>(i * 9000), payload);
        if (!failed) ::usleep(2000);  // lets the background writer reach the limit
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(failed);
    EXPECT_FALSE(w.append(kKindHttp, headerWritten, 1, payload));
    EXPECT_FALSE(w.close());
    EXPECT_EQ(w.failure(), "cannot write " + dir + "1.flvdata: File too large");
    std::filesystem::remove_all(dir);
}
