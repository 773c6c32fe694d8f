#include "kestrel/files/builtin_rtmp_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "common/flv_format.h"
#include "platform/byte_reader.h"

namespace kestrel::files::rtmp_builtin {

namespace {
// Large enough that a chunk of 4096 bytes and its neighbours come from one
// refill, small enough to stay in cache.
constexpr std::size_t kWindowSize = 64 * 1024;
constexpr std::size_t kOutputBufferSize = 64 * 1024;
// FLV header flags as this converter writes them: audio and video present.
constexpr std::uint8_t kFlvFlags = flv::kFlagsAudio | flv::kFlagsVideo;
}  // namespace

std::optional<std::size_t> findBytes(std::span<const std::uint8_t> data, std::span<const std::uint8_t> pattern) {
    if (pattern.empty() || pattern.size() > data.size()) return std::nullopt;
    const auto it = std::search(data.begin(), data.end(), pattern.begin(), pattern.end());
    if (it == data.end()) return std::nullopt;
    return static_cast<std::size_t>(it - data.begin());
}

std::optional<std::size_t> findText(std::span<const std::uint8_t> data, std::string_view text) {
    return findBytes(data, asBytes(text));
}

// ---- RawStreamFile ----

RawStreamFile::~RawStreamFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool RawStreamFile::open(const std::string& path) {
    // O_NONBLOCK: a FIFO without a writer would hold the open; it is
    // refused below like every file that is not a regular one.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return false;
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    size_ = static_cast<std::uint64_t>(st.st_size);
    window_.assign(kWindowSize, 0);
    return true;
}

bool RawStreamFile::skip(std::uint64_t n) {
    if (n > remaining()) return false;
    position_ += n;
    return true;
}

bool RawStreamFile::read(std::span<std::uint8_t> out) {
    if (!readAt(position_, out)) return false;
    position_ += out.size();
    return true;
}

bool RawStreamFile::peekAt(std::uint64_t position, std::span<std::uint8_t> out) {
    if (position > size_ || out.size() > size_ - position) return false;
    if (position >= windowStart_ && position - windowStart_ + out.size() <= windowLength_) {
        std::memcpy(out.data(), window_.data() + (position - windowStart_), out.size());
        return true;
    }
    return readDirect(position, out);
}

bool RawStreamFile::readAt(std::uint64_t position, std::span<std::uint8_t> out) {
    if (position > size_ || out.size() > size_ - position) return false;
    if (out.empty()) return true;
    if (position >= windowStart_ && position - windowStart_ + out.size() <= windowLength_) {
        std::memcpy(out.data(), window_.data() + (position - windowStart_), out.size());
        return true;
    }
    if (out.size() >= kWindowSize / 2) return readDirect(position, out);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kWindowSize, size_ - position));
    if (!readDirect(position, {window_.data(), want})) {
        windowLength_ = 0;
        return false;
    }
    windowStart_ = position;
    windowLength_ = want;
    std::memcpy(out.data(), window_.data(), out.size());
    return true;
}

bool RawStreamFile::readDirect(std::uint64_t position, std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, static_cast<off_t>(position + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // The file shrank or cannot be read: nothing more comes from it.
            ioFailed_ = true;
            size_ = std::min(size_, position + done);
            position_ = std::min(position_, size_);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// ---- FlvTagWriter ----

FlvTagWriter::~FlvTagWriter() {
    if (file_) std::fclose(file_);
}

bool FlvTagWriter::open(const std::string& path) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return false;
    std::setvbuf(file_, nullptr, _IOFBF, kOutputBufferSize);
    return true;
}

bool FlvTagWriter::restart() {
    if (!file_) return false;
    if (std::fflush(file_) != 0 || ::ftruncate(::fileno(file_), 0) != 0 || std::fseek(file_, 0, SEEK_SET) != 0)
        failed_ = true;
    headerWritten_ = false;
    previousTagSize_ = 0;
    bytes_ = tags_ = audio_ = video_ = script_ = 0;
    return !failed_;
}

bool FlvTagWriter::put(std::span<const std::uint8_t> bytes) {
    if (failed_ || !file_) return false;
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        failed_ = true;
        return false;
    }
    bytes_ += bytes.size();
    return true;
}

