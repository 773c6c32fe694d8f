#pragma once
// Bounds-checked reading of untrusted bytes.
//
// Every parser in the project reads frames, capture files, record files, FLV
// files and configuration through this type. A read past the end never
// touches memory outside the view: it returns 0 (or an empty span), leaves
// the position unchanged and makes ok() false for the rest of the reader's
// life, so a parser can read a run of fields and check once.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrel {

class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

    std::size_t size() const { return data_.size(); }
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return data_.size() - pos_; }
    bool ok() const { return ok_; }
    bool has(std::size_t n) const { return n <= remaining(); }
    std::span<const std::uint8_t> data() const { return data_; }
    std::span<const std::uint8_t> rest() const { return data_.subspan(pos_); }

    bool seek(std::size_t pos) {
        if (pos > data_.size()) return fail();
        pos_ = pos;
        return true;
    }
    bool skip(std::size_t n) {
        if (!has(n)) return fail();
        pos_ += n;
        return true;
    }

    std::uint8_t u8() { return static_cast<std::uint8_t>(take(1, false)); }
    std::uint16_t be16() { return static_cast<std::uint16_t>(take(2, true)); }
    std::uint32_t be24() { return static_cast<std::uint32_t>(take(3, true)); }
    std::uint32_t be32() { return static_cast<std::uint32_t>(take(4, true)); }
    std::uint16_t le16() { return static_cast<std::uint16_t>(take(2, false)); }
    std::uint32_t le24() { return static_cast<std::uint32_t>(take(3, false)); }
    std::uint32_t le32() { return static_cast<std::uint32_t>(take(4, false)); }

    // The next n bytes, or an empty span (and a failed reader) when fewer remain.
    std::span<const std::uint8_t> bytes(std::size_t n) {
        if (!has(n)) {
            fail();
            return {};
        }
        auto out = data_.subspan(pos_, n);
        pos_ += n;
        return out;
    }
    // A reader over the next n bytes; this reader moves past them.
    ByteReader sub(std::size_t n) {
        auto b = bytes(n);
        ByteReader r(b);
        if (!ok_) r.ok_ = false;
        return r;
    }

    // Reads at an absolute offset without moving; 0 when out of range.
    // These do not mark the reader failed: they answer "is there such a byte".
    std::uint8_t u8At(std::size_t off) const { return static_cast<std::uint8_t>(peekAt(off, 1, false)); }
    std::uint16_t be16At(std::size_t off) const { return static_cast<std::uint16_t>(peekAt(off, 2, true)); }
    std::uint32_t be24At(std::size_t off) const { return static_cast<std::uint32_t>(peekAt(off, 3, true)); }
    std::uint32_t be32At(std::size_t off) const { return static_cast<std::uint32_t>(peekAt(off, 4, true)); }
    std::uint16_t le16At(std::size_t off) const { return static_cast<std::uint16_t>(peekAt(off, 2, false)); }
    std::uint32_t le32At(std::size_t off) const { return static_cast<std::uint32_t>(peekAt(off, 4, false)); }
    bool hasAt(std::size_t off, std::size_t n) const { return off <= data_.size() && n <= data_.size() - off; }

    // True when the bytes at the current position equal text.
    bool startsWith(std::string_view text) const {
        if (!has(text.size())) return false;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (data_[pos_ + i] != static_cast<std::uint8_t>(text[i])) return false;
        return true;
    }

private:
    bool fail() {
        ok_ = false;
        return false;
    }
    std::uint64_t take(std::size_t n, bool bigEndian) {
        if (!has(n)) {
            fail();
            return 0;
        }
        std::uint64_t v = peekAt(pos_, n, bigEndian);
        pos_ += n;
        return v;
    }
    std::uint64_t peekAt(std::size_t off, std::size_t n, bool bigEndian) const {
        if (!hasAt(off, n)) return 0;
        std::uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t b = data_[off + i];
            v |= bigEndian ? b << (8 * (n - 1 - i)) : b << (8 * i);
        }
        return v;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

inline std::span<const std::uint8_t> asBytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace kestrel
