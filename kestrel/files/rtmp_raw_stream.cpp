#include "kestrel/files/rtmp_raw_stream.h"

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <memory>

#include "kestrel/engine/rtmp_patterns.h"

namespace kestrel::files {

namespace {
constexpr std::size_t kPayloadBuffer = 450000;
}

RawStreamStats reassembleRawStream(std::FILE* data, const std::vector<capture_files::OrderedEntry>& entries,
                                   const std::string& rawPath, std::atomic<std::int64_t>* progress) {
    RawStreamStats stats;
    std::FILE* out = std::fopen(rawPath.c_str(), "wb");
    if (!out) {
        stats.writeFailed = true;
        stats.writeError = errno;
        return stats;
    }
    std::vector<std::uint8_t> buffer(kPayloadBuffer);
    std::int64_t expected = 0;
    std::int64_t position = -1;
    bool first = true;
    // The first record stored for an item (right after the 5-byte header)
    // may be the client's connect command, numbered in the client's
    // sequence space: the jump next to it is a seam, not lost bytes.
    bool previousWasFirstRecord = false;
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
            const bool firstRecord = e.dataOffset == capture_files::kHeaderSize;
            if (overlap < 0 && !firstRecord && !previousWasFirstRecord) {
                ++stats.gaps;
                stats.gapOffsets.push_back(stats.bytesWritten);
            }
            from = std::max<std::int64_t>(overlap, 0);
        }
        const std::size_t got = capture_files::readPayload(data, e, buffer, &position);
        // The client's connect command (stored whole, or from its URL on) is
        // the item's first record but no part of what the server sent: a
        // converter reading it would take the rest of a command that went on
        // in the client's next segment from the server's bytes.
        if (e.dataOffset == capture_files::kHeaderSize) {
            const std::span<const std::uint8_t> head(buffer.data(), got);
            if (engine::rtmp::connectAt(head, 0) || engine::rtmp::bytesAt(head, 0, "rtmp")) {
                ++stats.clientRecordsLeftOut;
                continue;
            }
        }
        const auto take = static_cast<std::size_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(n, static_cast<std::int64_t>(got)) - from));
        if (take > 0 && std::fwrite(buffer.data() + from, 1, take, out) != take && !stats.writeFailed) {
            stats.writeFailed = true;
            stats.writeError = errno;
        }
        stats.bytesWritten += take;
        if (progress) progress->fetch_add(static_cast<std::int64_t>(take), std::memory_order_relaxed);
        expected = first ? oe.position + n : std::max(expected, oe.position + n);
        first = false;
        previousWasFirstRecord = e.dataOffset == capture_files::kHeaderSize;
    }
    if (std::fclose(out) != 0 && !stats.writeFailed) {
        stats.writeFailed = true;
        stats.writeError = errno;
    }
    return stats;
}

bool writeGapList(const std::string& rawPath, const std::vector<std::uint64_t>& offsets) {
    const std::string path = rawPath + ".gaps";
    if (offsets.empty()) {
        std::remove(path.c_str());
        return true;
    }
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    bool ok = true;
    for (std::uint64_t o : offsets) ok = std::fprintf(f, "%llu\n", static_cast<unsigned long long>(o)) > 0 && ok;
    return std::fclose(f) == 0 && ok;
}

}  // namespace kestrel::files
