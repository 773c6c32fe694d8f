// FLV repair on built inputs: timestamps, size fields, the outcomes and
// their messages, and the limits of the format.

#include "kestrel/files/flv_repair.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/repair/flv_test_file.h"
#include "tests/repair/repair_checks.h"
#include "tests/repair/tool_runner.h"

using kestrel::files::RepairOutcome;
using kestrel::files::repairFlvFile;
using namespace kestrel::testing;

namespace {

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct RepairRun {
    kestrel::files::RepairReport report;
    std::vector<std::string> messages;
    std::string output;
};

// Repairs bytes stored as dir/name and checks that the input is untouched.
RepairRun repairBytes(const TempFolder& dir, const std::string& bytes, const std::string& name = "in.flv") {
    std::string path = dir.file(name);
    writeFile(path, bytes);
    RecordingUi ui;
    RepairRun run;
    run.report = repairFlvFile(path, ui);
    run.messages = ui.messages;
    run.output = slurp(path + ".fixed.flv");
    EXPECT_EQ(slurp(path), bytes) << "the chosen file must never change";
    return run;
}

TagSpec audio(std::uint32_t size, std::uint32_t ts = 0) {
    return {8, size, ts};
}
TagSpec video(std::uint32_t size, std::uint32_t ts = 0) {
    return {9, size, ts};
}
TagSpec script(std::uint32_t size, std::uint32_t ts = 0, std::uint32_t previous = 0) {
    return {18, size, ts, 0, 0, previous};
}

}  // namespace

TEST(FlvRepair, TimestampsAndSizeFieldsForEveryTagMix) {
    struct Case {
        const char* name;
        std::vector<TagSpec> tags;
        bool trailingSize;
    };
    TagSpec damagedExtension{8, 7, 0x000500, 0xC3, 0, 77};
    TagSpec withStreamId{9, 12, 40, 0, 0x010203, 5};
    TagSpec encrypted{0x28, 9, 0x111111, 0x22, 0, 0xABCDEF01};
    const Case cases[] = {
        {"interleaved, timestamps in disorder", {video(30, 999), audio(5, 3), audio(6, 1), video(31, 0), audio(7, 77777)}, true},
        {"script first with odd fields", {script(40, 0x123456, 0xDEADBEEF), audio(4), video(50)}, true},
        {"script between media tags", {audio(8), script(25, 7, 3), video(9), audio(10)}, true},
        {"other tag types copied unchanged", {video(3), encrypted, audio(2)}, true},
        {"no size field after the last tag", {audio(3), video(4)}, false},
        {"tags without data", {audio(0), video(0), audio(0), script(0, 9, 9)}, true},
        {"stream id kept", {withStreamId, audio(1)}, true},
        {"damaged extension byte does not leak into the time", {damagedExtension, damagedExtension}, true},
        {"video only", {video(100), video(200), video(300)}, true},
        {"no tags at all", {}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("repair");
        std::string input = buildFlv(c.tags, c.trailingSize);
        RepairRun run = repairBytes(dir, input);
        EXPECT_EQ(run.report.outcome, RepairOutcome::Repaired);
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0], dir.file("in.flv") + " file has been fixed.");
        EXPECT_EQ(run.report.outputPath, dir.file("in.flv.fixed.flv"));
        expectRepairedCopy(input, run.output, c.tags.size());
        EXPECT_EQ(run.report.tags(), c.tags.size());
        EXPECT_EQ(run.report.outputBytes, run.output.size());
    }
}

TEST(FlvRepair, AudioAndVideoCountersRunIndependently) {
    // Spelled out once, apart from the shared checker: 0, 12, 24 for audio
    // and 0, 10, 20 for video, whatever the input said.
    TempFolder dir("repair");
    std::string input = buildFlv({audio(1, 500), video(1, 500), audio(1, 9), audio(1, 0), video(1, 7), video(1, 1)});
    RepairRun run = repairBytes(dir, input);
    FlvFile out = parseFlv(run.output);
    ASSERT_EQ(out.tags.size(), 6u);
    const std::uint32_t expected[] = {0, 0, 12, 24, 10, 20};
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(out.tags[i].time(), expected[i]) << i;
}

