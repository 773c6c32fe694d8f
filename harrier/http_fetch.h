#pragma once
// The pure parts of fetching a media URL over HTTP: splitting the URL,
// the request text, the status line, the name the download is stored
// under and the check of the first body bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::harrier {

struct UrlParts {
    std::string host;        // the name or address to connect to
    std::uint16_t port = 80;
    std::string hostHeader;  // "host" or "host:port", as the URL spells it
    std::string path;        // from the "/" after the host on, query included
    bool valid = false;      // false: no "://", no "/" after the host, or a bad port
};

// The host is the text after the first "://" up to the next "/"; the path
// is the rest from that "/" on. A "host:port" is split so that the port is
// used for the connection; the Host header keeps the text as written.
UrlParts splitUrl(std::string_view url);

// The GET request for a path and Host header, every line ended by CR LF.
std::string buildRequest(std::string_view path, std::string_view hostHeader);

// The status code of a status line: the three digits at characters 9-11
// ("HTTP/1.1 200 OK"); nullopt when they are not three digits.
std::optional<int> parseStatusCode(std::string_view line);
inline bool isSuccessStatus(int status) {
    return status >= 200 && status <= 299;
}

// True for the line that ends the response header: CR LF, or a bare LF
// (servers that end lines with LF alone end the header with one).
bool isHeaderEnd(std::string_view line);

// The file name of a download, from the request path: the part after the
// last "/", lower-cased (ASCII), cut after its first ".flv", every "?"
// made "_"; "flash.flv" when it holds no ".flv". A name longer than a file
// system allows is cut before its ".flv" (never inside a UTF-8 character).
std::string downloadFileName(std::string_view path);

// The longest base name (before ".flv", "[n]" and the extension) kept.
inline constexpr std::size_t kMaxBaseName = 200;

// The first bytes of an FLV file: "FLV", version 1, type flags 1, 4 or 5,
// header size 9. Needs at least 9 bytes.
bool isFlvHeader(std::span<const std::uint8_t> bytes);

// A URL Harrier may fetch: shorter than maxLength and free of control
// characters (which would end the request line early).
bool isAcceptableUrl(std::string_view url, std::size_t maxLength);

// A folder path with exactly one "/" at its end ("" stays "").
std::string withTrailingSlash(std::string_view folder);

struct ClaimedName {
    std::string recordPath;  // the ".@@@" path, created empty and owned by the caller
    std::string finalPath;   // the same path ending in ".flv"
    int fd = -1;             // the ".@@@" file, open for writing (close it when not needed)
    int error = 0;           // errno when no name could be claimed
};

// Claims a name in folder (ending in "/") for base: the first of "base",
// "base[1]", "base[2]", ... whose ".flv" and ".@@@" files both do not
// exist. The ".@@@" file is created exclusively, so two callers never get
// the same name. fd is -1 (and error set) when nothing could be created.
ClaimedName claimUniqueName(const std::string& folder, std::string_view base);

// Renames from to to without ever replacing an existing file. False (errno
// set) when it could not.
bool renameNoReplace(const std::string& from, const std::string& to);

// The ".flv" path of a ".@@@" path (its last three characters replaced).
std::string flvPathOf(std::string_view recordPath);

}  // namespace kestrel::harrier
