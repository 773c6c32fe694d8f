// The outside converter: one gap-free chunk stream through the FLV builder's
// converter.

#include "curlew/curlew.h"

#include <unistd.h>

#include <memory>

#include "common/flv_format.h"
#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/stream_record.h"

extern "C" CURLEW_API int CreateRtmpFile(int, void*, int, int, int, const char* rawStreamPath, const char* outputPath,
                                         int) {
    using namespace kestrel;
    try {
        if (!rawStreamPath || !outputPath) return -1;
        merlin::RawStreamReader source;
        if (!source.open(rawStreamPath)) return -1;
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
