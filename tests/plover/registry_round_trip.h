#pragma once
// One check of the registry store on the bytes of a store file, shared by
// the fuzz target and the tests that replay what it found:
// - a file the store refuses is left exactly as it was;
// - a file it accepts is within the limits, textSize() is the size of
//   text(), keys enumerate in order and are found in any case;
// - the store's own writer round-trips it: a change is written, read again
//   to the same text, and undone to the text the store had at first;
// - keys past the depth limit are refused without a change.
// Returns an empty text when all of this holds, else what did not.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace kestrel::testing {

inline bool writeStoreFile(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

inline std::string readStoreFile(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

// Enumeration order, written out on its own: bytes compared with ASCII
// letters folded to lower case.
inline std::string foldedName(std::string_view name) {
    std::string out(name);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

inline std::string swappedCase(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

namespace round_trip_detail {

using namespace kestrel::platform;

// Walks every key through the API (iteratively), checking order, lookups
// in the other case and depth.
inline std::string walk(Registry& store, RegistryRoot root) {
    struct Level {
        RegistryKey key;
        std::size_t depth;
    };
    std::vector<Level> pending{{RegistryKey::root(root), 0}};
    std::string name, previous;
    while (!pending.empty()) {
        Level level = pending.back();
        pending.pop_back();
        if (level.depth > kRegMaxKeyDepth) return level.key.fullName().substr(0, 200) + ": deeper than the limit";
        previous.clear();
        for (std::size_t i = 0;; ++i) {
            long r = store.enumKey(level.key, i, name);
            if (r == kRegNoMoreItems) break;
            if (r != kRegSuccess) return "enumKey failed with " + std::to_string(r);
            if (i > 0 && !(foldedName(previous) < foldedName(name)))
                return "subkeys out of order: \"" + previous + "\" before \"" + name + "\"";
            RegistryKey child, again;
            if (store.openKey(level.key, name, child) != kRegSuccess)
                return "enumerated key \"" + name + "\" not found";
            if (store.openKey(level.key, swappedCase(name), again) != kRegSuccess || again.path() != child.path())
                return "key \"" + name + "\" not found in the other case";
            pending.push_back({child, level.depth + 1});
            previous = name;
        }
        if (level.depth == kRegMaxKeyDepth) {
            RegistryKey deeper;
            if (store.createKey(level.key, "deeper", deeper) != kRegQuotaLimit)
                return "a key past the depth limit was not refused";
        }
    }
    return {};
}

}  // namespace round_trip_detail

inline std::string checkStoreRoundTrip(const std::string& path, std::string_view bytes) {
    using namespace kestrel::platform;
    if (!writeStoreFile(path, bytes)) return "cannot write " + path;
    const RegistryKey user = RegistryKey::root(RegistryRoot::CurrentUser);
    const std::string probe = "kestrel round-trip probe";
    // A value made of the input's first bytes (REG_SZ ends at a NUL, so
    // none), so escaping is exercised too.
    std::string probeValue(bytes.substr(0, 64));
    for (char& c : probeValue)
        if (c == '\0') c = '0';

    std::string original, changed, kept;
    bool hadProbe = false;
    {
        Registry store(path);
        if (!store.ready()) {
            if (readStoreFile(path) != bytes) return "a refused file was changed: " + store.problem();
            return {};
        }
        original = store.text();
        if (original.size() != store.textSize())
            return "textSize() " + std::to_string(store.textSize()) + " but text() is " +
                   std::to_string(original.size());
        if (original.size() > kRegMaxStoreSize) return "accepted a store larger than the limit";
        for (auto root : {RegistryRoot::ClassesRoot, RegistryRoot::CurrentUser}) {
            std::string problem = round_trip_detail::walk(store, root);
            if (!problem.empty()) return problem;
        }
        std::vector<std::string> tooDeep(kRegMaxKeyDepth + 1, "k");
        std::string deepPath;
        for (const auto& n : tooDeep) deepPath += (deepPath.empty() ? "" : "\\") + n;
        RegistryKey key;
        if (store.createKey(user, deepPath, key) != kRegQuotaLimit)
            return "a path past the depth limit was not refused";
        if (store.text() != original) return "a refused change changed the store";

        hadProbe = store.queryValue(user, probe, kept) == kRegSuccess;
        if (hadProbe && kept == probeValue) probeValue += "!";  // so that something is written
        long r = store.setValue(user, probe, probeValue);
        if (r == kRegQuotaLimit) {
            if (store.text() != original) return "a refused change changed the store";
            return {};  // too close to the size limit for the probe
        }
        if (r != kRegSuccess) return "setValue failed with " + std::to_string(r) + ": " + store.problem();
        changed = store.text();
        if (changed.size() != store.textSize()) return "textSize() is wrong after a change";
        if (readStoreFile(path) != changed) return "the file is not what the store wrote";
    }
    {
        Registry again(path);
        if (!again.ready()) return "the store refuses its own file: " + again.problem();
        if (again.text() != changed) return "the written store reads back differently";
        long r = hadProbe ? again.setValue(user, probe, kept) : again.deleteValue(user, probe);
        if (r != kRegSuccess) return "undoing the probe failed with " + std::to_string(r);
        if (again.textSize() != original.size()) return "textSize() is wrong after undoing the probe";
    }
    Registry last(path);
    if (!last.ready()) return "the store refuses its own file: " + last.problem();
    if (last.text() != original) return "the store does not read back as it was at first";
    return {};
}

}  // namespace kestrel::testing
