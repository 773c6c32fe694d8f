#pragma once
// Which bytes of a response body have arrived, so that a download ends when
// every byte of its Content-Length is there, not when retransmissions have
// added up to that many bytes.
//
// Positions are 64-bit offsets into the body. A fixed number of separate
// ranges is kept; a range that would need one more is not counted (a lower
// count only makes an item wait longer, never end with a hole).

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrel::osprey {

class BodyCoverage {
public:
    static constexpr std::size_t kMaxRanges = 64;

    // Adds [begin, end) clipped to [0, limit) (limit < 0: no limit);
    // returns the bytes that were not covered before.
    std::uint64_t add(std::int64_t begin, std::int64_t end, std::int64_t limit);
    std::uint64_t covered() const { return covered_; }
    std::size_t ranges() const { return count_; }
    void clear() {
        count_ = 0;
        covered_ = 0;
    }

private:
    struct Range {
        std::int64_t begin;
        std::int64_t end;
    };
    std::array<Range, kMaxRanges> ranges_{};
    std::size_t count_ = 0;
    std::uint64_t covered_ = 0;
};

// Turns 32-bit TCP sequence numbers into 64-bit offsets from a start
// sequence number: each number is placed by its signed distance from the
// previous one, so a body longer than 4 GiB or one that crosses 2^32 keeps
// growing offsets.
class SequenceUnwrapper {
public:
    void start(std::uint32_t sequence) {
        start_ = sequence;
        last_ = sequence;
        lastOffset_ = 0;
    }
    std::uint32_t startSequence() const { return start_; }
    std::int64_t offsetOf(std::uint32_t sequence) {
        lastOffset_ += static_cast<std::int32_t>(sequence - last_);
        last_ = sequence;
        return lastOffset_;
    }

private:
    std::uint32_t start_ = 0;
    std::uint32_t last_ = 0;
    std::int64_t lastOffset_ = 0;
};

}  // namespace kestrel::osprey
