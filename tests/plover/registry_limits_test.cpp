// The registry store's limits: key depth and store size, the same when it
// reads a file and when it writes one; stores beyond them are refused and
// kept; the inputs the fuzz target found are replayed.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/registry.h"
#include "tests/plover/registry_round_trip.h"
#include "tests/repair/tool_runner.h"

using namespace kestrel::platform;
using kestrel::testing::checkStoreRoundTrip;
using kestrel::testing::slurp;
using kestrel::testing::TempFolder;

namespace {

const RegistryKey kHkcr = RegistryKey::root(RegistryRoot::ClassesRoot);
const RegistryKey kHkcu = RegistryKey::root(RegistryRoot::CurrentUser);
const std::string kHeader = "Kestrel Registry Store 1\n";

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// "name\name\..." depth times.
std::string chain(std::size_t depth, const std::string& name = "a") {
    std::string out;
    for (std::size_t i = 0; i < depth; ++i) out += (i ? "\\" : "") + name;
    return out;
}

// Every call refuses a store that is not ready, and the file stays as it was.
void expectRefusedAndKept(const std::string& path, const std::string& bytes, const std::string& why) {
    {
        Registry store(path);
        EXPECT_FALSE(store.ready());
        EXPECT_NE(store.problem().find("beyond the store's limits"), std::string::npos) << store.problem();
        EXPECT_NE(store.problem().find(why), std::string::npos) << store.problem();
        RegistryKey key;
        std::string value;
        EXPECT_EQ(store.createKey(kHkcr, ".flv", key), kRegNotReady);
        EXPECT_EQ(store.openKey(kHkcr, "a", key), kRegNotReady);
        EXPECT_EQ(store.setValue(kHkcr, "", "x"), kRegNotReady);
        EXPECT_EQ(store.deleteKey(kHkcr, "a"), kRegNotReady);
        EXPECT_EQ(store.enumKey(kHkcr, 0, value), kRegNotReady);
    }
    EXPECT_EQ(std::filesystem::file_size(path), bytes.size());
    EXPECT_TRUE(slurp(path) == bytes) << "the refused store was changed";
}

}  // namespace

// 10,000 nested keys used to be rewritten as a 100 MB file that the reader
// then refused (locking out every later call); 50,000 overflowed the stack
// of the recursive writer. Both are now refused when read, and kept.
TEST(RegistryLimits, Regression_DeepStoreIsRefusedAndKept) {
    struct Case {
        const char* name;
        std::string bytes;
        const char* why;
    };
    const Case cases[] = {
        {"registry-deep-10000.reg", slurp(std::string(KESTREL_REGRESSIONS_DIR) + "/registry-deep-10000.reg"),
         "10000 levels deep"},
        {"50,000 levels", kHeader + "\n[HKEY_CLASSES_ROOT\\" + chain(50000) + "]\n", "50000 levels deep"},
        {"one past the limit", kHeader + "[HKEY_CURRENT_USER\\" + chain(kRegMaxKeyDepth + 1, "Key") + "]\n",
         "513 levels deep"},
    };
    ASSERT_GT(cases[0].bytes.size(), 20000u) << "regression input missing";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("registry");
        const std::string path = dir.file("registry.reg");
        writeFile(path, c.bytes);
        expectRefusedAndKept(path, c.bytes, c.why);
    }
}

// The deepest store allowed is read, written and read again.
TEST(RegistryLimits, StoreAtTheDepthLimitRoundTrips) {
    TempFolder dir("registry");
    const std::string path = dir.file("registry.reg");
    const std::string bytes = kHeader + "[HKEY_CLASSES_ROOT\\" + chain(kRegMaxKeyDepth) + "]\n@=\"deepest\"\n";
    writeFile(path, bytes);
    EXPECT_EQ(checkStoreRoundTrip(path, bytes), "");
    Registry store(path);
    ASSERT_TRUE(store.ready()) << store.problem();
    RegistryKey key;
    std::string value;
    ASSERT_EQ(store.openKey(kHkcr, chain(kRegMaxKeyDepth), key), kRegSuccess);
    EXPECT_EQ(store.queryValue(key, "", value), kRegSuccess);
    EXPECT_EQ(value, "deepest");
}

