// Large registry stores: tens of thousands of sibling keys and hundreds of
// thousands of values load and are found without scanning (20,000 keys used
// to take 5 s to load, 100,000 keys or 300,000 values over a minute), and
// keys still enumerate, values still write out, in the order they always
// did. Timings are in registry_bench, not here.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "platform/registry.h"
#include "tests/plover/registry_round_trip.h"
#include "tests/plover/registry_stores.h"
#include "tests/repair/tool_runner.h"

using namespace kestrel::platform;
using namespace kestrel::testing;

namespace {

const RegistryKey kHkcr = RegistryKey::root(RegistryRoot::ClassesRoot);

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

TEST(RegistryLarge, Regression_ManySiblingKeysLoadAndAreFound) {
    struct Case {
        const char* name;
        std::size_t count;
        FileOrder order;
    };
    const Case cases[] = {
        {"20,000 keys in the store's own order", 20000, FileOrder::Own},
        {"100,000 keys in reverse order", 100000, FileOrder::Reversed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("registry");
        const std::string path = dir.file("registry.reg");
        const GeneratedStore gen = manyKeys(c.count, c.order);
        writeFile(path, gen.file);
        std::string written;
        {
            Registry store(path);
            ASSERT_TRUE(store.ready()) << store.problem();
            EXPECT_TRUE(store.text() == gen.expected) << "keys are not written in enumeration order";
            EXPECT_EQ(store.textSize(), gen.expected.size());

            RegistryKey parent, key;
            ASSERT_EQ(store.openKey(kHkcr, swappedCase(gen.parent), parent), kRegSuccess);
            std::string name;
            std::size_t mismatches = 0, lookupsFailed = 0;
            for (std::size_t i = 0; i < gen.names.size(); ++i) {
                if (store.enumKey(parent, i, name) != kRegSuccess || name != gen.names[i]) ++mismatches;
                if (store.openKey(parent, swappedCase(gen.names[i]), key) != kRegSuccess ||
                    key.path() != gen.parent + "\\" + gen.names[i])
                    ++lookupsFailed;
            }
            EXPECT_EQ(mismatches, 0u);
            EXPECT_EQ(lookupsFailed, 0u);
            EXPECT_EQ(store.enumKey(parent, gen.names.size(), name), kRegNoMoreItems);
            EXPECT_EQ(store.openKey(parent, "Key" + std::to_string(c.count), key), kRegNotFound);

            // A new key takes its place in the order; a deleted one leaves it.
            const std::string added = "key5_";  // between "KEY5" and "Key50"
            ASSERT_EQ(store.createKey(parent, added, key), kRegSuccess);
            auto at = std::lower_bound(
                gen.names.begin(), gen.names.end(), added,
                [](const std::string& a, const std::string& b) { return foldedName(a) < foldedName(b); });
            auto index = static_cast<std::size_t>(at - gen.names.begin());
            ASSERT_EQ(store.enumKey(parent, index, name), kRegSuccess);
            EXPECT_EQ(name, added);
            ASSERT_EQ(store.enumKey(parent, index + 1, name), kRegSuccess);
            EXPECT_EQ(name, gen.names[index]);
            EXPECT_EQ(store.deleteKey(parent, "KEY5"), kRegSuccess);
            EXPECT_EQ(store.openKey(parent, "key5", key), kRegNotFound);
            EXPECT_EQ(store.openKey(parent, "KEY50", key), kRegSuccess);
            written = store.text();
            EXPECT_EQ(written.size(), store.textSize());
        }
        Registry again(path);
        ASSERT_TRUE(again.ready()) << again.problem();
        EXPECT_TRUE(again.text() == written);
    }
}

TEST(RegistryLarge, Regression_ManyValuesLoadAndAreFound) {
    struct Case {
        const char* name;
        std::size_t count;
        FileOrder order;
    };
    const Case cases[] = {
        {"300,000 values shuffled", 300000, FileOrder::Shuffled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir("registry");
        const std::string path = dir.file("registry.reg");
        const GeneratedStore gen = manyValues(c.count, c.order);
        writeFile(path, gen.file);
        std::string written;
        {
            Registry store(path);
            ASSERT_TRUE(store.ready()) << store.problem();
            // Values are written in the order they came, whatever their names.
            EXPECT_TRUE(store.text() == gen.expected) << "values are not written in the file's order";
            EXPECT_EQ(store.textSize(), gen.expected.size());

            RegistryKey key;
            ASSERT_EQ(store.openKey(kHkcr, gen.parent, key), kRegSuccess);
            // Every value, or every stride-th one.
            auto countWrong = [&](std::size_t skip, std::size_t stride) {
                std::size_t wrong = 0;
                std::string value;
                for (std::size_t i = 0; i < gen.names.size(); i += stride) {
                    if (i == skip) continue;
                    if (store.queryValue(key, swappedCase(gen.names[i]), value) != kRegSuccess ||
                        value != gen.values[i])
                        ++wrong;
                }
                return wrong;
            };
            EXPECT_EQ(countWrong(gen.names.size(), 1), 0u);
            std::string value;
            EXPECT_EQ(store.queryValue(key, "Key" + std::to_string(c.count), value), kRegNotFound);

            // Deleting one in the middle of the file leaves the others found
            // (those after it have moved down by one).
            const std::size_t middle = gen.names.size() / 2;
            ASSERT_EQ(store.deleteValue(key, gen.names[middle]), kRegSuccess);
            EXPECT_EQ(store.queryValue(key, gen.names[middle], value), kRegNotFound);
            EXPECT_EQ(countWrong(middle, 7), 0u);
            for (std::size_t i = middle - 3; i <= middle + 3; ++i) {
                if (i == middle) continue;
                EXPECT_EQ(store.queryValue(key, gen.names[i], value), kRegSuccess) << gen.names[i];
                EXPECT_EQ(value, gen.values[i]);
            }
            written = store.text();
            EXPECT_EQ(written.size(), store.textSize());
            EXPECT_EQ(written.find("\"" + gen.names[middle] + "\"="), std::string::npos);
        }
        Registry again(path);
        ASSERT_TRUE(again.ready()) << again.problem();
        EXPECT_TRUE(again.text() == written);
    }
}

namespace {

// The value lines of key k as written: what stands before each '='.
std::string writtenValueNames(const std::string& text) {
    std::string out;
    std::size_t at = text.find("[HKEY_CLASSES_ROOT\\k]\n");
    if (at == std::string::npos) return "no section";
    at = text.find('\n', at) + 1;
    while (at < text.size() && text[at] != '\n') {
        std::size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        out += (out.empty() ? "" : " ") + line.substr(0, line.find("=\""));
        at = end + 1;
    }
    return out;
}

}  // namespace

// Values keep the order they were made in through changes and deletions,
// while lookups go by name (without regard to case).
TEST(RegistryLarge, ValuesKeepTheirOrderThroughChanges) {
    TempFolder dir("registry");
    Registry store(dir.file("registry.reg"));
    RegistryKey key;
    ASSERT_EQ(store.createKey(kHkcr, "k", key), kRegSuccess);
    struct Step {
        const char* name;
        const char* value;  // nullptr: delete
        const char* order;  // the value names as written afterwards
    };
    const Step steps[] = {
        {"c", "1", R"("c")"},
        {"A", "2", R"("c" "A")"},
        {"b", "3", R"("c" "A" "b")"},
        {"D", "4", R"("c" "A" "b" "D")"},
        {"", "5", R"("c" "A" "b" "D" @)"},
        {"B", nullptr, R"("c" "A" "D" @)"},  // the middle of both orders
        {"a", "6", R"("c" "A" "D" @)"},      // replaced in place, keeps its first case
        {"b", "7", R"("c" "A" "D" @ "b")"},  // made again: at the end
        {"C", nullptr, R"("A" "D" @ "b")"},  // the first
        {"@", "8", R"("A" "D" @ "b" "@")"},  // a name "@" is not the default value
        {"", nullptr, R"("A" "D" "b" "@")"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(std::string(step.name) + " " + (step.value ? step.value : "deleted"));
        ASSERT_EQ(step.value ? store.setValue(key, step.name, step.value) : store.deleteValue(key, step.name),
                  kRegSuccess);
        EXPECT_EQ(writtenValueNames(store.text()), step.order);
        EXPECT_EQ(store.textSize(), store.text().size());
    }
    // Every value left is found under any case of its name.
    const std::pair<const char*, const char*> left[] = {{"a", "6"}, {"d", "4"}, {"B", "7"}, {"@", "8"}};
    for (const auto& [name, value] : left) {
        std::string read;
        EXPECT_EQ(store.queryValue(key, name, read), kRegSuccess) << name;
        EXPECT_EQ(read, value) << name;
    }
    std::string read;
    EXPECT_EQ(store.queryValue(key, "", read), kRegNotFound);
    EXPECT_EQ(store.queryValue(key, "c", read), kRegNotFound);
}
