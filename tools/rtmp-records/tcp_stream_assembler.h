#pragma once
// Puts the segments of one direction of a TCP connection back into stream
// order, as a recorder that saw the whole capture would: sequence numbers
// become 64-bit stream positions (so a stream that crosses 2^32 stays in
// order), repeated bytes (retransmissions, overlaps) are kept once, and a
// hole in the sequence space is reported on the piece that follows it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel::rtmprecords {

struct StreamPiece {
    std::uint64_t offset = 0;  // from the first byte of the stream
    bool afterGap = false;     // bytes were missing before this piece
    std::span<const std::uint8_t> bytes;
};

class TcpStreamAssembler {
public:
    // The sequence number of the SYN of this direction, when it was seen:
    // the stream then starts at isn + 1, and bytes missing at the start count
    // as a gap.
    void setInitialSequence(std::uint32_t isn) { isn_ = isn; }

    // Adds a segment's payload, in capture order. The bytes are copied.
    void add(std::uint32_t sequence, std::span<const std::uint8_t> payload);

    // The stream in order; each piece is the new bytes of one segment. The
    // data segments listed in drop (indexes in stream order, counted before
    // repeats are removed) are left out, as if the capture had lost them.
    // dropped (optional) receives the stream ranges [from, to) of the
    // segments left out.
    struct Range {
        std::uint64_t from = 0;
        std::uint64_t to = 0;
    };
    std::vector<StreamPiece> assemble(std::span<const std::size_t> drop = {},
                                      std::vector<Range>* dropped = nullptr) const;

    std::size_t segmentCount() const { return segments_.size(); }

private:
    struct Segment {
        std::uint64_t position = 0;
        std::size_t order = 0;
        std::vector<std::uint8_t> payload;
    };
    std::vector<Segment> segments_;
    std::optional<std::uint32_t> isn_;
    std::uint32_t firstSequence_ = 0;
    std::uint32_t lastSequence_ = 0;
    std::uint64_t lastPosition_ = 0;
};

}  // namespace kestrel::rtmprecords
