// libFuzzer target: what a server sends back to one of Harrier's downloads,
// read as the download thread reads it: the status line and header lines
// through the socket's 1000-byte receive buffer, then the body in blocks
// of up to 10,000 bytes into a file, its first block checked for an FLV
// header.
//
// Input: the server's bytes, at most 64 KiB; the connection closes after
// them.
//
// Checked besides memory safety: the result and the stored file are what
// an independent reading of the same bytes says: a header line longer than
// the receive buffer, or bytes that end inside the header, fail the
// connection; a status outside 200-299 fails the request; otherwise the
// body after the first blank line is stored whole, unless its first block
// is at least nine bytes long and no FLV header.

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "harrier/blocking_socket.h"
#include "harrier/http_response.h"

namespace {

constexpr const char* kTarget = "harrier_http_response_fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;
constexpr std::size_t kReceiveBuffer = 1000;

using kestrel::fuzz::broken;
namespace harrier = kestrel::harrier;

enum class Expect { SocketFailure, HttpFailure, NotFlv, Stored };

struct Expected {
    Expect what = Expect::SocketFailure;
    std::string_view body;
};

bool flvHeader(std::string_view b) {
    return b.size() >= 9 && b.substr(0, 4) == std::string_view("FLV\x01", 4) &&
           (b[4] == 1 || b[4] == 4 || b[4] == 5) && b.substr(5, 4) == std::string_view("\0\0\0\x09", 4);
}

Expected expectFor(std::string_view in) {
    Expected e;
    std::size_t at = 0;
    // The next line with its LF, or nullopt when it never ends in time.
    auto nextLine = [&]() -> std::optional<std::string_view> {
        const auto lf = in.find('\n', at);
        if (lf == std::string_view::npos || lf - at + 1 > kReceiveBuffer) return std::nullopt;
        const auto line = in.substr(at, lf - at + 1);
        at = lf + 1;
        return line;
    };
    const auto status = nextLine();
    if (!status) return e;
    if (status->size() < 12) {
        e.what = Expect::HttpFailure;
        return e;
    }
    int code = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        const char c = (*status)[i];
        if (c < '0' || c > '9') {
            e.what = Expect::HttpFailure;
            return e;
        }
        code = code * 10 + (c - '0');
    }
    if (code < 200 || code > 299) {
        e.what = Expect::HttpFailure;
        return e;
    }
    for (;;) {
        const auto line = nextLine();
        if (!line) return e;
        if (*line == "\r\n" || *line == "\n") break;
    }
    e.body = in.substr(at);
    const auto first = e.body.substr(0, harrier::kResponseBlockSize);
    e.what = first.size() >= 9 && !flvHeader(first) ? Expect::NotFlv : Expect::Stored;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) broken(kTarget, "no socket pair");
    const int room = 4 * static_cast<int>(kMaxInput);
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    for (std::size_t sent = 0; sent < size;) {
        const ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) broken(kTarget, "the input does not fit in the socket pair");
        sent += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);

    harrier::CHttpBlockingSocket socket;
    socket.attach(fds[0]);
    const std::atomic<bool> stop{false};
    const std::string file = kestrel::fuzz::scratchFolder() + "body.@@@";
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) broken(kTarget, "no scratch file");

    Expect got = Expect::SocketFailure;
    std::uint64_t stored = 0;
    try {
        switch (harrier::readResponseHead(socket, stop)) {
        case harrier::HeadResult::Success: {
            const auto body = harrier::receiveBody(socket, fd, stop, stored);
            if (body == harrier::BodyResult::NotFlv) got = Expect::NotFlv;
            else if (body == harrier::BodyResult::Completed) got = Expect::Stored;
            else broken(kTarget, "the body ended neither complete nor refused");
            break;
        }
        case harrier::HeadResult::HttpFailure:
            got = Expect::HttpFailure;
            break;
        case harrier::HeadResult::Stopped:
            broken(kTarget, "stopped without a stop");
        }
    } catch (const harrier::CBlockingSocketException& e) {
        if (e.stage() != "ReadHeaderLine") broken(kTarget, "a failure other than an unfinished header line");
        got = Expect::SocketFailure;
    }
    ::close(fd);

    const Expected want = expectFor(input);
    if (got != want.what) broken(kTarget, "the response was read otherwise than it stands");
    const auto written = kestrel::fuzz::readFile(file);
    if (written.size() != stored) broken(kTarget, "the stored count is not the file's length");
    const std::string_view content(reinterpret_cast<const char*>(written.data()), written.size());
    if (want.what == Expect::Stored && content != want.body) broken(kTarget, "the stored body is not the body sent");
    if (want.what != Expect::Stored && !written.empty()) broken(kTarget, "bytes stored from a refused response");
    return 0;
}