TEST(RegistryLimits, WriterRefusesKeysPastTheDepthLimit) {
    TempFolder dir("registry");
    const std::string path = dir.file("registry.reg");
    const std::size_t half = kRegMaxKeyDepth / 2;
    std::string written;
    {
        Registry store(path);
        RegistryKey middle, deepest, key;
        ASSERT_EQ(store.createKey(kHkcu, chain(half, "Half"), middle), kRegSuccess);
        const std::string before = slurp(path);

        struct Case {
            const char* name;
            const RegistryKey* parent;
            std::string subKey;
            const char* depth;  // in problem()
        };
        const Case cases[] = {
            {"from the root, one level too many", &kHkcr, chain(kRegMaxKeyDepth + 1, "New"), "513 levels deep"},
            {"below an existing key, one too many", &middle, chain(half + 1, "New"), "513 levels deep"},
            {"far too many", &kHkcr, chain(50000, "New"), "50000 levels deep"},
            {"an existing part, then one too many", &kHkcu, chain(half, "HALF") + "\\" + chain(half + 1, "New"),
             "513 levels deep"},
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(store.createKey(*c.parent, c.subKey, key), kRegQuotaLimit);
            EXPECT_FALSE(key.valid());
            EXPECT_NE(store.problem().find(c.depth), std::string::npos) << store.problem();
            // Nothing of the path was made, in the store or on disk.
            EXPECT_EQ(store.openKey(kHkcr, "New", key), kRegNotFound);
            EXPECT_EQ(store.openKey(middle, "New", key), kRegNotFound);
            EXPECT_EQ(slurp(path), before);
        }
        // Exactly at the limit is allowed, and nothing below it.
        ASSERT_EQ(store.createKey(middle, chain(kRegMaxKeyDepth - half, "Rest"), deepest), kRegSuccess);
        EXPECT_EQ(store.createKey(deepest, "one more", key), kRegQuotaLimit);
        EXPECT_EQ(store.createKey(deepest, "", key), kRegSuccess);  // opens the deepest key itself
        EXPECT_EQ(store.setValue(deepest, "", "at the bottom"), kRegSuccess);
        written = slurp(path);
        EXPECT_EQ(written, store.text());
    }
    Registry again(path);
    ASSERT_TRUE(again.ready()) << again.problem();
    EXPECT_EQ(again.text(), written);
}

