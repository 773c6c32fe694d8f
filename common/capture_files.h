#pragma once
// Capture data files and capture index files: the on-disk form of what was
// captured for one recording.
//
// Data file: "PIP", a kind byte (0 HTTP body, 1 RTMP server stream), a
// reserved 0 byte, then the stored payloads back to back.
// Index file: 18-byte entries, one per stored payload: sequence (big-endian
// 32 bits), data offset (upper-case hex digits, NUL padded to 8 bytes),
// length (decimal digits, NUL padded to 4 bytes, at most 9999) and the
// IP-length field (big-endian 16 bits).

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "platform/write_behind.h"

namespace kestrel::capture_files {

inline constexpr std::size_t kHeaderSize = 5;
inline constexpr std::size_t kEntrySize = 18;
inline constexpr std::uint32_t kMaxEntryLength = 9999;
inline constexpr std::uint8_t kKindHttp = 0x00;
inline constexpr std::uint8_t kKindRtmp = 0x01;

std::array<std::uint8_t, kHeaderSize> header(std::uint8_t kind);

struct IndexEntry {
    std::uint32_t sequence = 0;
    // The file stores the low 32 bits; loadOrderedIndex gives the whole
    // offset, so data files past 4 GiB read back in order.
    std::uint64_t dataOffset = 0;
    std::uint32_t length = 0;
    std::uint32_t ipLength = 0;
};

std::array<std::uint8_t, kEntrySize> encodeEntry(const IndexEntry& e);
// Parses one entry: offset from at most 8 hex digits, length from at most 4
// decimal digits, each up to the first NUL (or other non-digit).
IndexEntry decodeEntry(std::span<const std::uint8_t, kEntrySize> bytes);

// The writing side of one recording's pair of files.
class CaptureFileWriter {
public:
    CaptureFileWriter() = default;
    ~CaptureFileWriter() { close(); }
    CaptureFileWriter(const CaptureFileWriter&) = delete;
    CaptureFileWriter& operator=(const CaptureFileWriter&) = delete;

    // Opens the data file: truncate (create afresh) or append (create when
    // missing, never truncate). False when it cannot be opened.
    bool openData(const std::string& path, bool truncate);
    bool openIndex(const std::string& path, bool truncate);
    bool dataOpen() const { return data_.isOpen(); }
    bool indexOpen() const { return index_.isOpen(); }

    // Stores one payload: writes the file header first when headerWritten is
    // 0 (and sets it), then the payload, then its index entry (when the index
    // is open). Payloads longer than 9999 bytes are stored as consecutive
    // entries of at most 9999 bytes, each with its own sequence number.
    // An empty payload still gets one entry of length 0.
    // Returns false when a write failed.
    bool append(std::uint8_t kind, std::int32_t& headerWritten, std::uint32_t sequence,
                std::span<const std::uint8_t> payload);
    // Writes the file header alone (when headerWritten is 0), for a file
    // created before its first payload arrives.
    bool writeHeader(std::uint8_t kind, std::int32_t& headerWritten);

    // Everything appended is in the files once this returns. False when a
    // write failed.
    bool close();

    // The first failure of an open, write or close: the file and the
    // system's error text; empty while nothing failed. Kept after close()
    // until the next open.
    const std::string& failure() const { return failure_; }

private:
    bool noteFailure(const char* what, const std::string& path, int error);

    // Written by the background writer, so that the capture thread does not
    // spend its time in the kernel's write path. Two buffers per file, and
    // bounded so that a full table of recording items stays well under
    // 100 MB.
    platform::BackgroundFile data_{16 * 1024};
    platform::BackgroundFile index_{4 * 1024};
    std::uint64_t dataSize_ = 0;
    std::string dataPath_;
    std::string indexPath_;
    std::string failure_;
};

// An entry read back, with its place in the stream: positions unwrap the
// 32-bit sequence numbers, so a stream that crosses 2^32 stays in order.
struct OrderedEntry {
    std::int64_t position = 0;
    IndexEntry entry;
};

enum class ReadStatus { Ok, Missing, Empty, BadHeader, TooFewEntries };

// Reads the 5-byte header; Ok and the kind byte when the magic is there.
ReadStatus readHeader(std::FILE* data, std::uint8_t& kind);

// Loads an index file (at least two whole entries; a trailing partial entry
// is ignored) and orders it. Data offsets are unwrapped first, in file
// order: they only grow, so each entry's offset is the previous one's plus
// the 32-bit difference of the stored values. Then positions are unwrapped in capture order (the
// first entry's position is its sequence number, each next one adds the
// signed 32-bit difference to the previous), then a stable sort by position
// keeps capture order among equal positions.
ReadStatus loadOrderedIndex(const std::string& path, std::vector<OrderedEntry>& out);

// Unwraps the stored 32-bit data offsets of entries in file order.
void unwrapDataOffsets(std::vector<IndexEntry>& entries);

// Orders entries as loadOrderedIndex does (exposed for tests).
void orderEntries(const std::vector<IndexEntry>& entries, std::vector<OrderedEntry>& out);

// Reads an entry's payload into buffer; returns the bytes actually read
// (fewer than asked when the file is short). position (optional) follows the
// file position between calls, so reads in file order need no seek; start
// it at -1.
std::size_t readPayload(std::FILE* data, const IndexEntry& e, std::span<std::uint8_t> buffer,
                        std::int64_t* position = nullptr);

}  // namespace kestrel::capture_files
