#pragma once
// The FLV file a conversion writes. Tags are appended with their data area
// reserved (zero bytes) and their previous-tag-size field already in place;
// the payload is written into the reserved area later, chunk by chunk and in
// any order, so interleaved messages need no reassembly buffer.
//
// The tail of the file lives in a fixed cache: appends and the writes that
// land in the tail cost no system call, and the memory used does not depend
// on the size of the file. Writes before the cached tail go to the file.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrel::merlin {

class FlvOutputFile {
public:
    static constexpr std::size_t kCacheSize = 1 << 20;

    FlvOutputFile();
    ~FlvOutputFile();
    FlvOutputFile(const FlvOutputFile&) = delete;
    FlvOutputFile& operator=(const FlvOutputFile&) = delete;

    // Creates or truncates the file (errno kept on failure).
    bool create(const char* path);
    // Writes the 13-byte file header (with the first previous-tag-size).
    void writeFileHeader(std::uint8_t typeFlags);
    // Appends a tag of dataSize bytes: header, zeroed data area, previous
    // tag size. Returns the file position of the data area.
    std::uint64_t appendTag(std::uint8_t type, std::uint32_t dataSize, std::uint32_t timestampMs);
    // Writes bytes at pos, which must lie inside data already appended.
    void writeAt(std::uint64_t pos, std::span<const std::uint8_t> bytes);
    // Rewrites the type-flags byte of the file header.
    void setTypeFlags(std::uint8_t typeFlags);
    // Writes the cached tail out; false when any write failed so far.
    bool flush();
    // Flushes and closes; false when any write failed.
    bool close();

    std::uint64_t size() const { return end_; }
    bool ok() const { return ok_; }
    bool isOpen() const { return fd_ >= 0; }

private:
    void writeToFile(std::uint64_t pos, const std::uint8_t* data, std::size_t n);

    int fd_ = -1;
    bool ok_ = true;
    std::unique_ptr<std::uint8_t[]> cache_;
    std::uint64_t cacheStart_ = 0;  // the cache holds [cacheStart_, end_)
    std::uint64_t end_ = 0;         // logical length of the file
};

}  // namespace kestrel::merlin
