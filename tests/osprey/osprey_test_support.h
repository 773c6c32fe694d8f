#pragma once
// What the recording library's tests share: a window that keeps every
// message it gets (notice bytes copied, as a client must), HTTP and RTMP
// payloads built to order, and an engine with its own save folder.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "osprey/engine.h"
#include "osprey/osprey.h"
#include "platform/message.h"
#include "tests/support/frame_builder.h"
#include "tests/support/test_files.h"

namespace kestrel::test {

struct WindowMessage {
    std::uint32_t msg = 0;
    platform::WParam wParam = 0;
    platform::LParam lParam = 0;
    std::uintptr_t dwData = 0;        // WM_COPYDATA only
    std::vector<std::uint8_t> data;   // WM_COPYDATA only: the bytes at lpData

    std::string text() const {  // a text notice without its NUL
        return data.empty() ? std::string() : std::string(data.begin(), data.end() - 1);
    }
    std::uint32_t le32(std::size_t at) const {
        return static_cast<std::uint32_t>(data[at]) | static_cast<std::uint32_t>(data[at + 1]) << 8 |
               static_cast<std::uint32_t>(data[at + 2]) << 16 | static_cast<std::uint32_t>(data[at + 3]) << 24;
    }
    std::string field(std::size_t at, std::size_t size) const {
        const auto* p = reinterpret_cast<const char*>(data.data() + at);
        return {p, ::strnlen(p, size)};
    }
};

class RecordingWindow {
public:
    RecordingWindow()
        : sink_([this](std::uint32_t msg, platform::WParam w, platform::LParam l) {
              WindowMessage m{msg, w, l, 0, {}};
              if (msg == OSPREY_WM_COPYDATA) {
                  const auto* cds = reinterpret_cast<const OspreyCopyData*>(l);
                  m.dwData = cds->dwData;
                  const auto* bytes = static_cast<const std::uint8_t*>(cds->lpData);
                  m.data.assign(bytes, bytes + cds->cbData);
              }
              messages.push_back(std::move(m));
              return platform::MessageResult{1};
          }) {}

    void* handle() { return platform::toHandle(&sink_); }
    platform::MessageSink& sink() { return sink_; }
    int pump() { return sink_.pump(); }

    std::vector<WindowMessage> notices(std::uintptr_t dwData) const {
        std::vector<WindowMessage> out;
        for (const auto& m : messages)
            if (m.msg == OSPREY_WM_COPYDATA && m.dwData == dwData) out.push_back(m);
        return out;
    }
    std::vector<WindowMessage> of(std::uint32_t msg) const {
        std::vector<WindowMessage> out;
        for (const auto& m : messages)
            if (m.msg == msg) out.push_back(m);
        return out;
    }

