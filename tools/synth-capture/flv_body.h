#pragma once
// Deterministic FLV bodies for synthetic downloads: a real FLV file header,
// an onMetaData script tag, then audio and video tags whose headers are well
// formed and whose data is pseudo-random. The body is produced as a stream
// of exactly the requested size, in pieces of any length, so a generator can
// write it straight into packet payloads without holding it in memory.

#include <cstddef>
#include <cstdint>

namespace kestrel::synth {

// xoshiro256** seeded through splitmix64: fast, and the same sequence on
// every machine for the same seed.
class Random {
public:
    explicit Random(std::uint64_t seed);
    std::uint64_t next();
    std::uint32_t below(std::uint32_t bound);  // 0 .. bound-1, bound > 0
    void fill(std::uint8_t* out, std::size_t n);

private:
    std::uint64_t s_[4];
    std::uint64_t spare_ = 0;     // unused bytes of the last word, low first
    unsigned spareBytes_ = 0;
};

// A seed of its own for download `index` of a run with `seed`.
std::uint64_t bodySeed(std::uint64_t seed, std::uint32_t index);

class FlvBodyGenerator {
public:
    FlvBodyGenerator(std::uint64_t size, std::uint64_t seed);

    // Writes the next n bytes of the body; n must not exceed remaining().
    void fill(std::uint8_t* out, std::size_t n);
    std::uint64_t remaining() const { return remaining_; }

private:
    void startNextTag();
    void queueFixed(const std::uint8_t* bytes, std::size_t n);

    Random random_;
    std::uint64_t remaining_;          // bytes still to produce
    std::uint64_t unplanned_;          // bytes not yet laid out into tags
    // What the current tag still has to emit, in order: fixedHead_, then
    // randomLeft_ random bytes, then fixedTail_.
    std::uint8_t fixedHead_[128] = {};
    std::size_t headLen_ = 0, headPos_ = 0;
    std::uint64_t randomLeft_ = 0;
    std::uint8_t fixedTail_[4] = {};
    std::size_t tailLen_ = 0, tailPos_ = 0;
    bool headerDone_ = false;
    bool metadataDone_ = false;
    std::uint32_t audioTime_ = 0, videoTime_ = 0;
};

}  // namespace kestrel::synth
