// libFuzzer target: a capture item's reorder buffer fed the segments of one
// TCP stream in any order, repeated, overlapping and with holes, as the
// capture item thread feeds it.
//
// Input: the first segment's sequence number (4 bytes, big-endian, so that
// streams cross 2^32), an options byte (bit 0: flush everything at the
// end; bit 1: the stream holds the play-stop status at the offset in the
// next two bytes), then segments of the stream, each a 2-byte big-endian
// offset and a 2-byte big-endian length (at most 4096). At most 8 KiB.
//
// Checked besides memory safety: every record holds the stream's bytes at
// the place it says; records never go back or write a byte twice; a record
// carries the gap flag exactly when bytes before it were skipped; the
// buffer never holds more than its capacity, in order and without
// overlaps; and when no hole made the buffer overflow, everything delivered
// from the first segment on is written once everything is flushed.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "harrier/reorder_buffer.h"
#include "platform/byte_reader.h"

namespace {

constexpr const char* kTarget = "harrier_reorder_fuzz";
constexpr std::size_t kMaxInput = 8 * 1024;
constexpr std::size_t kMaxSegment = 4096;
constexpr std::size_t kStreamSize = 65536 + kMaxSegment;

using kestrel::fuzz::broken;
namespace harrier = kestrel::harrier;

// Bytes that differ by position and never hold a 0x02, so that a play-stop
// status is only where the input puts one.
std::vector<std::uint8_t> makeStream(bool withStop, std::size_t stopAt) {
    static const std::vector<std::uint8_t> plain = [] {
        std::vector<std::uint8_t> s(kStreamSize);
        for (std::size_t i = 0; i < s.size(); ++i) {
            const auto b = static_cast<std::uint8_t>((static_cast<std::uint32_t>(i) * 2654435761u) >> 24);
            s[i] = b == 0x02 ? 0x03 : b;
        }
        return s;
    }();
    std::vector<std::uint8_t> s = plain;
    if (withStop) {
        static const char status[] = "\x02\x00\x13NetStream.Play.Stop";
        for (std::size_t i = 0; i + 1 < sizeof status && stopAt + i < s.size(); ++i)
            s[stopAt + i] = static_cast<std::uint8_t>(status[i]);
    }
    return s;
}

class CheckingSink : public harrier::RecordSink {
public:
    CheckingSink(const std::vector<std::uint8_t>& stream, std::vector<std::uint8_t>& written)
        : stream_(stream), written_(written) {}
    // The stream offset of the first segment.
    void start(std::size_t first) {
        first_ = first;
        end_ = first;
    }

    void writeRecord(std::uint8_t flags, std::uint64_t position, std::span<const std::uint8_t> payload) override {
        const std::uint64_t start = harrier::ReorderBuffer::startPosition();
        if (position < start) broken(kTarget, "a record from before the stream's start");
        const std::uint64_t offset = position - start + first_;
        if (offset < end_) broken(kTarget, "a record goes back or writes a byte twice");
        if (offset + payload.size() > stream_.size()) broken(kTarget, "a record reaches past the stream");
        const bool gap = offset != end_;
        if (flags != (gap ? harrier::ReorderBuffer::kGapFlag : 0)) broken(kTarget, "a wrong gap flag");
        for (std::size_t i = 0; i < payload.size(); ++i) {
            const auto at = static_cast<std::size_t>(offset) + i;
            if (payload[i] != stream_[at]) broken(kTarget, "a record's bytes are not the stream's");
            written_[at] = 1;
        }
        end_ = offset + payload.size();
    }

private:
    const std::vector<std::uint8_t>& stream_;
    std::vector<std::uint8_t>& written_;
    std::uint64_t first_ = 0;
    std::uint64_t end_ = 0;
};

void checkBuffer(const harrier::ReorderBuffer& buffer) {
    if (buffer.size() >= harrier::ReorderBuffer::kCapacity) broken(kTarget, "the buffer holds more than its capacity");
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        const auto& p = buffer.at(i);
        if (p.length == 0 || p.begin + p.length > p.bytes.size()) broken(kTarget, "a buffered segment lies outside its bytes");
        if (i > 0 && buffer.at(i - 1).end() > p.position) broken(kTarget, "buffered segments overlap or are out of order");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    const std::uint32_t base = in.be32();
    const std::uint8_t options = in.u8();
    const std::size_t stopAt = in.be16();
    if (!in.ok()) return 0;
    const auto stream = makeStream((options & 0x02) != 0, stopAt);

    std::vector<std::uint8_t> delivered(stream.size(), 0), written(stream.size(), 0);
    CheckingSink sink(stream, written);
    harrier::ReorderBuffer buffer(sink);
    bool started = false, overflowed = false, stopped = false;
    std::size_t first = 0;
    while (in.has(4) && !stopped) {
        const std::size_t offset = in.be16();
        const std::size_t length = in.be16() % (kMaxSegment + 1);
        if (length > 0 && !started) {
            started = true;
            first = offset;
            sink.start(offset);
        }
        if (started && offset + length > first) {
            const std::size_t from = std::max(offset, first);
            std::fill(delivered.begin() + static_cast<std::ptrdiff_t>(from),
                      delivered.begin() + static_cast<std::ptrdiff_t>(offset + length), std::uint8_t{1});
        }
        auto packet = std::make_unique<harrier::StreamPacket>();
        packet->sequence = base + static_cast<std::uint32_t>(offset);
        packet->bytes.assign(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                             stream.begin() + static_cast<std::ptrdiff_t>(offset + length));
        buffer.insert(std::move(packet));
        const auto step = buffer.flushStep();
        overflowed = overflowed || step.overflowed;
        stopped = step.playStopSeen;
        // As the capture item does: a play-stop segment waiting first ends it.
        if (!stopped && buffer.firstHoldsPlayStop()) {
            buffer.writeFirst();
            stopped = true;
        }
        buffer.released().clear();
        checkBuffer(buffer);
    }
    if (!(options & 0x01) || stopped) return 0;
    buffer.flushAll();
    if (buffer.size() != 0) broken(kTarget, "segments left after flushing everything");
    if (!overflowed && written != delivered) broken(kTarget, "delivered bytes were not written");
    return 0;
}
