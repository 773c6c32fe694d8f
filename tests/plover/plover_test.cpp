// libplover through its C interface, on a private registry store.

#include "plover/plover.h"

#include <gtest/gtest.h>

#include <thread>

#include "plover/shell_registration.h"
#include "tests/plover/plover_test_env.h"

using namespace kestrel::testing;
using kestrel::platform::kRegMaxKeyDepth;
using kestrel::platform::kRegNotReady;
using kestrel::platform::kRegSuccess;
using kestrel::platform::Registry;
using kestrel::platform::RegistryKey;
using kestrel::platform::RegistryRoot;

namespace {

constexpr const char* kProgram = "/opt/Kestrel/Kestrel.exe";
constexpr const char* kCommand = "\"/opt/Kestrel/Kestrel.exe\" %1";
constexpr const char* kMenu = "Play in Kestrel";
const std::string kUserChoice =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.flv";

class Plover : public PloverEnvTest {};

// "name\name\..." depth times.
std::string chain(std::size_t depth, const std::string& name = "a") {
    std::string out;
    for (std::size_t i = 0; i < depth; ++i) out += (i ? "\\" : "") + name;
    return out;
}

std::string deepStore() {
    return slurp(std::string(KESTREL_REGRESSIONS_DIR) + "/registry-deep-10000.reg");
}

}  // namespace

TEST_F(Plover, AssociatingAFreshExtension) {
    EXPECT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\.flv"), "Kestrel.flv");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command"), kCommand);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "OldValue"), "");
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\Kestrel.flv\\DefaultIcon"));
}

TEST_F(Plover, BaseNameOfTheProgram) {
    struct Case {
        const char* program;
        const char* typeName;  // nullptr: the call fails
    };
    const Case cases[] = {
        {"/opt/Kestrel/Kestrel.exe", "Kestrel.flv"},
        {"/usr/bin/kestrel", "kestrel.flv"},          // no dot: the whole file name
        {"kestrel", "kestrel.flv"},                   // no slash: the whole path is the file name
        {"Kestrel.bin.exe", "Kestrel.bin.flv"},       // only the last dot counts
        {"/home/u/.kestrel", ".kestrel.flv"},         // a leading dot alone does not start an extension
        {"/opt/kestrel.d/run", "run.flv"},            // a dot in a folder name does not count
        {"/opt/kestrel/", nullptr},                   // names no file
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        std::filesystem::remove(storePath());
        int result = File_Associated(".flv", c.program, 1);
        EXPECT_EQ(result, c.typeName ? 1 : 0);
        EXPECT_EQ(value("HKEY_CLASSES_ROOT\\.flv"), c.typeName ? std::optional<std::string>(c.typeName) : std::nullopt);
        if (c.typeName) {
            EXPECT_EQ(value(std::string("HKEY_CLASSES_ROOT\\") + c.typeName + "\\shell\\open\\command"),
                      "\"" + std::string(c.program) + "\" %1");
        }
        std::filesystem::remove(storePath());
        EXPECT_EQ(ContextMenu_Add(".flv", c.program, kMenu), c.typeName ? 1 : 0);
        EXPECT_EQ(value("HKEY_CLASSES_ROOT\\.flv"), c.typeName ? std::optional<std::string>(c.typeName) : std::nullopt);
    }
}

TEST_F(Plover, AssociatingTwiceKeepsTheFirstOldValueAndWritesNothing) {
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "", "\"/usr/bin/before\" %1");
    set("HKEY_CLASSES_ROOT\\.flv", "", "Kestrel.flv");
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    std::string afterFirst = storeText();
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(storeText(), afterFirst);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "OldValue"), "\"/usr/bin/before\" %1");
}

TEST_F(Plover, CommandsCompareWithoutRegardToCase) {
    set("HKEY_CLASSES_ROOT\\.flv", "", "Kestrel.flv");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "", "\"/OPT/KESTREL/KESTREL.EXE\" %1");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel\\command", "", "\"/opt/kestrel/kestrel.exe\" %1");
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, "PLAY IN KESTREL"), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command"), "\"/OPT/KESTREL/KESTREL.EXE\" %1");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "OldValue"), std::nullopt);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel\\command"), "\"/opt/kestrel/kestrel.exe\" %1");
}

