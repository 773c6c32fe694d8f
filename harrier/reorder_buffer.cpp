#include "harrier/reorder_buffer.h"

#include <algorithm>

#include "harrier/live_rules.h"

namespace kestrel::harrier {

void ReorderBuffer::release(PacketPtr packet) {
    if (packet) released_.push_back(std::move(packet));
}

void ReorderBuffer::trimFront(StreamPacket& p, std::uint64_t newPosition) {
    const auto cut = static_cast<std::size_t>(newPosition - p.position);
    p.begin += cut;
    p.length -= cut;
    p.position = newPosition;
    p.playStop = holdsPlayStop(p.payload());
}

void ReorderBuffer::trimEnd(StreamPacket& p, std::uint64_t newEnd) {
    p.length = static_cast<std::size_t>(newEnd - p.position);
    p.playStop = holdsPlayStop(p.payload());
}

void ReorderBuffer::insert(PacketPtr packet) {
    if (!packet) return;
    StreamPacket& p = *packet;
    p.begin = 0;
    p.length = p.bytes.size();
    if (p.length == 0) return release(std::move(packet));
    if (!started_) {
        started_ = true;
        referenceSequence_ = p.sequence;
        // Far from 0, so that segments from before the first one
        // (retransmissions of older bytes) still get a position.
        referencePosition_ = startPosition();
        writtenEnd_ = startPosition();
    }
    const auto delta = static_cast<std::int32_t>(p.sequence - referenceSequence_);
    p.position = referencePosition_ + static_cast<std::uint64_t>(static_cast<std::int64_t>(delta));
    // Bytes up to writtenEnd_ are in the file (or before the stream's start).
    if (p.end() <= writtenEnd_) return release(std::move(packet));
    p.playStop = false;
    if (p.position < writtenEnd_)
        trimFront(p, writtenEnd_);
    else
        p.playStop = holdsPlayStop(p.payload());

    // The last buffered segment that starts at or before the new one.
    auto after = std::upper_bound(packets_.begin(), packets_.end(), p.position,
                                  [](std::uint64_t pos, const PacketPtr& q) { return pos < q->position; });
    std::size_t index = static_cast<std::size_t>(after - packets_.begin());
    if (index > 0) {
        StreamPacket& q = *packets_[index - 1];
        if (q.position == p.position) {
            if (p.length <= q.length) return release(std::move(packet));
            // A longer copy of the same segment replaces it.
            std::swap(packets_[index - 1], packet);
            release(std::move(packet));
            --index;
        } else if (q.end() > p.position) {
            if (p.end() <= q.end()) return release(std::move(packet));
            trimEnd(q, p.position);
            packets_.insert(packets_.begin() + static_cast<std::ptrdiff_t>(index), std::move(packet));
        } else {
            packets_.insert(packets_.begin() + static_cast<std::ptrdiff_t>(index), std::move(packet));
        }
    } else {
        packets_.insert(packets_.begin(), std::move(packet));
    }
    StreamPacket& placed = *packets_[index];
    referenceSequence_ = placed.sequence;
    referencePosition_ = placed.position - placed.begin;
    // Segments the new one covers whole go; one it reaches into cuts it.
    while (index + 1 < packets_.size()) {
        StreamPacket& next = *packets_[index + 1];
        if (placed.end() <= next.position) break;
        if (placed.end() >= next.end()) {
            release(std::move(packets_[index + 1]));
            packets_.erase(packets_.begin() + static_cast<std::ptrdiff_t>(index + 1));
            continue;
        }
        trimEnd(placed, next.position);
        break;
    }
}

void ReorderBuffer::write(const StreamPacket& packet) {
    const std::uint8_t flags = packet.position != writtenEnd_ ? kGapFlag : 0;
    sink_.writeRecord(flags, packet.position, packet.payload());
    writtenEnd_ = packet.end();
}

void ReorderBuffer::writeFirst() {
    if (!packets_.empty()) write(*packets_.front());
}

ReorderBuffer::FlushResult ReorderBuffer::flushStep() {
    const FlushResult overflow = flushOverflow();
    if (overflow.playStopSeen) return overflow;
    FlushResult run = flushRun();
    run.overflowed = overflow.overflowed;
    return run;
}

ReorderBuffer::FlushResult ReorderBuffer::flushOverflow() {
    FlushResult result;
    while (packets_.size() >= kCapacity) {
        result.overflowed = true;
        write(*packets_.front());
        if (packets_.front()->playStop) {
            result.playStopSeen = true;
            return result;
        }
        release(std::move(packets_.front()));
        packets_.erase(packets_.begin());
    }
    return result;
}

ReorderBuffer::FlushResult ReorderBuffer::flushRun() {
    FlushResult result;
    std::size_t run = 0;
    while (run + 1 < packets_.size() && packets_[run]->end() == packets_[run + 1]->position) ++run;
    std::size_t written = 0;
    for (; written < run; ++written) {
        write(*packets_[written]);
        if (packets_[written]->playStop) {
            result.playStopSeen = true;
            break;
        }
    }
    for (std::size_t i = 0; i < written; ++i) release(std::move(packets_[i]));
    packets_.erase(packets_.begin(), packets_.begin() + static_cast<std::ptrdiff_t>(written));
    return result;
}

void ReorderBuffer::flushAll() {
    for (auto& p : packets_) {
        write(*p);
        release(std::move(p));
    }
    packets_.clear();
}

}  // namespace kestrel::harrier
