#include "platform/desktop_integration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/data_dir.h"
#include "platform/profile.h"

namespace kestrel::platform {

namespace {

constexpr std::string_view kDefaultsSection = "[Default Applications]";
constexpr std::string_view kOwnerKey = "X-Kestrel-Registry-Type=";
constexpr std::string_view kBookkeepingKey = "Software\\Kestrel\\DesktopDefaults";

struct ExtensionType {
    std::string_view extension;
    std::string_view mime;
};
constexpr ExtensionType kKnownTypes[] = {
    {".flv", "video/x-flv"},
};

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    return true;
}

std::string xdgFolder(const char* variable, const char* fallbackBelowHome) {
    const char* v = std::getenv(variable);
    std::string dir = (v && v[0] == '/') ? std::string(v) : homeFolder() + fallbackBelowHome;
    if (dir.back() != '/') dir.push_back('/');
    return dir;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The program of a command: the quoted text at its start, or its first word.
// Commands written for a program, "\"<path>\" %1", give the path whole even
// when it holds a quote, which Linux paths may.
std::string programOf(std::string_view command) {
    command = trim(command);
    if (command.empty()) return {};
    constexpr std::string_view kFileArgument = "\" %1";
    if (command.size() > kFileArgument.size() && command.front() == '"' && command.ends_with(kFileArgument))
        return std::string(command.substr(1, command.size() - 1 - kFileArgument.size()));
    if (command.front() == '"') {
        command.remove_prefix(1);
        return std::string(command.substr(0, command.find('"')));
    }
    return std::string(command.substr(0, command.find_first_of(" \t")));
}

std::string baseNameOf(std::string_view program) {
    auto slash = program.find_last_of('/');
    std::string_view file = slash == std::string_view::npos ? program : program.substr(slash + 1);
    auto dot = file.rfind('.');
    if (dot != std::string_view::npos && dot > 0) file = file.substr(0, dot);
    return std::string(file);
}

// A text value of a desktop entry (escapes of the entry format).
std::string entryText(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\') out += "\\\\";
        else if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c == '\r') out += "\\r";
        else if (c == ' ' && i == 0) out += "\\s";
        else out.push_back(c);
    }
    return out;
}

// Exec="program" %f, with the quoting rules of the Exec key.
std::string execLine(std::string_view program) {
    std::string quoted = "\"";
    for (char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
        if (c == '%') quoted.push_back('%');
        quoted.push_back(c);
    }
    quoted += "\" %f";
    return "Exec=" + entryText(quoted) + "\n";
}

