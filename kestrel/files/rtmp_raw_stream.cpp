#include "kestrel/files/rtmp_raw_stream.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace kestrel::files {

namespace {
constexpr std::size_t kPayloadBuffer = 450000;
}

RawStreamStats reassembleRawStream(std::FILE* data, const std::vector<capture_files::OrderedEntry>& entries,
                                   const std::string& rawPath, std::atomic<std::int32_t>* progress) {
    RawStreamStats stats;
    std::FILE* out = std::fopen(rawPath.c_str(), "wb");
    if (!out) {
        stats.writeFailed = true;
        return stats;
    }
    std::vector<std::uint8_t> buffer(kPayloadBuffer);
    std::int64_t expected = 0;
    bool first = true;
    for (const auto& oe : entries) {
        const auto& e = oe.entry;
        if (e.length == 0) break;
        // The IP length tells the true payload length: stored bytes beyond it
        // are Ethernet padding of a short frame.
        const std::int64_t ipPayload = static_cast<std::int64_t>(e.ipLength) - 40;
        std::int64_t n = e.length;
        if (ipPayload != n && ipPayload == 0) continue;
        if (ipPayload > 0 && ipPayload < n) n = ipPayload;

        std::int64_t from = 0;
        if (!first) {
            const std::int64_t overlap = expected - oe.position;
            if (overlap >= n) {
                ++stats.repeats;
                continue;
            }
            if (overlap < 0) ++stats.gaps;
            from = std::max<std::int64_t>(overlap, 0);
        }
        const std::size_t got = capture_files::readPayload(data, e, buffer);
        const auto take = static_cast<std::size_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, static_cast<std::int64_t>(got)) - from));
        if (take > 0 && std::fwrite(buffer.data() + from, 1, take, out) != take) stats.writeFailed = true;
        stats.bytesWritten += take;
        if (progress) progress->fetch_add(static_cast<std::int32_t>(take), std::memory_order_relaxed);
        expected = first ? oe.position + n : std::max(expected, oe.position + n);
        first = false;
    }
    if (std::fclose(out) != 0) stats.writeFailed = true;
    return stats;
}

}  // namespace kestrel::files
