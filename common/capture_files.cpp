#include "common/capture_files.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/byte_reader.h"

namespace kestrel::capture_files {

std::array<std::uint8_t, kHeaderSize> header(std::uint8_t kind) {
    return {'P', 'I', 'P', kind, 0};
}

std::array<std::uint8_t, kEntrySize> encodeEntry(const IndexEntry& e) {
    std::array<std::uint8_t, kEntrySize> out{};
    out[0] = static_cast<std::uint8_t>(e.sequence >> 24);
    out[1] = static_cast<std::uint8_t>(e.sequence >> 16);
    out[2] = static_cast<std::uint8_t>(e.sequence >> 8);
    out[3] = static_cast<std::uint8_t>(e.sequence);
    // Eight hex digits fill the offset field exactly, without a terminator;
    // shorter values are left-aligned with NUL padding (written by hand:
    // this runs for every stored segment).
    // Past 4 GiB the field holds the low 32 bits; readers unwrap them.
    const auto offset = static_cast<std::uint32_t>(e.dataOffset);
    std::size_t digits = 1;
    while (digits < 8 && (offset >> (4 * digits)) != 0) ++digits;
    for (std::size_t i = 0; i < digits; ++i)
        out[4 + i] = static_cast<std::uint8_t>("0123456789ABCDEF"[(offset >> (4 * (digits - 1 - i))) & 0xF]);
    const std::uint32_t length = std::min(e.length, kMaxEntryLength);
    std::size_t lengthDigits = 1;
    for (std::uint32_t v = length; v >= 10; v /= 10) ++lengthDigits;
    for (std::size_t i = 0, v = length; i < lengthDigits; ++i, v /= 10)
        out[12 + lengthDigits - 1 - i] = static_cast<std::uint8_t>('0' + v % 10);
    out[16] = static_cast<std::uint8_t>(e.ipLength >> 8);
    out[17] = static_cast<std::uint8_t>(e.ipLength);
    return out;
}

namespace {

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

IndexEntry decodeEntry(std::span<const std::uint8_t, kEntrySize> bytes) {
    ByteReader r(bytes);
    IndexEntry e;
    e.sequence = r.be32At(0);
    for (std::size_t i = 4; i < 12; ++i) {
        const int v = hexValue(bytes[i]);
        if (v < 0) break;
        e.dataOffset = e.dataOffset * 16 + static_cast<std::uint32_t>(v);
    }
    for (std::size_t i = 12; i < 16; ++i) {
        if (bytes[i] < '0' || bytes[i] > '9') break;
        e.length = e.length * 10 + static_cast<std::uint32_t>(bytes[i] - '0');
    }
    e.ipLength = r.be16At(16);
    return e;
}

bool CaptureFileWriter::noteFailure(const char* what, const std::string& path, int error) {
    if (failure_.empty()) failure_ = std::string(what) + " " + path + ": " + std::strerror(error);
    return false;
}

bool CaptureFileWriter::openData(const std::string& path, bool truncate) {
    if (data_.isOpen()) return true;
    if (!indexOpen()) failure_.clear();  // a new pair of files
    dataPath_ = path;
    if (!data_.open(path, truncate)) return noteFailure("cannot create", path, errno);
    dataSize_ = data_.sizeAtOpen();
    return true;
}

bool CaptureFileWriter::openIndex(const std::string& path, bool truncate) {
    if (index_.isOpen()) return true;
    if (!dataOpen()) failure_.clear();
    indexPath_ = path;
    return index_.open(path, truncate) || noteFailure("cannot create", path, errno);
}

bool CaptureFileWriter::writeHeader(std::uint8_t kind, std::int32_t& headerWritten) {
    if (!data_.isOpen()) return false;
    if (headerWritten) return true;
    const auto h = header(kind);
    const bool ok = data_.write(h);
    dataSize_ += h.size();
    headerWritten = 1;
    if (!ok && data_.error()) noteFailure("cannot write", dataPath_, data_.error());
    return ok;
}

bool CaptureFileWriter::append(std::uint8_t kind, std::int32_t& headerWritten, std::uint32_t sequence,
                               std::span<const std::uint8_t> payload) {
    if (!data_.isOpen()) return false;
    bool ok = writeHeader(kind, headerWritten);
    std::size_t done = 0;
    do {
        const std::size_t n = std::min<std::size_t>(payload.size() - done, kMaxEntryLength);
        IndexEntry e;
        e.sequence = sequence + static_cast<std::uint32_t>(done);
        e.dataOffset = dataSize_;
        e.length = static_cast<std::uint32_t>(n);
        e.ipLength = static_cast<std::uint32_t>(n + 40);
        if (n > 0) ok = data_.write(payload.subspan(done, n)) && ok;
        dataSize_ += n;
        if (index_.isOpen()) ok = index_.write(encodeEntry(e)) && ok;
        done += n;
    } while (done < payload.size());
    if (!ok) {
        if (data_.error()) noteFailure("cannot write", dataPath_, data_.error());
        if (index_.error()) noteFailure("cannot write", indexPath_, index_.error());
    }
    return ok;
}

bool CaptureFileWriter::close() {
    const bool dataOk = data_.close();
    const bool indexOk = index_.close();
    if (!dataOk && data_.error()) noteFailure("cannot write", dataPath_, data_.error());
    if (!indexOk && index_.error()) noteFailure("cannot write", indexPath_, index_.error());
    dataSize_ = 0;
    return dataOk && indexOk;
}

ReadStatus readHeader(std::FILE* data, std::uint8_t& kind) {
    if (!data) return ReadStatus::Missing;
    std::uint8_t h[kHeaderSize];
    const std::size_t n = std::fread(h, 1, kHeaderSize, data);
    if (n == 0) return ReadStatus::Empty;
    if (n < kHeaderSize || h[0] != 'P' || h[1] != 'I' || h[2] != 'P') return ReadStatus::BadHeader;
    kind = h[3];
    return ReadStatus::Ok;
}

void unwrapDataOffsets(std::vector<IndexEntry>& entries) {
    std::uint64_t offset = 0;
    std::uint32_t previous = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto stored = static_cast<std::uint32_t>(entries[i].dataOffset);
        offset = i == 0 ? stored : offset + static_cast<std::uint32_t>(stored - previous);
        previous = stored;
        entries[i].dataOffset = offset;
    }
}

void orderEntries(const std::vector<IndexEntry>& entries, std::vector<OrderedEntry>& out) {
    out.clear();
    out.reserve(entries.size());
    std::int64_t position = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i == 0) {
            position = entries[0].sequence;
        } else {
            position += static_cast<std::int32_t>(entries[i].sequence - entries[i - 1].sequence);
        }
        out.push_back({position, entries[i]});
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const OrderedEntry& a, const OrderedEntry& b) { return a.position < b.position; });
}

