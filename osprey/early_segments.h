#pragma once
// Body segments that arrive before their response header. When the
// segment with the header is lost on the way and sent again, the segments
// after it are captured first; the item that the header makes would never
// see them again. They are kept, within fixed bounds, for connections with
// a request waiting for its answer, until the header decides.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "osprey/engine_tables.h"

namespace kestrel::osprey {

class EarlySegments {
public:
    static constexpr std::size_t kConnections = 16;
    static constexpr std::size_t kSegmentsPerConnection = 128;
    static constexpr std::size_t kBytesPerConnection = 256 * 1024;

    EarlySegments();

    // Keeps a copy when its connection has room; a connection not yet kept
    // takes a free place, or the one kept longest.
    void hold(const Connection& c, std::uint32_t ack, std::uint32_t sequence, std::span<const std::uint8_t> payload);
    // Hands the segments kept for the connection with this acknowledgement
    // number to visit(sequence, bytes), in arrival order, and forgets the
    // connection.
    template <typename Visit>
    void release(const Connection& c, std::uint32_t ack, Visit&& visit) {
        Slot* slot = find(c);
        if (!slot) return;
        const std::uint8_t* area = area_.get() + static_cast<std::size_t>(slot - slots_.data()) * kBytesPerConnection;
        for (std::size_t i = 0; i < slot->count; ++i) {
            const Segment& s = slot->segments[i];
            if (s.ack == ack) visit(s.sequence, std::span<const std::uint8_t>(area + s.offset, s.length));
        }
        slot->used = false;
    }
    void drop(const Connection& c);
    void clear();
    std::size_t heldFor(const Connection& c) const;

private:
    struct Segment {
        std::uint32_t sequence;
        std::uint32_t ack;
        std::uint32_t offset;
        std::uint32_t length;
    };
    struct Slot {
        bool used = false;
        Connection connection;
        std::array<Segment, kSegmentsPerConnection> segments{};
        std::size_t count = 0;
        std::size_t bytes = 0;
    };
    Slot* find(const Connection& c);

    std::array<Slot, kConnections> slots_{};
    std::unique_ptr<std::uint8_t[]> area_;
    std::size_t next_ = 0;
};

}  // namespace kestrel::osprey
