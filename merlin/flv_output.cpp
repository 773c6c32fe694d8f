#include "merlin/flv_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/flv_format.h"

namespace kestrel::merlin {

FlvOutputFile::FlvOutputFile() : cache_(new std::uint8_t[kCacheSize]) {}

FlvOutputFile::~FlvOutputFile() {
    close();
}

bool FlvOutputFile::create(const char* path) {
    close();
    fd_ = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok_ = fd_ >= 0;
    cacheStart_ = end_ = 0;
    return ok_;
}

void FlvOutputFile::writeToFile(std::uint64_t pos, const std::uint8_t* data, std::size_t n) {
    while (n > 0 && ok_) {
        ssize_t w = ::pwrite(fd_, data, n, static_cast<off_t>(pos));
        if (w < 0) {
            if (errno == EINTR) continue;
            ok_ = false;
            return;
        }
        data += w;
        pos += static_cast<std::uint64_t>(w);
        n -= static_cast<std::size_t>(w);
    }
}

bool FlvOutputFile::flush() {
    if (fd_ < 0) return false;
    if (end_ > cacheStart_) writeToFile(cacheStart_, cache_.get(), static_cast<std::size_t>(end_ - cacheStart_));
    cacheStart_ = end_;
    return ok_;
}

void FlvOutputFile::writeFileHeader(std::uint8_t typeFlags) {
    if (end_ != 0) return;  // the header opens the file and nothing else
    const auto header = flv::fileHeader(typeFlags);
    std::memcpy(cache_.get(), header.data(), header.size());
    end_ = header.size();
}

std::uint64_t FlvOutputFile::appendTag(std::uint8_t type, std::uint32_t dataSize, std::uint32_t timestampMs) {
    const auto header = flv::tagHeader(type, dataSize, timestampMs);
    const auto trailer = flv::previousTagSize(dataSize);
    const std::uint64_t total = header.size() + std::uint64_t{dataSize} + trailer.size();
    if (end_ - cacheStart_ + total > kCacheSize) flush();
    const std::uint64_t dataPos = end_ + header.size();
    if (total > kCacheSize) {
        // Larger than the cache: the data area stays a hole in the file,
        // which reads as zero bytes until the payload is written.
        writeToFile(end_, header.data(), header.size());
        writeToFile(dataPos + dataSize, trailer.data(), trailer.size());
        end_ += total;
        cacheStart_ = end_;
        return dataPos;
    }
    std::uint8_t* at = cache_.get() + (end_ - cacheStart_);
    std::memcpy(at, header.data(), header.size());
    std::memset(at + header.size(), 0, dataSize);
    std::memcpy(at + header.size() + dataSize, trailer.data(), trailer.size());
    end_ += total;
    return dataPos;
}

void FlvOutputFile::writeAt(std::uint64_t pos, std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || pos >= end_) return;
    std::size_t n = bytes.size();
    if (n > end_ - pos) n = static_cast<std::size_t>(end_ - pos);
    const std::uint8_t* data = bytes.data();
    if (pos < cacheStart_) {
        std::size_t before = n;
        if (before > cacheStart_ - pos) before = static_cast<std::size_t>(cacheStart_ - pos);
        writeToFile(pos, data, before);
        pos += before;
        data += before;
        n -= before;
    }
    if (n > 0) std::memcpy(cache_.get() + (pos - cacheStart_), data, n);
}

void FlvOutputFile::setTypeFlags(std::uint8_t typeFlags) {
    if (end_ < 5) return;
    writeAt(4, {&typeFlags, 1});
}

bool FlvOutputFile::close() {
    if (fd_ < 0) return ok_;
    flush();
    if (::close(fd_) != 0) ok_ = false;
    fd_ = -1;
    return ok_;
}

}  // namespace kestrel::merlin