TEST(RegistryLimits, WriterRefusesToGrowPastTheSizeLimit) {
    TempFolder dir("registry");
    const std::string path = dir.file("registry.reg");
    std::size_t room = 0;
    {
        Registry store(path);
        RegistryKey key;
        ASSERT_EQ(store.createKey(kHkcr, "big", key), kRegSuccess);
        ASSERT_EQ(store.setValue(key, "fill", ""), kRegSuccess);
        ASSERT_EQ(store.textSize(), store.text().size());
        room = kRegMaxStoreSize - store.textSize();
        // Filled to exactly the limit.
        ASSERT_EQ(store.setValue(key, "fill", std::string(room, 'x')), kRegSuccess) << store.problem();
        EXPECT_EQ(store.textSize(), kRegMaxStoreSize);
        EXPECT_EQ(std::filesystem::file_size(path), kRegMaxStoreSize);
    }
    {
        // The full store reads back; every change that grows it is refused.
        Registry store(path);
        ASSERT_TRUE(store.ready()) << store.problem();
        EXPECT_EQ(store.textSize(), kRegMaxStoreSize);
        RegistryKey key, made;
        ASSERT_EQ(store.openKey(kHkcr, "big", key), kRegSuccess);
        struct Case {
            const char* name;
            long (*change)(Registry&, const RegistryKey&, std::size_t room);
        };
        const Case cases[] = {
            {"a new value", [](Registry& s, const RegistryKey& k, std::size_t) { return s.setValue(k, "n", ""); }},
            {"a longer value", [](Registry& s, const RegistryKey& k,
                                  std::size_t r) { return s.setValue(k, "fill", std::string(r + 1, 'x')); }},
            {"a control character, four bytes as written, for a letter",
             [](Registry& s, const RegistryKey& k, std::size_t r) {
                 return s.setValue(k, "fill", std::string(r - 1, 'x') + "\x01");
             }},
            {"a quote, two bytes as written, for a letter",
             [](Registry& s, const RegistryKey& k, std::size_t r) {
                 return s.setValue(k, "fill", "\"" + std::string(r - 1, 'x'));
             }},
            {"a new key",
             [](Registry& s, const RegistryKey&, std::size_t) {
                 RegistryKey fresh;
                 return s.createKey(kHkcr, "k", fresh);
             }},
            {"a first value of a root, which brings its section",
             [](Registry& s, const RegistryKey&, std::size_t) { return s.setValue(kHkcu, "", ""); }},
        };
        const std::string full = slurp(path);
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(c.change(store, key, room), kRegQuotaLimit);
            EXPECT_NE(store.problem().find("larger than 16 MiB"), std::string::npos) << store.problem();
            EXPECT_EQ(store.textSize(), kRegMaxStoreSize);
            EXPECT_EQ(store.openKey(kHkcr, "k", made), kRegNotFound);
            EXPECT_EQ(std::filesystem::file_size(path), full.size());
        }
        EXPECT_TRUE(slurp(path) == full);
        EXPECT_TRUE(store.text() == full);
        // A change that keeps the size is still allowed, and so is shrinking.
        EXPECT_EQ(store.setValue(key, "fill", std::string(room, 'y')), kRegSuccess);
        EXPECT_EQ(std::filesystem::file_size(path), kRegMaxStoreSize);
        EXPECT_EQ(store.deleteValue(key, "fill"), kRegSuccess);
        EXPECT_EQ(store.textSize(), store.text().size());
        EXPECT_EQ(store.setValue(kHkcu, "", ""), kRegSuccess);
    }
}

