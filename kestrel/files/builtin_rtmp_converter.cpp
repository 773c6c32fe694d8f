// The built-in converter that stands in when the outside converter gave too
// little: a heuristic chunk-stream parser that ignores chunk timestamps and
// retries with other chunk sizes when the stream does not tell its own.

#include "kestrel/files/builtin_rtmp_converter.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <vector>

#include "kestrel/files/builtin_rtmp_io.h"
#include "platform/byte_reader.h"

namespace kestrel::files {

using namespace rtmp_builtin;

std::uint64_t rtmpProbeSize(std::uint64_t rawLength) {
    if (rawLength <= 10'240) return 1'024;
    if (rawLength <= 102'400) return 10'240;
    return 102'400;
}

namespace {

// Chunk sizes assumed, in this order, when the stream does not set one and a
// pass gives little media.
constexpr std::array<std::uint32_t, 4> kRetryChunkSizes{4096, 1024, 2048, 512};
// Longest message the AMF test accepts: a full body buffer plus the 4 bytes
// looked at before it.
constexpr std::uint32_t kMaxAmfTestLength = 450'004;
// Window searched for the end of an interleaved AMF message.
constexpr std::size_t kResyncSearchWindow = 4'096;
// Pieces of an aggregate message behind which interleaved messages are sought.
constexpr std::size_t kAggregateLookAheadPieces = 1'000;
constexpr std::array<std::uint8_t, 3> kAmfObjectEnd{0x00, 0x00, 0x09};

struct MessageStart {
    std::uint8_t type = 0;
    std::uint32_t length = 0;
};

enum class Step { Next, EndPass, WriteFailed };

class StageThreeConverter {
public:
    StageThreeConverter(RawStreamFile& in, FlvTagWriter& out, std::vector<std::uint8_t>& scratch,
                        std::vector<std::uint8_t>& body, std::span<const std::uint64_t> gaps)
        : in_(in), out_(out), scratch_(scratch), body_(body), gaps_(gaps) {}

    // One pass from start with the given chunk size; false when writing failed.
    bool runPass(std::uint64_t start, std::uint32_t chunkSize, bool writeHeaderFirst);
    std::uint64_t mediaBytes() const { return mediaBytes_; }

private:
    Step readHeaderAndMessage();
    std::uint32_t chunkSize() const { return effectiveChunkSize(chunkSize_); }
    // Bytes at the read position without moving; how many there were.
    std::size_t look(std::span<std::uint8_t> out);
    bool amfTest(std::uint32_t length);
    Step skipInterleavedAmf();
    Step message(MessageStart m);
    Step mediaMessage(MessageStart m);
    Step aggregateMessage(MessageStart m);
    Step otherMessage(MessageStart m);
    // Between two pieces of a message: passes over a whole message whose
    // header (format 0 or 1, time 0) has one of the given types. True when
    // one was passed over.
    bool passOverInterleaved(std::initializer_list<std::uint8_t> types, Step& step);
    // Bytes were lost between the current message's header and the read
    // position: what was read is no message.
    bool messageCrossesGap() const;
    // Past a place where bytes were lost, parsing goes on at the first
    // audio or video header that fits what the stream has shown so far.
    void findFootingAfter(std::uint64_t gap);

    RawStreamFile& in_;
    FlvTagWriter& out_;
    std::vector<std::uint8_t>& scratch_;
    std::vector<std::uint8_t>& body_;
    std::span<const std::uint64_t> gaps_;  // raw-stream offsets after which bytes are missing, ascending
    std::size_t nextGap_ = 0;
    std::uint64_t messageStart_ = 0;

    // Per pass.
    std::int64_t chunkSize_ = kDefaultChunkSize;
    std::uint64_t mediaBytes_ = 0;
    bool metadataWritten_ = false;
    bool resyncKnown_ = false;
    std::uint8_t resyncByte_ = 0;
    std::uint32_t amfLength_ = 0;  // remembered by the AMF test; 0: none
    std::uint32_t lastAggregateLength_ = 0;
    MessageStart previous_;
    // Carried from pass to pass.
    std::array<MediaState, 2> media_{};
};

bool StageThreeConverter::runPass(std::uint64_t start, std::uint32_t chunkSize, bool writeHeaderFirst) {
    chunkSize_ = chunkSize;
    mediaBytes_ = 0;
    metadataWritten_ = false;
    resyncKnown_ = false;
    amfLength_ = 0;
    lastAggregateLength_ = 0;
    previous_ = {};
    in_.seek(start);
    nextGap_ = 0;
    while (nextGap_ < gaps_.size() && gaps_[nextGap_] <= start) ++nextGap_;
    if (writeHeaderFirst && !out_.writeFileHeader()) return false;
    for (std::uint64_t headers = 0; headers < kMaxHeadersPerPass; ++headers) {
        if (nextGap_ < gaps_.size() && in_.position() >= gaps_[nextGap_]) {
            findFootingAfter(gaps_[nextGap_]);
            while (nextGap_ < gaps_.size() && gaps_[nextGap_] <= in_.position()) ++nextGap_;
        }
        messageStart_ = in_.position();
        const Step step = readHeaderAndMessage();
        if (step == Step::WriteFailed) return false;
        if (step == Step::EndPass) break;
    }
    return !out_.failed();
}

std::size_t StageThreeConverter::look(std::span<std::uint8_t> out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), in_.remaining()));
    return in_.peek(out.first(n)) ? n : 0;
}

// An AMF message of length bytes starting at the read position (already
// known to be a command or data message by its looks) ends with the object
// end marker: pass over it and remember the length.
bool StageThreeConverter::amfTest(std::uint32_t length) {
    if (length < kAmfObjectEnd.size() || length > kMaxAmfTestLength || length > in_.remaining()) return false;
    std::array<std::uint8_t, 3> tail{};
    if (!in_.peekAt(in_.position() + length - tail.size(), tail) || tail != kAmfObjectEnd) return false;
    in_.skip(length);
    amfLength_ = length;
    return true;
}

// A continuation chunk of an AMF message that was interleaved with media:
// resume right after the next object end marker within the next 4096 bytes,
// or after those bytes when there is none.
Step StageThreeConverter::skipInterleavedAmf() {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kResyncSearchWindow, in_.remaining()));
    const std::span<std::uint8_t> window(scratch_.data(), n);
    if (!in_.peek(window)) return Step::EndPass;
    const auto end = findBytes(window, kAmfObjectEnd);
    in_.skip(end ? *end + kAmfObjectEnd.size() : n);
    return in_.remaining() == 0 ? Step::EndPass : Step::Next;
}

