#pragma once
// Large registry stores made at run time, for the tests and the benchmark:
// many sibling keys or many values of one key, written in a chosen order,
// with the text the store must give back (its own order).

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "tests/plover/registry_round_trip.h"

namespace kestrel::testing {

struct GeneratedStore {
    std::string file;                 // what the file holds
    std::string expected;             // what text() must give
    std::string parent;               // the key holding them, below HKEY_CLASSES_ROOT
    std::vector<std::string> names;   // keys: in enumeration order; values: in the file's order
    std::vector<std::string> values;  // empty for a store of keys
};

// Names of mixed case and length, so that folding case and "a name before
// its longer extensions" decide the order: "Key12", "key_13", "KEY15" ...
inline std::string generatedName(std::size_t i) {
    std::string digits = std::to_string(i);
    if (i % 7 == 0) return "key_" + digits;
    if (i % 5 == 0) return "KEY" + digits;
    return "Key" + digits;
}

enum class FileOrder { Own, Reversed, Shuffled };

inline void arrange(std::vector<std::size_t>& order, FileOrder how) {
    if (how == FileOrder::Reversed) std::reverse(order.begin(), order.end());
    if (how == FileOrder::Shuffled) std::shuffle(order.begin(), order.end(), std::mt19937(20240601));
}

// count sibling keys under parent (a path of two names, both created
// implicitly by the keys' sections), in the given file order.
inline GeneratedStore manyKeys(std::size_t count, FileOrder how, const std::string& parent = "Many\\Keys") {
    GeneratedStore s;
    s.parent = parent;
    std::vector<std::pair<std::string, std::string>> folded;  // (folded, name): sorted by the first
    for (std::size_t i = 0; i < count; ++i) folded.emplace_back(foldedName(generatedName(i)), generatedName(i));
    std::sort(folded.begin(), folded.end());
    for (auto& f : folded) s.names.push_back(std::move(f.second));
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    arrange(order, how);

    const std::string header = "Kestrel Registry Store 1\n";
    const std::string prefix = "\n[HKEY_CLASSES_ROOT\\" + parent + "\\";
    s.file = header;
    for (std::size_t i : order) s.file += prefix + s.names[i] + "]\n";
    s.expected = header;
    std::size_t at = 0;
    do {  // the parents' own sections
        at = parent.find('\\', at + 1);
        s.expected += "\n[HKEY_CLASSES_ROOT\\" + parent.substr(0, at) + "]\n";
    } while (at != std::string::npos);
    for (const auto& name : s.names) s.expected += prefix + name + "]\n";
    return s;
}

// count values of one key, in the given file order, which the store keeps.
inline GeneratedStore manyValues(std::size_t count, FileOrder how, const std::string& key = "Values") {
    GeneratedStore s;
    s.parent = key;
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = i;
    arrange(order, how);
    s.file = "Kestrel Registry Store 1\n\n[HKEY_CLASSES_ROOT\\" + key + "]\n";
    for (std::size_t i : order) {
        s.names.push_back(generatedName(i));
        s.values.push_back("v" + std::to_string(i) + (i % 11 == 0 ? "\\x01\\\"" : ""));
        s.file += "\"" + s.names.back() + "\"=\"" + s.values.back() + "\"\n";
        if (i % 11 == 0) s.values.back() = "v" + std::to_string(i) + "\x01\"";
    }
    s.expected = s.file;
    return s;
}

}  // namespace kestrel::testing