TEST(FlvRepair, InputEndingInsideATag) {
    struct Case {
        const char* name;
        std::size_t cutFromEnd;  // bytes removed from a file with 3 tags and no final size field
        std::size_t tagsKept;
    };
    // Tag sizes 20, 30, 40: the last tag's block is 15 bytes, its data 40.
    const Case cases[] = {
        {"cut inside the last tag's data", 1, 2},
        {"only the last tag's block left", 40, 2},
        {"cut inside the last tag's block", 40 + 5, 2},
        {"only part of the last tag's size field", 40 + 13, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("repair");
        std::string whole = buildFlv({audio(20), video(30), audio(40)}, false);
        std::string input = whole.substr(0, whole.size() - c.cutFromEnd);
        RepairRun run = repairBytes(dir, input);
        EXPECT_EQ(run.report.outcome, RepairOutcome::Truncated);
        EXPECT_EQ(run.report.truncatedAt, whole.size() - 40 - 15);
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0], dir.file("in.flv") + " file has been fixed.");
        expectRepairedCopy(input, run.output, c.tagsKept);
    }
}

// Not an FLV file: the user is told so, not that it "has been fixed", and
// no empty copy is left behind.
TEST(FlvRepair, InputThatIsNotFlvIsReportedAndLeavesNoCopy) {
    const std::string cases[] = {
        std::string(),
        std::string("FL"),
        std::string("FLV"),
        std::string("FLV\x01\x05\0\0\0", 8),
        std::string("flv\x01\x05\0\0\0\x09\0\0\0\0", 13),
        std::string("RIFF\x24\0\0\0WAVEfmt ", 16),
    };
    for (const auto& bytes : cases) {
        SCOPED_TRACE(testing::PrintToString(bytes));
        TempFolder dir("repair");
        // An older copy of the same name must not survive.
        writeFile(dir.file("in.flv.fixed.flv"), std::string(5000, 'x'));
        RepairRun run = repairBytes(dir, bytes);
        EXPECT_EQ(run.report.outcome, RepairOutcome::NotFlv);
        EXPECT_FALSE(run.report.wroteCopy());
        EXPECT_FALSE(std::filesystem::exists(dir.file("in.flv.fixed.flv")));
        ASSERT_EQ(run.messages.size(), 1u);
        EXPECT_EQ(run.messages[0], dir.file("in.flv") + " is not an FLV file; nothing was repaired.");
    }
}

TEST(FlvRepair, MissingFileDoesNothing) {
    TempFolder dir("repair");
    RecordingUi ui;
    auto report = repairFlvFile(dir.file("absent.flv"), ui);
    EXPECT_EQ(report.outcome, RepairOutcome::NoSuchFile);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_FALSE(std::filesystem::exists(dir.file("absent.flv.fixed.flv")));
    EXPECT_EQ(repairFlvFile("", ui).outcome, RepairOutcome::NoSuchFile);
    EXPECT_TRUE(ui.messages.empty());
}

TEST(FlvRepair, InputThatCannotBeOpenedIsReported) {
    TempFolder dir("repair");
    std::filesystem::create_directory(dir.file("folder.flv"));
    RecordingUi ui;
    auto report = repairFlvFile(dir.file("folder.flv"), ui);
    EXPECT_EQ(report.outcome, RepairOutcome::CannotOpen);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], "Failed to open file, the file is already opened by other program");
    EXPECT_FALSE(std::filesystem::exists(dir.file("folder.flv.fixed.flv")));
}

