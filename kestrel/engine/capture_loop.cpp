#include "kestrel/engine/capture_loop.h"

#include <algorithm>

#include "platform/capture.h"

namespace kestrel::engine {

CaptureLoopResult runCaptureLoop(const CaptureLoopInput& input) {
    CaptureLoopResult result;
    platform::PacketSource source;
    platform::CaptureOptions options;
    options.snapLength = kCaptureSnapLength;
    options.promiscuous = false;
    options.readTimeoutMs = kCaptureReadTimeoutMs;
    options.kernelDeliveryMs = kCaptureDeliveryMs;
    options.kernelBufferBytes = std::clamp(input.kernelBufferMb, 1, 2047) * 1024 * 1024;
    if (!source.open(input.source, options)) {
        result.code = -1;
        result.error = source.error();
        return result;
    }
    if (source.dataLink() != platform::kLinkTypeEthernet) {
        result.code = -1;
        result.error = "the capture source " + input.source + " is not an Ethernet adapter (link type " +
                       std::to_string(source.dataLink()) + ")";
        return result;
    }
    if (!source.setFilter(kCaptureFilter, true, input.netmask)) {
        result.code = -1;
        result.error = source.error();
        return result;
    }
    result.live = !source.isFile();
    platform::Frame frame;
    for (;;) {
        const int rc = source.next(frame);
        if (rc < 0) {
            if (rc == -1) result.error = source.error();  // -2 is the end of a file source
            break;
        }
        if (input.stopRequest->load(std::memory_order_relaxed)) break;
        if (rc == 0) continue;
        if (!input.running->load(std::memory_order_relaxed)) break;
        if (frame.bytes.size() < frame.wireLength) {
            ++result.cutFrames;
            continue;
        }
        if (frame.bytes.size() > kBareHeaderFrameLength) input.onFrame(frame.bytes);
    }
    result.kernel = source.counters();
    return result;
}

}  // namespace kestrel::engine
