#include "osprey/early_segments.h"

#include <cstring>

namespace kestrel::osprey {

EarlySegments::EarlySegments() : area_(new std::uint8_t[kConnections * kBytesPerConnection]) {}

EarlySegments::Slot* EarlySegments::find(const Connection& c) {
    for (auto& s : slots_)
        if (s.used && s.connection == c) return &s;
    return nullptr;
}

std::size_t EarlySegments::heldFor(const Connection& c) const {
    for (const auto& s : slots_)
        if (s.used && s.connection == c) return s.count;
    return 0;
}

void EarlySegments::hold(const Connection& c, std::uint32_t ack, std::uint32_t sequence,
                         std::span<const std::uint8_t> payload) {
    Slot* slot = find(c);
    if (!slot) {
        for (auto& s : slots_) {
            if (!s.used) {
                slot = &s;
                break;
            }
        }
        if (!slot) {
            slot = &slots_[next_];
            next_ = (next_ + 1) % kConnections;
        }
        slot->used = true;
        slot->connection = c;
        slot->count = 0;
        slot->bytes = 0;
    }
    if (slot->count == kSegmentsPerConnection || payload.size() > kBytesPerConnection - slot->bytes) return;
    std::uint8_t* area = area_.get() + static_cast<std::size_t>(slot - slots_.data()) * kBytesPerConnection;
    std::memcpy(area + slot->bytes, payload.data(), payload.size());
    slot->segments[slot->count++] = {sequence, ack, static_cast<std::uint32_t>(slot->bytes),
                                     static_cast<std::uint32_t>(payload.size())};
    slot->bytes += payload.size();
}

void EarlySegments::drop(const Connection& c) {
    if (Slot* s = find(c)) s->used = false;
}

void EarlySegments::clear() {
    for (auto& s : slots_) s.used = false;
}

}  // namespace kestrel::osprey
