// The outside converter: one gap-free chunk stream through the FLV builder's
// converter.

#include "curlew/curlew.h"

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/flv_format.h"
#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/stream_record.h"

namespace {

// The reassembler's list of places where bytes were never captured, beside
// the raw stream: one decimal byte offset per line. Optional; a damaged or
// absurd list counts only for what parses.
std::vector<std::uint64_t> readGapOffsets(const std::string& path) {
    constexpr std::size_t kMaxGaps = 1'000'000;
    std::vector<std::uint64_t> gaps;
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) return gaps;
    char line[32];
    while (gaps.size() < kMaxGaps && std::fgets(line, sizeof line, f)) {
        std::uint64_t v = 0;
        std::size_t digits = 0;
        for (const char* c = line; *c >= '0' && *c <= '9' && digits < 19; ++c, ++digits) v = v * 10 + static_cast<std::uint64_t>(*c - '0');
        if (digits > 0) gaps.push_back(v);
    }
    std::fclose(f);
    return gaps;
}

}  // namespace

extern "C" CURLEW_API int CreateRtmpFile(int, void*, int, int, int, const char* rawStreamPath, const char* outputPath,
                                         int) {
    using namespace kestrel;
    try {
        if (!rawStreamPath || !outputPath) return -1;
        merlin::RawStreamReader source;
        if (!source.open(rawStreamPath)) return -1;
        source.setGapOffsets(readGapOffsets(std::string(rawStreamPath) + CURLEW_GAP_LIST_SUFFIX));
        merlin::FlvOutputFile output;
        if (!output.create(outputPath)) return -1;
        output.writeFileHeader(flv::kFlagsAudio | flv::kFlagsVideo);
        // The converter holds its buffers inline: too large for a thread's stack.
        auto converter = std::make_unique<merlin::ChunkStreamConverter>();
        const auto outcome = converter->convert(source, output);
        if (outcome.status == merlin::ConversionOutcome::Status::NotSynchronised) {
            output.close();
            ::unlink(outputPath);
            return -1;
        }
        output.setTypeFlags(outcome.typeFlags());
        if (!output.close()) {
            ::unlink(outputPath);
            return -1;
        }
        return 0;
    } catch (...) {
        return -1;
    }
}
