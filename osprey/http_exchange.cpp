#include "osprey/http_exchange.h"

namespace kestrel::osprey {

namespace {

constexpr std::int64_t kLengthLimit = std::int64_t{1} << 50;
constexpr std::size_t kMaxLengthText = 99;

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// "[Cc]ontent-[X]rest" with X upper or lower case.
bool isHeaderName(std::string_view line, char upper, std::string_view rest) {
    if (line.size() < 9 + rest.size()) return false;
    if ((line[0] != 'C' && line[0] != 'c') || line.substr(1, 7) != "ontent-") return false;
    const char lower = static_cast<char>(upper - 'A' + 'a');
    if (line[8] != upper && line[8] != lower) return false;
    return line.substr(9, rest.size()) == rest;
}

std::string_view fromCharacter(std::string_view line, std::size_t index) {
    return index <= line.size() ? line.substr(index) : std::string_view();
}

}  // namespace

bool parseLength(std::string_view text, std::int64_t& value) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size() || text[i] < '0' || text[i] > '9') return false;
    std::int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > kLengthLimit) {
            v = kLengthLimit;
            break;
        }
    }
    value = v;
    return true;
}

RequestLine readRequestLine(std::string_view line) {
    RequestLine out;
    if (startsWith(line, "GET")) {
        out.kind = RequestLine::Kind::Get;
        if (line.size() > 13 && line.size() - 13 <= kMaxTarget) out.value = line.substr(4, line.size() - 13);
    } else if (startsWith(line, "Host:")) {
        out.kind = RequestLine::Kind::Host;
        const std::string_view v = fromCharacter(line, 6);
        if (v.size() <= kMaxHost) out.value = v;
    } else if (startsWith(line, "Referer:") || startsWith(line, "referer:")) {
        out.kind = RequestLine::Kind::Referer;
        const std::string_view v = fromCharacter(line, 9);
        if (v.size() <= kMaxReferer) out.value = v;
    }
    return out;
}

ResponseHeader readResponseHeader(std::span<const std::uint8_t> payload) {
    ResponseHeader out;
    const std::string_view text = asText(payload);
    forEachLine(text, [&](std::string_view line, std::size_t crlf) {
        if (isHeaderName(line, 'T', "ype:")) {
            const std::string_view v = fromCharacter(line, 14);
            if (v.size() <= kMaxContentType) out.contentType = v;
        } else if (line.size() > 14 && isHeaderName(line, 'L', "ength:")) {
            std::int64_t length = 0;
            if (parseLength(fromCharacter(line, 15).substr(0, kMaxLengthText), length)) {
                out.hasLength = true;
                out.contentLength = length;
            }
        }
        return text.substr(crlf + 2, 2) != "\r\n";
    });
    const std::size_t end = text.find("\r\n\r\n");
    if (end != std::string_view::npos) out.headerLength = end + 4;
    return out;
}

}  // namespace kestrel::osprey
