#pragma once
// The FLV file a conversion writes.
//
// Messages of different chunk streams arrive interleaved, so a tag is opened
// when its message starts (which fixes its place among the tags) and filled
// as the message's bytes come. A tag reaches the file once it is complete
// and every tag opened before it has been written or dropped; until then its
// bytes wait in a fixed pool of blocks. A tag whose message is abandoned is
// dropped and leaves nothing in the file. So the file holds only bytes that
// were received: a header that announces a large message costs nothing until
// the message's bytes come, and a message that never ends leaves no tag.
//
// The pool and the queue of waiting tags are bounded. When either is full,
// the oldest open tag is given up (dropped): no stream interleaves megabytes
// of other messages into one of its messages, so that message is not going
// to end. Memory does not depend on the stream; nothing is allocated after
// construction.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kestrel::merlin {

// Told where each tag landed, for tools that relate output to input.
class TagWriteListener {
public:
    virtual ~TagWriteListener() = default;
    // The tag that openTag numbered `tag` was written at outputPos (the
    // position of its tag header). A dropped tag is never reported.
    virtual void tagWritten(std::uint64_t tag, std::uint64_t outputPos) = 0;
};

class FlvOutputFile {
public:
    using TagId = std::uint64_t;  // tags are numbered from 0 in the order they are opened
    static constexpr TagId kNoTag = UINT64_MAX;
    static constexpr std::size_t kBlockSize = 1024;
    static constexpr std::uint32_t kBlockCount = 4096;  // 4 MiB of waiting bytes
    static constexpr std::size_t kQueueCapacity = 4096;
    static constexpr std::size_t kBufferSize = 64 * 1024;
    // The largest tag that can wait: one that fills the pool alone.
    static constexpr std::uint32_t kMaxTagData = kBlockSize * kBlockCount;

    FlvOutputFile();
    ~FlvOutputFile();
    FlvOutputFile(const FlvOutputFile&) = delete;
    FlvOutputFile& operator=(const FlvOutputFile&) = delete;

    // Creates or truncates the file (errno kept on failure).
    bool create(const char* path);
    // Writes the 13-byte file header (with the first previous-tag-size).
    void writeFileHeader(std::uint8_t typeFlags);
    // Opens a tag of dataSize bytes, the size its message announced. A tag
    // larger than kMaxTagData is refused (kNoTag) and counts as dropped.
    TagId openTag(std::uint8_t type, std::uint32_t dataSize, std::uint32_t timestampMs);
    // Writes bytes at data offset `at` of an open tag. Offsets only grow:
    // bytes skipped over are zero (the count of an ECMA array), bytes before
    // what the tag holds and bytes past its size are ignored. The tag is
    // complete when its last byte is written. Writes to a tag that is
    // complete, dropped or unknown are ignored.
    void write(TagId tag, std::uint32_t at, std::span<const std::uint8_t> bytes);
    // The tag's message was abandoned: the tag is left out. Ignored for a
    // tag that is already complete.
    void dropTag(TagId tag);
    // Drops every tag still open (the stream ended inside their messages)
    // and writes those that waited behind them; returns how many it dropped.
    std::size_t dropOpenTags();
    // Rewrites the type-flags byte of the file header.
    void setTypeFlags(std::uint8_t typeFlags);
    // Drops the open tags, writes everything out and closes; false when any
    // write failed.
    bool close();

    // Optional; must outlive the writes it hears of.
    void setListener(TagWriteListener* listener) { listener_ = listener; }

    std::uint64_t size() const { return end_; }  // bytes of the file so far
    std::uint64_t tagsWritten() const { return written_; }
    std::uint64_t tagsDropped() const { return dropped_; }
    // Of the dropped tags, those given up because too much waited behind them.
    std::uint64_t tagsGivenUp() const { return givenUp_; }
    bool ok() const { return ok_; }
    bool isOpen() const { return fd_ >= 0; }

private:
    enum class TagState : std::uint8_t { Open, Complete, Dropped };
    struct WaitingTag {
        std::uint8_t type = 0;
        TagState state = TagState::Dropped;
        std::uint32_t dataSize = 0;
        std::uint32_t timestamp = 0;
        std::uint32_t filled = 0;  // data bytes held, from the start of the data
        std::uint32_t firstBlock = 0;
        std::uint32_t lastBlock = 0;
    };
    static constexpr std::uint32_t kNoBlock = UINT32_MAX;

    WaitingTag* openEntry(TagId tag);
    WaitingTag& entry(TagId tag) { return queue_[static_cast<std::size_t>(tag % kQueueCapacity)]; }
    // Appends n bytes (zeros when data is null); false when the tag was given up.
    bool append(TagId tag, WaitingTag& t, const std::uint8_t* data, std::size_t n);
    bool takeBlock(TagId forTag, std::uint32_t& block);
    void releaseBlocks(WaitingTag& t);
    void drop(WaitingTag& t);
    void giveUpOldest();
    void writeReadyTags();
    void writeTag(TagId tag, const WaitingTag& t);
    void emit(const std::uint8_t* data, std::size_t n);
    void flushBuffer();
    void writeToFile(std::uint64_t pos, const std::uint8_t* data, std::size_t n);

    int fd_ = -1;
    bool ok_ = true;
    TagWriteListener* listener_ = nullptr;

    // Waiting tags: [head_, tail_) in the order they were opened. The head
    // is always open: complete and dropped tags at the head leave at once.
    std::unique_ptr<WaitingTag[]> queue_;
    TagId head_ = 0;
    TagId tail_ = 0;
    std::unique_ptr<std::uint8_t[]> pool_;
    std::unique_ptr<std::uint32_t[]> nextBlock_;
    std::uint32_t freeBlock_ = kNoBlock;

    std::unique_ptr<std::uint8_t[]> buffer_;  // the file's last bufferUsed_ bytes, not yet written
    std::size_t bufferUsed_ = 0;
    std::uint64_t end_ = 0;  // logical length of the file

    std::uint64_t written_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t givenUp_ = 0;
};

}  // namespace kestrel::merlin
