#include "merlin/stream_record.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/byte_reader.h"

namespace kestrel::merlin {

namespace {

constexpr std::size_t kReadBufferSize = 32 * 1024;  // small enough to stay in the L1 cache
constexpr std::size_t kWriteBufferSize = 256 * 1024;

// read() until n bytes or end of file; -1 on error.
ssize_t readFully(int fd, std::uint8_t* out, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t r = ::read(fd, out + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

bool writeFully(int fd, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool fileLength(int fd, std::uint64_t& length) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode) || st.st_size < 0) {
        errno = EINVAL;
        return false;
    }
    length = static_cast<std::uint64_t>(st.st_size);
    return true;
}

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO from blocking
// the open until a writer comes; fileLength() then refuses it.
int openRegularFile(const char* path, std::uint64_t& length) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    const int flags = ::fcntl(fd, F_GETFL);
    if (!fileLength(fd, length) || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

std::array<std::uint8_t, kRecordHeaderSize> encodeRecordHeader(std::uint8_t flags, std::size_t length) {
    return {flags, static_cast<std::uint8_t>(length & 0xFF), static_cast<std::uint8_t>((length >> 8) & 0xFF)};
}

// ---------------------------------------------------------------- reader

StreamRecordReader::StreamRecordReader() : buffer_(new std::uint8_t[kReadBufferSize]) {}

StreamRecordReader::~StreamRecordReader() {
    close();
}

bool StreamRecordReader::open(const char* path) {
    close();
    fd_ = openRegularFile(path, length_);
    if (fd_ < 0) return false;
    position_ = 0;
    fileRead_ = 0;
    endsInsideRecord_ = false;
    begin_ = end_ = 0;
    return true;
}

void StreamRecordReader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    begin_ = end_ = 0;
}

bool StreamRecordReader::fill(std::size_t n, std::size_t& available) {
    available = end_ - begin_;
    if (available >= n) return true;
    if (begin_ > 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, available);
        begin_ = 0;
        end_ = available;
    }
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kReadBufferSize - end_, length_ - fileRead_));
    ssize_t r = readFully(fd_, buffer_.get() + end_, want);
    if (r < 0) return false;
    end_ += static_cast<std::size_t>(r);
    fileRead_ += static_cast<std::uint64_t>(r);
    available = end_ - begin_;
    return true;
}

RecordStatus StreamRecordReader::next(StreamRecord& record, std::span<std::uint8_t> payload) {
    record = StreamRecord{};
    if (fd_ < 0 || payload.size() < kMaxRecordPayload) return RecordStatus::Error;
    std::size_t available = 0;
    if (!fill(kRecordHeaderSize, available)) return RecordStatus::Error;
    if (available < kRecordHeaderSize) {
        // One or two stray bytes cannot hold a record: the source ends here.
        if (available > 0) endsInsideRecord_ = true;
        position_ += available;
        begin_ = end_;
        return RecordStatus::End;
    }
    ByteReader header({buffer_.get() + begin_, kRecordHeaderSize});
    record.flags = header.u8();
    const std::size_t length = header.le16();
    begin_ += kRecordHeaderSize;
    position_ += kRecordHeaderSize;

    std::size_t copied = 0;
    while (copied < length) {
        if (begin_ == end_) {
            if (!fill(1, available)) return RecordStatus::Error;
            if (available == 0) break;
        }
        std::size_t n = std::min(length - copied, end_ - begin_);
        std::memcpy(payload.data() + copied, buffer_.get() + begin_, n);
        begin_ += n;
        copied += n;
    }
    position_ += copied;
    record.length = static_cast<std::uint32_t>(copied);
    record.truncated = copied < length;
    if (record.truncated) endsInsideRecord_ = true;
    return RecordStatus::Record;
}

bool StreamRecordReader::rewind() {
    if (fd_ < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return false;
    position_ = 0;
    fileRead_ = 0;
    endsInsideRecord_ = false;
    begin_ = end_ = 0;
    return true;
}

// ---------------------------------------------------------------- raw reader

RawStreamReader::~RawStreamReader() {
    close();
}

bool RawStreamReader::open(const char* path) {
    close();
    fd_ = openRegularFile(path, length_);
    if (fd_ < 0) return false;
    position_ = 0;
    return true;
}

void RawStreamReader::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawStreamReader::setGapOffsets(std::vector<std::uint64_t> offsets) {
    std::sort(offsets.begin(), offsets.end());
    offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
    gaps_ = std::move(offsets);
    nextGap_ = 0;
    while (nextGap_ < gaps_.size() && gaps_[nextGap_] < position_) ++nextGap_;
}

RecordStatus RawStreamReader::next(StreamRecord& record, std::span<std::uint8_t> payload) {
    record = StreamRecord{};
    if (fd_ < 0 || payload.size() < kMaxRecordPayload) return RecordStatus::Error;
    std::size_t want = kMaxRecordPayload;
    if (nextGap_ < gaps_.size() && gaps_[nextGap_] == position_) {
        record.flags = kRecordGap;
        ++nextGap_;
    }
    if (nextGap_ < gaps_.size() && gaps_[nextGap_] - position_ < want)
        want = static_cast<std::size_t>(gaps_[nextGap_] - position_);
    want = static_cast<std::size_t>(std::min<std::uint64_t>(want, length_ - std::min(position_, length_)));
    ssize_t r = readFully(fd_, payload.data(), want);
    if (r < 0) return RecordStatus::Error;
    if (r == 0) return RecordStatus::End;
    record.length = static_cast<std::uint32_t>(r);
    position_ += static_cast<std::uint64_t>(r);
    return RecordStatus::Record;
}

bool RawStreamReader::rewind() {
    if (fd_ < 0 || ::lseek(fd_, 0, SEEK_SET) != 0) return false;
    position_ = 0;
    nextGap_ = 0;
    return true;
}

// ---------------------------------------------------------------- writer

StreamRecordWriter::StreamRecordWriter() : buffer_(new std::uint8_t[kWriteBufferSize]) {}

StreamRecordWriter::~StreamRecordWriter() {
    close();
}

bool StreamRecordWriter::create(const char* path) {
    close();
    fd_ = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok_ = fd_ >= 0;
    written_ = 0;
    used_ = 0;
    return ok_;
}

bool StreamRecordWriter::flush() {
    if (used_ == 0) return ok_;
    if (fd_ < 0 || !writeFully(fd_, buffer_.get(), used_)) ok_ = false;
    used_ = 0;
    return ok_;
}

bool StreamRecordWriter::write(std::uint8_t flags, std::span<const std::uint8_t> payload) {
    if (fd_ < 0) return ok_ = false;
    do {
        const std::size_t n = std::min(payload.size(), kMaxRecordPayload);
        if (kWriteBufferSize - used_ < kRecordHeaderSize + n && !flush()) return false;
        auto header = encodeRecordHeader(flags, n);
        std::memcpy(buffer_.get() + used_, header.data(), header.size());
        if (n > 0) std::memcpy(buffer_.get() + used_ + kRecordHeaderSize, payload.data(), n);
        used_ += kRecordHeaderSize + n;
        written_ += kRecordHeaderSize + n;
        payload = payload.subspan(n);
        flags = 0;
    } while (!payload.empty());
    return ok_;
}

bool StreamRecordWriter::close() {
    if (fd_ < 0) return ok_;
    flush();
    if (::close(fd_) != 0) ok_ = false;
    fd_ = -1;
    return ok_;
}

}  // namespace kestrel::merlin