std::string actionId(std::string_view menuText, const std::vector<std::string>& taken) {
    std::string id;
    for (char c : menuText) {
        char l = lowerAscii(c);
        bool alnum = (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9');
        if (alnum) id.push_back(l);
        else if (!id.empty() && id.back() != '-') id.push_back('-');
    }
    while (!id.empty() && id.back() == '-') id.pop_back();
    if (id.empty()) id = "verb";
    std::string unique = id;
    for (int n = 2; std::find(taken.begin(), taken.end(), unique) != taken.end(); ++n) unique = id + "-" + std::to_string(n);
    return unique;
}

struct Verb {
    std::string menuText;
    std::string program;
};

struct TypeState {
    std::string typeName;
    std::string openProgram;
    std::vector<Verb> verbs;
};

TypeState readType(Registry& store, std::string_view extension) {
    TypeState t;
    RegistryKey extKey, typeKey, key;
    if (store.openKey(RegistryKey::root(RegistryRoot::ClassesRoot), extension, extKey) != kRegSuccess) return t;
    store.queryValue(extKey, "", t.typeName);
    if (t.typeName.empty() ||
        store.openKey(RegistryKey::root(RegistryRoot::ClassesRoot), t.typeName, typeKey) != kRegSuccess)
        return t;
    std::string command;
    if (store.openKey(typeKey, "shell\\open\\command", key) == kRegSuccess && store.queryValue(key, "", command) == kRegSuccess)
        t.openProgram = programOf(command);
    RegistryKey shell;
    if (store.openKey(typeKey, "shell", shell) != kRegSuccess) return t;
    std::string verb;
    for (std::size_t i = 0; store.enumKey(shell, i, verb) == kRegSuccess; ++i) {
        if (equalsNoCase(verb, "open")) continue;
        RegistryKey verbCommand;
        if (store.openKey(shell, verb + "\\command", verbCommand) != kRegSuccess) continue;
        if (store.queryValue(verbCommand, "", command) != kRegSuccess) continue;
        std::string program = programOf(command);
        if (!program.empty()) t.verbs.push_back({verb, program});
    }
    return t;
}

std::string desktopEntry(const TypeState& t, std::string_view mime) {
    const std::string& program = t.openProgram.empty() ? t.verbs.front().program : t.openProgram;
    std::string e = "[Desktop Entry]\nType=Application\n";
    e += "Name=" + entryText(baseNameOf(program)) + "\n";
    e += execLine(program);
    e += "MimeType=" + std::string(mime) + ";\n";
    e += "Terminal=false\n";
    std::vector<std::string> ids;
    for (const auto& v : t.verbs) ids.push_back(actionId(v.menuText, ids));
    if (!ids.empty()) {
        e += "Actions=";
        for (const auto& id : ids) e += id + ";";
        e += "\n";
    }
    e += std::string(kOwnerKey) + entryText(t.typeName) + "\n";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        e += "\n[Desktop Action " + ids[i] + "]\n";
        e += "Name=" + entryText(t.verbs[i].menuText) + "\n";
        e += execLine(t.verbs[i].program);
    }
    return e;
}

bool ownedByUs(const std::string& text) {
    return text.find("\n" + std::string(kOwnerKey)) != std::string::npos;
}

// Lines of a key file, each without its line end.
std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// For a line "key=value" returns key (trimmed); empty otherwise.
std::string_view keyOf(std::string_view line) {
    auto eq = line.find('=');
    return eq == std::string_view::npos ? std::string_view() : trim(line.substr(0, eq));
}

std::optional<std::string> readDefault(std::string_view text, std::string_view mime) {
    bool inDefaults = false;
    for (auto line : splitLines(text)) {
        std::string_view t = trim(line);
        if (!t.empty() && t.front() == '[') {
            inDefaults = t == kDefaultsSection;
        } else if (inDefaults && keyOf(t) == mime) {
            return std::string(trim(t.substr(t.find('=') + 1)));
        }
    }
    return std::nullopt;
}

// The text with mime's default set to value, or removed when value is nullopt.
std::string withDefault(std::string_view text, std::string_view mime, const std::optional<std::string>& value) {
    std::string out;
    bool inDefaults = false, sawSection = false, done = false;
    std::string newLine = value ? std::string(mime) + "=" + *value : std::string();
    for (auto line : splitLines(text)) {
        std::string_view t = trim(line);
        bool header = !t.empty() && t.front() == '[';
        if (header && inDefaults && value && !done) {
            out += newLine + "\n";
            done = true;
        }
        if (header) {
            inDefaults = t == kDefaultsSection;
            sawSection = sawSection || inDefaults;
        } else if (inDefaults && keyOf(t) == mime) {
            if (value && !done) {
                out += newLine + "\n";
                done = true;
            }
            continue;  // a replaced or removed line, and any duplicate
        }
        out.append(line);
        out.push_back('\n');
    }
    if (value && !done) {
        if (!sawSection) {
            if (!out.empty() && !out.ends_with("\n\n")) out.push_back('\n');
            out += std::string(kDefaultsSection) + "\n";
        }
        out += newLine + "\n";
    }
    return out;
}

std::string firstId(std::string_view value) {
    return std::string(trim(value.substr(0, value.find(';'))));
}

