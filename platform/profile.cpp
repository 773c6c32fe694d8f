#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kestrel::platform {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

// Reading trims a value of blanks and of one pair of matching quotes; a
// value that would lose either is written inside one more pair of quotes,
// which reading takes off again, so it reads back as it was set.
std::string storedValue(std::string_view v) {
    const bool blankEdge = !v.empty() && (isBlank(v.front()) || isBlank(v.back()));
    const bool quoted = v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
    return blankEdge || quoted ? "\"" + std::string(v) + "\"" : std::string(v);
}

}  // namespace

std::int32_t parseProfileInt(std::string_view text) {
    text = trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10u + static_cast<std::uint32_t>(c - '0');
    }
    if (negative) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

ProfileFile ProfileFile::parse(std::string_view text) {
    ProfileFile f;
    std::string current;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view raw = text.substr(pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        pos = end + 1;

        Line line;
        line.raw = std::string(raw);
        std::string_view t = trim(raw);
        if (!t.empty() && t.front() == '[') {
            std::size_t close = t.find(']');
            line.kind = Line::Kind::Section;
            line.section = std::string(trim(t.substr(1, close == std::string_view::npos ? t.size() - 1 : close - 1)));
            current = line.section;
        } else if (!t.empty() && t.front() != ';') {
            std::size_t eq = t.find('=');
            if (eq != std::string_view::npos) {
                line.kind = Line::Kind::Key;
                line.key = std::string(trim(t.substr(0, eq)));
                line.value = std::string(trim(t.substr(eq + 1)));
            }
        }
        line.section = line.kind == Line::Kind::Section ? line.section : current;
        f.lines_.push_back(std::move(line));
    }
    return f;
}

ProfileFile ProfileFile::load(const std::string& path) {
    auto text = readWholeFile(path);
    return text ? parse(*text) : ProfileFile{};
}

std::optional<std::pair<std::size_t, std::size_t>> ProfileFile::sectionRange(std::string_view section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind != Line::Kind::Section || !equalsNoCase(lines_[i].section, section)) continue;
        std::size_t j = i + 1;
        while (j < lines_.size() && lines_[j].kind != Line::Kind::Section) ++j;
        return std::make_pair(i + 1, j);
    }
    return std::nullopt;
}

std::optional<std::string> ProfileFile::find(std::string_view section, std::string_view key) const {
    auto range = sectionRange(section);
    if (!range) return std::nullopt;
    for (std::size_t i = range->first; i < range->second; ++i) {
        const Line& l = lines_[i];
        if (l.kind == Line::Kind::Key && equalsNoCase(l.key, key)) return unquote(l.value);
    }
    return std::nullopt;
}

std::string ProfileFile::getString(std::string_view section, std::string_view key, std::string_view def) const {
    std::string v = find(section, key).value_or(std::string(def));
    if (v.size() > kProfileValueMax) v.resize(kProfileValueMax);
    return v;
}

std::int32_t ProfileFile::getInt(std::string_view section, std::string_view key, std::int32_t def) const {
    auto v = find(section, key);
    if (!v || v->empty()) return def;
    return parseProfileInt(*v);
}

void ProfileFile::setString(std::string_view section, std::string_view key, std::string_view value) {
    Line line;
    line.kind = Line::Kind::Key;
    line.key = std::string(key);
    line.value = storedValue(value);
    line.raw = line.key + "=" + line.value;

    auto range = sectionRange(section);
    if (!range) {
        Line header;
        header.kind = Line::Kind::Section;
        header.section = std::string(section);
        header.raw = "[" + header.section + "]";
        line.section = header.section;
        lines_.push_back(std::move(header));
        lines_.push_back(std::move(line));
        return;
    }
    line.section = lines_[range->first - 1].section;
    std::size_t insertAt = range->first;
    for (std::size_t i = range->first; i < range->second; ++i) {
        Line& l = lines_[i];
        if (l.kind == Line::Kind::Key && equalsNoCase(l.key, key)) {
            l.value = line.value;
            l.raw = l.key + "=" + l.value;
            return;
        }
        if (!trim(l.raw).empty()) insertAt = i + 1;  // after the section's last non-blank line
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), std::move(line));
}

std::string ProfileFile::text() const {
    std::string out;
    for (const Line& l : lines_) {
        out += l.raw;
        out += "\r\n";
    }
    return out;
}

bool ProfileFile::save(const std::string& path) const {
    return writeFileAtomically(path, text());
}

std::optional<std::string> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool writeFileAtomically(const std::string& path, std::string_view bytes) {
    std::string tmp = path + ".tmp.XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return false;
    bool ok = true;
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (ok && left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::fchmod(fd, 0644) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

}  // namespace kestrel::platform
