#include "plover/shell_registration.h"

#include <vector>

#include "platform/desktop_integration.h"

namespace kestrel::plover {

using platform::kRegNotFound;
using platform::kRegNotReady;
using platform::kRegSuccess;
using platform::Registry;
using platform::RegistryKey;
using platform::RegistryRoot;

namespace {

constexpr std::string_view kUserChoiceKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\";
constexpr std::string_view kOldValue = "OldValue";

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

RegistryKey classesRoot() {
    return RegistryKey::root(RegistryRoot::ClassesRoot);
}

std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    for (auto p : parts) out.append(p);
    return out;
}

// Opens a key for full access, creating it when that fails.
long openOrCreate(Registry& store, const RegistryKey& parent, std::string_view subKey, RegistryKey& out) {
    if (store.openKey(parent, subKey, out) == kRegSuccess) return kRegSuccess;
    RegistryKey created;
    long result = store.createKey(parent, subKey, created);
    if (result != kRegSuccess) return result;
    return store.openKey(parent, subKey, out);
}

// A missing value reads as the empty text.
std::string readText(const Registry& store, const RegistryKey& key, std::string_view name) {
    std::string value;
    store.queryValue(key, name, value);
    return value;
}

// The type name of the extension key, written from the program's base name
// when there is none yet; empty when that write fails.
std::string typeNameFor(Registry& store, const RegistryKey& extKey, std::string_view extension,
                        const ProgramNames& names) {
    std::string type = readText(store, extKey, "");
    if (!type.empty()) return type;
    type = join({names.baseName, extension});
    return store.setValue(extKey, "", type) == kRegSuccess ? type : std::string();
}

int existsResult(long error) {
    return error == kRegNotFound ? 1 : 0;
}

// The desktop mirrors the store after every call, the counterpart of the
// shell reading the registry afresh.
void notifyDesktop(Registry& store) {
    platform::notifyAssociationsChanged(store);
}

}  // namespace

bool programNames(std::string_view programPath, ProgramNames& out) {
    auto slash = programPath.rfind('/');
    out.fileName = std::string(slash == std::string_view::npos ? programPath : programPath.substr(slash + 1));
    if (out.fileName.empty()) return false;
    auto dot = out.fileName.rfind('.');
    out.baseName = (dot == std::string::npos || dot == 0) ? out.fileName : out.fileName.substr(0, dot);
    out.command = join({"\"", programPath, "\" %1"});
    return true;
}

bool isKeyName(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos;
}

int fileAssociated(Registry& store, std::string_view extension, std::string_view programPath) {
    ProgramNames names;
    if (!isKeyName(extension) || !programNames(programPath, names) || !store.ready()) return 0;

    RegistryKey key;
    std::string choice;
    if (store.openKey(RegistryKey::root(RegistryRoot::CurrentUser), join({kUserChoiceKey, extension}), key) ==
            kRegSuccess &&
        store.queryValue(key, "Application", choice) == kRegSuccess)
        store.deleteValue(key, "Application");

    RegistryKey extKey, typeKey, commandKey, iconKey;
    if (openOrCreate(store, classesRoot(), extension, extKey) != kRegSuccess) return 0;
    std::string type = typeNameFor(store, extKey, extension, names);
    if (type.empty()) return 0;
    if (openOrCreate(store, classesRoot(), type, typeKey) != kRegSuccess) return 0;
    if (openOrCreate(store, typeKey, "shell\\open\\command", commandKey) != kRegSuccess) return 0;

    std::string current = readText(store, commandKey, "");
    if (!equalsNoCase(current, names.command)) {
        // Only the first change keeps the command it replaces: associating
        // again (from another program path, say) must not overwrite the
        // original with our own earlier command.
        std::string kept;
        bool haveKept = store.queryValue(commandKey, kOldValue, kept) == kRegSuccess;
        if (!haveKept && store.setValue(commandKey, kOldValue, current) != kRegSuccess) return 0;
        if (store.setValue(commandKey, "", names.command) != kRegSuccess) return 0;
    }

    if (store.openKey(typeKey, "DefaultIcon", iconKey) == kRegSuccess) store.setValue(iconKey, "", "");
    notifyDesktop(store);
    return 1;
}