ReadStatus loadOrderedIndex(const std::string& path, std::vector<OrderedEntry>& out) {
    out.clear();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return ReadStatus::Missing;
    std::vector<IndexEntry> entries;
    std::array<std::uint8_t, kEntrySize * 512> block;
    std::size_t carry = 0;
    for (;;) {
        const std::size_t n = std::fread(block.data() + carry, 1, block.size() - carry, f);
        const std::size_t have = carry + n;
        const std::size_t whole = have / kEntrySize;
        for (std::size_t i = 0; i < whole; ++i)
            entries.push_back(decodeEntry(std::span<const std::uint8_t, kEntrySize>(block.data() + i * kEntrySize, kEntrySize)));
        carry = have - whole * kEntrySize;
        std::memmove(block.data(), block.data() + whole * kEntrySize, carry);
        if (n == 0) break;
    }
    std::fclose(f);
    if (entries.size() < 2) return ReadStatus::TooFewEntries;
    unwrapDataOffsets(entries);
    orderEntries(entries, out);
    return ReadStatus::Ok;
}

std::size_t readPayload(std::FILE* data, const IndexEntry& e, std::span<std::uint8_t> buffer, std::int64_t* position) {
    const std::size_t want = std::min<std::size_t>(e.length, buffer.size());
    if (want == 0) return 0;
    // Entries mostly follow one another in the file: seek only when needed,
    // so the stream's buffer keeps serving the reads.
    if (!position || *position != static_cast<std::int64_t>(e.dataOffset)) {
        if (e.dataOffset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
            ::fseeko(data, static_cast<off_t>(e.dataOffset), SEEK_SET) != 0) {
            if (position) *position = -1;
            return 0;
        }
    }
    const std::size_t got = std::fread(buffer.data(), 1, want, data);
    if (position) *position = got == want ? static_cast<std::int64_t>(e.dataOffset + want) : -1;
    return got;
}

}  // namespace kestrel::capture_files
