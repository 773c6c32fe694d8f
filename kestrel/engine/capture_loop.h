#pragma once
// The body of the capture thread: opens the packet source, keeps IPv4 TCP
// frames and hands every frame that can carry payload to the engine.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace kestrel::engine {

inline constexpr int kCaptureSnapLength = 65536;
inline constexpr int kCaptureReadTimeoutMs = 1000;
inline constexpr const char* kCaptureFilter = "ip and tcp";
// Ethernet, IPv4 and TCP headers without options and without payload.
inline constexpr std::size_t kBareHeaderFrameLength = 54;

struct CaptureLoopInput {
    std::string source;
    std::uint32_t netmask = 0;
    const std::atomic<int>* running = nullptr;
    const std::atomic<int>* stopRequest = nullptr;
    std::function<void(std::span<const std::uint8_t>)> onFrame;
};

struct CaptureLoopResult {
    int code = 0;        // 0: the loop ran and ended; -1: the source was not opened or configured
    std::string error;   // libpcap's text when code is -1 or the read failed
};

CaptureLoopResult runCaptureLoop(const CaptureLoopInput& input);

}  // namespace kestrel::engine
