#include "common/url_text.h"

#include <cctype>

namespace kestrel {

namespace {

std::string_view trimTrailingBlanks(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

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

std::string_view lastPathPart(std::string_view s) {
    s = s.substr(0, s.find('?'));
    const std::size_t slash = s.rfind('/');
    return slash == std::string_view::npos ? s : s.substr(slash + 1);
}

}  // namespace

std::string toUpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string urlExtension(std::string_view url) {
    const std::string_view last = lastPathPart(trimTrailingBlanks(url));
    const std::size_t dot = last.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(last.substr(dot));
}

std::string urlTitle(std::string_view url) {
    std::string s(trimTrailingBlanks(url));
    replaceAll(s, "%20", " ");
    replaceAll(s, "%26", "&");
    replaceAll(s, "%3f", "?");
    replaceAll(s, "%2f", "/");
    replaceAll(s, "%3a", ":");
    replaceAll(s, "%3d", "=");
    replaceAll(s, "%5c", "_");
    std::string title(lastPathPart(s));
    if (title.size() > 30) title = title.substr(title.size() - 30);
    for (char& c : title) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|' || u < 0x20 ||
            u == 0x7F)
            c = ' ';
    }
    // A leading dot would hide the recording from the user's file manager
    // ("." and ".." would name folders): such an item keeps its number name.
    if (title.empty() || title[0] == '.' || title.find_first_not_of(' ') == std::string::npos) return {};
    return title;
}

}  // namespace kestrel
