#include "osprey/body_coverage.h"

namespace kestrel::osprey {

std::uint64_t BodyCoverage::add(std::int64_t begin, std::int64_t end, std::int64_t limit) {
    if (begin < 0) begin = 0;
    if (limit >= 0 && end > limit) end = limit;
    if (end <= begin) return 0;
    // The ranges are sorted and apart (never touching). Find those that
    // touch or overlap [begin, end) and merge them into one.
    std::size_t first = 0;
    while (first < count_ && ranges_[first].end < begin) ++first;
    std::size_t last = first;
    std::uint64_t already = 0;
    std::int64_t mergedBegin = begin;
    std::int64_t mergedEnd = end;
    while (last < count_ && ranges_[last].begin <= end) {
        const Range& r = ranges_[last];
        const std::int64_t lo = r.begin > begin ? r.begin : begin;
        const std::int64_t hi = r.end < end ? r.end : end;
        if (hi > lo) already += static_cast<std::uint64_t>(hi - lo);
        if (r.begin < mergedBegin) mergedBegin = r.begin;
        if (r.end > mergedEnd) mergedEnd = r.end;
        ++last;
    }
    const std::size_t merged = last - first;
    if (merged == 0) {
        if (count_ == kMaxRanges) return 0;
        for (std::size_t i = count_; i > first; --i) ranges_[i] = ranges_[i - 1];
        ++count_;
    } else if (merged > 1) {
        for (std::size_t i = first + 1; i + merged - 1 < count_; ++i) ranges_[i] = ranges_[i + merged - 1];
        count_ -= merged - 1;
    }
    ranges_[first] = {mergedBegin, mergedEnd};
    const std::uint64_t added = static_cast<std::uint64_t>(end - begin) - already;
    covered_ += added;
    return added;
}

}  // namespace kestrel::osprey
