#pragma once
// Rebuilds an HTTP response body from the stored payloads of one download,
// given in stream order (see capture_files::loadOrderedIndex).
//
// - Overlaps: the first entry sets the expected position; every later
//   entry that repeats bytes already written is skipped, and one that
//   overlaps partly contributes only its new bytes. A gap (bytes never
//   captured) is counted and the next payload follows directly.
// - The start of the body: a payload that begins a media file (FLV,
//   CWS/FWS/ZWS, ID3 or an MPEG audio frame sync, "ftyp" at offset 4) or a
//   chunked body is kept; the tail of a response header that was split over
//   segments (text lines up to an empty line) is cut off.
// - Chunked transfer coding is undone: any chunk sizes, extensions, and
//   delimiters split across payloads; the last chunk and trailer removed.
//   After a hole the decoding goes on at the next chunk boundary that two
//   consecutive chunk-size lines confirm; the bytes up to it are the rest of
//   the chunk the hole cut.

#include <cstdint>
#include <span>
#include <vector>

namespace kestrel {

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // False when the bytes could not be written.
    virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

struct HttpAssemblyStats {
    std::uint64_t bytesIn = 0;       // payload bytes taken into the body (after overlap removal)
    std::uint64_t bytesOut = 0;      // bytes written to the sink
    std::uint64_t repeats = 0;       // entries skipped as already written
    std::uint64_t gaps = 0;          // places where bytes are missing
    std::uint64_t gapBytes = 0;      // how many bytes are missing there
    std::uint64_t headerBytesCut = 0;
    bool chunked = false;
    bool chunkedEnded = false;       // the last chunk (and trailer) arrived
    bool chunkedMalformed = false;   // the coding broke; the rest was kept as it was
    bool writeFailed = false;
};

class HttpBodyAssembler {
public:
    explicit HttpBodyAssembler(ByteSink& sink);

    // Feeds the payload of the next entry in stream order; returns the
    // number of its bytes taken into the body.
    std::size_t feed(std::int64_t position, std::span<const std::uint8_t> payload);
    // Flushes what is still held back; call once after the last entry.
    void finish();

    const HttpAssemblyStats& stats() const { return stats_; }

private:
    enum class Mode { Start, Plain, Chunked };
    enum class ChunkState { Size, Extension, SizeLf, Data, DataCr, DataLf, Trailer, TrailerLf, Done, Resync };

    void body(std::span<const std::uint8_t> bytes);
    void classify(bool final);
    void plain(std::span<const std::uint8_t> bytes);
    void chunked(std::span<const std::uint8_t> bytes);
    void writeBody(std::span<const std::uint8_t> bytes);
    // Bytes were never captured: keeps the chunk framing when the hole lies
    // inside one chunk's data, else looks for the next chunk boundary.
    void chunkedGap(std::uint64_t missing);
    void resync(std::span<const std::uint8_t> bytes, bool final);

    ByteSink& sink_;
    HttpAssemblyStats stats_;
    bool started_ = false;
    std::int64_t expected_ = 0;

    Mode mode_ = Mode::Start;
    bool headerCut_ = false;
    std::vector<std::uint8_t> prefix_;  // bytes held back until the start is classified

    ChunkState chunkState_ = ChunkState::Size;
    std::uint64_t chunkLeft_ = 0;
    int chunkDigits_ = 0;
    std::size_t trailerLineLength_ = 0;
    std::vector<std::uint8_t> resync_;  // bytes after a hole, until a chunk boundary is found
};

}  // namespace kestrel
