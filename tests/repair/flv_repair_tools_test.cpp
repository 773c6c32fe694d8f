// FLV repair on real files made by ffmpeg, with the copies checked by
// flvmeta and ffprobe and taken apart tag by tag.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "kestrel/files/flv_repair.h"
#include "tests/repair/flv_test_file.h"
#include "tests/repair/repair_checks.h"
#include "tests/repair/tool_runner.h"

using kestrel::files::RepairOutcome;
using namespace kestrel::testing;

namespace {

class FlvRepairTools : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"ffmpeg", "ffprobe", "flvmeta"})
            if (!toolAvailable(tool)) missing_ += std::string(missing_.empty() ? "" : ", ") + tool;
        if (missing_.empty()) dir_ = std::make_unique<TempFolder>("repair-tools");
    }
    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override {
        if (!missing_.empty()) GTEST_SKIP() << "needs " << missing_ << " (Debian packages ffmpeg, flvmeta)";
    }

    // Makes the named input on first use (each test runs in its own process
    // under CTest, so only what a test needs is made).
    static void make(const std::string& name) {
        if (std::filesystem::exists(path(name))) return;
        std::vector<std::string> args;
        if (name == "hd.flv") {
            // 720p H.264 with AAC; a low CRF makes every key frame well above 50 KB.
            args = {"-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=44100", "-t", "2", "-c:v", "libx264", "-preset", "ultrafast",
                    "-crf", "12", "-g", "25", "-pix_fmt", "yuv420p", "-c:a", "aac", "-f", "flv"};
        } else if (name == "many.flv") {
            // Tiny frames: 4-sample PCM packets and 16x16 video at 1000 frames/s.
            args = {"-f", "lavfi", "-i", "anullsrc=r=11025:cl=mono:nb_samples=4", "-f", "lavfi", "-i",
                    "color=c=black:s=16x16:r=1000", "-t", "30", "-c:a", "pcm_s16le", "-c:v", "flv1", "-g",
                    "100000", "-f", "flv"};
        } else if (name == "audio.flv") {
            args = {"-f", "lavfi", "-i", "sine=frequency=300:sample_rate=44100", "-t", "3", "-c:a", "aac", "-f", "flv"};
        } else if (name == "notflv.flv") {
            // Not FLV at all, though named so.
            args = {"-f", "lavfi", "-i", "sine=frequency=300:sample_rate=44100", "-t", "0.3", "-c:a", "aac", "-f", "mp4"};
        } else if (name == "cut.flv") {
            // The HD file cut in the middle of its largest tag.
            make("hd.flv");
            std::string hd = slurp(path("hd.flv"));
            FlvFile parsed = parseFlv(hd);
            auto largest = std::max_element(parsed.tags.begin(), parsed.tags.end(),
                                            [](const FlvTag& a, const FlvTag& b) { return a.dataSize < b.dataSize; });
            ASSERT_NE(largest, parsed.tags.end());
            std::ofstream(path(name), std::ios::binary) << hd.substr(0, largest->dataOffset + largest->dataSize / 2);
            cutTagIndex_ = static_cast<std::size_t>(largest - parsed.tags.begin());
            return;
        }
        std::vector<std::string> cmd = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
        cmd.insert(cmd.end(), args.begin(), args.end());
        cmd.push_back(path(name));
        ToolResult r = runTool(cmd);
        ASSERT_EQ(r.status, 0) << "ffmpeg could not make " << name << ":\n" << r.err;
    }

    static std::string path(const std::string& name) { return dir_->file(name); }

    // Repairs name and checks the copy against its input and with the tools.
    static void repairAndCheck(const std::string& name, RepairOutcome expectedOutcome, std::size_t expectedTags) {
        std::string input = slurp(path(name));
        RecordingUi ui;
        auto report = kestrel::files::repairFlvFile(path(name), ui);
        EXPECT_EQ(report.outcome, expectedOutcome);
        ASSERT_EQ(ui.messages.size(), 1u);
        EXPECT_EQ(ui.messages[0], path(name) + " file has been fixed.");
        EXPECT_EQ(slurp(path(name)), input);
        std::string output = slurp(path(name) + ".fixed.flv");
        expectRepairedCopy(input, output, expectedTags);
        expectToolsAccept(path(name) + ".fixed.flv");
    }

    static void expectToolsAccept(const std::string& copy) {
        ToolResult check = runTool({"flvmeta", "--check", "--level=error", copy});
        EXPECT_EQ(check.status, 0) << "flvmeta --check:\n" << check.out << check.err;

        ToolResult probe =
            runTool({"ffprobe", "-v", "error", "-show_entries", "packet=codec_type,dts", "-of", "csv=p=0", copy});
        EXPECT_EQ(probe.status, 0);
        EXPECT_EQ(probe.err, "") << "ffprobe complained about " << copy;
        // ffprobe must see the synthetic times: audio on a 12 ms grid,
        // video on a 10 ms grid, each rising.
        std::istringstream lines(probe.out);
        std::string line;
        long lastAudio = -1, lastVideo = -1, audioPackets = 0, videoPackets = 0;
        while (std::getline(lines, line)) {
            auto comma = line.find(',');
            ASSERT_NE(comma, std::string::npos) << line;
            long dts = std::stol(line.substr(comma + 1));
            bool isAudio = line.compare(0, comma, "audio") == 0;
            long& last = isAudio ? lastAudio : lastVideo;
            EXPECT_EQ(dts % (isAudio ? 12 : 10), 0) << line;
            EXPECT_GT(dts, last) << line;
            last = dts;
            ++(isAudio ? audioPackets : videoPackets);
        }
        EXPECT_GT(audioPackets + videoPackets, 0);
    }

    static inline std::string missing_;
    static inline std::unique_ptr<TempFolder> dir_;
    static inline std::size_t cutTagIndex_ = 0;
};