TEST_F(Plover, TypeOfAnotherProgramIsBorrowedAndGivenBack) {
    const std::string vlc = "\"/usr/bin/vlc\" --started-from-file %1";
    set("HKEY_CLASSES_ROOT\\.flv", "", "VLC.flv");
    set("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command", "", vlc);
    set("HKEY_CLASSES_ROOT\\VLC.flv\\DefaultIcon", "", "/usr/share/icons/vlc.png");
    set(kUserChoice, "Application", "vlc.desktop");
    set(kUserChoice, "Other", "stays");

    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\.flv"), "VLC.flv");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command"), kCommand);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command", "OldValue"), vlc);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\DefaultIcon"), "");
    EXPECT_EQ(value(kUserChoice, "Application"), std::nullopt);
    EXPECT_EQ(value(kUserChoice, "Other"), "stays");
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\Kestrel.flv"));

    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command"), vlc);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command", "OldValue"), std::nullopt);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\.flv"), "VLC.flv");
}

// Associating again from another path (a moved program) must not make the
// first association's command the one that un-associating puts back.
TEST_F(Plover, Regression_AssociatingFromANewPathKeepsTheOriginalCommand) {
    const std::string original = "\"/usr/bin/vlc\" %1";
    set("HKEY_CLASSES_ROOT\\.flv", "", "VLC.flv");
    set("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command", "", original);
    ASSERT_EQ(File_Associated(".flv", "/old/place/kestrel", 1), 1);
    ASSERT_EQ(File_Associated(".flv", "/new/place/kestrel", 1), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command"), "\"/new/place/kestrel\" %1");
    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\VLC.flv\\shell\\open\\command"), original);
}

TEST_F(Plover, CommandsLongerThanAThousandBytesAreKeptWhole) {
    const std::string longCommand = "\"/opt/" + std::string(5000, 'x') + "/player\" %1";
    set("HKEY_CLASSES_ROOT\\.flv", "", "Long.flv");
    set("HKEY_CLASSES_ROOT\\Long.flv\\shell\\open\\command", "", longCommand);
    ASSERT_EQ(File_Associated(".flv", kProgram, 1), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Long.flv\\shell\\open\\command", "OldValue"), longCommand);
    // Equal but for case and length beyond 1000 bytes: still the same command.
    set("HKEY_CLASSES_ROOT\\Long.flv\\shell\\Play in Kestrel\\command", "", longCommand);
    ASSERT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Long.flv\\shell\\open\\command"), longCommand);
    ASSERT_EQ(ContextMenu_Add(".flv", ("/opt/" + std::string(5000, 'X') + "/PLAYER").c_str(), kMenu), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Long.flv\\shell\\Play in Kestrel\\command"), longCommand);
}

TEST_F(Plover, UnassociatingWhatIsNotThere) {
    struct Case {
        const char* name;
        void (*prepare)(Plover&);
    };
    const Case cases[] = {
        {"no extension key", [](Plover&) {}},
        {"no type name", [](Plover& t) { t.set("HKEY_CLASSES_ROOT\\.flv", "Other", "x"); }},
        {"empty type name", [](Plover& t) { t.set("HKEY_CLASSES_ROOT\\.flv", "", ""); }},
        {"no type key", [](Plover& t) { t.set("HKEY_CLASSES_ROOT\\.flv", "", "Gone.flv"); }},
        {"no command key",
         [](Plover& t) {
             t.set("HKEY_CLASSES_ROOT\\.flv", "", "T.flv");
             t.set("HKEY_CLASSES_ROOT\\T.flv\\shell", "", "");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(storePath());
        c.prepare(*this);
        std::string before = storeText();
        EXPECT_EQ(File_Unassociated(".flv"), 1);
        EXPECT_EQ(storeText(), before);
        EXPECT_EQ(ContextMenu_Delete(".flv", kMenu), 1);
        EXPECT_EQ(storeText(), before);
    }
}

TEST_F(Plover, UnassociatingWithoutOldValueChangesNothingButTellsTheDesktop) {
    set("HKEY_CLASSES_ROOT\\.flv", "", "Kestrel.flv");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "", kCommand);
    std::string before = storeText();
    EXPECT_FALSE(std::filesystem::exists(applications() + "kestrel.flv.desktop"));
    EXPECT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command"), kCommand);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "OldValue"), std::nullopt);
    // The desktop now mirrors the store, which still names the program.
    EXPECT_TRUE(std::filesystem::exists(applications() + "kestrel.flv.desktop"));
}

TEST_F(Plover, UnassociatingWhenTheCommandIsAlreadyTheOldOne) {
    set("HKEY_CLASSES_ROOT\\.flv", "", "Kestrel.flv");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "", "\"/usr/bin/x\" %1");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "OldValue", "\"/USR/BIN/X\" %1");
    EXPECT_EQ(File_Unassociated(".flv"), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command"), "\"/usr/bin/x\" %1");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command", "OldValue"), std::nullopt);
}

TEST_F(Plover, ContextMenuAddAndDelete) {
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 1);
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\.flv"), "Kestrel.flv");
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel\\command"), kCommand);
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open"));

    // The verb goes with every subkey, however deep.
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel\\command\\deeper\\deepest", "", "x");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel\\ddeexec\\Topic", "", "y");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Other verb\\command", "", "z");
    EXPECT_EQ(ContextMenu_Delete(".flv", "play in kestrel"), 1);
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel"));
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Other verb\\command"), "z");
    EXPECT_EQ(ContextMenu_Delete(".flv", kMenu), 1);
}

