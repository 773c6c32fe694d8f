#include "merlin/flv_output.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/flv_format.h"

namespace kestrel::merlin {

FlvOutputFile::FlvOutputFile()
    : queue_(new WaitingTag[kQueueCapacity]),
      pool_(new std::uint8_t[std::size_t{kBlockCount} * kBlockSize]),
      nextBlock_(new std::uint32_t[kBlockCount]),
      buffer_(new std::uint8_t[kBufferSize]) {}

FlvOutputFile::~FlvOutputFile() {
    close();
}

bool FlvOutputFile::create(const char* path) {
    close();
    fd_ = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ok_ = fd_ >= 0;
    head_ = tail_ = 0;
    for (std::uint32_t b = 0; b < kBlockCount; ++b) nextBlock_[b] = b + 1 < kBlockCount ? b + 1 : kNoBlock;
    freeBlock_ = 0;
    bufferUsed_ = 0;
    end_ = 0;
    written_ = dropped_ = givenUp_ = 0;
    return ok_;
}

// ---------------------------------------------------------------- file

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

void FlvOutputFile::flushBuffer() {
    if (bufferUsed_ == 0) return;
    if (fd_ < 0) ok_ = false;
    else writeToFile(end_ - bufferUsed_, buffer_.get(), bufferUsed_);
    bufferUsed_ = 0;
}

void FlvOutputFile::emit(const std::uint8_t* data, std::size_t n) {
    if (n > kBufferSize - bufferUsed_) flushBuffer();
    if (n >= kBufferSize) {
        writeToFile(end_, data, n);
    } else {
        std::memcpy(buffer_.get() + bufferUsed_, data, n);
        bufferUsed_ += n;
    }
    end_ += n;
}

void FlvOutputFile::writeFileHeader(std::uint8_t typeFlags) {
    if (end_ != 0) return;  // the header opens the file and nothing else
    const auto header = flv::fileHeader(typeFlags);
    emit(header.data(), header.size());
}

void FlvOutputFile::setTypeFlags(std::uint8_t typeFlags) {
    constexpr std::uint64_t kFlagsAt = 4;
    if (end_ <= kFlagsAt) return;
    const std::uint64_t bufferStart = end_ - bufferUsed_;
    if (kFlagsAt >= bufferStart)
        buffer_[static_cast<std::size_t>(kFlagsAt - bufferStart)] = typeFlags;
    else
        writeToFile(kFlagsAt, &typeFlags, 1);
}

bool FlvOutputFile::close() {
    if (fd_ < 0) return ok_;
    dropOpenTags();
    flushBuffer();
    if (::close(fd_) != 0) ok_ = false;
    fd_ = -1;
    return ok_;
}

// ---------------------------------------------------------------- blocks

bool FlvOutputFile::takeBlock(TagId forTag, std::uint32_t& block) {
    while (freeBlock_ == kNoBlock) {
        // Every block holds bytes that wait behind the oldest open tag.
        if (head_ == tail_) return false;
        const TagId oldest = head_;
        giveUpOldest();
        if (oldest == forTag) return false;
    }
    block = freeBlock_;
    freeBlock_ = nextBlock_[block];
    nextBlock_[block] = kNoBlock;
    return true;
}

void FlvOutputFile::releaseBlocks(WaitingTag& t) {
    if (t.filled == 0) return;
    nextBlock_[t.lastBlock] = freeBlock_;
    freeBlock_ = t.firstBlock;
    t.filled = 0;
}

bool FlvOutputFile::append(TagId tag, WaitingTag& t, const std::uint8_t* data, std::size_t n) {
    while (n > 0) {
        const std::size_t used = t.filled % kBlockSize;
        if (t.filled == 0 || used == 0) {
            std::uint32_t block = 0;
            if (!takeBlock(tag, block)) return false;
            if (t.filled == 0)
                t.firstBlock = block;
            else
                nextBlock_[t.lastBlock] = block;
            t.lastBlock = block;
        }
        const std::size_t k = std::min(n, kBlockSize - used);
        std::uint8_t* at = pool_.get() + std::size_t{t.lastBlock} * kBlockSize + used;
        if (data) {
            std::memcpy(at, data, k);
            data += k;
        } else {
            std::memset(at, 0, k);
        }
        t.filled += static_cast<std::uint32_t>(k);
        n -= k;
    }
    return true;
}

// ---------------------------------------------------------------- tags

FlvOutputFile::WaitingTag* FlvOutputFile::openEntry(TagId tag) {
    if (tag < head_ || tag >= tail_) return nullptr;
    WaitingTag& t = entry(tag);
    return t.state == TagState::Open ? &t : nullptr;
}

FlvOutputFile::TagId FlvOutputFile::openTag(std::uint8_t type, std::uint32_t dataSize, std::uint32_t timestampMs) {
    if (dataSize > kMaxTagData || dataSize > flv::kMaxTagDataSize) {
        ++dropped_;
        return kNoTag;
    }
    while (tail_ - head_ >= kQueueCapacity) giveUpOldest();
    const TagId id = tail_++;
    WaitingTag& t = entry(id);
    t = WaitingTag{};
    t.type = type;
    t.dataSize = dataSize;
    t.timestamp = timestampMs;
    t.state = dataSize == 0 ? TagState::Complete : TagState::Open;
    if (id == head_) writeReadyTags();
    return id;
}

void FlvOutputFile::write(TagId tag, std::uint32_t at, std::span<const std::uint8_t> bytes) {
    WaitingTag* t = openEntry(tag);
    if (!t || at >= t->dataSize) return;
    const std::size_t room = t->dataSize - at;
    bytes = bytes.first(std::min(bytes.size(), room));
    if (at < t->filled) {
        const std::size_t held = t->filled - at;
        if (bytes.size() <= held) return;
        bytes = bytes.subspan(held);
        at = t->filled;
    }
    if (at > t->filled && !append(tag, *t, nullptr, at - t->filled)) return;
    if (!append(tag, *t, bytes.data(), bytes.size())) return;
    if (t->filled == t->dataSize) {
        t->state = TagState::Complete;
        if (tag == head_) writeReadyTags();
    }
}

void FlvOutputFile::drop(WaitingTag& t) {
    releaseBlocks(t);
    t.state = TagState::Dropped;
    ++dropped_;
}

void FlvOutputFile::dropTag(TagId tag) {
    WaitingTag* t = openEntry(tag);
    if (!t) return;
    drop(*t);
    if (tag == head_) writeReadyTags();
}

void FlvOutputFile::giveUpOldest() {
    if (head_ == tail_) return;
    WaitingTag& t = entry(head_);
    if (t.state == TagState::Open) {
        drop(t);
        ++givenUp_;
    }
    writeReadyTags();
}

std::size_t FlvOutputFile::dropOpenTags() {
    std::size_t count = 0;
    for (TagId id = head_; id < tail_; ++id) {
        WaitingTag& t = entry(id);
        if (t.state != TagState::Open) continue;
        drop(t);
        ++count;
    }
    writeReadyTags();
    return count;
}

void FlvOutputFile::writeReadyTags() {
    while (head_ < tail_) {
        WaitingTag& t = entry(head_);
        if (t.state == TagState::Open) return;
        if (t.state == TagState::Complete) {
            writeTag(head_, t);
            releaseBlocks(t);
            t.state = TagState::Dropped;  // the entry is free again
        }
        ++head_;
    }
}

void FlvOutputFile::writeTag(TagId tag, const WaitingTag& t) {
    const std::uint64_t at = end_;
    const auto header = flv::tagHeader(t.type, t.dataSize, t.timestamp);
    emit(header.data(), header.size());
    std::uint32_t block = t.firstBlock;
    for (std::size_t left = t.dataSize; left > 0 && block != kNoBlock; block = nextBlock_[block]) {
        const std::size_t n = std::min(left, kBlockSize);
        emit(pool_.get() + std::size_t{block} * kBlockSize, n);
        left -= n;
    }
    const auto trailer = flv::previousTagSize(t.dataSize);
    emit(trailer.data(), trailer.size());
    ++written_;
    if (listener_) listener_->tagWritten(tag, at);
}

}  // namespace kestrel::merlin