Step StageThreeConverter::readHeaderAndMessage() {
    std::uint8_t basic = 0;
    if (!in_.readByte(basic)) return Step::EndPass;
    MessageStart m;
    switch (basic >> 6) {
    case 0: {
        std::array<std::uint8_t, 11> h{};
        if (!in_.read(h)) return Step::EndPass;
        // A header of this exact form carries nothing a player needs.
        if (basic == 0x01 && h[0] == 0x01 && h[1] == 0x05 && h[2] == 0x0A) return Step::Next;
        ByteReader r(h);
        m.length = r.be24At(3);
        m.type = r.u8At(6);
        break;
    }
    case 1: {
        std::array<std::uint8_t, 7> h{};
        if (!in_.read(h)) return Step::EndPass;
        ByteReader r(h);
        m.length = r.be24At(3);
        m.type = r.u8At(6);
        break;
    }
    case 2: {
        std::array<std::uint8_t, 3> h{};
        if (!in_.read(h)) return Step::EndPass;
        std::array<std::uint8_t, 4> next{};
        const std::size_t seen = look(next);
        if (seen >= 1 && media_[0].seen && next[0] == media_[0].signature) {
            m = {kTypeAudio, media_[0].lastLength};
        } else if (seen >= 1 && media_[1].seen && next[0] == media_[1].signature) {
            m = {kTypeVideo, media_[1].lastLength};
        } else if (h[0] == 0 && h[1] == 0 && h[2] == 0 && seen >= 2 && next[0] == 0x54 && next[1] == 0x01) {
            in_.seek(in_.position() - 2);
            return Step::Next;
        } else {
            const std::uint32_t length = amfLength_ != 0 ? amfLength_ : ByteReader(h).be24At(0);
            if (length != 0 && amfTest(length)) return Step::Next;
            m = {kTypeAggregate, lastAggregateLength_};
        }
        break;
    }
    default: {
        if ((media_[0].chunkByteKnown || media_[1].chunkByteKnown) && resyncKnown_ && basic == resyncByte_)
            return skipInterleavedAmf();
        std::array<std::uint8_t, 4> next{};
        const std::size_t seen = look(next);
        if (basic == 0xC2 && seen >= 2 && next[0] == 0x00 && next[1] == 0x06) {
            // A ping request on the control chunk stream.
            return in_.skip(6) ? Step::Next : Step::EndPass;
        }
        if (seen >= 1 && media_[0].seen && next[0] == media_[0].signature) {
            m = {kTypeAudio, media_[0].lastLength};
        } else if (seen >= 1 && media_[1].seen && next[0] == media_[1].signature) {
            m = {kTypeVideo, media_[1].lastLength};
        } else {
            if (seen >= 2 && next[0] == 0x02 && next[1] == 0x00 && amfLength_ != 0 && amfTest(amfLength_))
                return Step::Next;
            m = previous_;
        }
        break;
    }
    }
    return message(m);
}

