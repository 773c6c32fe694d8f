#pragma once
// The body of the capture thread: opens the packet source, keeps IPv4 TCP
// frames and hands every frame that can carry payload to the engine.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/capture.h"

namespace kestrel::engine {

// Linux hands loopback and GRO traffic to the capture as super-segments of
// up to 65,549 bytes of frame: a snapshot length of 64 KiB would cut them.
inline constexpr int kCaptureSnapLength = 262144;

inline constexpr int kCaptureReadTimeoutMs = 1000;
// The kernel hands captured frames over in blocks, a block when it is full
// or this old: at the end of a capture, the frames of the last, unfinished
// block are lost, so it is kept short.
inline constexpr int kCaptureDeliveryMs = 10;
inline constexpr const char* kCaptureFilter = "ip and tcp";
// Ethernet, IPv4 and TCP headers without options and without payload.
inline constexpr std::size_t kBareHeaderFrameLength = 54;

struct CaptureLoopInput {
    std::string source;
    std::uint32_t netmask = 0;
    int kernelBufferMb = 64;  // the CaptureBufferMB setting
    const std::atomic<int>* running = nullptr;
    const std::atomic<int>* stopRequest = nullptr;
    std::function<void(std::span<const std::uint8_t>)> onFrame;
};

struct CaptureLoopResult {
    int code = 0;        // 0: the loop ran and ended; -1: the source was not opened or configured
    std::string error;   // libpcap's text when code is -1 or the read failed
    bool live = false;   // a live adapter, not a capture file
    // Frames whose captured bytes are fewer than their length on the wire:
    // their payload is incomplete, so they are counted and not stored.
    std::uint64_t cutFrames = 0;
    platform::CaptureCounters kernel;  // a live source's counters at its end
};

CaptureLoopResult runCaptureLoop(const CaptureLoopInput& input);

}  // namespace kestrel::engine
