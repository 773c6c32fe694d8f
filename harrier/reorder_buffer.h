#pragma once
// The reorder buffer of a capture item: the server-to-client segments of one
// TCP connection, as captured (out of order, repeated, overlapping), become
// records of the stream in TCP order.
//
// Segments are kept sorted by their place in the stream, without overlaps:
// a longer copy of a segment replaces a shorter one, a segment whose bytes
// are all there already is dropped, and where two overlap the earlier one
// is cut where the later one starts. A segment is written once the segment
// after it is known to follow it without a hole; the last of such a run
// stays buffered, so that a longer copy of it can still replace it. When a
// hole stays open until kCapacity segments wait, the oldest is written and
// the stream goes on after the hole: the record after a hole carries the
// gap flag.
//
// Sequence numbers are unwrapped into 64-bit stream positions (each against
// the last segment kept, by the signed 32-bit difference), so a stream that
// crosses 2^32 keeps its order.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kestrel::harrier {

struct StreamPacket {
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> bytes;  // the segment's payload as captured

    // Set by the buffer: the part of bytes still to be written and its
    // place in the stream.
    std::uint64_t position = 0;
    std::size_t begin = 0;
    std::size_t length = 0;
    bool playStop = false;  // the part holds the play-stop status

    std::span<const std::uint8_t> payload() const { return {bytes.data() + begin, length}; }
    std::uint64_t end() const { return position + length; }
};
using PacketPtr = std::unique_ptr<StreamPacket>;

// Where the records go. flags is 0 or the gap flag (0x20); position is
// the payload's place in the stream (positions as the buffer counts them).
class RecordSink {
public:
    virtual ~RecordSink() = default;
    virtual void writeRecord(std::uint8_t flags, std::uint64_t position, std::span<const std::uint8_t> payload) = 0;
};

class ReorderBuffer {
public:
    static constexpr std::size_t kCapacity = 100;
    static constexpr std::uint8_t kGapFlag = 0x20;

    explicit ReorderBuffer(RecordSink& sink) : sink_(sink) { packets_.reserve(kCapacity + 1); }

    // Takes a segment. The first one ever fixes where the stream starts:
    // bytes before it are never written.
    void insert(PacketPtr packet);

    struct FlushResult {
        bool playStopSeen = false;  // a written segment held the play-stop status
        bool overflowed = false;    // a hole stayed open: the oldest segment was written
    };
    // Writes what can be written: the oldest segment when kCapacity wait
    // (flushOverflow), then the run of segments that follow each other
    // without a hole but its last (flushRun). Stops after a segment that
    // holds the play-stop status; that one stays first in the buffer.
    FlushResult flushStep();
    FlushResult flushOverflow();
    FlushResult flushRun();

    // The first buffered segment holds the play-stop status.
    bool firstHoldsPlayStop() const { return !packets_.empty() && packets_.front()->playStop; }
    // Writes the first buffered segment (it stays buffered).
    void writeFirst();
    // Writes every buffered segment in order and empties the buffer.
    void flushAll();

    std::size_t size() const { return packets_.size(); }
    const StreamPacket& at(std::size_t i) const { return *packets_[i]; }
    // The stream position after the last byte written.
    std::uint64_t writtenEnd() const { return writtenEnd_; }
    // The stream position of the first segment's first byte.
    static constexpr std::uint64_t startPosition() { return std::uint64_t{1} << 40; }
    bool started() const { return started_; }

    // Segments the buffer is done with, for reuse of their storage.
    std::vector<PacketPtr>& released() { return released_; }

private:
    void write(const StreamPacket& packet);
    void release(PacketPtr packet);
    void trimFront(StreamPacket& packet, std::uint64_t newPosition);
    void trimEnd(StreamPacket& packet, std::uint64_t newEnd);

    RecordSink& sink_;
    std::vector<PacketPtr> packets_;  // sorted by position, no overlaps
    std::vector<PacketPtr> released_;
    bool started_ = false;
    std::uint32_t referenceSequence_ = 0;
    std::uint64_t referencePosition_ = 0;
    std::uint64_t writtenEnd_ = 0;
};

}  // namespace kestrel::harrier
