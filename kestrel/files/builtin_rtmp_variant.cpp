// The built-in converter of the processing run without the outside
// converter: one pass, chunk size 4096 unless the stream sets one, tag times
// from the chunk headers.

#include <algorithm>
#include <array>
#include <vector>

#include "kestrel/files/builtin_rtmp_converter.h"
#include "kestrel/files/builtin_rtmp_io.h"
#include "platform/byte_reader.h"

namespace kestrel::files {

using namespace rtmp_builtin;

namespace {

constexpr std::uint32_t kAssumedChunkSize = 4096;
constexpr std::string_view kPlayStart = "Play.Start";
// "onMetaData" counts as the data message's name when it starts within
// this many bytes (room for a name in front, such as "@setDataFrame").
constexpr std::size_t kMetaDataNameWindow = 32;
// An empty audio message announced on chunk stream 6 (type-0 header, time
// 0, length 0): some servers put one inside a long command message.
constexpr std::array<std::uint8_t, 8> kEmptyAudioHeader{0x06, 0, 0, 0, 0, 0, 0, 0x08};
constexpr std::size_t kEmptyAudioHeaderSize = 12;
constexpr std::size_t kCommandScanMinimum = 129;
constexpr unsigned kChunkStreams = 64;  // what a one-byte basic header can name

// What the last header of a chunk stream said: later headers of the stream
// leave out what repeats, and their times are deltas to its time.
struct ChunkStreamState {
    bool known = false;
    std::uint8_t type = 0;
    std::uint32_t length = 0;
    std::uint32_t timestamp = 0;
    std::uint32_t delta = 0;
};

enum class Step { Next, End, WriteFailed };

class VariantConverter {
public:
    VariantConverter(RawStreamFile& in, FlvTagWriter& out, std::vector<std::uint8_t>& body)
        : in_(in), out_(out), body_(body) {}

    bool run(std::uint64_t start, std::uint32_t chunkSize);  // false: writing failed

private:
    struct Message {
        std::uint8_t basic = 0;
        bool fullHeader = false;  // format 0 or 1: type and length from the header
        std::uint8_t type = 0;
        std::uint32_t length = 0;
        std::uint32_t timestamp = 0;
    };
    Step readHeaderAndMessage();
    Step message(const Message& m);
    // Guesses type and length behind a format-2 or format-3 header.
    void guess(Message& m, const ChunkStreamState& stream);
    bool passOverInterleaved(std::uint8_t ownChunkStream, Step& step);
    std::uint32_t chunkSize() const { return effectiveChunkSize(chunkSize_); }

