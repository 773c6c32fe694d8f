// The registry store: Win32 semantics, its file, damage and locking.

#include "platform/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/repair/tool_runner.h"

using namespace kestrel::platform;
using kestrel::testing::slurp;
using kestrel::testing::TempFolder;

namespace {

const RegistryKey kHkcr = RegistryKey::root(RegistryRoot::ClassesRoot);
const RegistryKey kHkcu = RegistryKey::root(RegistryRoot::CurrentUser);

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

TEST(Registry, KeysAndValuesBehaveLikeWin32) {
    TempFolder dir("registry");
    Registry store(dir.file("registry.reg"));
    ASSERT_TRUE(store.ready()) << store.problem();

    RegistryKey key, other;
    EXPECT_EQ(store.openKey(kHkcr, ".flv", key), kRegNotFound);
    EXPECT_FALSE(key.valid());
    ASSERT_EQ(store.createKey(kHkcr, "Kestrel.flv\\shell\\Open\\command", key), kRegSuccess);
    EXPECT_EQ(key.fullName(), "HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\Open\\command");
    // Names are found without regard to case and keep the case they got first.
    ASSERT_EQ(store.openKey(kHkcr, "KESTREL.FLV\\SHELL\\open", other), kRegSuccess);
    EXPECT_EQ(other.path(), "Kestrel.flv\\shell\\Open");
    ASSERT_EQ(store.createKey(kHkcr, "kestrel.flv\\shell\\open\\COMMAND", other), kRegSuccess);
    EXPECT_EQ(other.path(), key.path());
    EXPECT_EQ(store.openKey(kHkcr, "Kestrel.flv\\shell\\missing", other), kRegNotFound);
    EXPECT_EQ(store.openKey(key, "", other), kRegSuccess);
    EXPECT_EQ(other.path(), key.path());

    std::string value;
    EXPECT_EQ(store.queryValue(key, "", value), kRegNotFound);
    EXPECT_EQ(store.setValue(key, "", "\"/opt/k\" %1"), kRegSuccess);
    EXPECT_EQ(store.setValue(key, "OldValue", ""), kRegSuccess);
    EXPECT_EQ(store.queryValue(key, "", value), kRegSuccess);
    EXPECT_EQ(value, "\"/opt/k\" %1");
    EXPECT_EQ(store.queryValue(key, "oldvalue", value), kRegSuccess);
    EXPECT_EQ(value, "");
    EXPECT_EQ(store.setValue(key, "OLDVALUE", "x"), kRegSuccess);
    EXPECT_EQ(store.queryValue(key, "OldValue", value), kRegSuccess);
    EXPECT_EQ(value, "x");
    EXPECT_EQ(store.deleteValue(key, "oldValue"), kRegSuccess);
    EXPECT_EQ(store.deleteValue(key, "OldValue"), kRegNotFound);
    EXPECT_EQ(store.queryValue(key, "OldValue", value), kRegNotFound);
    // REG_SZ ends at its first NUL.
    EXPECT_EQ(store.setValue(key, "nul", std::string_view("ab\0cd", 5)), kRegSuccess);
    EXPECT_EQ(store.queryValue(key, "nul", value), kRegSuccess);
    EXPECT_EQ(value, "ab");

    // Subkeys enumerate in name order, without regard to case.
    RegistryKey shell;
    ASSERT_EQ(store.openKey(kHkcr, "Kestrel.flv\\shell", shell), kRegSuccess);
    for (const char* verb : {"zeta", "Alpha", "beta"}) ASSERT_EQ(store.createKey(shell, verb, other), kRegSuccess);
    std::vector<std::string> names;
    std::string name;
    for (std::size_t i = 0; store.enumKey(shell, i, name) == kRegSuccess; ++i) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Open", "zeta"}));
    EXPECT_EQ(store.enumKey(shell, 4, name), kRegNoMoreItems);

    // Only a key without subkeys can be deleted; handles to it go stale.
    EXPECT_EQ(store.deleteKey(shell, "open"), kRegAccessDenied);
    EXPECT_EQ(store.deleteKey(shell, "open\\command"), kRegSuccess);
    EXPECT_EQ(store.queryValue(key, "", value), kRegKeyDeleted);
    EXPECT_EQ(store.setValue(key, "", "x"), kRegKeyDeleted);
    EXPECT_EQ(store.deleteKey(shell, "open\\command"), kRegNotFound);
    EXPECT_EQ(store.deleteKey(shell, "open"), kRegSuccess);
    EXPECT_EQ(store.deleteKey(shell, ""), kRegInvalidParameter);
}

TEST(Registry, MalformedKeyNamesAreRefused) {
    TempFolder dir("registry");
    Registry store(dir.file("registry.reg"));
    const char* bad[] = {"\\lead", "trail\\", "dou\\\\ble", "tab\there", "new\nline", "\\"};
    for (const char* path : bad) {
        RegistryKey key;
        EXPECT_EQ(store.createKey(kHkcr, path, key), kRegInvalidParameter) << path;
        EXPECT_EQ(store.openKey(kHkcr, path, key), kRegInvalidParameter) << path;
    }
    RegistryKey none;
    std::string value;
    EXPECT_EQ(store.queryValue(none, "", value), kRegInvalidParameter);
    EXPECT_FALSE(std::filesystem::exists(dir.file("registry.reg")));
}

TEST(Registry, EveryChangeIsOnDiskAndReadsBackExactly) {
    TempFolder dir("registry");
    const std::string path = dir.file("registry.reg");
    const std::pair<std::string, std::string> values[] = {
        {"", "plain"},
        {"quotes", "say \"hi\" \\ back\\slash"},
        {"controls", "line1\nline2\r\ttab\x01\x7F"},
        {"utf8 ключ", "значение ☺"},
        {"@", "at sign as a name"},
        {"=[]", "[not a key]"},
    };
    {
        Registry store(path);
        RegistryKey key, empty;
        ASSERT_EQ(store.createKey(kHkcu, "Software\\Odd ] [names\\Here", key), kRegSuccess);
        ASSERT_EQ(store.createKey(kHkcr, "Empty\\Key", empty), kRegSuccess);
        for (const auto& [name, value] : values) ASSERT_EQ(store.setValue(key, name, value), kRegSuccess);
    }
    std::string first = slurp(path);
    Registry again(path);
    ASSERT_TRUE(again.ready()) << again.problem();
    RegistryKey key, empty;
    ASSERT_EQ(again.openKey(kHkcu, "software\\odd ] [names\\here", key), kRegSuccess);
    EXPECT_EQ(again.openKey(kHkcr, "Empty\\Key", empty), kRegSuccess);
    for (const auto& [name, value] : values) {
        std::string read;
        EXPECT_EQ(again.queryValue(key, name, read), kRegSuccess) << name;
        EXPECT_EQ(read, value) << name;
    }
    EXPECT_EQ(again.text(), first);
    // Nothing but the store and its lock file is left in the folder.
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        ++files;
        EXPECT_TRUE(e.path().filename() == "registry.reg" || e.path().filename() == "registry.reg.lock") << e.path();
    }
    EXPECT_EQ(files, 2u);
}