    std::vector<WindowMessage> messages;

private:
    platform::MessageSink sink_;
};

// Equal bytes; a failure names the sizes and the first differing offset
// instead of printing both.
inline ::testing::AssertionResult sameBytes(const std::string& got, const std::string& expected) {
    if (got == expected) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < got.size() && at < expected.size() && got[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << got.size() << " bytes instead of " << expected.size()
                                         << ", first difference at offset " << at;
}

// --- payloads

inline std::string getRequest(std::string_view target, std::string_view host, std::string_view referer = {}) {
    std::string r = "GET " + std::string(target) + " HTTP/1.1\r\nUser-Agent: test\r\n";
    if (!host.empty()) r += "Host: " + std::string(host) + "\r\n";
    if (!referer.empty()) r += "Referer: " + std::string(referer) + "\r\n";
    return r + "Accept: */*\r\n\r\n";
}

// A response header; contentLength < 0 leaves Content-Length out.
inline std::string responseHeader(std::string_view type, long long contentLength) {
    std::string r = "HTTP/1.1 200 OK\r\nServer: test\r\n";
    if (!type.empty()) r += "Content-Type: " + std::string(type) + "\r\n";
    if (contentLength >= 0) r += "Content-Length: " + std::to_string(contentLength) + "\r\n";
    return r + "\r\n";
}

// n body bytes that differ from one offset to the next, starting at 'from'.
inline std::string bodyBytes(std::size_t from, std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(((from + i) * 131 + 7) % 251);
    return s;
}

// --- AMF0 and RTMP chunks as a player of chunk size 128 writes them

inline std::string amfString(std::string_view s) {
    std::string out = "\x02";
    out += static_cast<char>(s.size() >> 8);
    out += static_cast<char>(s.size() & 0xFF);
    return out + std::string(s);
}
inline std::string amfNumber(double v) {
    std::string out(1, '\0');
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    for (int i = 7; i >= 0; --i) out += static_cast<char>((bits >> (8 * i)) & 0xFF);
    return out;
}
inline std::string amfKey(std::string_view key) {
    std::string out;
    out += static_cast<char>(key.size() >> 8);
    out += static_cast<char>(key.size() & 0xFF);
    return out + std::string(key);
}

struct ConnectProps {
    std::string app, tcUrl, swfUrl, pageUrl, flashVer = "LNX 9,0,124,2";
};

inline std::string connectBody(const ConnectProps& p) {
    std::string b = amfString("connect") + amfNumber(1.0) + "\x03";
    b += amfKey("app") + amfString(p.app);
    b += amfKey("flashVer") + amfString(p.flashVer);
    if (!p.swfUrl.empty()) b += amfKey("swfUrl") + amfString(p.swfUrl);
    b += amfKey("tcUrl") + amfString(p.tcUrl);
    b += amfKey("fpad");
    b += std::string("\x01\x00", 2);
    if (!p.pageUrl.empty()) b += amfKey("pageUrl") + amfString(p.pageUrl);
    b += std::string("\x00\x00\x09", 3);
    return b;
}

inline std::string playBody(std::string_view stream) {
    std::string b = amfString("play") + amfNumber(0.0);
    b += '\x05';
    return b + amfString(stream) + amfNumber(-2000.0);
}

// A message on chunk stream csid with a type-0 header, its body cut into
// chunks of 128 bytes behind one-byte continuation headers.
inline std::string rtmpMessage(std::uint8_t csid, std::uint8_t type, std::string_view body) {
    std::string out;
    out += static_cast<char>(csid);
    out += std::string(3, '\0');
    out += static_cast<char>((body.size() >> 16) & 0xFF);
    out += static_cast<char>((body.size() >> 8) & 0xFF);
    out += static_cast<char>(body.size() & 0xFF);
    out += static_cast<char>(type);
    out += std::string(4, '\0');
    for (std::size_t at = 0; at < body.size(); at += 128) {
        if (at > 0) out += static_cast<char>(0xC0 | csid);
        out += body.substr(at, 128);
    }
    return out;
}

// --- an engine with its own save folder

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = tempFolder("osprey-engine");
        ASSERT_FALSE(dir_.empty());
        engine_ = std::make_unique<osprey::Engine>();
    }
    void TearDown() override {
        finishWorker();
        engine_.reset();
        std::filesystem::remove_all(dir_);
    }

    // Site list with these lines, save folder dir_ (made with Temp/).
    void options(const std::vector<std::string>& sites) {
        std::string text;
        for (const auto& s : sites) text += s + "\n";
        writeFile(dir_ + "sites.txt", text);
        engine_->readOptions((dir_ + "sites.txt").c_str(), (dir_ + "save").c_str());
    }
    void begin(bool report = true, bool record = true, int idBase = 100) {
        engine_->beginRun(window_.handle(), report, record, idBase);
    }
    void feed(const FrameSpec& s, std::string_view payload) { engine_->processFrame(buildFrame(s, payload)); }

    // The two directions of one connection, with sequence numbers that
    // follow what was sent.
    struct Conversation {
        FrameSpec client;
        FrameSpec server;
    };
    static Conversation conversation(std::uint16_t clientPort, std::uint16_t serverPort = 80,
                                     std::uint32_t clientSeq = 1000, std::uint32_t serverSeq = 50000) {
        Conversation c;
        c.client = FrameSpec{{10, 0, 0, 2}, {10, 0, 0, 9}, clientPort, serverPort, clientSeq, serverSeq};
        c.server = FrameSpec{{10, 0, 0, 9}, {10, 0, 0, 2}, serverPort, clientPort, serverSeq, clientSeq};
        return c;
    }
    // The client sends; the server's acknowledgement follows.
    void clientSends(Conversation& c, std::string_view payload) {
        feed(c.client, payload);
        c.client.seq += static_cast<std::uint32_t>(payload.size());
        c.server.ack = c.client.seq;
    }
    void serverSends(Conversation& c, std::string_view payload, std::uint8_t flags = 0x18) {
        FrameSpec s = c.server;
        s.flags = flags;
        feed(s, payload);
        c.server.seq += static_cast<std::uint32_t>(payload.size());
    }

    // Pumps until the worker has finished and is joined.
    void finishWorker() {
        if (!engine_) return;
        for (int i = 0; i < 2000 && engine_->workerRunning(); ++i) window_.sink().waitAndPump(5);
        engine_->joinWorkerIfDone();
        window_.pump();
    }

    const osprey::RecordItem& item(int position) { return *engine_->itemAt(position); }
    std::string saveDir() const { return dir_ + "save/"; }

    std::string dir_;
    RecordingWindow window_;
    std::unique_ptr<osprey::Engine> engine_;
};

}  // namespace kestrel::test