Step StageThreeConverter::message(MessageStart m) {
    previous_ = m;
    if (m.type == kTypeAggregate) lastAggregateLength_ = m.length;
    const std::uint64_t span = spanWithContinuations(m.length, chunkSize());
    if (span > in_.remaining()) return Step::EndPass;
    if (m.length > kBufferSize) {
        // Too long for the body buffer: passed over unread.
        in_.skip(span);
        return Step::Next;
    }
    switch (m.type) {
    case kTypeAudio:
    case kTypeVideo: return mediaMessage(m);
    case kTypeAggregate: return aggregateMessage(m);
    default: return otherMessage(m);
    }
}

bool StageThreeConverter::passOverInterleaved(std::initializer_list<std::uint8_t> types, Step& step) {
    std::array<std::uint8_t, 8> h{};
    if (look(h) < h.size()) return false;
    const unsigned format = h[0] >> 6;
    ByteReader r(h);
    if (format > 1 || r.be24At(1) != 0 || std::find(types.begin(), types.end(), h[7]) == types.end()) return false;
    // Its own continuation bytes are part of it; a type-0 header has the
    // 4-byte message stream id after the 8 bytes looked at.
    const std::uint64_t length = r.be24At(4);
    const std::uint64_t skip = h.size() + (format == 0 ? 4 : 0) + spanWithContinuations(length, chunkSize());
    if (!in_.skip(skip)) step = Step::EndPass;
    return true;
}

Step StageThreeConverter::mediaMessage(MessageStart m) {
    MediaState& state = media_[static_cast<std::size_t>(mediaIndex(m.type))];
    state.seen = true;
    state.lastLength = m.length;
    const std::uint32_t size = chunkSize();
    std::uint32_t got = 0;
    std::size_t pieces = 0;
    bool firstSeen = false;
    std::uint8_t first = 0;
    while (got < m.length) {
        if (pieces == kMaxPiecesPerMessage) {
            // Too many pieces: the rest of the message is passed over.
            const std::uint64_t rest = m.length - got;
            return in_.skip(rest + (rest + size - 1) / size) ? Step::Next : Step::EndPass;
        }
        const std::uint32_t n = std::min(size, m.length - got);
        if (!in_.read({body_.data() + got, n})) return Step::EndPass;
        if (got == 0) {
            std::copy_n(body_.begin(), std::min<std::size_t>(4, n), state.firstBytes.begin());
            state.signature = body_[0];
        }
        got += n;
        ++pieces;
        if (got == m.length) break;
        Step step = Step::Next;
        while (passOverInterleaved({kTypeUserControl, kTypeCommand}, step))
            if (step != Step::Next) return step;
        std::uint8_t continuation = 0;
        if (!in_.readByte(continuation)) return Step::EndPass;
        if (!firstSeen) {
            firstSeen = true;
            first = continuation;
            if (!state.chunkByteKnown) {
                state.chunkByteKnown = true;
                state.chunkByte = continuation;
            }
        } else if (continuation != first) {
            // Another chunk stream's header where this message should go on:
            // the message is abandoned and that header is parsed next.
            in_.seek(in_.position() - 1);
            return Step::Next;
        }
    }
    if (m.length >= 3 && !messageCrossesGap()) {
        if (!out_.writeTag(m.type, state.lastTimestamp, {body_.data(), m.length})) return Step::WriteFailed;
        mediaBytes_ += m.length;
    }
    return Step::Next;
}

