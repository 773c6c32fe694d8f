#pragma once
// Fixed-size, NUL-terminated text fields of shared records (URLs, titles,
// file names). Values often come from the network, so every copy is bounded
// to the field and always leaves a terminator.

#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace kestrel {

template <std::size_t N>
class FixedText {
    static_assert(N > 0);

public:
    FixedText() { buf_.fill('\0'); }

    // Copies at most N-1 bytes of text; returns the number of bytes kept.
    std::size_t assign(std::string_view text) {
        std::size_t n = text.size() < N - 1 ? text.size() : N - 1;
        if (n > 0) std::memcpy(buf_.data(), text.data(), n);
        std::memset(buf_.data() + n, 0, N - n);
        return n;
    }
    void clear() { buf_.fill('\0'); }

    std::string_view view() const { return {buf_.data(), ::strnlen(buf_.data(), N)}; }
    std::string str() const { return std::string(view()); }
    const char* c_str() const { return buf_.data(); }
    bool empty() const { return buf_[0] == '\0'; }
    static constexpr std::size_t capacity() { return N; }

private:
    std::array<char, N> buf_;
};

}  // namespace kestrel
