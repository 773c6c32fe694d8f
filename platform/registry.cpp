#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

#include "platform/byte_reader.h"
#include "platform/data_dir.h"
#include "platform/profile.h"

namespace kestrel::platform {

// File layout (UTF-8, LF line ends; CR LF is accepted when reading):
//
//   Kestrel Registry Store 1
//
//   [HKEY_CLASSES_ROOT\.flv]
//   @="Kestrel.flv"
//   "OldValue"="text"
//
// One section per key (keys without values included, so empty keys stay),
// "@" for the default value, names and values in double quotes with \\, \"
// and \xHH (for control characters) as escapes. Lines starting with ';' are
// comments.

namespace {

constexpr std::string_view kFileHeader = "Kestrel Registry Store 1";
constexpr std::size_t kMaxFileSize = 16u * 1024 * 1024;
constexpr auto kLockPatience = std::chrono::seconds(10);

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

bool lessNoCase(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(lowerAscii(a[i]));
        auto y = static_cast<unsigned char>(lowerAscii(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

bool validKeyName(std::string_view name) {
    if (name.empty()) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\') return false;
    return true;
}

// Splits a sub-key path at '\'; false when a name is empty or invalid.
bool splitPath(std::string_view path, std::vector<std::string_view>& names) {
    names.clear();
    if (path.empty()) return true;
    std::size_t pos = 0;
    for (;;) {
        std::size_t next = path.find('\\', pos);
        std::string_view name = path.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
        if (!validKeyName(name)) return false;
        names.push_back(name);
        if (next == std::string_view::npos) return true;
        pos = next + 1;
    }
}

std::string joinPath(std::string_view base, std::string_view name) {
    std::string out(base);
    if (!out.empty()) out.push_back('\\');
    out.append(name);
    return out;
}

std::string_view untilNul(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

void appendQuoted(std::string& out, std::string_view s) {
    static const char* hex = "0123456789ABCDEF";
    out.push_back('"');
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (u < 0x20 || u == 0x7F) {
            out += "\\x";
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
    out.push_back('"');
}

int hexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads a quoted text at the reader's position (which holds the opening
// quote); false when it is malformed.
bool readQuoted(ByteReader& r, std::string& out) {
    out.clear();
    if (r.u8() != '"') return false;
    while (r.ok() && r.remaining() > 0) {
        std::uint8_t c = r.u8();
        if (c == '"') return true;
        if (c != '\\') {
            out.push_back(static_cast<char>(c));
            continue;
        }
        std::uint8_t e = r.u8();
        if (e == '\\' || e == '"') {
            out.push_back(static_cast<char>(e));
        } else if (e == 'x') {
            int hi = hexDigit(r.u8());
            int lo = hexDigit(r.u8());
            if (!r.ok() || hi < 0 || lo < 0) return false;
            out.push_back(static_cast<char>(hi << 4 | lo));
        } else {
            return false;
        }
    }
    return false;
}

}  // namespace

struct Registry::Node {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::unique_ptr<Node>> children;  // sorted by name, without regard to case

    Node* child(std::string_view n) const {
        for (const auto& c : children)
            if (equalsNoCase(c->name, n)) return c.get();
        return nullptr;
    }
    Node* addChild(std::string_view n) {
        auto at = std::find_if(children.begin(), children.end(),
                               [&](const std::unique_ptr<Node>& c) { return lessNoCase(n, c->name); });
        auto node = std::make_unique<Node>();
        node->name = std::string(n);
        return children.insert(at, std::move(node))->get();
    }
    std::pair<std::string, std::string>* value(std::string_view n) {
        for (auto& v : values)
            if (equalsNoCase(v.first, n)) return &v;
        return nullptr;
    }
};

namespace {

using Node = Registry::Node;

void writeKeys(std::string& out, std::string_view rootName, const std::string& path, const Node& node, bool isRoot) {
    if (!isRoot || !node.values.empty()) {
        out += "\n[";
        out += rootName;
        if (!path.empty()) {
            out.push_back('\\');
            out += path;
        }
        out += "]\n";
        for (const auto& [name, value] : node.values) {
            if (name.empty())
                out.push_back('@');
            else
                appendQuoted(out, name);
            out.push_back('=');
            appendQuoted(out, value);
            out.push_back('\n');
        }
    }
    for (const auto& c : node.children) writeKeys(out, rootName, joinPath(path, c->name), *c, false);
}

// Parses the store's text into roots; on failure returns a description.
std::string parseStore(std::string_view text, std::unique_ptr<Node> (&roots)[2]) {
    for (auto& r : roots) r = std::make_unique<Node>();
    ByteReader reader(asBytes(text));
    Node* current = nullptr;
    std::size_t lineNo = 0;
    bool sawHeader = false;
    std::string name, value;
    std::vector<std::string_view> names;
    while (reader.remaining() > 0) {
        auto rest = reader.rest();
        auto newline = std::find(rest.begin(), rest.end(), std::uint8_t{'\n'});
        auto length = static_cast<std::size_t>(newline - rest.begin());
        ByteReader line = reader.sub(length);
        if (newline != rest.end()) reader.skip(1);
        ++lineNo;
        auto bytes = line.data();
        if (!bytes.empty() && bytes.back() == '\r') line = ByteReader(bytes.first(bytes.size() - 1));
        std::string_view lineText(reinterpret_cast<const char*>(line.data().data()), line.size());
        std::string where = "line " + std::to_string(lineNo) + ": ";

        if (!sawHeader) {
            if (lineText != kFileHeader) return where + "not a registry store (expected \"" + std::string(kFileHeader) + "\")";
            sawHeader = true;
            continue;
        }
        if (lineText.empty() || lineText.front() == ';') continue;
        if (lineText.front() == '[') {
            if (lineText.back() != ']' || lineText.size() < 2) return where + "unterminated key name";
            std::string_view full = lineText.substr(1, lineText.size() - 2);
            std::string_view rootName = full.substr(0, full.find('\\'));
            int rootIndex = -1;
            for (int i = 0; i < 2; ++i)
                if (equalsNoCase(rootName, registryRootName(static_cast<RegistryRoot>(i)))) rootIndex = i;
            if (rootIndex < 0) return where + "unknown root key";
            std::string_view below = rootName.size() < full.size() ? full.substr(rootName.size() + 1) : std::string_view();
            if (rootName.size() < full.size() && below.empty()) return where + "empty key name";
            if (!splitPath(below, names)) return where + "invalid key name";
            current = roots[rootIndex].get();
            for (auto n : names) {
                Node* next = current->child(n);
                current = next ? next : current->addChild(n);
            }
            continue;
        }
        if (!current) return where + "value outside of a key";
        if (line.startsWith("@")) {
            line.skip(1);
            name.clear();
        } else if (!readQuoted(line, name)) {
            return where + "malformed value name";
        }
        if (line.u8() != '=' || !line.ok()) return where + "expected '=' after the value name";
        if (!readQuoted(line, value)) return where + "malformed value";
        if (line.remaining() != 0) return where + "text after the value";
        if (current->value(name)) return where + "value \"" + name + "\" given twice";
        current->values.emplace_back(name, value);
    }
    if (!sawHeader && !text.empty()) return "line 1: not a registry store";
    return {};
}

}  // namespace

std::string_view registryRootName(RegistryRoot root) {
    return root == RegistryRoot::ClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_CURRENT_USER";
}

std::string RegistryKey::fullName() const {
    std::string out(registryRootName(root_));
    if (!path_.empty()) {
        out.push_back('\\');
        out += path_;
    }
    return out;
}

std::string Registry::defaultPath() {
    return dataFolder() + "registry.reg";
}

Registry::Registry(std::string path) : path_(std::move(path)) {
    for (auto& r : roots_) r = std::make_unique<Node>();

    lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ >= 0) {
        auto deadline = std::chrono::steady_clock::now() + kLockPatience;
        while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline) {
                problem_ = path_ + ": the store is locked by another user of it";
                ::close(lockFd_);
                lockFd_ = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Without a lock file (a read-only folder) the store can still be read;
    // writes fail there anyway.

    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            ready_ = true;
            return;
        }
        problem_ = path_ + ": " + std::strerror(errno);
        return;
    }
    if (!S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > kMaxFileSize) {
        problem_ = path_ + ": not a registry store (not a file, or too large)";
        return;
    }
    auto text = readWholeFile(path_);
    if (!text) {
        problem_ = path_ + ": cannot be read";
        return;
    }
    std::string error = parseStore(*text, roots_);
    if (!error.empty()) {
        for (auto& r : roots_) r = std::make_unique<Node>();
        problem_ = path_ + " is damaged (" + error + "); it is left unchanged";
        return;
    }
    savedText_ = std::move(*text);
    ready_ = true;
}

Registry::~Registry() {
    if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
}

bool Registry::ready() const {
    return ready_;
}
const std::string& Registry::problem() const {
    return problem_;
}
const std::string& Registry::filePath() const {
    return path_;
}

Registry::Node* Registry::find(const RegistryKey& key) const {
    if (!key.valid()) return nullptr;
    Node* node = roots_[static_cast<int>(key.rootKey())].get();
    std::vector<std::string_view> names;
    if (!splitPath(key.path(), names)) return nullptr;
    for (auto n : names) {
        node = node->child(n);
        if (!node) return nullptr;
    }
    return node;
}

// Writes the store after a successful change; a failed write undoes the
// change by going back to what the file holds.
long Registry::change(long result) {
    if (result != kRegSuccess) return result;
    std::string newText = text();
    if (writeFileAtomically(path_, newText)) {
        savedText_ = std::move(newText);
        problem_.clear();
        return kRegSuccess;
    }
    problem_ = path_ + ": cannot be written (" + std::strerror(errno) + ")";
    if (!parseStore(savedText_, roots_).empty()) ready_ = false;  // cannot happen: it parsed before
    return kRegNotReady;
}

long Registry::openKey(const RegistryKey& parent, std::string_view subKey, RegistryKey& out) const {
    out = RegistryKey();
    if (!ready_) return kRegNotReady;
    if (!parent.valid()) return kRegInvalidParameter;
    Node* node = find(parent);
    if (!node) return kRegKeyDeleted;
    std::vector<std::string_view> names;
    if (!splitPath(subKey, names)) return kRegInvalidParameter;
    std::string path = parent.path();
    for (auto n : names) {
        node = node->child(n);
        if (!node) return kRegNotFound;
        path = joinPath(path, node->name);
    }
    out = RegistryKey(parent.rootKey(), std::move(path));
    return kRegSuccess;
}

long Registry::createKey(const RegistryKey& parent, std::string_view subKey, RegistryKey& out) {
    out = RegistryKey();
    if (!ready_) return kRegNotReady;
    if (!parent.valid()) return kRegInvalidParameter;
    Node* node = find(parent);
    if (!node) return kRegKeyDeleted;
    std::vector<std::string_view> names;
    if (!splitPath(subKey, names)) return kRegInvalidParameter;
    std::string path = parent.path();
    bool created = false;
    for (auto n : names) {
        Node* next = node->child(n);
        if (!next) {
            next = node->addChild(n);
            created = true;
        }
        node = next;
        path = joinPath(path, node->name);
    }
    if (created) {
        long result = change(kRegSuccess);
        if (result != kRegSuccess) return result;
    }
    out = RegistryKey(parent.rootKey(), std::move(path));
    return kRegSuccess;
}

long Registry::queryValue(const RegistryKey& key, std::string_view name, std::string& value) const {
    value.clear();
    if (!ready_) return kRegNotReady;
    Node* node = find(key);
    if (!node) return key.valid() ? kRegKeyDeleted : kRegInvalidParameter;
    auto* v = node->value(name);
    if (!v) return kRegNotFound;
    value = v->second;
    return kRegSuccess;
}

long Registry::setValue(const RegistryKey& key, std::string_view name, std::string_view value) {
    if (!ready_) return kRegNotReady;
    Node* node = find(key);
    if (!node) return key.valid() ? kRegKeyDeleted : kRegInvalidParameter;
    name = untilNul(name);
    value = untilNul(value);
    if (auto* v = node->value(name)) {
        if (v->second == value) return kRegSuccess;
        v->second = std::string(value);
        return change(kRegSuccess);
    }
    node->values.emplace_back(std::string(name), std::string(value));
    return change(kRegSuccess);
}

long Registry::deleteValue(const RegistryKey& key, std::string_view name) {
    if (!ready_) return kRegNotReady;
    Node* node = find(key);
    if (!node) return key.valid() ? kRegKeyDeleted : kRegInvalidParameter;
    auto it = std::find_if(node->values.begin(), node->values.end(),
                           [&](const auto& v) { return equalsNoCase(v.first, untilNul(name)); });
    if (it == node->values.end()) return kRegNotFound;
    node->values.erase(it);
    return change(kRegSuccess);
}

long Registry::enumKey(const RegistryKey& key, std::size_t index, std::string& name) const {
    name.clear();
    if (!ready_) return kRegNotReady;
    Node* node = find(key);
    if (!node) return key.valid() ? kRegKeyDeleted : kRegInvalidParameter;
    if (index >= node->children.size()) return kRegNoMoreItems;
    name = node->children[index]->name;
    return kRegSuccess;
}

long Registry::deleteKey(const RegistryKey& parent, std::string_view subKey) {
    if (!ready_) return kRegNotReady;
    Node* node = find(parent);
    if (!node) return parent.valid() ? kRegKeyDeleted : kRegInvalidParameter;
    std::vector<std::string_view> names;
    if (!splitPath(subKey, names) || names.empty()) return kRegInvalidParameter;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) {
        node = node->child(names[i]);
        if (!node) return kRegNotFound;
    }
    auto it = std::find_if(node->children.begin(), node->children.end(),
                           [&](const std::unique_ptr<Node>& c) { return equalsNoCase(c->name, names.back()); });
    if (it == node->children.end()) return kRegNotFound;
    if (!(*it)->children.empty()) return kRegAccessDenied;
    node->children.erase(it);
    return change(kRegSuccess);
}

std::string Registry::text() const {
    std::string out(kFileHeader);
    out.push_back('\n');
    for (int i = 0; i < 2; ++i)
        writeKeys(out, registryRootName(static_cast<RegistryRoot>(i)), std::string(), *roots_[i], true);
    return out;
}

}  // namespace kestrel::platform
