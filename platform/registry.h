#pragma once
// A small registry: keys under two roots, each holding string values (REG_SZ)
// and subkeys, with the behaviour of the Win32 registry calls that shell
// registration relies on. Kept as the text file registry.reg in the data
// folder; every change is written at once through a temporary file and a
// rename, so the file on disk is always whole.
//
// Semantics:
// - Key and value names are found without regard to case (ASCII) and keep
//   the case they were created with. Subkeys enumerate in name order:
//   byte by byte with ASCII letters folded to lower case, a name before the
//   longer names it begins.
// - A handle (RegistryKey) names a key by its path; it needs no closing.
//   A call through a handle whose key has since been deleted fails with
//   kRegKeyDeleted.
// - Sub-key paths use '\' between names. An empty name inside a path (a
//   leading, trailing or doubled '\') and control characters in key names
//   are refused with kRegInvalidParameter.
// - Values are REG_SZ: text up to its first NUL. The empty value name is the
//   key's default value. Values are read whole, whatever their length.
// - Deleting a key that still has subkeys fails with kRegAccessDenied.
// - A store file that cannot be read or does not parse makes the store not
//   ready: every call returns kRegNotReady, problem() says why, and the file
//   is left exactly as it is. A missing file is an empty store.
// - A change that cannot be written returns kRegNotReady and is undone.
//
// Limits (the same for reading and for writing, so the store never writes a
// file it would refuse to read):
// - A key is at most kRegMaxKeyDepth levels below its root.
// - The store as written (text(), textSize()) is at most kRegMaxStoreSize
//   bytes.
// A change that would break a limit is refused with kRegQuotaLimit before
// anything is changed; problem() says which limit. A store file that breaks
// one (deeper keys, a larger file, or a file that would grow past the size
// limit when written in the store's own form) is not ready, like a damaged
// one, and is left exactly as it is: nothing the store does deletes or
// shortens it; the user has to move it aside.
//
// Lookups of keys and values take logarithmic time in the number of
// siblings; loading a store takes O(n log n) in its size, whatever the order
// of its file; a change writes the whole store.
//
// A Registry object holds an exclusive lock on its file for its whole life,
// so a sequence of calls by one process is not interleaved with another's.
// Keep one Registry object per file at a time in a thread: a second one
// waits for the first, and gives up as not ready after ten seconds.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrel::platform {

// Windows error codes.
inline constexpr long kRegSuccess = 0;
inline constexpr long kRegNotFound = 2;            // ERROR_FILE_NOT_FOUND: key or value missing
inline constexpr long kRegAccessDenied = 5;        // ERROR_ACCESS_DENIED: key still has subkeys
inline constexpr long kRegNotReady = 21;           // ERROR_NOT_READY: store damaged, unreadable or unwritable
inline constexpr long kRegInvalidParameter = 87;   // ERROR_INVALID_PARAMETER
inline constexpr long kRegQuotaLimit = 613;        // ERROR_REGISTRY_QUOTA_LIMIT: past a limit below
inline constexpr long kRegNoMoreItems = 259;       // ERROR_NO_MORE_ITEMS
inline constexpr long kRegKeyDeleted = 1018;       // ERROR_KEY_DELETED

// Deepest key allowed: levels below the root ("a\b" is 2 levels deep).
inline constexpr std::size_t kRegMaxKeyDepth = 512;
// Largest store allowed, in bytes of its file as the store writes it.
inline constexpr std::size_t kRegMaxStoreSize = 16u * 1024 * 1024;

enum class RegistryRoot : std::uint8_t { ClassesRoot, CurrentUser };

// "HKEY_CLASSES_ROOT" or "HKEY_CURRENT_USER".
std::string_view registryRootName(RegistryRoot root);

class RegistryKey {
public:
    RegistryKey() = default;  // names no key
    static RegistryKey root(RegistryRoot r) { return RegistryKey(r, {}); }

    bool valid() const { return valid_; }
    RegistryRoot rootKey() const { return root_; }
    // Path below the root, names joined by '\'; empty for the root itself.
    const std::string& path() const { return path_; }
    // "HKEY_CLASSES_ROOT\.flv"
    std::string fullName() const;

private:
    friend class Registry;
    RegistryKey(RegistryRoot r, std::string path) : root_(r), path_(std::move(path)), valid_(true) {}
    RegistryRoot root_ = RegistryRoot::ClassesRoot;
    std::string path_;
    bool valid_ = false;
};

class Registry {
public:
    // Opens the store kept in the file at path, waiting for its lock.
    explicit Registry(std::string path);
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // registry.reg in the data folder.
    static std::string defaultPath();

    bool ready() const;
    // Why the store is not ready, or why the last change could not be
    // written or was refused at a limit; empty when none of these happened.
    const std::string& problem() const;
    const std::string& filePath() const;

    // RegOpenKeyEx: out names parent\subKey when that key exists. An empty
    // subKey opens parent itself.
    long openKey(const RegistryKey& parent, std::string_view subKey, RegistryKey& out) const;
    // RegCreateKeyEx: opens parent\subKey, creating it and any missing keys
    // on the way. kRegQuotaLimit when a key would be deeper than
    // kRegMaxKeyDepth or the store larger than kRegMaxStoreSize.
    long createKey(const RegistryKey& parent, std::string_view subKey, RegistryKey& out);
    // RegQueryValueEx of a REG_SZ value; the empty name reads the default value.
    long queryValue(const RegistryKey& key, std::string_view name, std::string& value) const;
    // RegSetValueEx with REG_SZ. kRegQuotaLimit when the store would be
    // larger than kRegMaxStoreSize.
    long setValue(const RegistryKey& key, std::string_view name, std::string_view value);
    // RegDeleteValue.
    long deleteValue(const RegistryKey& key, std::string_view name);
    // RegEnumKeyEx: the name of the index-th subkey, kRegNoMoreItems past the last.
    long enumKey(const RegistryKey& key, std::size_t index, std::string& name) const;
    // RegDeleteKey: deletes parent\subKey, which must have no subkeys.
    long deleteKey(const RegistryKey& parent, std::string_view subKey);

    // The store as it is written to its file.
    std::string text() const;
    // text().size(), without making the text.
    std::size_t textSize() const;

    struct Node;

private:
    long change(long result);
    long refuse(std::string why);
    Node* find(const RegistryKey& key) const;

    std::unique_ptr<Node> roots_[2];
    std::string path_;
    std::string savedText_;  // what the file holds, to undo a change that could not be written
    std::string problem_;
    std::size_t textSize_ = 0;  // of text(), kept up to date by every change
    int lockFd_ = -1;
    bool ready_ = false;
};

}  // namespace kestrel::platform
