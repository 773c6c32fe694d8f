// libFuzzer target: the capture data and index reader and the rebuilding of
// an RTMP item's raw chunk stream from them, as post-processing does it
// before a converter runs.
//
// Input: a 2-byte big-endian length, the index file, then the data file
// (fuzz_support.h). At most 64 KiB.
//
// Checked besides memory safety: the raw stream file holds exactly the
// bytes the statistics (and the progress counter) say were written, and the
// gap list written beside it can be removed again.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/capture_files.h"
#include "fuzz/fuzz_support.h"
#include "kestrel/files/rtmp_raw_stream.h"

namespace {

constexpr const char* kTarget = "raw_stream_fuzz";
constexpr std::size_t kMaxInput = 64 * 1024;

using kestrel::fuzz::broken;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    kestrel::fuzz::OpenedCapture capture;
    if (kestrel::fuzz::openCapturePair(std::span<const std::uint8_t>(data, size), kTarget, capture)) {
        const std::string rawPath = kestrel::fuzz::scratchFolder() + "capture.flvdata.tmp";
        std::atomic<std::int64_t> progress{0};
        const auto stats = kestrel::files::reassembleRawStream(capture.file, capture.entries, rawPath, &progress);
        if (stats.writeFailed) broken(kTarget, "the raw stream could not be written");
        if (kestrel::fuzz::readFile(rawPath).size() != stats.bytesWritten)
            broken(kTarget, "the raw stream's length is not bytesWritten");
        if (static_cast<std::uint64_t>(progress.load()) != stats.bytesWritten)
            broken(kTarget, "progress does not add up to bytesWritten");
        if (!kestrel::files::writeGapList(rawPath, stats.gapOffsets)) broken(kTarget, "the gap list could not be written");
        std::remove(rawPath.c_str());
        std::remove((rawPath + ".gaps").c_str());
    }
    return 0;
}
