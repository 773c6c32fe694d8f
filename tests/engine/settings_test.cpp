#include "kestrel/engine/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/data_dir.h"
#include "platform/profile.h"
#include "tests/support/test_files.h"

using namespace kestrel::engine;
using kestrel::platform::readWholeFile;
using kestrel::platform::writeFileAtomically;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = kestrel::test::tempFolder("kestrel-settings");
        path_ = dir_ + "setting.ini";
        // The fallback save folder lives in the home folder and loading creates it.
        const char* home = std::getenv("HOME");
        oldHome_ = home ? home : "";
        ::setenv("HOME", (dir_ + "home").c_str(), 1);
    }
    void TearDown() override {
        ::setenv("HOME", oldHome_.c_str(), 1);
        std::filesystem::remove_all(dir_);
    }
    int loadText(const std::string& text) {
        EXPECT_TRUE(writeFileAtomically(path_, text));
        return loadSettings(path_, record_, globals_);
    }
    std::string dir_, path_, oldHome_;
    SettingsRecord record_;
    SettingsGlobals globals_;
};

constexpr const char* kDefaultText =
    "[Normal]\r\nSavePath=\r\nAdapter=\r\nAdapterDescription=\r\nIP=\r\nNetmask=\r\nLimitativeSpace=20\r\n"
    "Language=English\r\nMaxTasks=5\r\nAssociatedFile=1\r\nAssociatedMenu=1\r\n";

}  // namespace

TEST_F(SettingsTest, MissingFileGetsTheBuiltInDefaultByteForByte) {
    EXPECT_EQ(defaultSettingsFile(), kDefaultText);
    EXPECT_EQ(loadSettings(path_, record_, globals_), 0);  // adapter keys are empty
    EXPECT_EQ(*readWholeFile(path_), kDefaultText);
    EXPECT_EQ(globals_.saveFolder, dir_ + "home/Kestrel/");
    EXPECT_TRUE(kestrel::platform::folderExists(dir_ + "home/Kestrel/"));
    EXPECT_EQ(record_.netmask, kDefaultNetmask);
    EXPECT_EQ(record_.diskLimit, 20);
    EXPECT_EQ(record_.maxTasks, 5);
    EXPECT_EQ(record_.associateFile, 1);
    EXPECT_EQ(record_.contextMenu, 1);
    EXPECT_EQ(record_.language, "English");
    EXPECT_EQ(globals_.languageFile, "English");
    EXPECT_EQ(globals_.recordSwf, 0);
    EXPECT_EQ(globals_.checkNewVerAtStartup, 1);
    EXPECT_EQ(globals_.recordingNumber, 0);
}

TEST_F(SettingsTest, IntegerCorrections) {
    struct Case {
        const char* line;
        std::int32_t SettingsRecord::*recordField;
        std::int32_t SettingsGlobals::*globalField;
        std::int32_t expected;
    } cases[] = {
        {"MaxTasks=0", &SettingsRecord::maxTasks, nullptr, 5},
        {"MaxTasks=10", &SettingsRecord::maxTasks, nullptr, 5},
        {"MaxTasks=9", &SettingsRecord::maxTasks, nullptr, 9},
        {"MaxTasks=1", &SettingsRecord::maxTasks, nullptr, 1},
        {"MaxTasks=-3", &SettingsRecord::maxTasks, nullptr, 5},
        {"Netmask=0", &SettingsRecord::netmask, nullptr, kDefaultNetmask},
        {"Netmask=65535", &SettingsRecord::netmask, nullptr, 65535},
        {"Netmask=junk", &SettingsRecord::netmask, nullptr, kDefaultNetmask},
        {"LimitativeSpace=0", &SettingsRecord::diskLimit, nullptr, 20},
        {"LimitativeSpace=7", &SettingsRecord::diskLimit, nullptr, 7},
        {"AssociatedFile=abc", &SettingsRecord::associateFile, nullptr, 0},
        {"TotalRecordCount=2147483640", nullptr, &SettingsGlobals::recordingNumber, 0},
        {"TotalRecordCount=2147483639", nullptr, &SettingsGlobals::recordingNumber, 2147483639},
        {"TotalRecordCount=-1", nullptr, &SettingsGlobals::recordingNumber, 0},
        {"TotalRecordCount=41", nullptr, &SettingsGlobals::recordingNumber, 41},
        {"RecordSwf=1", nullptr, &SettingsGlobals::recordSwf, 1},
        {"CheckNewVerAtStartup=0", nullptr, &SettingsGlobals::checkNewVerAtStartup, 0},
    };
    for (const auto& c : cases) {
        loadText(std::string("[Normal]\r\n") + c.line + "\r\n");
        const std::int32_t got = c.recordField ? record_.*c.recordField : globals_.*c.globalField;
        EXPECT_EQ(got, c.expected) << c.line;
    }
}

TEST_F(SettingsTest, SavePathCorrections) {
    const std::string home = kestrel::platform::homeFolder();
    struct Case {
        std::string value, expected;
    } cases[] = {
        {"", home + "Kestrel/"},
        {"/", home + "Kestrel/"},
        {dir_ + "rec", dir_ + "rec/"},
        {dir_ + "rec2/", dir_ + "rec2/"},
    };
    for (const auto& c : cases) {
        loadText("[Normal]\r\nSavePath=" + c.value + "\r\n");
        EXPECT_EQ(globals_.saveFolder, c.expected) << c.value;
    }
    // The save folder is created by loading.
    EXPECT_TRUE(kestrel::platform::folderExists(dir_ + "rec/"));
}

