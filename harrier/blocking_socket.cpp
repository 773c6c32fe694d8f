#include "harrier/blocking_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrel::harrier {

namespace {
// A wait is polled in slices of this length, so that a cleared running
// flag is seen quickly.
constexpr int kSliceMs = 50;
}  // namespace

CBlockingSocketException::CBlockingSocketException(const char* stage, int code) : stage_(stage), code_(code) {
    char text[96];
    if (code != 0)
        std::snprintf(text, sizeof text, "%s error #%d", stage, code);
    else
        std::snprintf(text, sizeof text, "%s error", stage);
    message_ = text;
}

CBlockingSocket::~CBlockingSocket() {
    if (fd_ >= 0) ::close(fd_);
}

void CBlockingSocket::create() {
    if (fd_ >= 0) return;
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) throw CBlockingSocketException("Create", errno);
}

void CBlockingSocket::attach(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void CBlockingSocket::close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) throw CBlockingSocketException("Close", errno);
}

CBlockingSocket::Wait CBlockingSocket::waitFor(short events, int n) {
    const int total = std::max(n, 0) * kWaitMs;
    for (int waited = 0; waited < total; waited += kSliceMs) {
        if (!running()) return Wait::Stopped;
        pollfd p{fd_, events, 0};
        const int rc = ::poll(&p, 1, std::min(kSliceMs, total - waited));
        if (rc > 0) return Wait::Ready;
        if (rc < 0 && errno != EINTR) return Wait::Failed;
    }
    return running() ? Wait::TimedOut : Wait::Stopped;
}

void CBlockingSocket::connect(const sockaddr_in& address, int n) {
    if (fd_ < 0) throw CBlockingSocketException("Connect", EBADF);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return;
    if (errno != EINPROGRESS && errno != EINTR) throw CBlockingSocketException("Connect", errno);
    switch (waitFor(POLLOUT, n)) {
    case Wait::Ready:
        break;
    case Wait::TimedOut:
        throw CBlockingSocketException("Connect", ETIMEDOUT);
    case Wait::Stopped:
        throw CBlockingSocketException("Connect", ECANCELED);
    case Wait::Failed:
        throw CBlockingSocketException("Connect", errno);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0) throw CBlockingSocketException("Connect", error);
}

sockaddr_in CBlockingSocket::getHostByName(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = host.empty() ? EAI_NONAME : ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found) {
        if (found) ::freeaddrinfo(found);
        throw CBlockingSocketException("GetHostByName", rc == EAI_SYSTEM ? errno : rc);
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, std::min<std::size_t>(sizeof address, found->ai_addrlen));
    ::freeaddrinfo(found);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return address;
}

std::size_t CBlockingSocket::write(const void* data, std::size_t size, int n) {
    if (fd_ < 0) throw CBlockingSocketException("Send", EBADF);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t sent = 0;
    for (int attempt = 0; attempt < n && sent < size && running(); ++attempt) {
        switch (waitFor(POLLOUT, n)) {
        case Wait::Ready:
            break;
        case Wait::TimedOut:
            throw CBlockingSocketException("Receive timeout", 0);
        case Wait::Stopped:
            return sent;
        case Wait::Failed:
            throw CBlockingSocketException("Send", errno);
        }
        const ssize_t rc = ::send(fd_, bytes + sent, size - sent, MSG_NOSIGNAL);
        if (rc < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            throw CBlockingSocketException("Send", errno);
        }
        sent += static_cast<std::size_t>(rc);
    }
    return sent;
}

std::size_t CBlockingSocket::receive(void* buffer, std::size_t size, int n) {
    if (fd_ < 0) throw CBlockingSocketException("Receive", EBADF);
    if (size == 0) return 0;
    for (int attempt = 0; attempt < n && running(); ++attempt) {
        switch (waitFor(POLLIN, n)) {
        case Wait::Ready:
            break;
        case Wait::TimedOut:
            throw CBlockingSocketException("Receive timeout", 0);
        case Wait::Stopped:
            return 0;
        case Wait::Failed:
            throw CBlockingSocketException("Receive", errno);
        }
        const ssize_t rc = ::recv(fd_, buffer, size, 0);
        if (rc < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            throw CBlockingSocketException("Receive", errno);
        }
        return static_cast<std::size_t>(rc);
    }
    return 0;
}

std::size_t CHttpBlockingSocket::readHttpHeaderLine(char* buffer, std::size_t size, int n) {
    if (size == 0) return 0;
    for (;;) {
        const auto* lf = static_cast<const char*>(std::memchr(buffer_, '\n', fill_));
        if (lf) {
            const std::size_t lineLength = static_cast<std::size_t>(lf - buffer_) + 1;
            const std::size_t copied = std::min(lineLength, size - 1);
            std::memcpy(buffer, buffer_, copied);
            buffer[copied] = '\0';
            std::memmove(buffer_, buffer_ + lineLength, fill_ - lineLength);
            fill_ -= lineLength;
            return copied;
        }
        const std::size_t received = receive(buffer_ + fill_, kReceiveBufferSize - fill_, n);
        if (received == 0) {
            if (!running()) {
                buffer[0] = '\0';
                return 0;
            }
            throw CBlockingSocketException("ReadHeaderLine", 0);
        }
        fill_ += received;
    }
}

std::size_t CHttpBlockingSocket::readHttpResponse(std::uint8_t* buffer, std::size_t size, int n) {
    if (pending_) {
        const CBlockingSocketException failure = *pending_;
        pending_.reset();
        throw failure;
    }
    std::size_t have = std::min(fill_, size);
    std::memcpy(buffer, buffer_, have);
    std::memmove(buffer_, buffer_ + have, fill_ - have);
    fill_ -= have;
    while (have < size && running()) {
        std::size_t received = 0;
        try {
            received = receive(buffer + have, std::min(kReceiveBufferSize, size - have), n);
        } catch (const CBlockingSocketException& failure) {
            if (have == 0) throw;
            pending_ = failure;
            return have;
        }
        if (received == 0) break;
        have += received;
    }
    return have;
}

}  // namespace kestrel::harrier