bool FlvTagWriter::writeFileHeader() {
    if (headerWritten_) return !failed_;
    // The header alone; the previous-tag-size field goes out with each tag.
    const auto header = flv::fileHeader(kFlvFlags);
    headerWritten_ = put(std::span(header).first(flv::kFileHeaderSize));
    return headerWritten_;
}

bool FlvTagWriter::writeTag(std::uint8_t type, std::uint32_t timestamp, std::span<const std::uint8_t> data) {
    const std::array<std::span<const std::uint8_t>, 1> parts{data};
    return writeTag(type, timestamp, parts);
}

bool FlvTagWriter::writeTag(std::uint8_t type, std::uint32_t timestamp,
                            std::span<const std::span<const std::uint8_t>> parts) {
    std::uint64_t size = 0;
    for (const auto& part : parts) size += part.size();
    if (size > flv::kMaxTagDataSize) return false;
    if (!writeFileHeader()) return false;
    std::array<std::uint8_t, flv::kPreviousTagSizeSize> previous{};
    flv::putBe32(previous.data(), previousTagSize_);
    const auto header = flv::tagHeader(type, static_cast<std::uint32_t>(size), timestamp);
    if (!put(previous) || !put(header)) return false;
    for (const auto& part : parts)
        if (!put(part)) return false;
    previousTagSize_ = static_cast<std::uint32_t>(flv::kTagHeaderSize + size);
    ++tags_;
    if (type == flv::kTagAudio) ++audio_;
    else if (type == flv::kTagVideo) ++video_;
    else if (type == flv::kTagScript) ++script_;
    return true;
}

bool FlvTagWriter::finish() {
    if (!file_) return false;
    if (headerWritten_) {
        // After the last tag its size; in a file without tags the 0 that
        // follows every header.
        std::array<std::uint8_t, flv::kPreviousTagSizeSize> last{};
        flv::putBe32(last.data(), previousTagSize_);
        put(last);
    }
    if (std::fclose(file_) != 0) failed_ = true;
    file_ = nullptr;
    return !failed_;
}

void FlvTagWriter::countInto(BuiltinStats& stats) const {
    stats.tagsWritten = tags_;
    stats.audioTags = audio_;
    stats.videoTags = video_;
    stats.metadataTags = script_;
    stats.outputBytes = bytes_;
}

// ---- shared steps ----

StartChoice chooseStartWithoutChunkSize(std::span<const std::uint8_t> probe) {
    ByteReader r(probe);
    // Three zero bytes after the first one look like a type-0 header with a
    // zero timestamp; but a first byte naming chunk stream 0 or 1 is no
    // one-byte basic header (it is, say, the tail of a message cut by the
    // start of the recording), and the metadata rule decides instead.
    if (r.hasAt(0, 4) && r.be24At(1) == 0 && (r.u8At(0) & 0x3F) >= 2) return {0, false};
    // The name must fit inside the probe block with a byte to spare.
    const auto searched = probe.first(probe.empty() ? 0 : probe.size() - 1);
    if (const auto m = findText(searched, kOnMetaData)) {
        // A name closer to the start than a chunk header's length cannot sit
        // in a chunk that starts inside the stream: parse from the start.
        std::uint64_t start = *m >= kMetaDataNameOffset ? *m - kMetaDataNameOffset : 0;
        // Servers that relay a published stream put the name "@setDataFrame"
        // (an AMF0 string of 16 bytes) before "onMetaData": the chunk
        // starts that much earlier.
        static constexpr std::string_view kSetDataFrameString("\x02\x00\x0d@setDataFrame", 16);
        if (*m >= kMetaDataNameOffset + kSetDataFrameString.size() &&
            std::memcmp(probe.data() + (*m - 3 - kSetDataFrameString.size()), kSetDataFrameString.data(),
                        kSetDataFrameString.size()) == 0)
            start = *m - kMetaDataNameOffset - kSetDataFrameString.size();
        return {start, true};
    }
    return {0, false};
}

