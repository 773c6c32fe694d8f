#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
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
//
// The writer below is the measure of the size limit: the reader adds up what
// each key and value it accepts will take when written again, so a file that
// would grow past the limit (deep paths written once in the file but once per
// level when rewritten, raw control characters that come back as \xHH) is
// refused when read, not when the next change is written.

namespace {

constexpr std::string_view kFileHeader = "Kestrel Registry Store 1";
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

// Byte by byte with ASCII letters folded to lower case; a name before the
// longer names it begins. This is the enumeration order of subkeys.
int compareNoCase(std::string_view a, std::string_view b) {
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        auto x = static_cast<unsigned char>(lowerAscii(a[i]));
        auto y = static_cast<unsigned char>(lowerAscii(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool lessNoCase(std::string_view a, std::string_view b) {
    return compareNoCase(a, b) < 0;
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

void appendName(std::string& path, std::string_view name) {
    if (!path.empty()) path.push_back('\\');
    path.append(name);
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
    Node() = default;
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    ~Node();

    std::string name;
    std::size_t depth = 0;                                    // levels below the root; the root is 0
    std::size_t pathLength = 0;                               // of the path below the root, names joined by '\'
    std::vector<std::unique_ptr<Node>> children;              // in enumeration order (lessNoCase)
    std::vector<std::pair<std::string, std::string>> values;  // in the order they were made: the file's order
    std::vector<std::size_t> valueOrder;                      // indexes into values, by name (lessNoCase)

    using ChildSlot = std::vector<std::unique_ptr<Node>>::const_iterator;
    ChildSlot childSlot(std::string_view n) const {
        return std::lower_bound(
            children.begin(), children.end(), n,
            [](const std::unique_ptr<Node>& c, std::string_view k) { return lessNoCase(c->name, k); });
    }
    Node* child(std::string_view n) const {
        auto at = childSlot(n);
        return at != children.end() && equalsNoCase((*at)->name, n) ? at->get() : nullptr;
    }
    std::size_t childPathLength(std::string_view n) const { return depth == 0 ? n.size() : pathLength + 1 + n.size(); }
    std::unique_ptr<Node> makeChild(std::string_view n) const {
        auto node = std::make_unique<Node>();
        node->name = std::string(n);
        node->depth = depth + 1;
        node->pathLength = childPathLength(n);
        return node;
    }
    // n must not name a child already.
    Node* addChild(std::string_view n) { return children.insert(childSlot(n), makeChild(n))->get(); }

    std::size_t valueSlot(std::string_view n) const {
        auto at = std::lower_bound(valueOrder.begin(), valueOrder.end(), n,
                                   [&](std::size_t i, std::string_view k) { return lessNoCase(values[i].first, k); });
        return static_cast<std::size_t>(at - valueOrder.begin());
    }
    std::pair<std::string, std::string>* value(std::string_view n) {
        std::size_t slot = valueSlot(n);
        if (slot == valueOrder.size() || !equalsNoCase(values[valueOrder[slot]].first, n)) return nullptr;
        return &values[valueOrder[slot]];
    }
    // n must not name a value already.
    void addValue(std::string_view n, std::string_view v) {
        std::size_t slot = valueSlot(n);
        values.emplace_back(std::string(n), std::string(v));
        valueOrder.insert(valueOrder.begin() + static_cast<std::ptrdiff_t>(slot), values.size() - 1);
    }
    bool removeValue(std::string_view n) {
        std::size_t slot = valueSlot(n);
        if (slot == valueOrder.size() || !equalsNoCase(values[valueOrder[slot]].first, n)) return false;
        std::size_t index = valueOrder[slot];
        values.erase(values.begin() + static_cast<std::ptrdiff_t>(index));
        valueOrder.erase(valueOrder.begin() + static_cast<std::ptrdiff_t>(slot));
        for (auto& i : valueOrder)
            if (i > index) --i;
        return true;
    }
};

// Frees the subtree without recursing, so no tree is too deep to let go of.
Registry::Node::~Node() {
    std::vector<std::unique_ptr<Node>> pending;
    for (auto& c : children)
        if (c) pending.push_back(std::move(c));
    children.clear();
    while (!pending.empty()) {
        std::unique_ptr<Node> node = std::move(pending.back());
        pending.pop_back();
        for (auto& c : node->children)
            if (c) pending.push_back(std::move(c));
        node->children.clear();
    }
}

namespace {

using Node = Registry::Node;

std::string_view rootNameAt(std::size_t index) {
    return registryRootName(static_cast<RegistryRoot>(index));
}

// Sizes of the pieces of the written store, to keep its size known without
// writing it.
std::size_t quotedSize(std::string_view s) {
    std::size_t n = 2;
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        n += (c == '\\' || c == '"') ? 2 : (u < 0x20 || u == 0x7F) ? 4 : 1;
    }
    return n;
}
std::size_t valueLineSize(std::string_view name, std::string_view value) {
    return (name.empty() ? 1 : quotedSize(name)) + 1 + quotedSize(value) + 1;
}
std::size_t sectionHeaderSize(std::string_view rootName, std::size_t pathLength) {
    return 2 + rootName.size() + (pathLength > 0 ? 1 + pathLength : 0) + 2;
}
// What a key adds to the store: its section, when it has one (a root has
// one only while it holds values), and its values.
std::size_t keySize(std::string_view rootName, const Node& node) {
    if (node.depth == 0 && node.values.empty()) return 0;
    std::size_t n = sectionHeaderSize(rootName, node.pathLength);
    for (const auto& [name, value] : node.values) n += valueLineSize(name, value);
    return n;
}

std::string mebibytes(std::size_t bytes) {
    return std::to_string(bytes / (1024 * 1024)) + " MiB";
}

std::string tooDeep(std::size_t depth) {
    return "a key " + std::to_string(depth) + " levels deep, more than the " + std::to_string(kRegMaxKeyDepth) +
           " allowed";
}

std::string tooLarge() {
    return "the store would be larger than " + mebibytes(kRegMaxStoreSize) + " as written";
}

void writeSection(std::string& out, std::string_view rootName, std::string_view path, const Node& node) {
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

// Every key of one root, parents before children, children in enumeration
// order; iterative, whatever the depth.
void writeTree(std::string& out, std::string_view rootName, const Node& root) {
    if (!root.values.empty()) writeSection(out, rootName, {}, root);
    struct Step {
        const Node* node;
        std::size_t next;        // child to write next
        std::size_t pathLength;  // of node's path
    };
    std::vector<Step> stack{{&root, 0, 0}};
    std::string path;
    while (!stack.empty()) {
        Step& top = stack.back();
        if (top.next == top.node->children.size()) {
            stack.pop_back();
            continue;
        }
        const Node& child = *top.node->children[top.next++];
        path.resize(top.pathLength);
        if (!path.empty()) path.push_back('\\');
        path += child.name;
        writeSection(out, rootName, path, child);
        stack.push_back({&child, 0, path.size()});
    }
}

struct ParseResult {
    std::string error;         // empty when the text parsed
    bool pastLimit = false;    // the error is a limit, not damage
    std::size_t textSize = 0;  // of the store as written
};

// While parsing, keys and values are appended as they come; keys are found
// through an index, values are sorted by name once at the end (which is also
// when a name given twice shows). The keys' enumeration order and the values'
// lookup order are made then too, so a large store loads in O(n log n)
// whatever order its file has.
struct ChildName {
    Node* parent;
    std::string_view name;  // the child's own name, which never moves
};
struct ChildNameLess {
    bool operator()(const ChildName& a, const ChildName& b) const {
        if (a.parent != b.parent) return std::less<const Node*>()(a.parent, b.parent);
        return lessNoCase(a.name, b.name);
    }
};
std::string givenTwice(const std::string& name) {
    return "value \"" + (name.size() > 64 ? name.substr(0, 64) + "..." : name) + "\" given twice";
}

struct ValueLine {
    Node* node;
    std::size_t index;  // into node->values
    std::size_t lineNo;
    std::string_view name() const { return node->values[index].first; }
};

// Sorts the values read so far by key, name and line; returns the first
// line (0: none) that gives a key a value name it already has, and the name.
std::size_t sortValueLines(std::vector<ValueLine>& lines, std::string& repeated) {
    std::sort(lines.begin(), lines.end(), [](const ValueLine& a, const ValueLine& b) {
        if (a.node != b.node) return std::less<const Node*>()(a.node, b.node);
        int order = compareNoCase(a.name(), b.name());
        return order != 0 ? order < 0 : a.lineNo < b.lineNo;
    });
    std::size_t first = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const ValueLine& a = lines[i - 1];
        const ValueLine& b = lines[i];
        if (a.node == b.node && equalsNoCase(a.name(), b.name()) && (first == 0 || b.lineNo < first)) {
            first = b.lineNo;
            repeated = std::string(b.name());
        }
    }
    return first;
}

// Parses the store's text into roots (replacing them).
ParseResult parseStore(std::string_view text, std::unique_ptr<Node> (&roots)[2]) {
    for (auto& r : roots) r = std::make_unique<Node>();
    ParseResult result;
    std::size_t size = kFileHeader.size() + 1;
    std::map<ChildName, Node*, ChildNameLess> keys;
    std::vector<ValueLine> valueLines;

    ByteReader reader(asBytes(text));
    Node* current = nullptr;
    std::string_view currentRoot;
    std::vector<Node*> chain;  // the keys of the last section's path, from the top
    std::size_t chainRoot = 2;
    std::size_t lineNo = 0;
    bool sawHeader = false;
    std::string name, value;
    std::vector<std::string_view> names;
    // Reports the first fault by line: a repeated value name before this
    // line comes first.
    auto fail = [&](const std::string& what, bool pastLimit = false) {
        std::string repeated;
        std::size_t repeatedAt = sortValueLines(valueLines, repeated);
        if (repeatedAt != 0 && repeatedAt < lineNo) {
            result.error = "line " + std::to_string(repeatedAt) + ": " + givenTwice(repeated);
            result.pastLimit = false;
        } else {
            result.error = "line " + std::to_string(lineNo) + ": " + what;
            result.pastLimit = pastLimit;
        }
        return result;
    };
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

        if (!sawHeader) {
            if (lineText != kFileHeader)
                return fail("not a registry store (expected \"" + std::string(kFileHeader) + "\")");
            sawHeader = true;
            continue;
        }
        if (lineText.empty() || lineText.front() == ';') continue;
        if (lineText.front() == '[') {
            if (lineText.back() != ']' || lineText.size() < 2) return fail("unterminated key name");
            std::string_view full = lineText.substr(1, lineText.size() - 2);
            std::string_view rootName = full.substr(0, full.find('\\'));
            std::size_t rootIndex = 2;
            for (std::size_t i = 0; i < 2; ++i)
                if (equalsNoCase(rootName, rootNameAt(i))) rootIndex = i;
            if (rootIndex == 2) return fail("unknown root key");
            std::string_view below =
                rootName.size() < full.size() ? full.substr(rootName.size() + 1) : std::string_view();
            if (rootName.size() < full.size() && below.empty()) return fail("empty key name");
            // Counted before splitting, so a path of millions of names is not split first.
            std::size_t depth =
                below.empty() ? 0 : 1 + static_cast<std::size_t>(std::count(below.begin(), below.end(), '\\'));
            if (depth > kRegMaxKeyDepth) return fail(tooDeep(depth), true);
            if (!splitPath(below, names)) return fail("invalid key name");
            // Sections mostly share their start with the one before (a
            // written store has every parent just before its children), so
            // that part is not looked up again.
            std::size_t shared = 0;
            if (rootIndex == chainRoot)
                while (shared < names.size() && shared < chain.size() &&
                       equalsNoCase(chain[shared]->name, names[shared]))
                    ++shared;
            chain.resize(shared);
            chainRoot = rootIndex;
            current = shared > 0 ? chain.back() : roots[rootIndex].get();
            currentRoot = rootNameAt(rootIndex);
            for (std::size_t i = shared; i < names.size(); ++i) {
                auto known = keys.find(ChildName{current, names[i]});
                if (known != keys.end()) {
                    current = known->second;
                } else {
                    size += sectionHeaderSize(currentRoot, current->childPathLength(names[i]));
                    if (size > kRegMaxStoreSize) return fail(tooLarge(), true);
                    Node* added = current->children.emplace_back(current->makeChild(names[i])).get();
                    keys.emplace(ChildName{current, added->name}, added);
                    current = added;
                }
                chain.push_back(current);
            }
            continue;
        }
        if (!current) return fail("value outside of a key");
        if (line.startsWith("@")) {
            line.skip(1);
            name.clear();
        } else if (!readQuoted(line, name)) {
            return fail("malformed value name");
        }
        if (line.u8() != '=' || !line.ok()) return fail("expected '=' after the value name");
        if (!readQuoted(line, value)) return fail("malformed value");
        if (line.remaining() != 0) return fail("text after the value");
        if (current->depth == 0 && current->values.empty()) size += sectionHeaderSize(currentRoot, 0);
        size += valueLineSize(name, value);
        if (size > kRegMaxStoreSize) return fail(tooLarge(), true);
        current->values.emplace_back(name, value);
        valueLines.push_back({current, current->values.size() - 1, lineNo});
    }
    if (!sawHeader && !text.empty()) {
        lineNo = 1;
        return fail("not a registry store");
    }
    std::string repeated;
    if (std::size_t at = sortValueLines(valueLines, repeated); at != 0) {
        lineNo = at;
        return fail(givenTwice(repeated));
    }

    // Both indexes run parent by parent, in name order.
    Node* sorted = nullptr;
    for (const auto& entry : keys) {
        Node* parent = entry.first.parent;
        if (parent == sorted) continue;
        sorted = parent;
        std::sort(parent->children.begin(), parent->children.end(),
                  [](const std::unique_ptr<Node>& a, const std::unique_ptr<Node>& b) {
                      return lessNoCase(a->name, b->name);
                  });
    }
    for (const auto& v : valueLines) v.node->valueOrder.push_back(v.index);
    result.textSize = size;
    return result;
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

Registry::Registry(std::string path) : path_(std::move(path)), textSize_(kFileHeader.size() + 1) {
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
    if (!S_ISREG(st.st_mode)) {
        problem_ = path_ + ": not a registry store (not a file)";
        return;
    }
    const std::string tooLargeFile =
        path_ + " is beyond the store's limits (larger than " + mebibytes(kRegMaxStoreSize) + "); it is left unchanged";
    if (static_cast<std::uint64_t>(st.st_size) > kRegMaxStoreSize) {
        problem_ = tooLargeFile;
        return;
    }
    auto text = readWholeFile(path_);
    if (!text) {
        problem_ = path_ + ": cannot be read";
        return;
    }
    if (text->size() > kRegMaxStoreSize) {  // grew since it was looked at
        problem_ = tooLargeFile;
        return;
    }
    ParseResult parsed = parseStore(*text, roots_);
    if (!parsed.error.empty()) {
        for (auto& r : roots_) r = std::make_unique<Node>();
        problem_ = path_ + (parsed.pastLimit ? " is beyond the store's limits (" : " is damaged (") + parsed.error +
                   "); it is left unchanged";
        return;
    }
    textSize_ = parsed.textSize;
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
    ParseResult saved = parseStore(savedText_, roots_);
    if (saved.error.empty())
        textSize_ = saved.textSize;
    else
        ready_ = false;  // cannot happen: it parsed before
    return kRegNotReady;
}

long Registry::refuse(std::string why) {
    problem_ = path_ + ": refused, " + why;
    return kRegQuotaLimit;
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
        appendName(path, node->name);
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
    std::size_t existing = 0;
    for (; existing < names.size(); ++existing) {
        Node* next = node->child(names[existing]);
        if (!next) break;
        node = next;
        appendName(path, node->name);
    }
    if (existing < names.size()) {
        // Check both limits before making anything, so a refusal changes nothing.
        std::size_t missing = names.size() - existing;
        if (missing > kRegMaxKeyDepth - node->depth) return refuse(tooDeep(node->depth + missing));
        std::string_view rootName = registryRootName(parent.rootKey());
        std::size_t grow = 0, pathLength = node->pathLength;
        for (std::size_t i = existing; i < names.size(); ++i) {
            pathLength = (i == existing && node->depth == 0) ? names[i].size() : pathLength + 1 + names[i].size();
            grow += sectionHeaderSize(rootName, pathLength);
            if (grow > kRegMaxStoreSize - textSize_) return refuse(tooLarge());
        }
        for (std::size_t i = existing; i < names.size(); ++i) {
            node = node->addChild(names[i]);
            appendName(path, node->name);
        }
        textSize_ += grow;
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
        std::size_t before = quotedSize(v->second), after = quotedSize(value);
        if (after > before && after - before > kRegMaxStoreSize - textSize_) return refuse(tooLarge());
        v->second = std::string(value);
        textSize_ = textSize_ - before + after;
        return change(kRegSuccess);
    }
    std::size_t grow = valueLineSize(name, value);
    if (node->depth == 0 && node->values.empty()) grow += sectionHeaderSize(registryRootName(key.rootKey()), 0);
    if (grow > kRegMaxStoreSize - textSize_) return refuse(tooLarge());
    node->addValue(name, value);
    textSize_ += grow;
    return change(kRegSuccess);
}

long Registry::deleteValue(const RegistryKey& key, std::string_view name) {
    if (!ready_) return kRegNotReady;
    Node* node = find(key);
    if (!node) return key.valid() ? kRegKeyDeleted : kRegInvalidParameter;
    name = untilNul(name);
    std::string_view rootName = registryRootName(key.rootKey());
    std::size_t before = keySize(rootName, *node);
    if (!node->removeValue(name)) return kRegNotFound;
    textSize_ = textSize_ - before + keySize(rootName, *node);
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
    auto at = node->childSlot(names.back());
    if (at == node->children.end() || !equalsNoCase((*at)->name, names.back())) return kRegNotFound;
    if (!(*at)->children.empty()) return kRegAccessDenied;
    textSize_ -= keySize(registryRootName(parent.rootKey()), **at);
    node->children.erase(at);
    return change(kRegSuccess);
}

std::string Registry::text() const {
    std::string out;
    out.reserve(textSize_);
    out += kFileHeader;
    out.push_back('\n');
    for (std::size_t i = 0; i < 2; ++i) writeTree(out, rootNameAt(i), *roots_[i]);
    return out;
}

std::size_t Registry::textSize() const {
    return textSize_;
}

}  // namespace kestrel::platform
