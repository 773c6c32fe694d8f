#pragma once
// The live capture: a start-up worker that runs the capture thread, waits
// for it and reports a failure; the capture thread opens the capture source,
// sets the filter and dispatches every whole frame until it is halted or
// the source ends.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "harrier/harrier.h"

namespace kestrel::harrier {

class Recorder;

// Live sources open with room for loopback and GRO super-segments of up to
// 65,549 bytes of frame, and with a kernel buffer that holds a burst at
// local-network speed.
inline constexpr int kCaptureSnapLength = 262144;
inline constexpr int kCaptureKernelBufferBytes = 64 * 1024 * 1024;
inline constexpr int kCaptureReadTimeoutMs = 1000;
// Frames the kernel still holds in an unfinished block when capture stops
// never reach us, so blocks are handed over at least this often.
inline constexpr int kCaptureDeliveryMs = 10;
// Ethernet, IPv4 and TCP headers without options or payload.
inline constexpr std::size_t kBareFrameLength = 53;

struct CaptureParameters {
    std::string device;
    std::string filter;
    std::uint32_t netmask = 0;
};

class LiveCapture {
public:
    LiveCapture(Recorder& owner, CaptureParameters parameters);
    ~LiveCapture();
    LiveCapture(const LiveCapture&) = delete;
    LiveCapture& operator=(const LiveCapture&) = delete;

    // Starts the start-up worker (std::system_error when it cannot).
    void start();
    bool started() const { return started_.load(); }  // the capture thread runs
    bool halted() const { return halted_.load(); }    // the worker is done
    void requestHalt() { haltFlag_.store(true); }
    void join();
    HarrierCaptureStats stats() const;

private:
    void startupWorker() noexcept;
    void captureThread() noexcept;
    void fail(const std::string& text);

    Recorder& owner_;
    const CaptureParameters parameters_;
    std::atomic<bool> haltFlag_{false};
    std::atomic<bool> started_{false};
    std::atomic<bool> halted_{false};
    std::atomic<bool> captureEnded_{false};
    std::atomic<bool> error_{false};
    std::atomic<bool> kernelKnown_{false};
    std::atomic<std::uint64_t> received_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> interfaceDropped_{0};
    std::atomic<std::uint64_t> cutFrames_{0};
    std::thread worker_;
};

}  // namespace kestrel::harrier