TEST_F(FlvRepairTools, HdVideoWithKeyFramesAbove50KB) {
    ASSERT_NO_FATAL_FAILURE(make("hd.flv"));
    FlvFile input = parseFlv(slurp(path("hd.flv")));
    auto big = std::count_if(input.tags.begin(), input.tags.end(),
                             [](const FlvTag& t) { return t.type == 9 && t.dataSize > 50000; });
    ASSERT_GE(big, 2) << "the input should hold key frames above 50 KB";
    repairAndCheck("hd.flv", RepairOutcome::Repaired, input.tags.size());
}

TEST_F(FlvRepairTools, MoreThan100000TinyTags) {
    ASSERT_NO_FATAL_FAILURE(make("many.flv"));
    FlvFile input = parseFlv(slurp(path("many.flv")));
    ASSERT_GT(input.tags.size(), 100000u);
    repairAndCheck("many.flv", RepairOutcome::Repaired, input.tags.size());
}

TEST_F(FlvRepairTools, AudioOnly) {
    ASSERT_NO_FATAL_FAILURE(make("audio.flv"));
    FlvFile input = parseFlv(slurp(path("audio.flv")));
    ASSERT_GT(input.tags.size(), 100u);
    repairAndCheck("audio.flv", RepairOutcome::Repaired, input.tags.size());
}

TEST_F(FlvRepairTools, CutOffInsideATag) {
    ASSERT_NO_FATAL_FAILURE(make("cut.flv"));
    ASSERT_GT(cutTagIndex_, 0u);
    repairAndCheck("cut.flv", RepairOutcome::Truncated, cutTagIndex_);
}

TEST_F(FlvRepairTools, NotAnFlvFile) {
    ASSERT_NO_FATAL_FAILURE(make("notflv.flv"));
    RecordingUi ui;
    auto report = kestrel::files::repairFlvFile(path("notflv.flv"), ui);
    EXPECT_EQ(report.outcome, RepairOutcome::NotFlv);
    ASSERT_EQ(ui.messages.size(), 1u);
    EXPECT_EQ(ui.messages[0], path("notflv.flv") + " is not an FLV file; nothing was repaired.");
    EXPECT_FALSE(std::filesystem::exists(path("notflv.flv.fixed.flv")));
}

TEST_F(FlvRepairTools, CommandLineSaysWhereTheCopyWent) {
    const std::string cli = std::string(KESTREL_BIN_DIR) + "/kestrel-cli";
    if (!toolAvailable(cli)) GTEST_SKIP() << "kestrel-cli is not built";
    for (const char* name : {"audio.flv", "cut.flv", "notflv.flv"}) ASSERT_NO_FATAL_FAILURE(make(name));
    struct Case {
        std::string file;
        int status;
        std::vector<std::string> expectedOut;
        std::string expectedErr;
    };
    const Case cases[] = {
        {"audio.flv", 0, {path("audio.flv") + " file has been fixed.", "repaired copy: " + path("audio.flv.fixed.flv")}, ""},
        {"cut.flv", 0, {"repaired copy: " + path("cut.flv.fixed.flv")}, "ends inside a tag"},
        {"notflv.flv", 1, {path("notflv.flv") + " is not an FLV file; nothing was repaired."}, "is not an FLV file; no copy was made"},
        {"absent.flv", 1, {}, "no such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        ToolResult r = runTool({cli, "repair", path(c.file)});
        EXPECT_EQ(r.status, c.status) << r.out << r.err;
        for (const auto& text : c.expectedOut) EXPECT_NE(r.out.find(text), std::string::npos) << r.out;
        if (c.expectedErr.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(c.expectedErr), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(path("absent.flv.fixed.flv")));
    expectToolsAccept(path("audio.flv.fixed.flv"));
}

}  // namespace
