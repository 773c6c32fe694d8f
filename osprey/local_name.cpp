#include "osprey/local_name.h"

#include <cctype>
#include <cstring>

namespace kestrel::osprey {

namespace {

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    for (std::size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        out.append(s, pos, hit - pos);
        out.append(to);
    }
    out.append(s, pos, std::string::npos);
    s.swap(out);
}

void cutAtFirst(std::string& s, char c) {
    const std::size_t at = s.find(c);
    if (at != std::string::npos) s.resize(at);
}

}  // namespace

std::string localNameOfUrl(std::string_view url) {
    while (!url.empty() && std::isspace(static_cast<unsigned char>(url.back()))) url.remove_suffix(1);
    std::string name(url);
    static constexpr std::string_view kEscapes[][2] = {{"%20", " "}, {"%5c", "#"}, {"%26", "&"}, {"%3f", "?"},
                                                       {"%2f", "/"}, {"%3a", ":"}, {"%3d", "="}};
    for (const auto& e : kEscapes) replaceAll(name, e[0], e[1]);
    cutAtFirst(name, '?');
    const std::size_t slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    if (name.size() > kMaxLocalName) name.erase(0, name.size() - kMaxLocalName);
    cutAtFirst(name, ';');
    cutAtFirst(name, '&');
    bool onlyBlanks = true;
    for (char& c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("/\\:*?<>|", c) != nullptr) c = ' ';
        if (c != ' ') onlyBlanks = false;
    }
    if (onlyBlanks || name == "." || name == "..") return "Media";
    return name;
}

}  // namespace kestrel::osprey