TEST_F(Plover, KeyTreeThatCannotBeDeletedReportsSubkeysLeft) {
    // Build a tree, then take away the store's folder so no deletion can be written.
    set("HKEY_CLASSES_ROOT\\T\\shell\\verb\\command\\deeper", "", "x");
    auto moved = dir_->file("moved-home");
    Registry store(storePath());
    ASSERT_TRUE(store.ready());
    std::filesystem::rename(dir_->file("home"), moved);
    long r = kestrel::plover::deleteKeyTree(store, RegistryKey::root(RegistryRoot::ClassesRoot), "T\\shell\\verb");
    EXPECT_EQ(r, kRegNotReady);
    RegistryKey key;
    EXPECT_EQ(store.openKey(RegistryKey::root(RegistryRoot::ClassesRoot), "T\\shell\\verb\\command\\deeper", key),
              kRegSuccess);
    std::filesystem::rename(moved, dir_->file("home"));
}

TEST_F(Plover, BadArgumentsChangeNothing) {
    set("HKEY_CLASSES_ROOT\\.flv", "", "Kestrel.flv");
    std::string before = storeText();
    EXPECT_EQ(File_Associated(nullptr, kProgram, 1), 0);
    EXPECT_EQ(File_Associated(".flv", nullptr, 1), 0);
    EXPECT_EQ(File_Associated("", kProgram, 1), 0);
    EXPECT_EQ(File_Associated("..\\.flv", kProgram, 1), 0);
    EXPECT_EQ(File_Unassociated(nullptr), 0);
    EXPECT_EQ(File_Unassociated(".flv\\x"), 0);
    EXPECT_EQ(ContextMenu_Add(".flv", kProgram, nullptr), 0);
    EXPECT_EQ(ContextMenu_Add(".flv", kProgram, ""), 0);
    EXPECT_EQ(ContextMenu_Add(".flv", kProgram, "Play\\command"), 0);
    EXPECT_EQ(ContextMenu_Delete(".flv", nullptr), 0);
    EXPECT_EQ(ContextMenu_Delete(".flv", "..\\..\\.flv"), 0);
    EXPECT_EQ(storeText(), before);
}

TEST_F(Plover, DamagedStoreFailsEveryCallAndIsKept) {
    const std::string damaged = "Kestrel Registry Store 1\n[HKEY_CLASSES_ROOT\\.flv]\n@=\"unterminated\n";
    writeText(storePath(), damaged);
    EXPECT_EQ(File_Associated(".flv", kProgram, 1), 0);
    EXPECT_EQ(File_Unassociated(".flv"), 0);
    EXPECT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 0);
    EXPECT_EQ(ContextMenu_Delete(".flv", kMenu), 0);
    EXPECT_EQ(storeText(), damaged);
    EXPECT_FALSE(std::filesystem::exists(applications() + "kestrel.flv.desktop"));
}

