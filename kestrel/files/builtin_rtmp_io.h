#pragma once
// Pieces shared by the two built-in RTMP converters: bounded random access to
// the raw stream file, the FLV tag writer, the per-media state, the choice of
// the parsing start and the walk over aggregate messages. Internal to the
// converters (see builtin_rtmp_converter.h for the contract).

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kestrel/files/builtin_rtmp_converter.h"

namespace kestrel::files::rtmp_builtin {

// Message bodies and the probe block go through buffers of this size.
inline constexpr std::size_t kBufferSize = 450'000;
inline constexpr std::uint64_t kMaxHeadersPerPass = 50'000'000;
inline constexpr std::size_t kMaxSubTags = 100'000;
inline constexpr std::size_t kMaxPiecesPerMessage = 5'000;
inline constexpr std::uint32_t kDefaultChunkSize = 128;

inline constexpr std::uint8_t kTypeSetChunkSize = 1;
inline constexpr std::uint8_t kTypeUserControl = 4;
inline constexpr std::uint8_t kTypeAudio = 8;
inline constexpr std::uint8_t kTypeVideo = 9;
inline constexpr std::uint8_t kTypeData = 18;
inline constexpr std::uint8_t kTypeSharedObject = 19;
inline constexpr std::uint8_t kTypeCommand = 20;
inline constexpr std::uint8_t kTypeAggregate = 22;

// A type-0 header on chunk stream 2, timestamp 0, length 4, type 1: the
// start of a Set Chunk Size message.
inline constexpr std::array<std::uint8_t, 8> kSetChunkSizeHeader{0x02, 0, 0, 0, 0, 0, 0x04, 0x01};
inline constexpr std::string_view kOnMetaData = "onMetaData";
// From the basic header of the chunk that carries "onMetaData" to the name:
// basic header, eleven message-header bytes, AMF0 string marker, length.
inline constexpr std::uint64_t kMetaDataNameOffset = 15;

// Chunk size in force: a size that is not positive (as a signed 32-bit
// number, so also one of 2^31 or more) counts as 128.
inline std::uint32_t effectiveChunkSize(std::int64_t size) {
    return size > 0 && size <= 0x7FFFFFFF ? static_cast<std::uint32_t>(size) : kDefaultChunkSize;
}

// Bytes a message of length bytes occupies in the stream with its one-byte
// continuation headers.
inline std::uint64_t spanWithContinuations(std::uint64_t length, std::uint32_t chunkSize) {
    return length == 0 ? 0 : length + (length - 1) / chunkSize;
}

// Position of the first occurrence of pattern in data, or nullopt.
std::optional<std::size_t> findBytes(std::span<const std::uint8_t> data, std::span<const std::uint8_t> pattern);
std::optional<std::size_t> findText(std::span<const std::uint8_t> data, std::string_view text);

// The raw stream file with random access through one read window. Every read
// is all or nothing: it fails (and leaves the position where it was) when
// fewer bytes than asked for are left or the file cannot be read.
class RawStreamFile {
public:
    RawStreamFile() = default;
    ~RawStreamFile();
    RawStreamFile(const RawStreamFile&) = delete;
    RawStreamFile& operator=(const RawStreamFile&) = delete;

    bool open(const std::string& path);
    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return position_; }
    std::uint64_t remaining() const { return size_ - position_; }
    bool ioFailed() const { return ioFailed_; }

    void seek(std::uint64_t position) { position_ = position < size_ ? position : size_; }
    bool skip(std::uint64_t n);
    bool read(std::span<std::uint8_t> out);
    bool readByte(std::uint8_t& out) { return read({&out, 1}); }
    // Reads without moving.
    bool peek(std::span<std::uint8_t> out) { return readAt(position_, out); }
    // Reads a few bytes anywhere without disturbing the read window.
    bool peekAt(std::uint64_t position, std::span<std::uint8_t> out);

private:
    bool readAt(std::uint64_t position, std::span<std::uint8_t> out);
    bool readDirect(std::uint64_t position, std::span<std::uint8_t> out);

    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t position_ = 0;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
    std::size_t windowLength_ = 0;
    bool ioFailed_ = false;
};