bool writeFile(const std::string& path, const std::string& text, std::string& problems) {
    auto slash = path.rfind('/');
    if (slash != std::string::npos) makeFolders(path.substr(0, slash));
    if (writeFileAtomically(path, text)) return true;
    problems += path + ": cannot be written (" + std::strerror(errno) + "); ";
    return false;
}

// Sets or restores the default handler of mime.
void syncDefault(Registry& store, std::string_view mime, const std::string& id, bool associate, std::string& problems) {
    std::string listPath = mimeAppsListPath();
    std::string list = readWholeFile(listPath).value_or(std::string());
    std::optional<std::string> current = readDefault(list, mime);
    bool ours = current && firstId(*current) == id;

    RegistryKey book;
    std::string previous;
    bool havePrevious = store.openKey(RegistryKey::root(RegistryRoot::CurrentUser), kBookkeepingKey, book) == kRegSuccess &&
                        store.queryValue(book, mime, previous) == kRegSuccess;

    if (associate) {
        if (ours) return;
        if (store.createKey(RegistryKey::root(RegistryRoot::CurrentUser), kBookkeepingKey, book) != kRegSuccess ||
            store.setValue(book, mime, current.value_or(std::string())) != kRegSuccess) {
            problems += "the handler to restore later cannot be kept (" + store.problem() + "); ";
            return;
        }
        writeFile(listPath, withDefault(list, mime, id + ";"), problems);
        return;
    }
    if (ours) {
        std::optional<std::string> restored;
        if (havePrevious && !previous.empty()) restored = previous;
        if (!writeFile(listPath, withDefault(list, mime, restored), problems)) return;
    }
    if (havePrevious) store.deleteValue(book, mime);
}

}  // namespace

std::string_view mimeTypeForExtension(std::string_view extension) {
    for (const auto& t : kKnownTypes)
        if (equalsNoCase(t.extension, extension)) return t.mime;
    return {};
}

std::string desktopApplicationsFolder() {
    return xdgFolder("XDG_DATA_HOME", ".local/share") + "applications/";
}

std::string mimeAppsListPath() {
    return xdgFolder("XDG_CONFIG_HOME", ".config") + "mimeapps.list";
}

std::string desktopIdForType(std::string_view typeName) {
    std::string id;
    for (char c : typeName) {
        char l = lowerAscii(c);
        bool keep = (l >= 'a' && l <= 'z') || (l >= '0' && l <= '9') || l == '.' || l == '-' || l == '_';
        id.push_back(keep ? l : '-');
    }
    if (id.empty() || id.front() == '.') id.insert(0, "type");
    return id + ".desktop";
}

std::string defaultDesktopHandler(std::string_view mime) {
    auto list = readWholeFile(mimeAppsListPath());
    if (!list) return {};
    auto value = readDefault(*list, mime);
    return value ? firstId(*value) : std::string();
}

std::string notifyAssociationsChanged(Registry& store) {
    if (!store.ready()) return store.problem();
    std::string problems;
    for (const auto& known : kKnownTypes) {
        TypeState t = readType(store, known.extension);
        if (t.typeName.empty()) continue;
        std::string id = desktopIdForType(t.typeName);
        std::string entryPath = desktopApplicationsFolder() + id;
        auto existing = readWholeFile(entryPath);
        bool foreign = existing && !ownedByUs(*existing);
        bool wanted = !t.openProgram.empty() || !t.verbs.empty();

        if (foreign) {
            problems += entryPath + " was not written by this program and is left alone; ";
            continue;
        }
        if (wanted) {
            std::string entry = desktopEntry(t, known.mime);
            if (existing != entry && !writeFile(entryPath, entry, problems)) continue;
        } else if (existing && ::unlink(entryPath.c_str()) != 0) {
            problems += entryPath + ": cannot be removed (" + std::strerror(errno) + "); ";
        }
        syncDefault(store, known.mime, id, !t.openProgram.empty(), problems);
    }
    if (problems.size() >= 2) problems.resize(problems.size() - 2);
    return problems;
}

}  // namespace kestrel::platform