TEST_F(SettingsTest, ResultFlagNeedsAllFourAdapterKeys) {
    const std::string full = "[Normal]\r\nAdapter=rpcap://eth0\r\nLanguage=English\r\nAdapterDescription=eth0\r\nIP=10.0.0.1\r\n";
    EXPECT_EQ(loadText(full), 1);
    EXPECT_EQ(globals_.captureAdapterName, "rpcap://eth0");
    EXPECT_EQ(globals_.adapterDescription, "eth0");
    EXPECT_EQ(record_.address, "10.0.0.1");
    for (const char* key : {"Adapter", "Language", "AdapterDescription", "IP"}) {
        std::string text = full;
        const auto at = text.find(std::string(key) + "=");
        text.erase(at, text.find("\r\n", at) - at);  // leaves an empty line
        EXPECT_EQ(loadText(text), 0) << key;
    }
}

TEST_F(SettingsTest, EmptyLanguageMeansEnglish) {
    loadText("[Normal]\r\nLanguage=\r\n");
    EXPECT_EQ(globals_.languageFile, "eng.ini");
    EXPECT_EQ(record_.language, "English");
    EXPECT_TRUE(globals_.englishDefaulted);
    loadText("[Normal]\r\nLanguage=Deutsch\r\n");
    EXPECT_EQ(globals_.languageFile, "Deutsch");
    EXPECT_FALSE(globals_.englishDefaulted);
}

TEST_F(SettingsTest, SaveWritesEveryKeyInOrderAndRoundTrips) {
    record_.adapterName = "rpcap://eth0";
    record_.adapterDescription = "eth0";
    record_.address = "10.0.0.1";
    record_.language = "English";
    record_.netmask = 65535;
    record_.diskLimit = 30;
    record_.maxTasks = 3;
    record_.associateFile = 0;
    record_.contextMenu = 1;
    globals_.saveFolder = dir_ + "out/";
    globals_.recordSwf = 1;
    globals_.checkNewVerAtStartup = 0;
    globals_.recordingNumber = 77;
    globals_.captureBufferMb = 256;
    EXPECT_EQ(saveSettings(path_, record_, globals_), 1);
    EXPECT_EQ(*readWholeFile(path_), "[Normal]\r\nSavePath=" + dir_ +
                                         "out/\r\nAdapter=rpcap://eth0\r\nAdapterDescription=eth0\r\nIP=10.0.0.1\r\n"
                                         "Language=English\r\nNetmask=65535\r\nLimitativeSpace=30\r\nMaxTasks=3\r\n"
                                         "RecordSwf=1\r\nCheckNewVerAtStartup=0\r\nAssociatedFile=0\r\nAssociatedMenu=1\r\n"
                                         "TotalRecordCount=77\r\nCaptureBufferMB=256\r\n");
    SettingsRecord r2;
    SettingsGlobals g2;
    EXPECT_EQ(loadSettings(path_, r2, g2), 1);
    EXPECT_EQ(g2.recordingNumber, 77);
    EXPECT_EQ(g2.captureBufferMb, 256);
    EXPECT_EQ(r2.maxTasks, 3);
    EXPECT_EQ(g2.saveFolder, dir_ + "out/");
}

TEST_F(SettingsTest, SaveKeepsTheDefaultFilesLayout) {
    loadSettings(path_, record_, globals_);
    globals_.recordingNumber = 5;
    saveSettings(path_, record_, globals_);
    const std::string text = *readWholeFile(path_);
    // Existing keys are replaced in place; new ones follow the section's last key.
    EXPECT_EQ(text.rfind("[Normal]\r\nSavePath=", 0), 0u) << text;
    EXPECT_NE(text.find("AssociatedMenu=1\r\nRecordSwf=0\r\nCheckNewVerAtStartup=1\r\nTotalRecordCount=5\r\n"
                        "CaptureBufferMB=64\r\n"),
              std::string::npos)
        << text;
}

// The kernel buffer of live captures: a setting of ours, clamped so that it
// always gives libpcap a usable size.
TEST_F(SettingsTest, CaptureBufferSizeIsClampedToAUsableRange) {
    const struct {
        const char* line;
        std::int32_t mb;
    } cases[] = {
        {"", 64},                            // missing: the default
        {"CaptureBufferMB=\r\n", 64},         // empty
        {"CaptureBufferMB=abc\r\n", 64},      // not a number
        {"CaptureBufferMB=0\r\n", 64},
        {"CaptureBufferMB=-8\r\n", 64},
        {"CaptureBufferMB=1\r\n", 1},
        {"CaptureBufferMB=256MB\r\n", 256},   // a leading number counts
        {"CaptureBufferMB=2047\r\n", 2047},
        {"CaptureBufferMB=2048\r\n", 2047},   // 2 GiB no longer fits libpcap's int
        {"CaptureBufferMB=99999999\r\n", 2047},
    };
    for (const auto& c : cases) {
        loadText(std::string("[Normal]\r\n") + c.line);
        EXPECT_EQ(globals_.captureBufferMb, c.mb) << c.line;
    }
}