    RawStreamFile& in_;
    FlvTagWriter& out_;
    std::vector<std::uint8_t>& body_;
    std::int64_t chunkSize_ = kAssumedChunkSize;
    std::array<MediaState, 2> media_{};
    std::array<ChunkStreamState, kChunkStreams> streams_{};
    std::uint8_t previousType_ = 0;
    std::uint32_t previousLength_ = 0;
};

bool VariantConverter::run(std::uint64_t start, std::uint32_t chunkSize) {
    chunkSize_ = chunkSize;
    in_.seek(start);
    for (std::uint64_t headers = 0; headers < kMaxHeadersPerPass; ++headers) {
        const Step step = readHeaderAndMessage();
        if (step == Step::WriteFailed) return false;
        if (step == Step::End) break;
    }
    return !out_.failed();
}

void VariantConverter::guess(Message& m, const ChunkStreamState& stream) {
    std::uint8_t next = 0;
    const bool haveNext = in_.peek({&next, 1});
    if (haveNext && media_[0].seen && next == media_[0].signature) {
        m.type = kTypeAudio;
        m.length = media_[0].lastLength;
    } else if (haveNext && media_[1].seen && next == media_[1].signature) {
        m.type = kTypeVideo;
        m.length = media_[1].lastLength;
    } else if (stream.known) {
        // What the chunk stream carried before: that is what a short header
        // repeats.
        m.type = stream.type;
        m.length = stream.length;
    } else {
        m.type = previousType_;
        m.length = previousLength_;
    }
}

Step VariantConverter::readHeaderAndMessage() {
    Message m;
    if (!in_.readByte(m.basic)) return Step::End;
    ChunkStreamState& stream = streams_[m.basic & 0x3F];
    const unsigned format = m.basic >> 6;
    // Times follow the chunk stream: a type-0 header gives the time, the
    // shorter ones a delta to the stream's last time (a type-3 header
    // repeats the last delta). A stream first met with a short header
    // continues from the last time of the media it seems to carry.
    switch (format) {
    case 0:
    case 1: {
        std::array<std::uint8_t, 11> h{};
        const std::size_t n = format == 0 ? 11 : 7;
        if (!in_.read(std::span(h).first(n))) return Step::End;
        ByteReader r(std::span<const std::uint8_t>(h).first(n));
        const std::uint32_t time = r.be24At(0);
        m.fullHeader = true;
        m.length = r.be24At(3);
        m.type = r.u8At(6);
        if (format == 0) {
            stream.timestamp = time;
            stream.delta = 0;
        } else {
            if (!stream.known && (m.type == kTypeAudio || m.type == kTypeVideo))
                stream.timestamp = media_[static_cast<std::size_t>(mediaIndex(m.type))].lastTimestamp;
            stream.timestamp += time;
            stream.delta = time;
        }
        break;
    }
    case 2: {
        std::array<std::uint8_t, 3> h{};
        if (!in_.read(h)) return Step::End;
        guess(m, stream);
        if (!stream.known && (m.type == kTypeAudio || m.type == kTypeVideo))
            stream.timestamp = media_[static_cast<std::size_t>(mediaIndex(m.type))].lastTimestamp;
        stream.delta = ByteReader(h).be24At(0);
        stream.timestamp += stream.delta;
        break;
    }
    default:
        guess(m, stream);
        if (!stream.known && (m.type == kTypeAudio || m.type == kTypeVideo))
            stream.timestamp = media_[static_cast<std::size_t>(mediaIndex(m.type))].lastTimestamp;
        stream.timestamp += stream.delta;
        break;
    }
    stream.known = true;
    stream.type = m.type;
    stream.length = m.length;
    m.timestamp = stream.timestamp;
    previousType_ = m.type;
    previousLength_ = m.length;
    return message(m);
}

// Between two pieces of an aggregate message: a command, shared-object or
// user control message of another chunk stream (format 0 or 1 header) is
// passed over with its own continuation bytes.
bool VariantConverter::passOverInterleaved(std::uint8_t ownChunkStream, Step& step) {
    std::array<std::uint8_t, 8> h{};
    if (in_.remaining() < h.size() || !in_.peek(h)) return false;
    const unsigned format = h[0] >> 6;
    const std::uint8_t type = h[7];
    if (format > 1 || (h[0] & 0x3F) == ownChunkStream ||
        (type != kTypeUserControl && type != kTypeSharedObject && type != kTypeCommand))
        return false;
    const std::uint64_t length = ByteReader(h).be24At(4);
    const std::uint64_t skip = h.size() + (format == 0 ? 4 : 0) + spanWithContinuations(length, chunkSize());
    if (!in_.skip(skip)) step = Step::End;
    return true;
}

Step VariantConverter::message(const Message& m) {
    const std::uint32_t size = chunkSize();
    if (spanWithContinuations(m.length, size) > in_.remaining()) return Step::End;
    if (m.length > kBufferSize) {
        // Too long for the body buffer: passed over unread.
        in_.skip(spanWithContinuations(m.length, size));
        return Step::Next;
    }
    const std::uint8_t ownChunkStream = m.basic & 0x3F;
    std::uint32_t got = 0;
    bool firstSeen = false;
    std::uint8_t first = 0;
    while (got < m.length) {
        const std::uint32_t n = std::min(size, m.length - got);
        if (!in_.read({body_.data() + got, n})) return Step::End;
        got += n;
        if (got == m.length) break;
        if (m.type == kTypeAggregate) {
            Step step = Step::Next;
            while (passOverInterleaved(ownChunkStream, step))
                if (step != Step::Next) return step;
        }
        std::uint8_t continuation = 0;
        if (!in_.readByte(continuation)) return Step::End;
        if (!firstSeen) {
            firstSeen = true;
            first = continuation;
        } else if (continuation != first) {
            // The chunks no longer follow each other as this converter
            // expects: it stops here and keeps what it wrote.
            return Step::End;
        }
    }
    const std::span<const std::uint8_t> body(body_.data(), m.length);

    switch (m.type) {
    case kTypeSetChunkSize:
        if (m.length >= 4) chunkSize_ = static_cast<std::int32_t>(ByteReader(body).be32At(0));
        return Step::Next;
    case kTypeAudio:
    case kTypeVideo: {
        MediaState& state = media_[static_cast<std::size_t>(mediaIndex(m.type))];
        state.seen = true;
        state.lastLength = m.length;
        if (firstSeen && !state.chunkByteKnown) {
            state.chunkByteKnown = true;
            state.chunkByte = first;
        }
        if (m.length >= 1) state.signature = body[0];
        if (m.length >= 3) {
            state.lastTimestamp = m.timestamp;
            if (!out_.writeTag(m.type, m.timestamp, body)) return Step::WriteFailed;
        }
        return Step::Next;
    }
    case kTypeData: {
        if (!m.fullHeader) return Step::Next;
        const auto name = findText(body.first(std::min(body.size(), kMetaDataNameWindow)), kOnMetaData);
        if (name && !writeMetadataTag(out_, m.timestamp, body)) return Step::WriteFailed;
        return Step::Next;
    }
    case kTypeCommand: {
        if (!m.fullHeader) return Step::Next;
        if (findText(body, kPlayStart) && !out_.writeFileHeader()) return Step::WriteFailed;
        if (body.size() >= kCommandScanMinimum) {
            // Each empty audio header found inside the command stands for 12
            // bytes of the stream that belong to it and were not read.
            std::uint64_t extra = 0;
            for (auto rest = body; const auto at = findBytes(rest, kEmptyAudioHeader);) {
                extra += kEmptyAudioHeaderSize;
                rest = rest.subspan(*at + 1);
            }
            if (!in_.skip(extra)) return Step::End;
        }
        return Step::Next;
    }
    case kTypeAggregate: {
        bool writeOk = true;
        writeAggregateSubTags(body, out_, media_, writeOk);
        return writeOk ? Step::Next : Step::WriteFailed;
    }
    default: return Step::Next;
    }
}

}  // namespace

BuiltinResult convertRtmpVariant(const std::string& rawPath, const std::string& outputPath, BuiltinStats* stats) {
    BuiltinStats local;
    BuiltinStats& s = stats ? *stats : local;
    ConversionStart start;
    if (const BuiltinResult r = beginConversion(rawPath, start, s); r != BuiltinResult::Converted) return r;
    const auto& chunkSizeAt = start.chunkSizeAt;

    FlvTagWriter out;
    if (!out.open(outputPath)) return BuiltinResult::CannotWriteOutput;
    VariantConverter converter(start.in, out, start.body);
    bool ok = true;
    if (chunkSizeAt) {
        ok = converter.run(*chunkSizeAt, kDefaultChunkSize);
    } else {
        const StartChoice choice = chooseStartWithoutChunkSize(start.probe);
        ok = (!choice.writeHeader || out.writeFileHeader()) && converter.run(choice.position, kAssumedChunkSize);
    }
    s.passes = 1;
    return endConversion(start, out, ok, s);
}

}  // namespace kestrel::files