bool writeMetadataTag(FlvTagWriter& out, std::uint32_t timestamp, std::span<const std::uint8_t> body) {
    // AMF0 string "onMetaData": marker, 16-bit length, the name.
    static constexpr std::array<std::uint8_t, 3> kNameHead{0x02, 0x00, 0x0A};
    static constexpr std::array<std::uint8_t, 16> kSetDataFrame{0x02, 0x00, 0x0D, '@', 's', 'e', 't', 'D',
                                                                'a',  't',  'a',  'F', 'r', 'a', 'm', 'e'};
    constexpr std::uint8_t kAmfObject = 0x03;
    static constexpr std::array<std::uint8_t, 5> kEmptyEcmaArrayHead{0x08, 0, 0, 0, 0};
    const auto name = findText(body, kOnMetaData);
    if (!name || *name < kNameHead.size() ||
        !std::equal(kNameHead.begin(), kNameHead.end(), body.begin() + static_cast<std::ptrdiff_t>(*name - kNameHead.size())))
        return out.writeTag(kTypeData, timestamp, body);
    const std::size_t start = *name - kNameHead.size();
    const bool setDataFrame =
        start == kSetDataFrame.size() && std::equal(kSetDataFrame.begin(), kSetDataFrame.end(), body.begin());
    // Something else in front of the name: not a plain metadata message, kept as it came.
    if (start != 0 && !setDataFrame) return out.writeTag(kTypeData, timestamp, body);
    const std::size_t marker = *name + kOnMetaData.size();
    if (marker < body.size() && body[marker] == kAmfObject) {
        const std::array<std::span<const std::uint8_t>, 3> parts{
            body.subspan(start, marker - start), std::span<const std::uint8_t>(kEmptyEcmaArrayHead),
            body.subspan(marker + 1)};
        return out.writeTag(kTypeData, timestamp, parts);
    }
    return out.writeTag(kTypeData, timestamp, body.subspan(start));
}

std::uint64_t writeAggregateSubTags(std::span<const std::uint8_t> body, FlvTagWriter& out,
                                    std::array<MediaState, 2>& media, bool& writeOk) {
    writeOk = true;
    std::uint64_t written = 0;
    ByteReader r(body);
    for (std::size_t n = 0; n < kMaxSubTags && r.remaining() >= flv::kTagHeaderSize; ++n) {
        const std::uint8_t type = r.u8();
        const std::uint32_t size = r.be24();
        const std::uint32_t time = r.be24();
        const std::uint32_t extension = r.u8();
        r.skip(3);  // stream id
        const auto data = r.bytes(size);
        if (!r.ok()) break;  // a sub-tag that claims more than the body holds ends the walk
        if ((type == kTypeAudio || type == kTypeVideo) && size >= 3) {
            // The whole time of the sub-tag, extension byte included.
            const std::uint32_t timestamp = time | (extension << 24);
            if (!out.writeTag(type, timestamp, data)) {
                writeOk = false;
                return written;
            }
            written += size;
            MediaState& m = media[static_cast<std::size_t>(mediaIndex(type))];
            m.lastTimestamp = timestamp;
            std::copy_n(data.begin(), std::min<std::size_t>(4, data.size()), m.firstBytes.begin());
            m.signature = data[0];
        }
        if (!r.skip(4)) break;  // back pointer
    }
    return written;
}

BuiltinResult beginConversion(const std::string& rawPath, ConversionStart& start, BuiltinStats& stats) {
    stats = {};
    if (!start.in.open(rawPath)) return BuiltinResult::CannotOpenInput;
    const std::uint64_t length = start.in.size();
    const auto probeSize = static_cast<std::size_t>(rtmpProbeSize(length));
    if (length < probeSize) return BuiltinResult::ProbeTooShort;
    start.scratch.assign(kBufferSize, 0);
    start.body.assign(kBufferSize, 0);
    start.probe = std::span<std::uint8_t>(start.scratch.data(), probeSize);
    if (!start.in.peek(start.probe)) return BuiltinResult::CannotOpenInput;
    start.chunkSizeAt = findBytes(start.probe, kSetChunkSizeHeader);
    stats.chunkSizeMessageFound = start.chunkSizeAt.has_value();
    return BuiltinResult::Converted;
}

BuiltinResult endConversion(const ConversionStart& start, FlvTagWriter& out, bool ok, BuiltinStats& stats) {
    const bool finished = out.finish();
    out.countInto(stats);
    if (start.in.ioFailed()) return BuiltinResult::CannotOpenInput;
    if (!ok || !finished) return BuiltinResult::CannotWriteOutput;
    return BuiltinResult::Converted;
}

}  // namespace kestrel::files::rtmp_builtin
