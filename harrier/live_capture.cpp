#include "harrier/live_capture.h"

#include <pcap/pcap.h>

#include <chrono>

#include "harrier/recorder.h"
#include "platform/capture.h"

namespace kestrel::harrier {

namespace {

constexpr auto kPoll = std::chrono::milliseconds(10);

// Whether the filter compiles, told apart from whether it can be set.
bool filterCompiles(const std::string& filter, std::uint32_t netmask) {
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, kCaptureSnapLength);
    if (!dead) return true;  // cannot tell: let setting it decide
    bpf_program program{};
    const bool compiles = pcap_compile(dead, &program, filter.c_str(), 1, netmask) == 0;
    if (compiles) pcap_freecode(&program);
    pcap_close(dead);
    return compiles;
}

}  // namespace

LiveCapture::LiveCapture(Recorder& owner, CaptureParameters parameters)
    : owner_(owner), parameters_(std::move(parameters)) {}

LiveCapture::~LiveCapture() {
    requestHalt();
    join();
}

void LiveCapture::start() {
    worker_ = std::thread([this] { startupWorker(); });
}

void LiveCapture::join() {
    if (worker_.joinable()) worker_.join();
}

HarrierCaptureStats LiveCapture::stats() const {
    HarrierCaptureStats s{};
    s.running = halted_.load() ? 0 : 1;
    s.kernelKnown = kernelKnown_.load() ? 1 : 0;
    s.received = received_.load();
    s.dropped = dropped_.load();
    s.interfaceDropped = interfaceDropped_.load();
    s.cutFrames = cutFrames_.load();
    return s;
}

void LiveCapture::startupWorker() noexcept {
    try {
        std::thread capture([this] { captureThread(); });
        while (!captureEnded_.load()) std::this_thread::sleep_for(kPoll);
        capture.join();
    } catch (const std::exception&) {
        fail("Unable to start the capture thread.");
        started_.store(true);
    }
    if (error_.load()) owner_.post(HARRIER_MSG_CAPTURE, HARRIER_CAPTURE_FAILED, 0);
    halted_.store(true);
}

void LiveCapture::fail(const std::string& text) {
    owner_.setLastError(text);
    error_.store(true);
}

void LiveCapture::captureThread() noexcept {
    // Harrier_Startup returns once started_ is set: only when the source
    // is open and filtered (or has failed), so that traffic that follows
    // the call is captured.
    try {
        platform::PacketSource source;
        platform::CaptureOptions options;
        options.snapLength = kCaptureSnapLength;
        options.promiscuous = true;
        options.readTimeoutMs = kCaptureReadTimeoutMs;
        options.kernelDeliveryMs = kCaptureDeliveryMs;
        options.kernelBufferBytes = kCaptureKernelBufferBytes;
        if (!source.open(parameters_.device, options)) {
            fail("Unable to open the adapter: " + parameters_.device);
        } else if (source.dataLink() != platform::kLinkTypeEthernet) {
            fail("This program works only on Ethernet networks.");
        } else if (!filterCompiles(parameters_.filter, parameters_.netmask)) {
            fail("Unable to compile the packet filter.");
        } else if (!source.setFilter(parameters_.filter, true, parameters_.netmask)) {
            fail("Error setting the filter.");
        } else {
            started_.store(true);
            platform::Frame frame;
            while (!haltFlag_.load()) {
                const int rc = source.next(frame);
                if (rc < 0) {
                    // The end of a replayed file is the end of capture; a
                    // read error is reported, or the host would think the
                    // capture still runs.
                    if (rc == PCAP_ERROR) fail("Error reading the packets: " + source.error());
                    break;
                }
                if (rc == 0) continue;
                if (frame.bytes.size() < frame.wireLength) {
                    // Cut by the snapshot length: its payload is incomplete.
                    cutFrames_.fetch_add(1);
                    continue;
                }
                if (frame.bytes.size() > kBareFrameLength) owner_.dispatchFrame(frame.bytes);
            }
            const auto counters = source.counters();
            kernelKnown_.store(counters.known);
            received_.store(counters.received);
            dropped_.store(counters.dropped);
            interfaceDropped_.store(counters.interfaceDropped);
        }
    } catch (const std::exception& e) {
        fail(std::string("Error reading the packets: ") + e.what());
    }
    started_.store(true);
    captureEnded_.store(true);
}

}  // namespace kestrel::harrier
