#include "tcp_stream_assembler.h"

#include <algorithm>

namespace kestrel::rtmprecords {

namespace {
// Positions start far from 0 so that segments before the first one seen
// (reordering, or a SYN seen later) still have a position.
constexpr std::uint64_t kOrigin = std::uint64_t{1} << 40;
}  // namespace

void TcpStreamAssembler::add(std::uint32_t sequence, std::span<const std::uint8_t> payload) {
    if (payload.empty()) return;
    std::uint64_t position = 0;
    if (segments_.empty()) {
        position = kOrigin;
        firstSequence_ = sequence;
    } else {
        // Each segment is placed relative to the one before it: the signed
        // 32-bit distance of their sequence numbers, so wrapping is harmless.
        const auto distance = static_cast<std::int32_t>(sequence - lastSequence_);
        position = lastPosition_ + static_cast<std::uint64_t>(static_cast<std::int64_t>(distance));
    }
    lastSequence_ = sequence;
    lastPosition_ = position;
    segments_.push_back(Segment{position, segments_.size(), {payload.begin(), payload.end()}});
}

std::vector<StreamPiece> TcpStreamAssembler::assemble(std::span<const std::size_t> drop,
                                                      std::vector<Range>* dropped) const {
    std::vector<const Segment*> ordered;
    ordered.reserve(segments_.size());
    for (const auto& s : segments_) ordered.push_back(&s);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const Segment* a, const Segment* b) { return a->position < b->position; });

    std::vector<StreamPiece> pieces;
    if (ordered.empty()) return pieces;
    std::uint64_t start = ordered.front()->position;
    std::uint64_t expected = start;
    if (isn_ && !segments_.empty()) {
        // The first payload byte follows the SYN.
        const auto distance = static_cast<std::int32_t>(*isn_ + 1 - firstSequence_);
        expected = kOrigin + static_cast<std::uint64_t>(static_cast<std::int64_t>(distance));
        start = expected;
    }
    bool gap = false;
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        const Segment& s = *ordered[i];
        if (std::find(drop.begin(), drop.end(), i) != drop.end()) {
            if (dropped) dropped->push_back({s.position - start, s.position + s.payload.size() - start});
            continue;
        }
        const std::uint64_t end = s.position + s.payload.size();
        if (end <= expected) continue;  // every byte already there
        if (s.position > expected) gap = true;
        const std::uint64_t from = std::max(s.position, expected);
        StreamPiece piece;
        piece.offset = from - start;
        piece.afterGap = gap;
        piece.bytes = std::span<const std::uint8_t>(s.payload).subspan(static_cast<std::size_t>(from - s.position));
        pieces.push_back(piece);
        gap = false;
        expected = end;
    }
    return pieces;
}

}  // namespace kestrel::rtmprecords