// Writes the FLV output: the file header once, then tags, each preceded by
// the previous tag size (0 before the first), and on finish the size field
// of the last tag.
class FlvTagWriter {
public:
    FlvTagWriter() = default;
    ~FlvTagWriter();
    FlvTagWriter(const FlvTagWriter&) = delete;
    FlvTagWriter& operator=(const FlvTagWriter&) = delete;

    bool open(const std::string& path);  // creates or truncates
    bool restart();                      // empties the file for a new pass
    bool writeFileHeader();              // no-op once written
    bool writeTag(std::uint8_t type, std::uint32_t timestamp, std::span<const std::uint8_t> data);
    // A tag whose data is the given parts one after the other.
    bool writeTag(std::uint8_t type, std::uint32_t timestamp, std::span<const std::span<const std::uint8_t>> parts);
    bool finish();  // last size field, flush, close; false when anything failed

    bool headerWritten() const { return headerWritten_; }
    bool failed() const { return failed_; }
    void countInto(BuiltinStats& stats) const;

private:
    bool put(std::span<const std::uint8_t> bytes);

    std::FILE* file_ = nullptr;
    bool headerWritten_ = false;
    bool failed_ = false;
    std::uint32_t previousTagSize_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t tags_ = 0;
    std::uint64_t audio_ = 0;
    std::uint64_t video_ = 0;
    std::uint64_t script_ = 0;
};

// What a converter remembers of one media (audio or video).
struct MediaState {
    bool seen = false;                 // a message of this media was read
    std::uint32_t lastLength = 0;      // length of its last message
    std::uint8_t signature = 0;        // first body byte of its last message
    std::array<std::uint8_t, 4> firstBytes{};
    bool chunkByteKnown = false;
    std::uint8_t chunkByte = 0;        // its first continuation header byte
    std::uint32_t lastTimestamp = 0;
};

inline int mediaIndex(std::uint8_t type) { return type == kTypeAudio ? 0 : 1; }

// Where parsing starts when no Set Chunk Size header lies in the probe block:
// at 0 when bytes 1 to 3 are zero (the stream starts with a type-0 header
// with time 0); else at the chunk carrying "onMetaData" (writeHeader is then
// set: the FLV header goes out first); else at 0.
struct StartChoice {
    std::uint64_t position = 0;
    bool writeHeader = false;
};
StartChoice chooseStartWithoutChunkSize(std::span<const std::uint8_t> probe);

// Writes a data message that holds "onMetaData" as the file's script tag,
// in the form FLV readers expect: a name put in front by the publisher
// ("@setDataFrame") is left out, and metadata sent as an AMF0 object is
// written as an ECMA array (same properties, a count of 0 in front).
bool writeMetadataTag(FlvTagWriter& out, std::uint32_t timestamp, std::span<const std::uint8_t> body);

// Walks an aggregate message body: sub-tags of an FLV tag header, data and
// a 4-byte back pointer, at most kMaxSubTags, stopping at the first sub-tag
// that does not fit in the body. Every audio or video sub-tag of at least 3
// data bytes becomes a tag with its own type, time and data, and its time
// and first bytes become its media's last time and signature. Returns the
// data bytes written; false in writeOk when writing failed.
std::uint64_t writeAggregateSubTags(std::span<const std::uint8_t> body, FlvTagWriter& out,
                                    std::array<MediaState, 2>& media, bool& writeOk);

// What every built-in conversion starts with: the raw stream opened, the
// conversion's two buffers (the probe block, also used as a search window,
// and message bodies), the probe block read, and where a Set Chunk Size
// header lies in it.
struct ConversionStart {
    RawStreamFile in;
    std::vector<std::uint8_t> scratch;
    std::vector<std::uint8_t> body;
    std::span<std::uint8_t> probe;
    std::optional<std::size_t> chunkSizeAt;
};

// Converted when the conversion can begin; ProbeTooShort or CannotOpenInput
// otherwise. Clears stats and records whether a Set Chunk Size was found.
BuiltinResult beginConversion(const std::string& rawPath, ConversionStart& start, BuiltinStats& stats);

// The result of a conversion whose passes returned ok: finishes the output
// and fills stats with its counts.
BuiltinResult endConversion(const ConversionStart& start, FlvTagWriter& out, bool ok, BuiltinStats& stats);

}  // namespace kestrel::files::rtmp_builtin