TEST_F(Plover, CallsFromSeveralThreadsDoNotLoseChanges) {
    std::thread a([] {
        for (int i = 0; i < 15; ++i) File_Associated(".flv", kProgram, 1);
    });
    std::thread b([] {
        for (int i = 0; i < 15; ++i) ContextMenu_Add(".flv", kProgram, ("Verb " + std::to_string(i)).c_str());
    });
    a.join();
    b.join();
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command"), kCommand);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Verb " + std::to_string(i) + "\\command"), kCommand);
}

// A store 10,000 keys deep was rewritten as 100 MB by the first call, which
// the store then refused, locking every later call out. It is refused at
// once now: every call fails and the store stays as the user had it.
TEST_F(Plover, Regression_DeepStoreFailsEveryCallAndIsKept) {
    const std::string deep = deepStore();
    ASSERT_GT(deep.size(), 20000u) << "regression input missing";
    writeText(storePath(), deep);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(File_Associated(".flv", kProgram, 1), 0);
        EXPECT_EQ(File_Unassociated(".flv"), 0);
        EXPECT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 0);
        EXPECT_EQ(ContextMenu_Delete(".flv", kMenu), 0);
    }
    EXPECT_EQ(std::filesystem::file_size(storePath()), deep.size());
    EXPECT_TRUE(storeText() == deep);
    EXPECT_FALSE(std::filesystem::exists(applications() + "kestrel.flv.desktop"));
    Registry store(storePath());
    EXPECT_NE(store.problem().find("10000 levels deep"), std::string::npos) << store.problem();
}

// The same through kestrel-cli: failure in the exit status, the reason on
// stderr, the store kept, and the same answer the second time.
TEST_F(Plover, Regression_CommandLineAssociateWithADeepStoreFailsAndKeepsIt) {
    const std::string cli = std::string(KESTREL_BIN_DIR) + "/kestrel-cli";
    if (!toolAvailable(cli)) GTEST_SKIP() << "kestrel-cli is not built";
    ScopedEnv home("HOME", dir_->file("user"));  // the settings make the save folder below it
    const std::string deep = deepStore();
    ASSERT_GT(deep.size(), 20000u) << "regression input missing";
    writeText(storePath(), deep);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ToolResult r = runTool({cli, "associate", "--file", "on"});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.err.find("File_Associated failed"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("10000 levels deep, more than the 512 allowed"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("left unchanged"), std::string::npos) << r.err;
        EXPECT_EQ(std::filesystem::file_size(storePath()), deep.size());
        EXPECT_TRUE(storeText() == deep);
    }
}

// A type name that reaches down to the depth limit leaves no room for its
// command keys: the calls fail and change nothing.
TEST_F(Plover, KeysPastTheDepthLimitFailTheCallAndChangeNothing) {
    const std::string type = chain(kRegMaxKeyDepth - 2, "T");  // + shell + verb = the limit
    set("HKEY_CLASSES_ROOT\\.flv", "", type);
    set("HKEY_CLASSES_ROOT\\" + type, "", "");
    const std::string before = storeText();
    EXPECT_EQ(File_Associated(".flv", kProgram, 1), 0);
    EXPECT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 0);
    EXPECT_EQ(storeText(), before);
    // What fits still works.
    set("HKEY_CLASSES_ROOT\\" + type + "\\shell\\open", "", "");
    EXPECT_TRUE(keyExists("HKEY_CLASSES_ROOT\\" + type + "\\shell\\open"));
    EXPECT_EQ(ContextMenu_Delete(".flv", "open"), 1);
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\" + type + "\\shell\\open"));
}

// The verb goes with every subkey, whatever the shape of the tree below it.
TEST_F(Plover, ContextMenuDeleteRemovesADeepTree) {
    ASSERT_EQ(ContextMenu_Add(".flv", kProgram, kMenu), 1);
    const std::string verb = "HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel\\";
    set(verb + chain(100, "d"), "", "bottom");
    set(verb + chain(50, "d") + "\\branch\\" + chain(20, "e"), "", "side");
    set(verb + "command\\z", "x", "y");
    set("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Other\\" + chain(5, "d"), "", "stays");
    EXPECT_EQ(ContextMenu_Delete(".flv", kMenu), 1);
    EXPECT_FALSE(keyExists("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Play in Kestrel"));
    EXPECT_EQ(value("HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Other\\" + chain(5, "d")), "stays");
}