bool StageThreeConverter::messageCrossesGap() const {
    return nextGap_ < gaps_.size() && messageStart_ < gaps_[nextGap_] && in_.position() > gaps_[nextGap_];
}

void StageThreeConverter::findFootingAfter(std::uint64_t gap) {
    // Before any audio or video there is nothing to recognise the stream by:
    // parsing simply goes on.
    if (!media_[0].seen && !media_[1].seen) return;
    constexpr std::uint64_t kSearch = 1 << 20;
    std::array<std::uint8_t, 13> h{};
    for (std::uint64_t q = gap; q < gap + kSearch && in_.peekAt(q, h); ++q) {
        const std::uint8_t format = h[0] >> 6;
        const std::uint8_t type = h[7];
        if ((format != 0 && format != 1) || (type != kTypeAudio && type != kTypeVideo)) continue;
        const std::uint32_t length = ByteReader(h).be24At(4);
        if (length < 3 || length > kBufferSize) continue;
        const MediaState& state = media_[static_cast<std::size_t>(mediaIndex(type))];
        if (!state.seen) continue;
        const std::uint8_t csid = h[0] & 0x3F;
        if (state.chunkByteKnown && csid != (state.chunkByte & 0x3F)) continue;
        const std::size_t headerSize = format == 0 ? 12 : 8;
        const std::uint8_t firstBody = h[headerSize];
        // Audio keeps its first byte (format, rate, size, channels); video
        // keeps its codec and changes only the frame type.
        if (type == kTypeAudio ? firstBody != state.signature
                               : (firstBody & 0x0F) != (state.signature & 0x0F) || (firstBody >> 4) < 1 ||
                                     (firstBody >> 4) > 5)
            continue;
        // A message longer than one chunk goes on after a header of its own
        // chunk stream.
        if (length > chunkSize()) {
            std::array<std::uint8_t, 1> next{};
            if (!in_.peekAt(q + headerSize + chunkSize(), next) || next[0] != (0xC0 | csid)) continue;
        }
        in_.seek(q);
        return;
    }
    in_.seek(in_.size());  // nothing to follow: the pass ends
}

Step StageThreeConverter::aggregateMessage(MessageStart m) {
    const std::uint32_t size = chunkSize();
    std::uint32_t got = 0;
    std::size_t pieces = 0;
    while (got < m.length) {
        if (pieces == kMaxPiecesPerMessage) {
            const std::uint64_t rest = m.length - got;
            return in_.skip(rest + (rest + size - 1) / size) ? Step::Next : Step::EndPass;
        }
        const std::uint32_t n = std::min(size, m.length - got);
        if (!in_.read({body_.data() + got, n})) return Step::EndPass;
        got += n;
        ++pieces;
        if (got == m.length) break;
        if (pieces <= kAggregateLookAheadPieces) {
            Step step = Step::Next;
            while (passOverInterleaved({kTypeUserControl, kTypeData, kTypeCommand}, step))
                if (step != Step::Next) return step;
        }
        if (!in_.skip(1)) return Step::EndPass;
    }
    if (messageCrossesGap()) return Step::Next;
    bool writeOk = true;
    mediaBytes_ += writeAggregateSubTags({body_.data(), m.length}, out_, media_, writeOk);
    return writeOk ? Step::Next : Step::WriteFailed;
}