// A file is judged by the size it will have when the store writes it, so
// one the reader accepts can always be written again.
TEST(RegistryLimits, ReaderRefusesFilesThatWouldBeWrittenPastTheSizeLimit) {
    // Header (25) + "\n[HKEY_CLASSES_ROOT\a]\n" (23) + "@=\"" ... "\"\n" (5): 53 bytes
    // around the value; a raw control character takes four as written.
    const std::size_t around = 53;
    const std::size_t controls = (kRegMaxStoreSize - around) / 4;
    const std::size_t letters = kRegMaxStoreSize - around - 4 * controls;
    auto oneValue = [&](std::size_t nControls, std::size_t nLetters) {
        return kHeader + "\n[HKEY_CLASSES_ROOT\\a]\n@=\"" + std::string(nControls, '\x01') +
               std::string(nLetters, 'x') + "\"\n";
    };
    // 70 paths 512 levels deep: 75 KB to read, 19 MB to write.
    std::string deepPaths = kHeader;
    for (int i = 0; i < 70; ++i)
        deepPaths += "[HKEY_CLASSES_ROOT\\b" + std::to_string(i) + "\\" + chain(kRegMaxKeyDepth - 1) + "]\n";

    struct Case {
        const char* name;
        std::string bytes;
        const char* why;  // nullptr: accepted
    };
    const Case cases[] = {
        {"exactly the limit as written", oneValue(0, kRegMaxStoreSize - around), nullptr},
        {"control characters, exactly the limit as written", oneValue(controls, letters), nullptr},
        {"control characters, one byte past the limit as written", oneValue(controls, letters + 1), "as written"},
        {"deep paths, written out once per level", deepPaths, "as written"},
        {"a file larger than the limit", kHeader + ";" + std::string(kRegMaxStoreSize, 'c') + "\n",
         "larger than 16 MiB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("registry");
        const std::string path = dir.file("registry.reg");
        writeFile(path, c.bytes);
        if (c.why) {
            expectRefusedAndKept(path, c.bytes, c.why);
            continue;
        }
        Registry store(path);
        ASSERT_TRUE(store.ready()) << store.problem();
        EXPECT_EQ(store.textSize(), kRegMaxStoreSize);
        EXPECT_EQ(store.text().size(), kRegMaxStoreSize);
        // Full: nothing more fits.
        EXPECT_EQ(store.setValue(kHkcr, "", ""), kRegQuotaLimit);
    }
}

// The size is kept up to date change by change rather than measured; every
// kind of change must keep it equal to what is written.
TEST(RegistryLimits, SizeFollowsEveryChange) {
    TempFolder dir("registry");
    Registry store(dir.file("registry.reg"));
    RegistryKey a, b, c;
    struct Step {
        const char* name;
        std::function<long()> change;
    };
    const Step steps[] = {
        {"empty store", [] { return kRegSuccess; }},
        {"nested keys", [&] { return store.createKey(kHkcr, "A\\B\\C", c); }},
        {"more of the same path", [&] { return store.createKey(kHkcr, "a\\b\\c\\D\\E", c); }},
        {"open the middle", [&] { return store.openKey(kHkcr, "a\\b", b); }},
        {"default value", [&] { return store.setValue(b, "", "plain"); }},
        {"escaped name and value", [&] { return store.setValue(b, "q\"\\n", "ctl\x01\x7F\n\"\\"); }},
        {"value made longer", [&] { return store.setValue(b, "", "plain but longer"); }},
        {"value made shorter, escapes in", [&] { return store.setValue(b, "", "\t"); }},
        {"first value of a root", [&] { return store.setValue(kHkcu, "Root value", "x"); }},
        {"second value of a root", [&] { return store.setValue(kHkcu, "", "y"); }},
        {"one root value gone", [&] { return store.deleteValue(kHkcu, "root VALUE"); }},
        {"the last root value gone", [&] { return store.deleteValue(kHkcu, ""); }},
        {"an escaped value gone", [&] { return store.deleteValue(b, "Q\"\\N"); }},
        {"a key with a value",
         [&] {
             return store.createKey(kHkcr, "A\\B\\C\\D\\E\\F", a) == kRegSuccess ? store.setValue(a, "v", "w") : -1;
         }},
        {"the key with a value deleted", [&] { return store.deleteKey(kHkcr, "a\\b\\c\\d\\e\\f"); }},
        {"an empty key deleted", [&] { return store.deleteKey(kHkcr, "A\\B\\C\\D\\E"); }},
        {"refused: too deep",
         [&] { return store.createKey(b, chain(kRegMaxKeyDepth), a) == kRegQuotaLimit ? kRegSuccess : -1; }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        ASSERT_EQ(step.change(), kRegSuccess) << store.problem();
        EXPECT_EQ(store.textSize(), store.text().size());
    }
}

// Every input the fuzz target ever found, and the hostile deep store, run
// through the same checks the fuzz target makes.
TEST(RegistryLimits, Regression_FuzzFindingsReplay) {
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KESTREL_REGRESSIONS_DIR)) {
        if (entry.path().extension() != ".reg") continue;
        SCOPED_TRACE(entry.path().filename().string());
        TempFolder dir("registry");
        EXPECT_EQ(checkStoreRoundTrip(dir.file("registry.reg"), slurp(entry.path())), "");
        ++replayed;
    }
    EXPECT_GT(replayed, 0u);
}
