#include "harrier/http_response.h"

#include <unistd.h>

#include <cerrno>
#include <span>
#include <string_view>
#include <vector>

#include "harrier/http_fetch.h"

namespace kestrel::harrier {

namespace {

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t rc = ::write(fd, data, size);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += rc;
        size -= static_cast<std::size_t>(rc);
    }
    return true;
}

}  // namespace

HeadResult readResponseHead(CHttpBlockingSocket& socket, const std::atomic<bool>& stop) {
    // Lines are taken by their length, so that a NUL in one ends nothing.
    std::vector<char> buffer(kResponseBlockSize);
    auto readLine = [&] {
        const std::size_t n = socket.readHttpHeaderLine(buffer.data(), buffer.size());
        return std::string_view(buffer.data(), n);
    };
    const std::string_view statusLine = readLine();
    // A stop during the read leaves the line incomplete: it says nothing
    // about the URL.
    if (stop.load()) return HeadResult::Stopped;
    const auto status = parseStatusCode(statusLine);
    if (!status || !isSuccessStatus(*status)) return HeadResult::HttpFailure;
    for (;;) {
        const std::string_view line = readLine();
        if (stop.load()) return HeadResult::Stopped;
        if (isHeaderEnd(line)) return HeadResult::Success;
    }
}

BodyResult receiveBody(CHttpBlockingSocket& socket, int fd, const std::atomic<bool>& stop, std::uint64_t& stored,
                       const std::function<void(std::uint64_t)>& onStored) {
    std::vector<std::uint8_t> block(kResponseBlockSize);
    bool checked = false;
    for (;;) {
        const std::size_t n = socket.readHttpResponse(block.data(), block.size());
        if (n == 0) break;
        // Blocks shorter than an FLV header before the first long one are
        // stored unchecked.
        if (!checked && n >= 9) {
            checked = true;
            if (!isFlvHeader(std::span<const std::uint8_t>(block.data(), n))) return BodyResult::NotFlv;
        }
        if (!writeAll(fd, block.data(), n)) return BodyResult::WriteFailure;
        stored += n;
        if (onStored) onStored(stored);
        if (stop.load()) break;
    }
    return stop.load() ? BodyResult::Stopped : BodyResult::Completed;
}

}  // namespace kestrel::harrier
