#pragma once
// Blocking TCP sockets for the downloads: every wait is a poll() of at most
// n waits of one second, and every transfer loop stops as soon as the
// running flag is cleared (from another thread), so a download can always
// be ended within a fraction of a second.

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace kestrel::harrier {

// A socket failure: the stage it happened in and the system's error code.
class CBlockingSocketException : public std::exception {
public:
    CBlockingSocketException(const char* stage, int code);
    const std::string& stage() const { return stage_; }
    int code() const { return code_; }
    // "%s error #%d", or "%s error" when the code is 0.
    const std::string& message() const { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string stage_;
    int code_ = 0;
    std::string message_;
};

class CBlockingSocket {
public:
    // Waits of this length, checked for the running flag in slices.
    static constexpr int kWaitMs = 1000;
    static constexpr int kDefaultWaits = 10;

    CBlockingSocket() = default;
    virtual ~CBlockingSocket();
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    // A stream socket ("Create").
    void create();
    // Takes over a connected descriptor (a test's or fuzzer's socket pair).
    void attach(int fd);
    // "Close" when the system refuses; a closed socket stays closed.
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Connects within n waits ("Connect"; a cleared running flag ends the
    // wait as ECANCELED).
    void connect(const sockaddr_in& address, int n = kDefaultWaits);
    // The first IPv4 address of host, with port ("GetHostByName").
    static sockaddr_in getHostByName(const std::string& host, std::uint16_t port);

    // Sends: waits up to n waits until writable ("Receive timeout" when it
    // never is), then up to n sends of what is still unsent ("Send" on an
    // error). Returns the bytes sent; fewer when the running flag cleared.
    std::size_t write(const void* data, std::size_t size, int n = kDefaultWaits);
    // Receives once: waits up to n waits until readable ("Receive timeout"),
    // then reads what is there ("Receive" on an error). 0: the peer closed,
    // or the running flag was cleared.
    std::size_t receive(void* buffer, std::size_t size, int n = kDefaultWaits);

    // Cleared from another thread to stop every wait and transfer loop.
    void setRunning(bool running) { running_.store(running); }
    bool running() const { return running_.load(); }

private:
    enum class Wait { Ready, TimedOut, Stopped, Failed };
    Wait waitFor(short events, int n);

protected:
    int fd_ = -1;
    std::atomic<bool> running_{true};
};

class CHttpBlockingSocket : public CBlockingSocket {
public:
    static constexpr std::size_t kReceiveBufferSize = 1000;

    // Reads one header line, its LF included, into buffer (at most size-1
    // bytes, NUL-terminated); the bytes after the line stay for the next
    // read. Raises "ReadHeaderLine" when the peer sends nothing more before
    // a line ends (a line longer than the receive buffer never ends).
    // Returns the line's length; 0 when the running flag was cleared.
    std::size_t readHttpHeaderLine(char* buffer, std::size_t size, int n = kDefaultWaits);

    // Reads up to size bytes of the response body: first what the header
    // reads left over, then receives of at most 1000 bytes until the
    // buffer is full, the peer closes, or the running flag is cleared. A
    // socket failure after some bytes arrived returns those bytes; the
    // failure is raised by the next call, so nothing received is lost.
    std::size_t readHttpResponse(std::uint8_t* buffer, std::size_t size, int n = kDefaultWaits);

private:
    char buffer_[kReceiveBufferSize] = {};
    std::size_t fill_ = 0;  // bytes in buffer_ not handed over yet
    std::optional<CBlockingSocketException> pending_;
};

}  // namespace kestrel::harrier
