#include "common/http_body_assembler.h"

#include <algorithm>
#include <cstring>

namespace kestrel {

namespace {

constexpr std::size_t kMaxPrefix = 64 * 1024;

bool isText(std::uint8_t c) {
    return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t';
}

int hexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool startsWith(std::span<const std::uint8_t> b, const char* magic) {
    const std::size_t n = std::strlen(magic);
    return b.size() >= n && std::memcmp(b.data(), magic, n) == 0;
}

// A media file's first bytes, as far as they can be told.
bool startsMedia(std::span<const std::uint8_t> b) {
    if (startsWith(b, "FLV") || startsWith(b, "CWS") || startsWith(b, "FWS") || startsWith(b, "ZWS") ||
        startsWith(b, "ID3"))
        return true;
    if (b.size() >= 2 && b[0] == 0xFF && (b[1] & 0xE0) == 0xE0) return true;  // MPEG audio frame sync
    return b.size() >= 8 && std::memcmp(b.data() + 4, "ftyp", 4) == 0;
}

// A chunk-size line at the start: hex digits, an optional extension, CR LF.
bool startsChunkLine(std::span<const std::uint8_t> b) {
    std::size_t i = 0;
    while (i < b.size() && hexDigit(b[i]) >= 0) ++i;
    if (i == 0 || i > 16) return false;
    if (i < b.size() && b[i] == ';')
        while (i < b.size() && b[i] != '\r' && isText(b[i])) ++i;
    return i + 1 < b.size() && b[i] == '\r' && b[i + 1] == '\n';
}

}  // namespace

HttpBodyAssembler::HttpBodyAssembler(ByteSink& sink) : sink_(sink) {}

std::size_t HttpBodyAssembler::feed(std::int64_t position, std::span<const std::uint8_t> payload) {
    const auto n = static_cast<std::int64_t>(payload.size());
    std::int64_t from = 0;
    if (started_) {
        const std::int64_t overlap = expected_ - position;
        if (overlap >= n) {
            ++stats_.repeats;
            return 0;
        }
        if (overlap < 0) {
            ++stats_.gaps;
            stats_.gapBytes += static_cast<std::uint64_t>(-overlap);
            if (mode_ == Mode::Chunked) chunkedGap(static_cast<std::uint64_t>(-overlap));
        }
        from = std::max<std::int64_t>(overlap, 0);
        // A shorter entry sorted after a longer one at the same place must
        // not move the expected position back.
        expected_ = std::max(expected_, position + n);
    } else {
        started_ = true;
        expected_ = position + n;
    }
    auto part = payload.subspan(static_cast<std::size_t>(from));
    stats_.bytesIn += part.size();
    body(part);
    return part.size();
}

void HttpBodyAssembler::body(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    switch (mode_) {
    case Mode::Start:
        prefix_.insert(prefix_.end(), bytes.begin(), bytes.end());
        classify(false);
        break;
    case Mode::Plain:
        plain(bytes);
        break;
    case Mode::Chunked:
        chunked(bytes);
        break;
    }
}

void HttpBodyAssembler::classify(bool final) {
    std::span<const std::uint8_t> b(prefix_);
    if (b.empty()) return;
    if (!startsMedia(b) && !headerCut_) {
        // Header text reaching an empty line before any binary byte: the tail
        // (or the whole) of a response header stored as body.
        std::size_t i = 0;
        while (i < b.size() && isText(b[i])) {
            if (i >= 3 && b[i - 3] == '\r' && b[i - 2] == '\n' && b[i - 1] == '\r' && b[i] == '\n') break;
            ++i;
        }
        if (i < b.size() && isText(b[i])) {
            headerCut_ = true;
            stats_.headerBytesCut += i + 1;
            prefix_.erase(prefix_.begin(), prefix_.begin() + static_cast<std::ptrdiff_t>(i + 1));
            classify(final);
            return;
        }
        if (i == b.size() && !final && b.size() < kMaxPrefix) return;  // all text so far: wait for more
    }
    if (!final && b.size() < 8 && !startsMedia(b)) {
        // Too short to tell a media start or a chunk line apart; wait.
        bool canWait = true;
        for (std::uint8_t c : b) canWait = canWait && isText(c);
        if (canWait) return;
    }
    mode_ = !startsMedia(b) && startsChunkLine(b) ? Mode::Chunked : Mode::Plain;
    stats_.chunked = mode_ == Mode::Chunked;
    std::vector<std::uint8_t> held;
    held.swap(prefix_);
    if (mode_ == Mode::Chunked) {
        chunked(held);
    } else {
        plain(held);
    }
}

void HttpBodyAssembler::chunkedGap(std::uint64_t missing) {
    if (chunkState_ == ChunkState::Done) return;
    if (chunkState_ == ChunkState::Data && missing < chunkLeft_) {
        chunkLeft_ -= missing;  // the hole lies inside this chunk's data
        return;
    }
    if (chunkState_ != ChunkState::Resync) resync_.clear();
    chunkState_ = ChunkState::Resync;
}

namespace {
// A chunk-size line at b[at]: hex digits, an optional extension, CR LF.
// Returns the position after it and the size, or false.
bool sizeLineAt(std::span<const std::uint8_t> b, std::size_t at, std::size_t& next, std::uint64_t& size) {
    std::size_t i = at;
    size = 0;
    while (i < b.size() && i - at < 8 && hexDigit(b[i]) >= 0) size = size * 16 + static_cast<std::uint64_t>(hexDigit(b[i++]));
    if (i == at) return false;
    if (i < b.size() && b[i] == ';')
        while (i < b.size() && b[i] != '\r' && isText(b[i])) ++i;
    if (i + 1 >= b.size() || b[i] != '\r' || b[i + 1] != '\n') return false;
    next = i + 2;
    return true;
}
}  // namespace

void HttpBodyAssembler::resync(std::span<const std::uint8_t> bytes, bool final) {
    constexpr std::size_t kMaxResync = 256 * 1024;
    resync_.insert(resync_.end(), bytes.begin(), bytes.end());
    std::span<const std::uint8_t> b(resync_);
    // A boundary: the CR LF ending a chunk's data, a size line, that many
    // data bytes, CR LF and another size line (or the last, empty chunk).
    // The hole may have taken all or part of that first CR LF, so a size
    // line at the very start, or after a lone LF there, counts too.
    for (std::size_t line = 0; line < b.size(); ++line) {
        const bool afterCrlf = line >= 2 && b[line - 2] == '\r' && b[line - 1] == '\n';
        const bool atStart = line == 0 || (line == 1 && b[0] == '\n');
        if (!afterCrlf && !atStart) continue;
        const std::size_t i = afterCrlf ? line - 2 : 0;  // where the chunk's data ends
        std::size_t data = 0;
        std::uint64_t size = 0;
        if (!sizeLineAt(b, line, data, size)) continue;
        bool confirmed = size == 0;
        if (!confirmed) {
            const std::size_t end = data + static_cast<std::size_t>(std::min<std::uint64_t>(size, kMaxResync));
            if (end + 2 > b.size()) {
                if (final) continue;
                return;  // not enough bytes yet to confirm this candidate
            }
            std::size_t after = 0;
            std::uint64_t nextSize = 0;
            confirmed = size <= kMaxResync && b[end] == '\r' && b[end + 1] == '\n' && sizeLineAt(b, end + 2, after, nextSize);
            if (!confirmed && end + 12 > b.size() && !final) return;  // the next size line may still come
        }
        if (!confirmed) continue;
        writeBody(b.subspan(0, i));
        chunkState_ = ChunkState::Size;
        chunkDigits_ = 0;
        chunkLeft_ = 0;
        std::vector<std::uint8_t> rest(resync_.begin() + static_cast<std::ptrdiff_t>(line), resync_.end());
        resync_.clear();
        chunked(rest);
        return;
    }
    if (final || resync_.size() > kMaxResync) {
        // No boundary to be found: keep what came rather than lose it.
        stats_.chunkedMalformed = true;
        mode_ = Mode::Plain;
        std::vector<std::uint8_t> held;
        held.swap(resync_);
        plain(held);
    }
}

void HttpBodyAssembler::finish() {
    if (mode_ == Mode::Chunked && chunkState_ == ChunkState::Resync) resync({}, true);
    if (mode_ == Mode::Start) classify(true);
    if (mode_ == Mode::Start && !prefix_.empty()) {
        mode_ = Mode::Plain;
        std::vector<std::uint8_t> held;
        held.swap(prefix_);
        plain(held);
    }
}

void HttpBodyAssembler::writeBody(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    if (!sink_.write(bytes)) stats_.writeFailed = true;
    stats_.bytesOut += bytes.size();
}

void HttpBodyAssembler::plain(std::span<const std::uint8_t> bytes) {
    writeBody(bytes);
}

void HttpBodyAssembler::chunked(std::span<const std::uint8_t> bytes) {
    if (chunkState_ == ChunkState::Resync) {
        resync(bytes, false);
        return;
    }
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::uint8_t c = bytes[i];
        switch (chunkState_) {
        case ChunkState::Size: {
            const int d = hexDigit(c);
            if (d >= 0 && chunkDigits_ < 15) {
                chunkLeft_ = chunkLeft_ * 16 + static_cast<std::uint64_t>(d);
                ++chunkDigits_;
                ++i;
            } else if (chunkDigits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
                chunkState_ = ChunkState::Extension;
                ++i;
            } else if (chunkDigits_ > 0 && c == '\r') {
                chunkState_ = ChunkState::SizeLf;
                ++i;
            } else {
                goto malformed;
            }
            break;
        }
        case ChunkState::Extension:
            if (c == '\r') chunkState_ = ChunkState::SizeLf;
            else if (!isText(c)) goto malformed;
            ++i;
            break;
        case ChunkState::SizeLf:
            if (c != '\n') goto malformed;
            ++i;
            chunkState_ = chunkLeft_ == 0 ? ChunkState::Trailer : ChunkState::Data;
            trailerLineLength_ = 0;
            break;
        case ChunkState::Data: {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(chunkLeft_, n - i));
            writeBody(bytes.subspan(i, take));
            i += take;
            chunkLeft_ -= take;
            if (chunkLeft_ == 0) chunkState_ = ChunkState::DataCr;
            break;
        }
        case ChunkState::DataCr:
            if (c != '\r') goto malformed;
            chunkState_ = ChunkState::DataLf;
            ++i;
            break;
        case ChunkState::DataLf:
            if (c != '\n') goto malformed;
            chunkState_ = ChunkState::Size;
            chunkDigits_ = 0;
            chunkLeft_ = 0;
            ++i;
            break;
        case ChunkState::Trailer:
            // Trailer lines until an empty one.
            if (c == '\r') {
                chunkState_ = ChunkState::TrailerLf;
            } else {
                ++trailerLineLength_;
            }
            ++i;
            break;
        case ChunkState::TrailerLf:
            if (c != '\n') goto malformed;
            ++i;
            if (trailerLineLength_ == 0) {
                chunkState_ = ChunkState::Done;
                stats_.chunkedEnded = true;
            } else {
                trailerLineLength_ = 0;
                chunkState_ = ChunkState::Trailer;
            }
            break;
        case ChunkState::Done:
            return;  // nothing of this response follows the last chunk
        case ChunkState::Resync:
            resync(bytes.subspan(i), false);
            return;
        }
    }
    return;
malformed:
    // Not chunked coding after all (or damaged by a gap): keep the rest as it
    // is rather than lose it.
    stats_.chunkedMalformed = true;
    mode_ = Mode::Plain;
    plain(bytes.subspan(i));
}

}  // namespace kestrel
