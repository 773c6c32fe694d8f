// libplover through its C interface, on a private registry store.

#include "plover/plover.h"

#include <gtest/gtest.h>

#include <thread>

#include "plover/shell_registration.h"
#include "tests/plover/plover_test_env.h"

using namespace kestrel::testing;
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