TEST(FlvRepair, CopyThatCannotBeWrittenIsNotReportedAsFixed) {
    struct Case {
        const char* name;
        void (*prepare)(const TempFolder&);
    };
    const Case cases[] = {
        {"copy name taken by a folder",
         [](const TempFolder& d) { std::filesystem::create_directory(d.file("in.flv.fixed.flv")); }},
        {"device without space",
         [](const TempFolder& d) { std::filesystem::create_symlink("/dev/full", d.file("in.flv.fixed.flv")); }},
        {"copy name is a link to the input itself",
         [](const TempFolder& d) { std::filesystem::create_hard_link(d.file("in.flv"), d.file("in.flv.fixed.flv")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("repair");
        std::string input = buildFlv({audio(300000), video(400000)});
        writeFile(dir.file("in.flv"), input);
        c.prepare(dir);
        RecordingUi ui;
        auto report = repairFlvFile(dir.file("in.flv"), ui);
        EXPECT_EQ(report.outcome, RepairOutcome::WriteFailed);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0], "Failed to write file " + dir.file("in.flv.fixed.flv"));
        EXPECT_EQ(slurp(dir.file("in.flv")), input);
    }
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

// Tags above 49,999 data bytes, up to the 24-bit limit, are repaired whole.
TEST(FlvRepair, Regression_TagsLargerThan49999Bytes) {
    TempFolder dir("repair");
    std::string input = buildFlv({audio(100), video(50000), video(49999), video(1000000), audio(0xFFFFFF), video(7)});
    RepairRun run = repairBytes(dir, input);
    EXPECT_EQ(run.report.outcome, RepairOutcome::Repaired);
    expectRepairedCopy(input, run.output, 6);
}

// Every tag is repaired, not just the first 100,000.
TEST(FlvRepair, Regression_MoreThan100000Tags) {
    TempFolder dir("repair");
    std::vector<TagSpec> tags;
    for (std::uint32_t i = 0; i < 100000 + 2345; ++i) tags.push_back(i % 3 == 0 ? video(i % 50, i) : audio(i % 7, 3));
    std::string input = buildFlv(tags);
    RepairRun run = repairBytes(dir, input);
    EXPECT_EQ(run.report.outcome, RepairOutcome::Repaired);
    EXPECT_EQ(run.report.tags(), tags.size());
    expectRepairedCopy(input, run.output, tags.size());
}

// An older, longer copy of the same name leaves no stale tail.
TEST(FlvRepair, Regression_OlderLongerCopyIsReplaced) {
    TempFolder dir("repair");
    std::string older = buildFlv({video(90000), audio(90000), video(90000)});
    RepairRun first = repairBytes(dir, older);
    ASSERT_EQ(first.report.outcome, RepairOutcome::Repaired);
    std::string shorter = buildFlv({audio(10), video(20)});
    RepairRun second = repairBytes(dir, shorter);
    EXPECT_EQ(second.report.outcome, RepairOutcome::Repaired);
    EXPECT_EQ(second.output.size(), 9 + (15 + 10) + (15 + 20) + 4u);
    expectRepairedCopy(shorter, second.output, 2);
}

// Past 2^24 ms of audio the time goes on in the extension byte instead of
// starting again at 0.
TEST(FlvRepair, SyntheticTimeCarriesIntoTheExtensionByte) {
    TempFolder dir("repair");
    constexpr std::uint32_t kTags = 0xFFFFFF / 12 + 3;  // the last two pass 2^24 ms
    std::string input = flvHeader();
    input.reserve(input.size() + std::size_t{kTags} * 15 + 4);
    for (std::uint32_t i = 0; i < kTags; ++i) appendTag(input, audio(0), i);
    putBe(input, 11, 4);
    RepairRun run = repairBytes(dir, input);
    ASSERT_EQ(run.report.outcome, RepairOutcome::Repaired);
    FlvFile out = parseFlv(run.output);
    ASSERT_EQ(out.tags.size(), kTags);
    for (std::uint32_t i = kTags - 4; i < kTags; ++i) EXPECT_EQ(out.tags[i].time(), 12u * i) << i;
    EXPECT_EQ(out.tags[kTags - 1].extension, 1);
    EXPECT_EQ(out.tags[kTags - 3].extension, 0);
}

// Size fields of a hostile file are believed only as far as the bytes go.
TEST(FlvRepair, Regression_HostileSizesStayInsideTheFile) {
    struct Case {
        const char* name;
        std::string bytes;
        std::size_t tagsKept;
    };
    std::string claimsHuge = flvHeader();
    appendTag(claimsHuge, audio(3), 1);
    putBe(claimsHuge, 0xFFFFFFFF, 4);
    claimsHuge += std::string("\x09\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 11);
    claimsHuge += "short";
    std::string headerSizeLies = buildFlv({video(5)});
    headerSizeLies[8] = '\xFF';  // header size field says 255
    const Case cases[] = {
        {"16 MiB claimed, 5 bytes present", claimsHuge, 1},
        {"header size field ignored", headerSizeLies, 1},
        {"all ones", std::string("FLV") + std::string(64, '\xFF'), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("repair");
        RepairRun run = repairBytes(dir, c.bytes);
        expectRepairedCopy(c.bytes, run.output, c.tagsKept);
    }
}
