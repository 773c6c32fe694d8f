#pragma once
// The program's own RTMP-to-FLV converters: they turn a raw chunk-stream file
// (the server-to-client bytes of an RTMP connection, in stream order) into an
// FLV file without any outside library.
//
// Both are heuristic: they do not need the stream to start at a chunk
// boundary, they guess the type of a message behind a short chunk header
// from the first byte of the last audio and video message, and they pass
// over the control and command messages a player does not need.
//
//   convertRtmpBuiltin  the converter used after a poor outside conversion.
//                       Chunk timestamps are not used: audio and video tags
//                       carry the time of the last aggregate message of
//                       their media (0 in a stream without aggregate
//                       messages; the FLV repair can give such a file
//                       regular times). When the stream holds no Set Chunk
//                       Size message near its start and the first pass
//                       yields little media, it converts again assuming
//                       chunk sizes of 4096, 1024, 2048 and 512, in that
//                       order, and the last pass stands.
//   convertRtmpVariant  the converter of the processing run that does without
//                       the outside converter: one pass, chunk size 4096
//                       when the stream does not set one, tag times taken
//                       from the chunk headers. A continuation chunk header
//                       that does not repeat its message's first one ends
//                       the conversion; what was written until then stays.
//
// Contract shared by both:
// - The raw stream is untrusted: every length in it is checked against the
//   bytes that are really there and against the converter's buffers
//   (2 x 450,000 bytes, allocated once per call); no read goes past a buffer
//   whatever the stream says. Work is bounded: 50,000,000 chunk headers per
//   pass, 100,000 sub-tags per aggregate message, 5,000 chunks per message.
//   Message bodies longer than 450,000 bytes are passed over.
// - A raw stream shorter than its probe size (1,024 bytes for streams of up
//   to 10,240 bytes, 10,240 up to 102,400, 102,400 beyond; so also an empty
//   one) is not converted: ProbeTooShort, and the output file is not touched.
// - Otherwise the output file is created or truncated, then written from its
//   start (every retry pass truncates it again), so a longer file that was
//   there before (an earlier, poor conversion of the same item) leaves no
//   stale tail behind the new tags.
// - The output is a complete FLV file: 9-byte header (flags 0x05), each tag
//   preceded by its previous-tag-size field and the last tag followed by its
//   own, so that readers that walk the file backwards find its end. A
//   stream with no media at all gives an empty file, or only the header
//   and a size field of 0 when the metadata was located first.
// - Errors are return values; nothing is thrown. Safe to call from any
//   thread; calls share no state.

#include <cstdint>
#include <span>
#include <string>

namespace kestrel::files {

enum class BuiltinResult {
    Converted,          // the output file holds what the stream gave (possibly no tags)
    ProbeTooShort,      // the raw stream is shorter than its probe block (or empty)
    CannotOpenInput,    // the raw stream file cannot be opened or read
    CannotWriteOutput,  // the output file cannot be created or written
};

struct BuiltinStats {
    std::uint64_t tagsWritten = 0;   // every tag of the output (last pass)
    std::uint64_t audioTags = 0;
    std::uint64_t videoTags = 0;
    std::uint64_t metadataTags = 0;  // script-data tags
    std::uint64_t outputBytes = 0;   // size of the output file
    int passes = 0;                  // conversion passes run (1 to 5)
    bool chunkSizeMessageFound = false;  // a Set Chunk Size header lay in the probe block
};

// Probe size for a raw stream of rawLength bytes.
std::uint64_t rtmpProbeSize(std::uint64_t rawLength);

// gapOffsets (ascending, optional): raw-stream offsets after which bytes of
// the connection were never captured. A message read across such a place is
// not written, and parsing goes on at the next audio or video header that
// fits the stream's chunk streams and signatures.
BuiltinResult convertRtmpBuiltin(const std::string& rawPath, const std::string& outputPath,
                                 BuiltinStats* stats = nullptr, std::span<const std::uint64_t> gapOffsets = {});

BuiltinResult convertRtmpVariant(const std::string& rawPath, const std::string& outputPath,
                                 BuiltinStats* stats = nullptr);

}  // namespace kestrel::files