int fileUnassociated(Registry& store, std::string_view extension) {
    if (!isKeyName(extension) || !store.ready()) return 0;
    RegistryKey extKey, typeKey, commandKey;
    if (long r = store.openKey(classesRoot(), extension, extKey); r != kRegSuccess) return existsResult(r);
    std::string type = readText(store, extKey, "");
    if (type.empty()) return 1;
    if (long r = store.openKey(classesRoot(), type, typeKey); r != kRegSuccess) return existsResult(r);
    if (long r = store.openKey(typeKey, "shell\\open\\command", commandKey); r != kRegSuccess) return existsResult(r);

    std::string old;
    if (store.queryValue(commandKey, kOldValue, old) == kRegSuccess) {
        std::string current = readText(store, commandKey, "");
        // The kept command goes only once it is back in place.
        if (!equalsNoCase(current, old) && store.setValue(commandKey, "", old) != kRegSuccess) return 0;
        if (store.deleteValue(commandKey, kOldValue) != kRegSuccess) return 0;
    }
    notifyDesktop(store);
    return 1;
}

int contextMenuAdd(Registry& store, std::string_view extension, std::string_view programPath,
                   std::string_view menuText) {
    ProgramNames names;
    if (!isKeyName(extension) || !isKeyName(menuText) || !programNames(programPath, names) || !store.ready())
        return 0;
    RegistryKey extKey, commandKey;
    if (openOrCreate(store, classesRoot(), extension, extKey) != kRegSuccess) return 0;
    std::string type = typeNameFor(store, extKey, extension, names);
    if (type.empty()) return 0;
    if (openOrCreate(store, classesRoot(), join({type, "\\shell\\", menuText, "\\command"}), commandKey) !=
        kRegSuccess)
        return 0;
    if (!equalsNoCase(readText(store, commandKey, ""), names.command) &&
        store.setValue(commandKey, "", names.command) != kRegSuccess)
        return 0;
    notifyDesktop(store);
    return 1;
}

int contextMenuDelete(Registry& store, std::string_view extension, std::string_view menuText) {
    if (!isKeyName(extension) || !isKeyName(menuText) || !store.ready()) return 0;
    RegistryKey extKey;
    if (long r = store.openKey(classesRoot(), extension, extKey); r != kRegSuccess) return existsResult(r);
    std::string type = readText(store, extKey, "");
    if (type.empty()) return 1;
    long r = deleteKeyTree(store, classesRoot(), join({type, "\\shell\\", menuText}));
    notifyDesktop(store);
    return r == kRegSuccess || r == kRegNotFound ? 1 : 0;
}

long deleteKeyTree(Registry& store, const RegistryKey& parent, std::string_view name) {
    RegistryKey top;
    if (long r = store.openKey(parent, name, top); r != kRegSuccess) return r;
    // Down the first subkey until a key has none, delete that one and go on
    // from its parent: no recursion, however deep the stored tree is.
    struct Level {
        RegistryKey key;
        std::string name;  // below the level above
    };
    std::vector<Level> chain;
    chain.push_back({top, std::string(name)});
    std::string sub;
    while (chain.size() > 1 || store.enumKey(top, 0, sub) == kRegSuccess) {
        const RegistryKey current = chain.back().key;
        if (store.enumKey(current, 0, sub) == kRegSuccess) {
            RegistryKey child;
            if (store.openKey(current, sub, child) != kRegSuccess) return kRegNotReady;
            chain.push_back({child, sub});
            continue;
        }
        std::string leaf = std::move(chain.back().name);
        chain.pop_back();
        if (store.deleteKey(chain.back().key, leaf) != kRegSuccess) return kRegNotReady;  // subkeys remain
    }
    return store.deleteKey(parent, name);
}

}  // namespace kestrel::plover