Step StageThreeConverter::otherMessage(MessageStart m) {
    const std::uint32_t size = chunkSize();
    std::uint32_t got = 0;
    std::size_t pieces = 0;
    bool firstSeen = false;
    std::uint8_t first = 0;
    while (got < m.length) {
        if (pieces == kMaxPiecesPerMessage) {
            const std::uint64_t rest = m.length - got;
            return in_.skip(rest + (rest + size - 1) / size) ? Step::Next : Step::EndPass;
        }
        const std::uint32_t n = std::min(size, m.length - got);
        if (!in_.read({body_.data() + got, n})) return Step::EndPass;
        got += n;
        ++pieces;
        if (got == m.length) break;
        // Between pieces: an empty audio or video message announced on chunk
        // stream 6, or a user control message on chunk stream 2.
        for (;;) {
            std::array<std::uint8_t, 12> h{};
            if (look(h) < h.size()) break;
            ByteReader r(h);
            const bool emptyMedia = h[0] == 0x06 && r.be24At(1) == 0 && r.be24At(4) == 0 &&
                                    (h[7] == kTypeAudio || h[7] == kTypeVideo);
            const bool userControl = h[0] == 0x02 && r.be24At(1) == 0 && h[7] == kTypeUserControl;
            if (!emptyMedia && !userControl) break;
            const std::uint64_t skip = h.size() + (userControl ? spanWithContinuations(r.be24At(4), size) : 0);
            if (!in_.skip(skip)) return Step::EndPass;
        }
        std::uint8_t continuation = 0;
        if (!in_.readByte(continuation)) return Step::EndPass;
        if (!firstSeen) {
            firstSeen = true;
            first = continuation;
        }
    }

    if (m.type == kTypeSetChunkSize) {
        if (m.length >= 4) chunkSize_ = static_cast<std::int32_t>(ByteReader(std::span<const std::uint8_t>(body_.data(), 4)).be32At(0));
        return Step::Next;
    }
    if (m.type == kTypeUserControl) return Step::Next;

    std::size_t bodyLength = m.length;
    const bool endsAsAmf = m.length >= 3 && std::equal(kAmfObjectEnd.begin(), kAmfObjectEnd.end(),
                                                       body_.begin() + (m.length - 3));
    if (m.length > size && !endsAsAmf) {
        // The message did not end where an AMF message ends: take it that its
        // length counted its continuation bytes, and read on by as many.
        const std::uint64_t extra = (m.length - 1) / size;
        const std::size_t fits = static_cast<std::size_t>(std::min<std::uint64_t>(extra, kBufferSize - bodyLength));
        if (!in_.read({body_.data() + bodyLength, fits}) || !in_.skip(extra - fits)) return Step::EndPass;
        bodyLength += fits;
        if (!resyncKnown_ && firstSeen) {
            // The format-3 header byte of this message's chunk stream: met
            // again between media chunks, it marks the rest of such a message.
            resyncKnown_ = true;
            resyncByte_ = first;
        }
    }
    // Only a data message makes a valid FLV script tag; a command that
    // happens to mention the name is not written.
    if (!metadataWritten_ && m.type == kTypeData && !messageCrossesGap() &&
        findText({body_.data(), bodyLength}, kOnMetaData)) {
        if (!writeMetadataTag(out_, media_[0].lastTimestamp, {body_.data(), bodyLength})) return Step::WriteFailed;
        metadataWritten_ = true;
    }
    return Step::Next;
}

}  // namespace

BuiltinResult convertRtmpBuiltin(const std::string& rawPath, const std::string& outputPath, BuiltinStats* stats,
                                 std::span<const std::uint64_t> gapOffsets) {
    BuiltinStats local;
    BuiltinStats& s = stats ? *stats : local;
    ConversionStart start;
    if (const BuiltinResult r = beginConversion(rawPath, start, s); r != BuiltinResult::Converted) return r;
    const auto& chunkSizeAt = start.chunkSizeAt;
    const StartChoice fallback = chooseStartWithoutChunkSize(start.probe);

    FlvTagWriter out;
    if (!out.open(outputPath)) return BuiltinResult::CannotWriteOutput;
    StageThreeConverter converter(start.in, out, start.scratch, start.body, gapOffsets);

    const std::uint64_t enough = start.in.size() / 10;
    bool ok = chunkSizeAt ? converter.runPass(*chunkSizeAt, kDefaultChunkSize, false)
                          : converter.runPass(fallback.position, kDefaultChunkSize, fallback.writeHeader);
    s.passes = 1;
    if (!chunkSizeAt) {
        for (std::uint32_t retrySize : kRetryChunkSizes) {
            if (!ok || converter.mediaBytes() > enough) break;
            ok = out.restart() && converter.runPass(fallback.position, retrySize, fallback.writeHeader);
            ++s.passes;
        }
    }
    return endConversion(start, out, ok, s);
}

}  // namespace kestrel::files
