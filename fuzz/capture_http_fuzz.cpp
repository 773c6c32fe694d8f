// libFuzzer target: the capture data and index reader and the HTTP body
// assembly behind it (overlaps, gaps, the start of the body, chunked
// transfer coding), driven as post-processing drives them for an HTTP item.
//
// Input: a 2-byte big-endian length, the index file, then the data file
// (fuzz_support.h). At most 64 KiB.
//
// Checked besides memory safety: the assembler's count of bytes written is
// what reached the sink, and it never writes more than it took in.

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "common/capture_files.h"
#include "common/http_body_assembler.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kTarget = "capture_http_fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;
// As large as post-processing reads with: a stored entry is never longer
// than 9999 bytes, but the reader must not trust that.
constexpr std::size_t kPayloadBuffer = 450000;

namespace capture_files = kestrel::capture_files;
using kestrel::fuzz::broken;

class CountingSink final : public kestrel::ByteSink {
public:
    bool write(std::span<const std::uint8_t> bytes) override {
        count += bytes.size();
        return true;
    }
    std::uint64_t count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    kestrel::fuzz::OpenedCapture capture;
    // Any kind byte is taken: the assembly should cope with whatever the
    // data holds.
    if (kestrel::fuzz::openCapturePair(std::span<const std::uint8_t>(data, size), kTarget, capture)) {
        static std::vector<std::uint8_t> buffer(kPayloadBuffer);
        CountingSink sink;
        kestrel::HttpBodyAssembler assembler(sink);
        std::int64_t position = -1;
        for (const auto& e : capture.entries) {
            const std::size_t n = capture_files::readPayload(capture.file, e.entry, buffer, &position);
            assembler.feed(e.position, std::span<const std::uint8_t>(buffer.data(), n));
        }
        assembler.finish();
        const auto& stats = assembler.stats();
        if (stats.bytesOut != sink.count) broken(kTarget, "bytesOut is not what reached the sink");
        if (stats.bytesOut > stats.bytesIn) broken(kTarget, "more bytes written than taken in");
    }
    return 0;
}
