#include "harrier_test_support.h"

#include "merlin/merlin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace kestrel::harrier::test {

// ---------------------------------------------------------------- TempFolder

TempFolder::TempFolder() {
    std::string t = (std::filesystem::temp_directory_path() / "harrier-test-XXXXXX").string();
    if (!::mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
    path = t + "/";
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> TempFolder::names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// ---------------------------------------------------------------- TestHost

TestHost::TestHost(std::function<void(const HarrierItemReport*, HarrierItemReport*)> copy,
                   std::function<std::string()> lastError)
    : copy_(std::move(copy)),
      lastError_(std::move(lastError)),
      sink_([this](std::uint32_t msg, platform::WParam w, platform::LParam l) { return handle(msg, w, l); }) {}

TestHost::~TestHost() {
    sink_.close();
}

platform::MessageResult TestHost::handle(std::uint32_t msg, platform::WParam wParam, platform::LParam lParam) {
    Report r;
    r.msg = msg;
    r.wParam = wParam;
    r.lParam = lParam;
    r.lastError = lastError_();
    const bool waitingUrl = msg == HARRIER_MSG_DOWNLOAD && wParam == HARRIER_DOWNLOAD_WAITING;
    const bool noBlock = msg == HARRIER_MSG_CAPTURE && (wParam == HARRIER_CAPTURE_FAILED || wParam == HARRIER_NO_FREE_PLACE);
    if (waitingUrl && lParam != 0) {
        r.text = reinterpret_cast<const char*>(lParam);
    } else if (!noBlock && lParam != 0) {
        copy_(reinterpret_cast<const HarrierItemReport*>(lParam), &r.block);
    }
    reports_.push_back(r);
    taken_.push_back(false);
    return 0;
}

bool TestHost::waitFor(const std::function<bool(const std::vector<Report>&)>& pred, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        sink_.pump();
        if (pred(reports_)) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        sink_.waitAndPump(10);
        if (pred(reports_)) return true;
    }
}

std::optional<Report> TestHost::waitReport(std::uint32_t msg, std::uintptr_t wParam, int index,
                                   std::chrono::milliseconds timeout) {
    std::size_t found = reports_.size();
    auto match = [&](const std::vector<Report>& rs) {
        for (std::size_t i = 0; i < rs.size(); ++i) {
            if (taken_[i] || rs[i].msg != msg || rs[i].wParam != wParam) continue;
            if (index >= 0 && rs[i].block.index != index) continue;
            found = i;
            return true;
        }
        return false;
    };
    if (!waitFor(match, timeout)) return std::nullopt;
    taken_[found] = true;
    return reports_[found];
}

void TestHost::pumpFor(std::chrono::milliseconds time) {
    waitFor([](const std::vector<Report>&) { return false; }, time);
}

std::size_t TestHost::count(std::uint32_t msg, std::uintptr_t wParam) const {
    return static_cast<std::size_t>(std::count_if(reports_.begin(), reports_.end(), [&](const Report& r) {
        return r.msg == msg && r.wParam == wParam;
    }));
}

// ---------------------------------------------------------------- HttpTestServer

HttpTestServer::HttpTestServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("socket failed");
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listener_, 64) != 0)
        throw std::runtime_error("bind/listen failed");
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

HttpTestServer::~HttpTestServer() {
    stopping_.store(true);
    release();
    acceptor_.join();
    for (auto& w : workers_) w.join();
    ::close(listener_);
}

std::string HttpTestServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpTestServer::route(const std::string& path, Route r) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(r);
}

void HttpTestServer::release() {
    {
        std::lock_guard lock(mutex_);
        releasedFlag_ = true;
    }
    released_.notify_all();
}

std::vector<std::string> HttpTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void HttpTestServer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

bool HttpTestServer::waitReleased() {
    std::unique_lock lock(mutex_);
    released_.wait_for(lock, std::chrono::seconds(60), [&] { return releasedFlag_ || stopping_.load(); });
    return !stopping_.load();
}

namespace {
bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}
}  // namespace

void HttpTestServer::serve(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            if (stopping_.load()) break;
            continue;
        }
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
    }
    Route r;
    bool known = false;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
        const auto space = request.find(' ');
        const auto end = request.find(' ', space + 1);
        if (space != std::string::npos && end != std::string::npos) {
            const auto it = routes_.find(request.substr(space + 1, end - space - 1));
            if (it != routes_.end()) {
                r = it->second;
                known = true;
            }
        }
    }
    if (!known) {
        r.head = responseHead("404 Not Found", "Content-Length: 0\r\n");
    }
    if (r.silent) {
        waitReleased();
        ::close(fd);
        return;
    }
    bool ok = sendAll(fd, r.head.data(), r.head.size());
    if (ok && r.holdAfter != std::string::npos) {
        const std::size_t first = std::min(r.holdAfter, r.body.size());
        ok = sendAll(fd, r.body.data(), first);
        if (ok && waitReleased() && r.finishAfterHold) sendAll(fd, r.body.data() + first, r.body.size() - first);
    } else if (ok) {
        sendAll(fd, r.body.data(), r.body.size());
    }
    ::shutdown(fd, SHUT_WR);
    ::close(fd);
}

// ---------------------------------------------------------------- bodies and files

std::string responseHead(const std::string& status, const std::string& extra) {
    return "HTTP/1.1 " + status + "\r\nServer: harrier-test\r\n" + extra + "\r\n";
}

std::string flvBody(std::size_t size, std::uint32_t seed) {
    std::string body("FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00", 13);
    std::uint32_t x = seed * 2654435761u + 1;
    while (body.size() < size) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        body.push_back(static_cast<char>(x & 0xFF));
    }
    body.resize(size);
    return body;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {
void put32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}
}  // namespace

void writePcap(const std::string& path, const std::vector<PcapFrame>& frames, std::uint32_t linkType) {
    std::string out;
    put32(out, 0xA1B2C3D4u);
    put16(out, 2);
    put16(out, 4);
    put32(out, 0);
    put32(out, 0);
    put32(out, 262144);
    put32(out, linkType);
    std::uint32_t usec = 0;
    for (const auto& f : frames) {
        put32(out, 1700000000u);
        put32(out, usec++);
        put32(out, static_cast<std::uint32_t>(f.bytes.size()));
        put32(out, f.wireLength ? f.wireLength : static_cast<std::uint32_t>(f.bytes.size()));
        out.append(f.bytes.begin(), f.bytes.end());
    }
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return;
    std::fwrite(out.data(), 1, out.size(), file);
    std::fclose(file);
}

Conversion convert(const std::string& record, const std::string& output) {
    Conversion c;
    Merlin_InitDll(nullptr);
    const int32_t slot = Merlin_Start(record.c_str(), output.c_str());
    if (slot < 0) return c;
    while (Merlin_IsBuildFinish(slot) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    c.result = Merlin_GetResult(slot);
    char path[MERLIN_MAX_PATH];
    std::snprintf(path, sizeof path, "%s", output.c_str());
    Merlin_GetNewFileName(slot, path);
    Merlin_InitItem(slot);
    c.flv = path;
    return c;
}

}  // namespace kestrel::harrier::test
