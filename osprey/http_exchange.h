#pragma once
// Reading the request and response headers of an HTTP exchange from single
// TCP payloads. Only what one segment holds is read: requests and header
// blocks are small and come in one segment.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrel::osprey {

inline constexpr std::size_t kMaxLineLength = 1999;

inline std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Walks the CR LF-terminated lines of a payload from its start, while at
// least 4 bytes remain after the walk's position. A line without CR LF, or
// one longer than 1999 characters, ends the walk. visit(line, crlf) gets
// the line without its CR LF and the position of that CR LF; it returns
// false to stop.
template <typename Visit>
void forEachLine(std::string_view payload, Visit&& visit) {
    std::size_t pos = 0;
    while (payload.size() >= 4 && pos <= payload.size() - 4) {
        const std::size_t crlf = payload.find("\r\n", pos);
        if (crlf == std::string_view::npos || crlf - pos > kMaxLineLength) return;
        if (!visit(payload.substr(pos, crlf - pos), crlf)) return;
        pos = crlf + 2;
    }
}

// One line of a client's request, as the request table takes it.
struct RequestLine {
    enum class Kind { Get, Host, Referer, Other };
    Kind kind = Kind::Other;
    // GET: the request target (the line without "GET " and " HTTP/1.x"),
    // empty when the line is 13 characters or shorter or the target does
    // not fit 1299 characters. Host: the value from the line's seventh
    // character on, empty when it does not fit 299 characters. Referer:
    // from the tenth character on, empty beyond 299 characters.
    std::string_view value;
};

inline constexpr std::size_t kMaxTarget = 1299;
inline constexpr std::size_t kMaxHost = 299;
inline constexpr std::size_t kMaxReferer = 299;
inline constexpr std::size_t kMaxContentType = 199;

RequestLine readRequestLine(std::string_view line);

struct ResponseHeader {
    // The Content-Type value from the line's fifteenth character on; empty
    // when absent or longer than 199 characters.
    std::string_view contentType;
    // A Content-Length line with a decimal number; values beyond any real
    // download stop growing at 2^50.
    bool hasLength = false;
    std::int64_t contentLength = 0;
    // Bytes up to and including the empty line that ends the header block;
    // 0 when the block does not end in this payload.
    std::size_t headerLength = 0;
};

// Reads the header lines of a response from its first segment. The names
// are matched as "[Cc]ontent-[Tt]ype:" and "[Cc]ontent-[Ll]ength:"; a later
// line overrides an earlier one.
ResponseHeader readResponseHeader(std::span<const std::uint8_t> payload);

// The decimal number at the start of text (after blanks); false when there
// is no digit.
bool parseLength(std::string_view text, std::int64_t& value);

}  // namespace kestrel::osprey
