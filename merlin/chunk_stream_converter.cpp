#include "merlin/chunk_stream_converter.h"

#include <algorithm>
#include <cstring>

#include "common/flv_format.h"
#include "merlin/flv_output.h"
#include "platform/byte_reader.h"

namespace kestrel::merlin {

namespace {

// A Set Chunk Size message holds a 31-bit size; 0 would stall every message.
std::uint32_t chunkSizeValue(std::uint32_t raw) {
    return raw & 0x7FFFFFFF;
}

// Video frame types that are real frames; any other first byte of a video
// message (a command frame, say) makes its tag a script-data tag.
bool isVideoFrame(std::uint8_t firstByte) {
    const int frameType = firstByte >> 4;
    return frameType >= 1 && frameType <= 3;
}

constexpr std::size_t kSyncTail = 16;
constexpr std::uint8_t kAmfObject = 0x03;
constexpr std::uint8_t kAmfEcmaArray = 0x08;
constexpr std::uint32_t kEcmaCountSize = 4;
constexpr std::size_t kOnMetaDataNameSize = 12;  // 0x00 0x0A "onMetaData"
constexpr std::uint32_t kMaxTrialChunkSize = 1024;
// Chunk sizes servers commonly announce, tried at an offset after 128..1024.
constexpr std::uint32_t kLargeChunkSizes[] = {2048, 4096, 8192, 16384, 32768, 60000, 65536};

}  // namespace

std::uint8_t ConversionOutcome::typeFlags() const {
    return static_cast<std::uint8_t>((audio ? flv::kFlagsAudio : 0) | (video ? flv::kFlagsVideo : 0));
}

bool ConversionOutcome::complete() const {
    return status == Status::Converted && damagedRecords == 0 && !endsInsideRecord && lostSyncsUnexplained == 0 &&
           messagesCutUnexplained == 0;
}

// ---------------------------------------------------------------- table

void ChunkStreamTable::clear() {
    count_ = 0;
    index_.fill(-1);
}

ChunkStreamEntry* ChunkStreamTable::find(std::uint8_t csid) {
    if (csid >= kCapacity) return nullptr;
    const int idx = index_[csid];
    return idx < 0 ? nullptr : &entries_[static_cast<std::size_t>(idx)];
}

ChunkStreamEntry& ChunkStreamTable::obtain(std::uint8_t csid) {
    csid &= 0x3F;
    if (ChunkStreamEntry* e = find(csid)) return *e;
    ChunkStreamEntry& e = entries_[count_];
    e = ChunkStreamEntry{};
    e.csid = csid;
    index_[csid] = static_cast<std::int8_t>(count_);
    ++count_;
    return e;
}

ChunkStreamEntry* ChunkStreamTable::firstPending() {
    for (std::size_t i = 0; i < count_; ++i)
        if (entries_[i].pending != 0) return &entries_[i];
    return nullptr;
}

void ChunkStreamTable::clearPending() {
    for (std::size_t i = 0; i < count_; ++i) entries_[i].pending = 0;
}

// ---------------------------------------------------------------- synchronisation

bool ChunkStreamConverter::trialParse(std::span<const std::uint8_t> bytes, std::uint32_t chunkSize) {
    bool cut = false;
    return trialParse(bytes, chunkSize, cut);
}

bool ChunkStreamConverter::trialParse(std::span<const std::uint8_t> bytes, std::uint32_t chunkSize,
                                      bool& cutByChunkSize) {
    // Whether the chunk size tried ever ended a chunk before its message or
    // the bytes did. When it never did, every larger size walks the same
    // chunks, so the search can skip them. A size the stream sets itself
    // replaces the one tried; from there the walk no longer depends on it.
    cutByChunkSize = false;
    bool trialSizeInForce = true;
    // A table of its own, small enough to set up for each of the many trials.
    std::uint64_t known = 0;
    std::uint64_t extended = 0;
    std::array<std::uint32_t, 64> length{};
    std::array<std::uint32_t, 64> remaining{};
    std::array<std::uint8_t, 64> type{};
    ByteReader walk(bytes);
    while (walk.remaining() > kSyncTail) {
        ChunkHeader h;
        const std::size_t c = walk.u8At(walk.position()) & 0x3Fu;
        if (!decodeChunkHeader(walk.rest(), h, ((extended >> c) & 1) != 0)) return false;
        if (h.format <= 2) {
            const std::uint64_t bit = std::uint64_t{1} << c;
            extended = h.extended ? extended | bit : extended & ~bit;
        }
        if (!h.isFull()) {
            if (((known >> c) & 1) == 0) return false;
            if (remaining[c] == 0) remaining[c] = length[c];
        } else {
            if (!isPlausible(h)) return false;
            known |= std::uint64_t{1} << c;
            type[c] = h.type;
            length[c] = remaining[c] = h.length;
        }
        walk.skip(h.size);
        if (length[c] == 0) continue;
        const bool firstChunk = remaining[c] == length[c];
        const std::size_t unlimited = std::min<std::size_t>(remaining[c], walk.remaining());
        if (trialSizeInForce && chunkSize < unlimited) cutByChunkSize = true;
        const auto chunk = walk.bytes(std::min<std::size_t>(unlimited, chunkSize));
        if (type[c] == kMsgSetChunkSize && firstChunk && chunk.size() >= 4) {
            std::uint32_t size = chunkSizeValue(ByteReader(chunk).be32At(0));
            if (size != 0) {
                chunkSize = size;
                trialSizeInForce = false;
            }
        }
        remaining[c] -= static_cast<std::uint32_t>(chunk.size());
    }
    return true;
}

std::optional<SyncPoint> ChunkStreamConverter::findSyncPoint(std::span<const std::uint8_t> window) {
    const auto collected = window.first(std::min(window.size(), kInitialCollection));
    for (std::size_t k = 0; k < kMaxSyncOffset && k < collected.size() && collected.size() - k > kSyncTail; ++k) {
        const auto rest = collected.subspan(k);
        // Every chunk size refuses a first header that is not plausible.
        ChunkHeader first;
        if (!decodeChunkHeader(rest, first) || !isPlausible(first)) continue;
        std::optional<std::uint32_t> found;
        // Tried in ascending order: a size that failed without ever
        // cutting a chunk means every larger one fails the same way.
        bool largerFailToo = false;
        auto tryChunkSize = [&](std::uint32_t c) {
            bool cut = false;
            if (!trialParse(rest, c, cut)) {
                largerFailToo = !cut;
                return false;
            }
            if (!found) found = c;
            return window.size() <= collected.size() || trialParse(window.subspan(k), c);
        };
        for (std::uint32_t c = kDefaultChunkSize; c <= kMaxTrialChunkSize && !largerFailToo; ++c)
            if (tryChunkSize(c)) return SyncPoint{k, c};
        for (std::uint32_t c : kLargeChunkSizes) {
            if (largerFailToo) break;
            if (tryChunkSize(c)) return SyncPoint{k, c};
        }
        if (found) return SyncPoint{k, *found};
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- conversion

void ChunkStreamConverter::reset() {
    sourceError_ = false;
    lossSeen_ = false;
    givenUpBeforeLoss_ = 0;
    workCount_ = 0;
    payloadRead_ = 0;
    workOffset_ = 0;
    chunkSize_ = kDefaultChunkSize;
    currentStreamId_ = -1;
    table_.clear();
    audio_ = MediaTrack{};
    video_ = MediaTrack{};
    firstAudioByte_ = 0;
    videoCodec_ = 0;
    nameCapture_ = false;
    nameFill_ = 0;
    chunkSizeFill_ = 0;
    abortFill_ = 0;
    deferred_ = nullptr;
    deferredFill_ = 0;
}

void ChunkStreamConverter::clearPending() {
    // A chunk that was still coming lost its bytes: its message cannot be
    // whole, and what comes for it later is not written.
    while (ChunkStreamEntry* e = table_.firstPending()) {
        cutMessage(*e);
        e->pending = 0;
    }
    deferred_ = nullptr;  // a message not started before a gap is not started at all
}

void ChunkStreamConverter::cutMessage(ChunkStreamEntry& entry) {
    if (entry.writeSize != 0) output_->dropTag(entry.tag);
    entry.writeSize = 0;
    if (deferred_ == &entry) deferred_ = nullptr;
    if (entry.type == kMsgCommandAmf0) nameCapture_ = false;
}

void ChunkStreamConverter::publish() {
    if (consumed_) consumed_->store(source_->position(), std::memory_order_relaxed);
}

RecordStatus ChunkStreamConverter::readRecord(std::size_t offset, StreamRecord& record) {
    if (offset > kMaxCarry) offset = 0;  // cannot happen: the callers carry less
    RecordStatus status = source_->next(record, std::span<std::uint8_t>(work_).subspan(offset));
    if (status == RecordStatus::Error) sourceError_ = true;
    if (status == RecordStatus::Record) {
        workOffset_ = payloadRead_ - offset;
        payloadRead_ += record.length;
    }
    if (status != RecordStatus::Record) return status;
    if (record.flags != 0 && record.flags != kRecordGap) {
        // No recorder writes such a header: the framing of the file is
        // damaged here, and what follows is read as after a gap.
        ++outcome_->damagedRecords;
        record.flags = kRecordGap;
    } else if (record.flags == kRecordGap) {
        ++outcome_->gaps;
    }
    if (record.flags == kRecordGap && !lossSeen_) {
        lossSeen_ = true;
        givenUpBeforeLoss_ = output_->tagsGivenUp();
    }
    return status;
}

bool ChunkStreamConverter::initialSync(ConversionOutcome& outcome) {
    // The first 3,072 bytes must come without a gap; more bytes, up to the
    // first gap, only help to choose between chunk sizes.
    std::size_t have = 0;
    StreamRecord record;
    while (have < syncWindow_.size()) {
        RecordStatus status = readRecord(0, record);
        if (status == RecordStatus::Error) {
            outcome.status = ConversionOutcome::Status::SourceError;
            return false;
        }
        if (status != RecordStatus::Record || (record.flags & kRecordGap)) break;
        const std::size_t n = std::min<std::size_t>(record.length, syncWindow_.size() - have);
        std::memcpy(syncWindow_.data() + have, work_.data(), n);
        have += n;
    }
    if (have < kInitialCollection) return false;
    const auto point = findSyncPoint(std::span<const std::uint8_t>(syncWindow_).first(have));
    if (!point) return false;

    chunkSize_ = point->chunkSize;
    currentStreamId_ = -1;
    table_.clear();
    // The records are read again from the start, and counted again.
    outcome.gaps = 0;
    outcome.damagedRecords = 0;
    lossSeen_ = false;
    if (!source_->rewind()) {
        outcome.status = ConversionOutcome::Status::SourceError;
        return false;
    }
    std::size_t toDrop = point->drop;
    workCount_ = 0;
    payloadRead_ = 0;
    while (readRecord(0, record) == RecordStatus::Record) {
        if (record.length <= toDrop) {
            toDrop -= record.length;
            continue;
        }
        workCount_ = record.length - toDrop;
        std::memmove(work_.data(), work_.data() + toDrop, workCount_);
        workOffset_ += toDrop;
        break;
    }
    return true;
}

bool ChunkStreamConverter::accepted(const ChunkHeader& h) {
    if (!h.isFull()) return table_.find(h.csid) != nullptr;
    return isPlausible(h);
}

std::uint32_t ChunkStreamConverter::takePayload(ChunkStreamEntry& entry, std::uint32_t wanted,
                                                std::size_t available) {
    if (available < wanted) {
        const auto got = static_cast<std::uint32_t>(available);
        entry.remaining -= got;
        entry.pending = wanted - got;
        return got;
    }
    entry.pending = 0;
    entry.remaining -= wanted;
    return wanted;
}

void ChunkStreamConverter::abortMessage(std::uint32_t csid) {
    // The server gave up the message it was sending on that chunk stream:
    // no tag for it, and no damage either. The chunk stream's next header
    // starts a new message.
    if (csid >= ChunkStreamTable::kCapacity) return;
    ChunkStreamEntry* e = table_.find(static_cast<std::uint8_t>(csid));
    if (!e || e->remaining == 0) return;
    cutMessage(*e);
    e->remaining = 0;
    e->pending = 0;
}

void ChunkStreamConverter::setChunkSize(std::uint32_t size) {
    size = chunkSizeValue(size);
    if (size != 0) chunkSize_ = size;
}

void ChunkStreamConverter::startMessage(ChunkStreamEntry& entry, std::span<const std::uint8_t> firstChunk) {
    entry.writeSize = 0;
    entry.received = 0;
    entry.markerAt = kNoMarker;
    entry.dropPrefix = 0;
    switch (entry.type) {
    case kMsgCommandAmf0:
        nameCapture_ = holdsPlayStart(firstChunk);
        if (nameCapture_) nameFill_ = 0;
        return;
    case kMsgSetChunkSize:
        chunkSizeFill_ = 0;
        return;
    case kMsgAbort:
        abortFill_ = 0;
        return;
    case kMsgAudio:
    case kMsgVideo: {
        const bool isAudio = entry.type == kMsgAudio;
        MediaTrack& track = isAudio ? audio_ : video_;
        const MediaTrack& other = isAudio ? video_ : audio_;
        // Neither stream may fall behind the other: players stall on a
        // timestamp that goes back across the two.
        track.running = std::max(entry.timestamp, other.running);
        std::uint8_t tagType = entry.type;
        if (!isAudio && !firstChunk.empty() && !isVideoFrame(firstChunk[0])) tagType = flv::kTagScript;
        entry.tag = output_->openTag(tagType, entry.length, track.running);
        entry.writeSize = entry.length;
        track.started = true;
        track.csid = entry.csid;
        ++outcome_->tags;
        if (observer_) observer_->tagStarted(entry.tag, entry.headerOffset, entry.fullHeader);
        return;
    }
    case kMsgDataAmf0: {
        const auto name = findOnMetaData(firstChunk);
        if (!name) return;
        // Some servers send the metadata as an AMF0 object; FLV wants an
        // ECMA array there, which is the same with a 4-byte count after
        // its marker (0 here: readers take the properties up to the end).
        const std::size_t marker = *name + kOnMetaDataNameSize;
        std::uint32_t size = entry.length;
        // A server that passes on its publisher's data message as it came
        // leaves the "@setDataFrame" name in front of "onMetaData"; in a
        // file the tag must begin with "onMetaData".
        static constexpr std::uint8_t kSetDataFrame[] = {0x02, 0x00, 0x0D, '@', 's', 'e', 't', 'D', 'a',
                                                         't',  'a',  'F',  'r', 'a', 'm', 'e'};
        if (*name == sizeof kSetDataFrame + 1 &&
            std::equal(std::begin(kSetDataFrame), std::end(kSetDataFrame), firstChunk.begin())) {
            entry.dropPrefix = sizeof kSetDataFrame;
            size -= entry.dropPrefix;
        }
        if (marker < firstChunk.size() && firstChunk[marker] == kAmfObject) {
            entry.markerAt = static_cast<std::uint32_t>(marker);
            size += kEcmaCountSize;
        }
        entry.tag = output_->openTag(flv::kTagScript, size, 0);
        entry.writeSize = size;
        ++outcome_->tags;
        if (observer_) observer_->tagStarted(entry.tag, entry.headerOffset, entry.fullHeader);
        return;
    }
    default:
        return;
    }
}

std::size_t ChunkStreamConverter::bytesToStart(const ChunkStreamEntry& entry) const {
    switch (entry.type) {
    case kMsgCommandAmf0:
    case kMsgDataAmf0:
        return std::min<std::size_t>({entry.length, chunkSize_, kDeferredStartSize});
    case kMsgAudio:
    case kMsgVideo:
        return 1;
    default:
        return 0;
    }
}

void ChunkStreamConverter::startOrDefer(ChunkStreamEntry& entry, std::span<const std::uint8_t> chunk) {
    if (chunk.size() >= bytesToStart(entry) || entry.pending == 0) {
        startMessage(entry, chunk);
        writePayload(entry, chunk);
        return;
    }
    entry.writeSize = 0;
    entry.received = 0;
    deferred_ = &entry;
    deferredFill_ = chunk.size();
    std::memcpy(deferredBytes_.data(), chunk.data(), chunk.size());
}

void ChunkStreamConverter::continueDeferred(ChunkStreamEntry& entry, std::span<const std::uint8_t> chunk) {
    const std::size_t n = std::min(chunk.size(), deferredBytes_.size() - deferredFill_);
    std::memcpy(deferredBytes_.data() + deferredFill_, chunk.data(), n);
    deferredFill_ += n;
    if (deferredFill_ < bytesToStart(entry) && entry.pending != 0) return;
    deferred_ = nullptr;
    const auto first = std::span<const std::uint8_t>(deferredBytes_).first(deferredFill_);
    startMessage(entry, first);
    writePayload(entry, first);
    writePayload(entry, chunk.subspan(n));
}

void ChunkStreamConverter::writeMessageBytes(ChunkStreamEntry& entry, std::span<const std::uint8_t> bytes) {
    std::uint32_t offset = entry.received;  // of bytes[0] in the message
    entry.received += static_cast<std::uint32_t>(bytes.size());
    if (entry.writeSize == 0) return;
    if (offset < entry.dropPrefix) {
        const std::size_t cut = std::min<std::size_t>(bytes.size(), entry.dropPrefix - offset);
        bytes = bytes.subspan(cut);
        offset += static_cast<std::uint32_t>(cut);
    }
    // Message offset to tag data offset; never past the tag's data area,
    // whatever the chunk headers claimed.
    auto put = [&](std::uint32_t messageOffset, std::span<const std::uint8_t> b) {
        std::uint64_t dataOffset = messageOffset - entry.dropPrefix;
        if (entry.markerAt != kNoMarker && messageOffset > entry.markerAt) dataOffset += kEcmaCountSize;
        if (b.empty() || dataOffset >= entry.writeSize) return;
        const std::size_t n = std::min<std::uint64_t>(b.size(), entry.writeSize - dataOffset);
        output_->write(entry.tag, static_cast<std::uint32_t>(dataOffset), b.first(n));
    };
    if (entry.markerAt == kNoMarker || offset + bytes.size() <= entry.markerAt || offset > entry.markerAt) {
        put(offset, bytes);
        return;
    }
    // The object marker becomes an ECMA array marker; its count stays 0.
    const std::size_t head = entry.markerAt - offset;
    put(offset, bytes.first(head));
    static constexpr std::uint8_t kEcmaArray[] = {kAmfEcmaArray};
    put(entry.markerAt, kEcmaArray);
    put(entry.markerAt + 1, bytes.subspan(head + 1));
}

void ChunkStreamConverter::writePayload(ChunkStreamEntry& entry, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return;
    switch (entry.type) {
    case kMsgSetChunkSize: {
        if (chunkSizeFill_ >= chunkSizeBytes_.size()) return;  // bytes beyond the fourth
        const std::size_t n = std::min(bytes.size(), chunkSizeBytes_.size() - chunkSizeFill_);
        std::memcpy(chunkSizeBytes_.data() + chunkSizeFill_, bytes.data(), n);
        chunkSizeFill_ += n;
        if (chunkSizeFill_ == chunkSizeBytes_.size()) setChunkSize(ByteReader(chunkSizeBytes_).be32At(0));
        return;
    }
    case kMsgAbort: {
        if (abortFill_ >= abortBytes_.size()) return;
        const std::size_t n = std::min(bytes.size(), abortBytes_.size() - abortFill_);
        std::memcpy(abortBytes_.data() + abortFill_, bytes.data(), n);
        abortFill_ += n;
        if (abortFill_ == abortBytes_.size()) abortMessage(ByteReader(abortBytes_).be32At(0));
        return;
    }
    case kMsgAudio:
    case kMsgVideo:
    case kMsgDataAmf0:
        writeMessageBytes(entry, bytes);
        return;
    case kMsgCommandAmf0: {
        if (!nameCapture_) return;
        const std::size_t n = std::min(bytes.size(), name_.size() - nameFill_);
        std::memcpy(name_.data() + nameFill_, bytes.data(), n);
        nameFill_ += n;
        StreamName found;
        if (scanDescription(std::span<const std::uint8_t>(name_).first(nameFill_), found) ==
            DescriptionScan::Complete) {
            nameCapture_ = false;
            if (!found.empty()) outcome_->streamName = found;
        }
        return;
    }
    default:
        return;
    }
}

ChunkStreamConverter::Processed ChunkStreamConverter::process() {
    ByteReader walk(std::span<const std::uint8_t>(work_.data(), workCount_));
    if (ChunkStreamEntry* e = table_.firstPending()) {
        const std::uint32_t wanted = std::min(e->pending, e->remaining);
        const auto chunk = walk.bytes(takePayload(*e, wanted, walk.remaining()));
        if (e == deferred_)
            continueDeferred(*e, chunk);
        else
            writePayload(*e, chunk);
        if (observer_ && e->remaining == 0 && e->pending == 0 && e->writeSize != 0)
            observer_->tagCompleted(e->tag, workOffset_ + walk.position());
    }
    while (walk.remaining() > 0) {
        ChunkHeader h;
        const ChunkStreamEntry* known = table_.find(walk.u8At(walk.position()) & 0x3F);
        if (!decodeChunkHeader(walk.rest(), h, known && known->extended))
            break;  // the rest of the header comes with the next record
        if (!accepted(h)) {
            // The rest of this record cannot be trusted: resynchronise from the next.
            workCount_ = 0;
            ++outcome_->lostSyncs;
            if (!lossSeen_) ++outcome_->lostSyncsUnexplained;
            return Processed::LostSync;
        }
        ChunkStreamEntry* e = nullptr;
        bool fresh = false;
        if (!h.isFull()) {
            e = table_.find(h.csid);
            fresh = e->remaining == 0;
            if (h.format == 2) e->extended = h.extended;
            if (fresh) {
                if (h.format == 2) e->delta = h.timestamp;
                e->timestamp += e->delta;
                e->remaining = e->length;
            }
        } else {
            if (h.format == 0) currentStreamId_ = h.streamId;
            e = &table_.obtain(h.csid);
            if (e->remaining != 0) {
                // A new message before the last one on this chunk stream
                // ended: that one never gets its missing bytes.
                cutMessage(*e);
                if (!lossSeen_) ++outcome_->messagesCutUnexplained;
            }
            e->type = h.type;
            e->length = e->remaining = h.length;
            e->pending = 0;
            // A type-0 header carries the absolute time, the others a delta.
            e->timestamp = h.format == 0 ? h.timestamp : e->timestamp + h.timestamp;
            e->delta = h.timestamp;
            e->extended = h.extended;
            fresh = true;
        }
        if (fresh) {
            e->headerOffset = workOffset_ + walk.position();
            e->fullHeader = h.isFull();
        }
        walk.skip(h.size);
        if (e->length == 0) {
            e->writeSize = 0;
            continue;
        }
        const std::uint32_t wanted = std::min(e->remaining, chunkSize_);
        const auto chunk = walk.bytes(takePayload(*e, wanted, walk.remaining()));
        if (fresh) {
            if (h.isFull() && !chunk.empty()) {
                if (e->type == kMsgAudio && firstAudioByte_ == 0) firstAudioByte_ = chunk[0];
                if (e->type == kMsgVideo && videoCodec_ == 0) videoCodec_ = chunk[0] & 0x0F;
            }
            startOrDefer(*e, chunk);
        } else {
            writePayload(*e, chunk);
        }
        if (observer_ && e->remaining == 0 && e->pending == 0 && e->writeSize != 0)
            observer_->tagCompleted(e->tag, workOffset_ + walk.position());
    }
    const std::size_t parsed = walk.position();
    workCount_ = walk.remaining();
    std::memmove(work_.data(), work_.data() + parsed, workCount_);
    workOffset_ += parsed;
    return Processed::InSync;
}

ChunkStreamConverter::Resync ChunkStreamConverter::resynchronise(StreamRecord record, std::size_t carried) {
    std::size_t len = carried + record.length;
    for (;;) {
        // Every step forward is checked against the bytes left: a header
        // near the end of the bytes must not move the scan past them.
        ByteReader scan(std::span<const std::uint8_t>(work_.data(), len));
        while (scan.remaining() >= kSyncTail) {
            ChunkHeader h;
            bool qualifies = decodeChunkHeader(scan.rest(), h) && isPlausible(h);
            if (qualifies && h.format == 0 && currentStreamId_ >= 0 && h.streamId != currentStreamId_)
                qualifies = false;
            if (qualifies) {
                const bool audioPoint = h.type == kMsgAudio && (!audio_.started || h.csid == audio_.csid) &&
                                        (firstAudioByte_ == 0 ||
                                         (h.hasPayload && h.firstPayloadByte == firstAudioByte_));
                const bool videoPoint = h.type == kMsgVideo && (!video_.started || h.csid == video_.csid) &&
                                        (videoCodec_ == 0 ||
                                         (h.hasPayload && (h.firstPayloadByte & 0x0F) == videoCodec_));
                const bool chunkSizePoint = h.type == kMsgSetChunkSize && h.length == 4;
                qualifies = audioPoint || videoPoint || chunkSizePoint;
            }
            if (!qualifies) {
                scan.skip(1);
                continue;
            }
            if (h.type == kMsgSetChunkSize && h.timestamp == 0) {
                ByteReader message(scan.rest());
                message.skip(h.size);
                const std::uint32_t size = message.be32();
                // Its value is not all here yet: it waits at the start of
                // the bytes carried into the next record.
                if (!message.ok()) break;
                setChunkSize(size);
                scan.skip(message.position());
                continue;
            }
            // Before any media tag, any audio or video header will do: waiting
            // for a known chunk stream would lose the whole stream.
            bool accept = false;
            if (audio_.started && video_.started)
                accept = true;
            else if (audio_.started)
                accept = h.type == kMsgAudio;
            else if (video_.started)
                accept = h.type == kMsgVideo;
            else
                accept = h.type == kMsgAudio || h.type == kMsgVideo;
            if (accept) {
                const std::size_t pos = scan.position();
                workCount_ = len - pos;
                std::memmove(work_.data(), work_.data() + pos, workCount_);
                workOffset_ += pos;
                ++outcome_->resyncs;
                return Resync::Found;
            }
            // The header and its first chunk, as far as they are here.
            scan.skip(std::min<std::size_t>(scan.remaining(), std::size_t{h.size} + std::min(h.length, chunkSize_)));
        }
        // Fewer than 20 bytes left: carry them into the next record.
        const std::size_t pos = scan.position();
        carried = len - pos;
        std::memmove(work_.data(), work_.data() + pos, carried);
        publish();
        if (readRecord(carried, record) != RecordStatus::Record) {
            workCount_ = 0;
            return Resync::EndOfSource;
        }
        if (record.flags == kRecordGap) {
            std::memmove(work_.data(), work_.data() + carried, record.length);
            workOffset_ += carried;
            carried = 0;
        }
        len = carried + record.length;
    }
}

ConversionOutcome ChunkStreamConverter::convert(RecordSource& source, FlvOutputFile& output,
                                                std::atomic<std::uint64_t>* consumed) {
    ConversionOutcome outcome;
    reset();
    source_ = &source;
    output_ = &output;
    consumed_ = consumed;
    outcome_ = &outcome;
    output.setListener(observer_);
    if (!initialSync(outcome)) {
        output.setListener(nullptr);
        outcome_ = nullptr;
        return outcome;
    }

    StreamRecord record;
    bool inSync = workCount_ == 0 || process() == Processed::InSync;
    for (;;) {
        if (inSync) {
            publish();
            if (readRecord(workCount_, record) != RecordStatus::Record) break;
            if (record.flags & kRecordGap) {
                // No chunk continues across lost bytes.
                std::memmove(work_.data(), work_.data() + workCount_, record.length);
                workOffset_ += workCount_;
                workCount_ = 0;
                clearPending();
                if (resynchronise(record, 0) == Resync::EndOfSource) break;
            } else {
                workCount_ += record.length;
            }
        } else {
            clearPending();
            if (readRecord(0, record) != RecordStatus::Record) break;
            if (resynchronise(record, 0) == Resync::EndOfSource) break;
        }
        publish();
        inSync = process() == Processed::InSync;
    }

    // Messages still open where the source ends were cut by the end of the
    // recording; their tags are left out, like every tag that never got all
    // its bytes.
    output.dropOpenTags();
    const std::uint64_t givenUp = lossSeen_ ? givenUpBeforeLoss_ : output.tagsGivenUp();
    outcome.messagesCutUnexplained += static_cast<std::uint32_t>(std::min<std::uint64_t>(givenUp, UINT32_MAX));
    outcome.tagsDropped = static_cast<std::uint32_t>(std::min<std::uint64_t>(output.tagsDropped(), UINT32_MAX));
    outcome.endsInsideRecord = source.endsInsideRecord();
    outcome.status = sourceError_ ? ConversionOutcome::Status::SourceError : ConversionOutcome::Status::Converted;
    outcome.audio = audio_.started;
    outcome.video = video_.started;
    output.setListener(nullptr);
    outcome_ = nullptr;
    return outcome;
}

}  // namespace kestrel::merlin
