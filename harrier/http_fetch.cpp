#include "harrier/http_fetch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <linux/fs.h>

namespace kestrel::harrier {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// 1: the path names something; 0: nothing; -1: it cannot be told (errno set).
int pathState(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) return 1;
    return errno == ENOENT ? 0 : -1;
}

// The longest prefix of text of at most max bytes that does not end inside
// a UTF-8 sequence.
std::string_view cutAtCharacter(std::string_view text, std::size_t max) {
    if (text.size() <= max) return text;
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

// Tries after the plain name before giving up on a folder full of them.
constexpr int kMaxNameCounter = 100000;

}  // namespace

UrlParts splitUrl(std::string_view url) {
    UrlParts parts;
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos) return parts;
    const auto hostStart = scheme + 3;
    const auto slash = url.find('/', hostStart);
    if (slash == std::string_view::npos) return parts;
    const std::string_view hostText = url.substr(hostStart, slash - hostStart);
    parts.hostHeader = std::string(hostText);
    parts.path = std::string(url.substr(slash));
    const auto colon = hostText.rfind(':');
    if (colon == std::string_view::npos) {
        parts.host = std::string(hostText);
        parts.valid = !parts.host.empty();
        return parts;
    }
    const std::string_view portText = hostText.substr(colon + 1);
    if (portText.empty() || portText.size() > 5) return parts;
    unsigned port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9') return parts;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (port == 0 || port > 65535) return parts;
    parts.host = std::string(hostText.substr(0, colon));
    parts.port = static_cast<std::uint16_t>(port);
    parts.valid = !parts.host.empty();
    return parts;
}

std::string buildRequest(std::string_view path, std::string_view hostHeader) {
    std::string request;
    request.reserve(path.size() + hostHeader.size() + 160);
    request += "GET ";
    request += path;
    request += " HTTP/1.1\r\n";
    request += "User-Agent: Mozilla/4.0\r\n";
    request += "Accept: */*\r\n";
    request += "Host: ";
    request += hostHeader;
    request += "\r\n";
    request += "Pramga: no-cache\r\n";
    request += "Cache-Control: no-cache\r\n";
    request += "Connection: close\r\n";
    request += "\r\n";
    return request;
}

std::optional<int> parseStatusCode(std::string_view line) {
    if (line.size() < 12) return std::nullopt;
    int status = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9') return std::nullopt;
        status = status * 10 + (c - '0');
    }
    return status;
}

bool isHeaderEnd(std::string_view line) {
    return line == "\r\n" || line == "\n";
}

std::string downloadFileName(std::string_view path) {
    const auto slash = path.rfind('/');
    std::string name(slash == std::string_view::npos ? path : path.substr(slash + 1));
    for (char& c : name) c = lowerAscii(c);
    const auto flv = name.find(".flv");
    if (flv == std::string::npos) return "flash.flv";
    std::string base(cutAtCharacter(std::string_view(name).substr(0, flv), kMaxBaseName));
    for (char& c : base) {
        if (c == '?') c = '_';
    }
    return base + ".flv";
}

bool isFlvHeader(std::span<const std::uint8_t> b) {
    if (b.size() < 9) return false;
    if (b[0] != 'F' || b[1] != 'L' || b[2] != 'V' || b[3] != 0x01) return false;
    if (b[4] != 0x01 && b[4] != 0x04 && b[4] != 0x05) return false;
    return b[5] == 0 && b[6] == 0 && b[7] == 0 && b[8] == 9;
}

bool isAcceptableUrl(std::string_view url, std::size_t maxLength) {
    if (url.empty() || url.size() >= maxLength) return false;
    for (char c : url) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
    }
    return true;
}

std::string withTrailingSlash(std::string_view folder) {
    std::string out(folder);
    if (!out.empty() && out.back() != '/') out += '/';
    return out;
}

ClaimedName claimUniqueName(const std::string& folder, std::string_view base) {
    ClaimedName claim;
    for (int n = 0; n <= kMaxNameCounter; ++n) {
        std::string stem = folder;
        stem += base;
        if (n > 0) {
            char counter[16];
            std::snprintf(counter, sizeof counter, "[%d]", n);
            stem += counter;
        }
        const std::string flv = stem + ".flv";
        const std::string record = stem + ".@@@";
        const int flvState = pathState(flv);
        if (flvState < 0) {
            claim.error = errno;
            return claim;
        }
        if (flvState > 0) continue;
        const int fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            claim.error = errno;
            return claim;
        }
        // A ".flv" made between the test and the creation would be met by
        // the final rename, which never replaces; give the name up instead.
        if (pathState(flv) != 0) {
            ::close(fd);
            ::unlink(record.c_str());
            continue;
        }
        claim.fd = fd;
        claim.recordPath = record;
        claim.finalPath = flv;
        return claim;
    }
    claim.error = EEXIST;
    return claim;
}

bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without RENAME_NOREPLACE: a hard link fails on an
    // existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

std::string flvPathOf(std::string_view recordPath) {
    if (recordPath.size() < 3) return std::string(recordPath);
    std::string out(recordPath.substr(0, recordPath.size() - 3));
    out += "flv";
    return out;
}

}  // namespace kestrel::harrier
