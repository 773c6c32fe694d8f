// The desktop program's start before any window: its command line, the
// language file, and the association the settings ask for.

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "kestrel/shell/app_start.h"
#include "platform/profile.h"
#include "plover/plover.h"
#include "tests/plover/plover_test_env.h"
#include "tests/support/test_files.h"

namespace kestrel::shell {
namespace {

CommandLine parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    std::string program = "kestrel";
    argv.push_back(program.data());
    for (auto& a : args) argv.push_back(a.data());
    return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

TEST(CommandLine, Cases) {
    struct Case {
        std::vector<std::string> args;
        std::string file, source, save;
        bool start, help;
        bool error;
    } cases[] = {
        {{}, "", "", "", false, false, false},
        {{"clip.flv"}, "clip.flv", "", "", false, false, false},
        {{"--source", "file:///tmp/a.pcap", "--save", "/tmp/out", "--start"}, "", "file:///tmp/a.pcap", "/tmp/out", true,
         false, false},
        {{"--start", "/home/u/My Clip.flv"}, "/home/u/My Clip.flv", "", "", true, false, false},
        {{"--help"}, "", "", "", false, true, false},
        {{"--source"}, "", "", "", false, false, true},      // value missing
        {{"--save", ""}, "", "", "", false, false, true},    // empty value
        {{"--bogus"}, "", "", "", false, false, true},
        {{"a.flv", "b.flv"}, "a.flv", "", "", false, false, true},
        {{"-"}, "-", "", "", false, false, false},  // a lone dash is a name, not an option
    };
    for (const auto& c : cases) {
        const auto got = parse(c.args);
        std::string label;
        for (const auto& a : c.args) label += a + " ";
        EXPECT_EQ(!got.error.empty(), c.error) << label << got.error;
        if (c.error) continue;
        EXPECT_EQ(got.file, c.file) << label;
        EXPECT_EQ(got.source, c.source) << label;
        EXPECT_EQ(got.save, c.save) << label;
        EXPECT_EQ(got.start, c.start) << label;
        EXPECT_EQ(got.help, c.help) << label;
    }
}

class Language : public ::testing::Test {
protected:
    void SetUp() override { home_ = test::tempFolder("kestrel-lang"); }
    void TearDown() override { std::filesystem::remove_all(home_); }
    std::string home_;
};

TEST_F(Language, WritesTheEnglishFileAndRecordsEnglish) {
    // A settings file that names another language, among other keys.
    test::writeFile(home_ + "setting.ini", "[Normal]\r\nSavePath=/x/\r\nLanguage=Deutsch\r\nMaxTasks=3\r\n");
    engine::SettingsRecord record;
    record.language = "Deutsch";
    ASSERT_TRUE(setUpLanguage(home_, record));
    EXPECT_EQ(record.language, "English");
    const std::string written = test::readFile(home_ + "Language/eng.ini");
    EXPECT_EQ(written, std::string(englishLanguageText()));
    // The file is what the options dialog lists: its Language key names it.
    auto lang = platform::ProfileFile::parse(written);
    EXPECT_EQ(lang.getString("Normal", "Language", ""), "English");
    EXPECT_NE(written.find("\r\n"), std::string::npos);
    auto settings = platform::ProfileFile::load(home_ + "setting.ini");
    EXPECT_EQ(settings.getString("Normal", "Language", ""), "English");
    EXPECT_EQ(settings.getString("Normal", "SavePath", ""), "/x/");
    EXPECT_EQ(settings.getInt("Normal", "MaxTasks", 0), 3);
    // Again: the file is replaced, not appended to.
    ASSERT_TRUE(setUpLanguage(home_, record));
    EXPECT_EQ(test::readFile(home_ + "Language/eng.ini"), std::string(englishLanguageText()));
}

TEST_F(Language, AFolderInTheWayIsReported) {
    // "Language" exists as a file: no folder can be made there.
    test::writeFile(home_ + "Language", "x");
    engine::SettingsRecord record;
    EXPECT_FALSE(setUpLanguage(home_, record));
    EXPECT_EQ(record.language, "English");
}

class Association : public testing::PloverEnvTest {};

TEST_F(Association, RegistersOnlyWhatTheSettingsAskFor) {
    struct Case {
        int file, menu;
        bool associated, menuEntry;
    } cases[] = {{1, 1, true, true}, {1, 0, true, false}, {0, 1, false, true}, {0, 0, false, false}};
    for (const auto& c : cases) {
        File_Unassociated(".flv");
        ContextMenu_Delete(".flv", kContextMenuText);
        engine::SettingsRecord record;
        record.associateFile = c.file;
        record.contextMenu = c.menu;
        EXPECT_EQ(associateAtStart(record, "/opt/kestrel/kestrel"), "") << c.file << c.menu;
        // What the desktop sees: the default handler, and the entry's action.
        const std::string defaults = testing::slurp(mimeApps());
        const std::string entry = testing::slurp(applications() + "kestrel.flv.desktop");
        EXPECT_EQ(defaults.find("video/x-flv=kestrel.flv.desktop") != std::string::npos, c.associated)
            << c.file << c.menu << defaults;
        EXPECT_EQ(entry.find("[Desktop Action play-in-kestrel]\nName=Play in Kestrel\nExec=\"/opt/kestrel/kestrel\" %f") !=
                      std::string::npos,
                  c.menuEntry)
            << c.file << c.menu << entry;
    }
}

}  // namespace
}  // namespace kestrel::shell
