#pragma once
// Finding a short text in packet payloads. Every body segment of a download
// on the RTMP ports is searched for marker texts, so the search has to run
// at memory speed: candidates are the places where the text's first two
// bytes occur, found sixteen positions at a time, and only those are
// compared in full.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kestrel::common {

// The position of the first occurrence of text at or after from, or
// data.size() when there is none. An empty text is found at from.
inline std::size_t findBytes(std::span<const std::uint8_t> data, std::size_t from, std::string_view text) {
    const std::size_t n = data.size();
    const std::size_t m = text.size();
    if (from > n || m > n - from) return n;
    if (m == 0) return from;
    const std::uint8_t* p = data.data();
    const auto* t = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t last = n - m;  // the last position a match can start at
    std::size_t i = from;
#if defined(__SSE2__)
    if (m >= 2) {
        const __m128i first = _mm_set1_epi8(static_cast<char>(t[0]));
        const __m128i second = _mm_set1_epi8(static_cast<char>(t[1]));
        // Each block tests the starts i..i+15 and reads p[i..i+16].
        for (; i + 16 <= last && i + 17 <= n; i += 16) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
            auto mask = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
            while (mask != 0) {
                const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
                if (std::memcmp(p + at, t, m) == 0) return at;
                mask &= mask - 1;
            }
        }
    }
#endif
    for (; i <= last; ++i)
        if (p[i] == t[0] && std::memcmp(p + i, t, m) == 0) return i;
    return n;
}

}  // namespace kestrel::common