TEST(Registry, MissingAndEmptyFilesAreEmptyStores) {
    TempFolder dir("registry");
    for (bool create : {false, true}) {
        if (create) writeFile(dir.file("registry.reg"), "");
        Registry store(dir.file("registry.reg"));
        EXPECT_TRUE(store.ready());
        std::string name;
        EXPECT_EQ(store.enumKey(kHkcr, 0, name), kRegNoMoreItems);
    }
}

TEST(Registry, DamagedFileIsReportedAndNeverRewritten) {
    const std::string header = "Kestrel Registry Store 1\n";
    struct Case {
        const char* name;
        std::string text;
        const char* where;  // expected in problem()
    };
    const Case cases[] = {
        {"no header", "[HKEY_CLASSES_ROOT\\.flv]\n@=\"x\"\n", "line 1"},
        {"unknown root", header + "[HKEY_LOCAL_MACHINE\\x]\n", "line 2"},
        {"value outside a key", header + "@=\"x\"\n", "line 2"},
        {"unknown escape", header + "[HKEY_CLASSES_ROOT\\a]\n@=\"\\q\"\n", "line 3"},
        {"short hex escape", header + "[HKEY_CLASSES_ROOT\\a]\n@=\"\\x4\"\n", "line 3"},
        {"unterminated value", header + "[HKEY_CLASSES_ROOT\\a]\n@=\"abc\n", "line 3"},
        {"text after the value", header + "[HKEY_CLASSES_ROOT\\a]\n@=\"abc\" x\n", "line 3"},
        {"missing =", header + "[HKEY_CLASSES_ROOT\\a]\n\"n\" \"v\"\n", "line 3"},
        {"value twice", header + "[HKEY_CLASSES_ROOT\\a]\n\"N\"=\"1\"\n\"n\"=\"2\"\n", "line 4"},
        // A name given twice is found once the file is read; the first fault by line is still the one named.
        {"value twice, across sections of one key",
         header + "[HKEY_CLASSES_ROOT\\a]\n\"x\"=\"1\"\n[HKEY_CLASSES_ROOT\\b]\n[HKEY_CLASSES_ROOT\\A]\n\"X\"=\"2\"\n",
         "line 6: value \"X\" given twice"},
        {"value twice, then another fault", header + "[HKEY_CLASSES_ROOT\\a]\n\"x\"=\"1\"\n\"x\"=\"2\"\n\"bad\n",
         "line 4: value \"x\" given twice"},
        {"a fault, then a value twice", header + "[HKEY_CLASSES_ROOT\\a]\n\"x\"=\"1\"\nbad\n\"x\"=\"2\"\n",
         "line 4: malformed"},
        {"the first of two repeats",
         header + "[HKEY_CLASSES_ROOT\\a]\n\"x\"=\"1\"\n\"y\"=\"2\"\n\"Y\"=\"3\"\n\"X\"=\"4\"\n",
         "line 5: value \"Y\" given twice"},
        {"empty key name", header + "[HKEY_CLASSES_ROOT\\a\\\\b]\n", "line 2"},
        {"unterminated key", header + "[HKEY_CLASSES_ROOT\\a\n", "line 2"},
        {"bare value", header + "[HKEY_CLASSES_ROOT\\a]\nname=value\n", "line 3"},
        {"binary junk", std::string("\x00\xFF\x13\x37", 4), "line 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("registry");
        const std::string path = dir.file("registry.reg");
        writeFile(path, c.text);
        Registry store(path);
        EXPECT_FALSE(store.ready());
        EXPECT_NE(store.problem().find("damaged"), std::string::npos) << store.problem();
        EXPECT_NE(store.problem().find(c.where), std::string::npos) << store.problem();
        RegistryKey key;
        std::string value;
        EXPECT_EQ(store.createKey(kHkcr, ".flv", key), kRegNotReady);
        EXPECT_EQ(store.openKey(kHkcr, "a", key), kRegNotReady);
        EXPECT_EQ(store.queryValue(kHkcr, "", value), kRegNotReady);
        EXPECT_EQ(store.setValue(kHkcr, "", "x"), kRegNotReady);
        EXPECT_EQ(store.deleteKey(kHkcr, "a"), kRegNotReady);
        EXPECT_EQ(store.enumKey(kHkcr, 0, value), kRegNotReady);
        EXPECT_EQ(slurp(path), c.text);
    }
}

TEST(Registry, StoreThatIsNotAFileIsNotReady) {
    TempFolder dir("registry");
    std::filesystem::create_directory(dir.file("registry.reg"));
    Registry store(dir.file("registry.reg"));
    EXPECT_FALSE(store.ready());
    RegistryKey key;
    EXPECT_EQ(store.createKey(kHkcr, ".flv", key), kRegNotReady);
}

TEST(Registry, ChangeThatCannotBeWrittenIsUndone) {
    TempFolder dir("registry");
    const std::string path = dir.file("gone/registry.reg");  // its folder does not exist
    Registry store(path);
    ASSERT_TRUE(store.ready());
    RegistryKey key;
    EXPECT_EQ(store.createKey(kHkcr, ".flv", key), kRegNotReady);
    EXPECT_NE(store.problem().find("cannot be written"), std::string::npos) << store.problem();
    EXPECT_EQ(store.openKey(kHkcr, ".flv", key), kRegNotFound);
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Whatever bytes the file holds, the reader stays inside them, and a file
// it accepts is written back the same way it reads.
TEST(Registry, Regression_HostileFilesAreReadWithinBounds) {
    TempFolder dir("registry");
    const std::string path = dir.file("registry.reg");
    const std::string seed =
        "Kestrel Registry Store 1\n\n[HKEY_CLASSES_ROOT\\.flv]\n@=\"Kestrel.flv\"\n\n"
        "[HKEY_CLASSES_ROOT\\Kestrel.flv\\shell\\open\\command]\n\"OldValue\"=\"\\x41\\\\\\\"\"\n@=\"\\\"/k\\\" %1\"\n";
    std::mt19937 rng(12345);
    const char alphabet[] = "[]\\\"@=x\n\r;\x00\xFF";
    int accepted = 0;
    for (int round = 0; round < 600; ++round) {
        std::string text = seed;
        int edits = 1 + static_cast<int>(rng() % 6);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            std::size_t at = rng() % text.size();
            switch (rng() % 3) {
                case 0: text[at] = alphabet[rng() % (sizeof(alphabet) - 1)]; break;
                case 1: text.erase(at, 1 + rng() % 4); break;
                default: text.insert(at, 1, alphabet[rng() % (sizeof(alphabet) - 1)]); break;
            }
        }
        writeFile(path, text);
        std::string written;
        {
            Registry store(path);
            if (!store.ready()) {
                EXPECT_EQ(slurp(path), text);
                continue;
            }
            ++accepted;
            written = store.text();
        }
        writeFile(path, written);
        Registry reread(path);
        ASSERT_TRUE(reread.ready()) << reread.problem() << "\n" << written;
        EXPECT_EQ(reread.text(), written);
    }
    EXPECT_GT(accepted, 0);
}

TEST(Registry, OneUserAtATime) {
    TempFolder dir("registry");
    const std::string path = dir.file("registry.reg");
    std::atomic<bool> firstHolds{false};
    std::thread first([&] {
        Registry store(path);
        firstHolds = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        RegistryKey key;
        store.createKey(kHkcr, "written-by-first", key);
    });
    while (!firstHolds) std::this_thread::yield();
    // Opened while the first holds the lock: sees the first's change once it may read.
    Registry second(path);
    first.join();
    ASSERT_TRUE(second.ready()) << second.problem();
    RegistryKey key;
    EXPECT_EQ(second.openKey(kHkcr, "written-by-first", key), kRegSuccess);
}
