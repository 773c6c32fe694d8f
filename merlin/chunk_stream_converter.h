#pragma once
// Turns an RTMP chunk stream, read as stream records, into an FLV file.
//
// The converter knows nothing of the connection: no handshake, no commands.
// It finds a point from which the chunk stream parses, follows the chunk
// streams from there, and rebuilds every audio, video and onMetaData message
// that arrives whole as an FLV tag. After a gap in the records, or a header
// that cannot be right, it searches for a new point it can follow. It also
// picks up the stream name that the server announces when the stream starts
// playing.
//
// A message's announced length is only a claim: its tag holds the bytes
// that arrived, and a message that does not get all of them (cut by the
// next message on its chunk stream, by lost bytes, by the end of the source
// or by the server's Abort Message) leaves no tag. The outcome tells a conversion that took in all of
// its source from one that passed over damage.
//
// One object per conversion; not shared between threads. All working memory
// is part of the object: nothing is allocated per record or per chunk.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "merlin/chunk_header.h"
#include "merlin/flv_output.h"
#include "merlin/stream_name.h"
#include "merlin/stream_record.h"

namespace kestrel::merlin {

// Told where each tag came from, for tools that relate output to input.
// Tags are numbered in the order their messages started (the output's
// TagId); offsets count payload bytes of the source's records from its
// start. A tag that was dropped (its message never ended) is started but
// never written.
class ConversionObserver : public TagWriteListener {
public:
    // A tag was opened for the message whose header starts at sourceOffset;
    // fullHeader: a type 0 or 1 header.
    virtual void tagStarted(std::uint64_t tag, std::uint64_t sourceOffset, bool fullHeader) = 0;
    // The last byte of that message arrived; sourceEnd is the offset after it.
    virtual void tagCompleted(std::uint64_t tag, std::uint64_t sourceEnd) = 0;
    // TagWriteListener::tagWritten(tag, outputPos): where the tag landed.
};

// Per chunk stream: the message being received on it.
inline constexpr std::uint32_t kNoMarker = 0xFFFFFFFF;

struct ChunkStreamEntry {
    std::uint8_t csid = 0;
    std::uint8_t type = 0;
    std::uint32_t length = 0;     // of the current message
    std::uint32_t remaining = 0;  // bytes of the current message still to come
    std::uint32_t pending = 0;    // bytes of the current chunk still to come in the next record
    std::uint32_t timestamp = 0;  // absolute time of the current message, ms
    std::uint32_t delta = 0;      // timestamp field of the last header that had one
    // Where the current message's bytes go in the output: its tag and the
    // tag's data size (writeSize 0: nowhere), the message bytes received so
    // far, and the message offset of an AMF0 object marker that the tag
    // turns into an ECMA array (kNoMarker: none).
    std::uint64_t tag = 0;
    std::uint32_t writeSize = 0;
    std::uint32_t received = 0;
    std::uint32_t markerAt = 0;
    // Leading message bytes the tag leaves out (a "@setDataFrame" name).
    std::uint32_t dropPrefix = 0;
    // The last type 0, 1 or 2 header had an extended timestamp, so type-3
    // headers carry one too.
    bool extended = false;
    // Where the current message's header was, for the observer.
    std::uint64_t headerOffset = 0;
    bool fullHeader = false;
};

// The chunk streams seen so far, in the order they appeared. The six-bit
// chunk stream ID bounds the table to 64 entries.
class ChunkStreamTable {
public:
    static constexpr std::size_t kCapacity = 64;

    ChunkStreamTable() { clear(); }
    void clear();
    ChunkStreamEntry* find(std::uint8_t csid);
    ChunkStreamEntry& obtain(std::uint8_t csid);  // created when new
    ChunkStreamEntry* firstPending();
    void clearPending();

private:
    std::array<ChunkStreamEntry, kCapacity> entries_{};
    std::array<std::int8_t, kCapacity> index_{};
    std::size_t count_ = 0;
};

struct SyncPoint {
    std::size_t drop = 0;          // leading bytes to drop
    std::uint32_t chunkSize = 0;   // chunk size in force at that point
};

struct ConversionOutcome {
    enum class Status {
        Converted,        // the stream was followed to the end of the source
        NotSynchronised,  // no point to follow in the first bytes: nothing written
        SourceError,      // the source could not be read (what was read is converted)
    };
    Status status = Status::NotSynchronised;
    bool audio = false;  // an audio tag was started
    bool video = false;  // a video tag was started
    StreamName streamName;  // empty unless the server announced one
    std::uint32_t gaps = 0;        // records flagged as gaps
    std::uint32_t lostSyncs = 0;   // headers refused while in sync
    std::uint32_t resyncs = 0;     // successful resynchronisations
    std::uint32_t tags = 0;        // tags started
    std::uint32_t tagsDropped = 0; // of those, left out: their messages never ended
    // Damage of the source itself, as opposed to bytes the recorder knew it
    // lost (gap records):
    std::uint32_t damagedRecords = 0;  // record headers with flags no recorder writes
    bool endsInsideRecord = false;     // the file ends inside a record
    // Refused headers, and messages cut short by the next message on their
    // chunk stream (or given up by the output because megabytes of other
    // messages came while they stayed open), in the part of the stream
    // before the first gap or damaged record. After one, they are taken as
    // the cost of the lost bytes.
    std::uint32_t lostSyncsUnexplained = 0;
    std::uint32_t messagesCutUnexplained = 0;

    std::uint8_t typeFlags() const;
    // Everything in the source reached the output: followed to the end,
    // every record intact, nothing refused or cut short but what recorded
    // gaps explain. (A message still open at the end of the source is
    // where the recording stopped, not damage.)
    bool complete() const;
};

class ChunkStreamConverter {
public:
    static constexpr std::size_t kWorkBufferSize = 65536;
    // A resynchronisation carries fewer than 20 bytes into the next record
    // (a Set Chunk Size header with an extended timestamp waits there for
    // its 4-byte value) and processing leaves fewer than 16 unparsed, so the
    // buffer needs this much beyond one record's payload.
    static constexpr std::size_t kMaxCarry = 20;
    static constexpr std::size_t kInitialCollection = 3072;
    static constexpr std::size_t kMaxSyncOffset = 1024;
    static constexpr std::size_t kNameBufferSize = 1024;
    static constexpr std::uint32_t kDefaultChunkSize = 128;

    ChunkStreamConverter() = default;
    ChunkStreamConverter(const ChunkStreamConverter&) = delete;
    ChunkStreamConverter& operator=(const ChunkStreamConverter&) = delete;

    // Converts the whole source into output, whose file header is already
    // written. consumed (optional) follows the source position for progress.
    // The type flags are left to the caller (ConversionOutcome::typeFlags).
    ConversionOutcome convert(RecordSource& source, FlvOutputFile& output,
                              std::atomic<std::uint64_t>* consumed = nullptr);

    // Optional; must outlive the conversions it watches.
    void setObserver(ConversionObserver* observer) { observer_ = observer; }

    // The offset and chunk size from which the first kInitialCollection
    // bytes of window parse as a chunk stream to within 16 bytes of their
    // end, if there is one. When several chunk sizes parse at that offset,
    // the first one that also parses the whole window wins: 3,072 bytes
    // rarely cross enough chunk boundaries to tell 2048 from 4096.
    static std::optional<SyncPoint> findSyncPoint(std::span<const std::uint8_t> window);
    // Walks bytes header by header with the given chunk size; true when it
    // gets to within 16 bytes of the end without a refused header.
    static bool trialParse(std::span<const std::uint8_t> bytes, std::uint32_t chunkSize);
    // The same, and whether the size tried ever cut a chunk short.
    static bool trialParse(std::span<const std::uint8_t> bytes, std::uint32_t chunkSize, bool& cutByChunkSize);

private:
    enum class Processed { InSync, LostSync };
    enum class Resync { Found, EndOfSource };

    void reset();
    void publish();
    void clearPending();
    bool initialSync(ConversionOutcome& outcome);
    RecordStatus readRecord(std::size_t offset, StreamRecord& record);
    Processed process();
    Resync resynchronise(StreamRecord first, std::size_t carried);
    bool accepted(const ChunkHeader& h);
    std::uint32_t takePayload(ChunkStreamEntry& entry, std::uint32_t wanted, std::size_t available);
    void startMessage(ChunkStreamEntry& entry, std::span<const std::uint8_t> firstChunk);
    void startOrDefer(ChunkStreamEntry& entry, std::span<const std::uint8_t> chunk);
    // The message on entry ends before its last byte: its tag is dropped.
    void cutMessage(ChunkStreamEntry& entry);
    void continueDeferred(ChunkStreamEntry& entry, std::span<const std::uint8_t> chunk);
    std::size_t bytesToStart(const ChunkStreamEntry& entry) const;
    void writePayload(ChunkStreamEntry& entry, std::span<const std::uint8_t> bytes);
    void writeMessageBytes(ChunkStreamEntry& entry, std::span<const std::uint8_t> bytes);
    void setChunkSize(std::uint32_t size);
    void abortMessage(std::uint32_t csid);

    RecordSource* source_ = nullptr;
    FlvOutputFile* output_ = nullptr;
    std::atomic<std::uint64_t>* consumed_ = nullptr;
    ConversionOutcome* outcome_ = nullptr;
    bool sourceError_ = false;
    bool lossSeen_ = false;  // a gap or a damaged record was read
    std::uint64_t givenUpBeforeLoss_ = 0;  // tags the output gave up before that
    ConversionObserver* observer_ = nullptr;
    std::uint64_t payloadRead_ = 0;  // record payload bytes read since the start
    std::uint64_t workOffset_ = 0;   // source offset of work_[0]

    std::array<std::uint8_t, kWorkBufferSize + kMaxCarry> work_{};
    std::array<std::uint8_t, kWorkBufferSize> syncWindow_{};
    std::size_t workCount_ = 0;
    std::uint32_t chunkSize_ = kDefaultChunkSize;
    std::int64_t currentStreamId_ = -1;  // -1: none yet
    ChunkStreamTable table_;

    struct MediaTrack {
        bool started = false;
        std::uint8_t csid = 0;
        std::uint32_t running = 0;  // timestamp of the last tag, ms
    };
    MediaTrack audio_;
    MediaTrack video_;
    std::uint8_t firstAudioByte_ = 0;
    std::uint8_t videoCodec_ = 0;

    bool nameCapture_ = false;
    std::array<std::uint8_t, kNameBufferSize> name_{};
    std::size_t nameFill_ = 0;

    // A message whose start depends on the bytes of its first chunk (the
    // markers of status and metadata messages, the video frame type) waits
    // here when that chunk is split over records.
    static constexpr std::size_t kDeferredStartSize = 4096;
    ChunkStreamEntry* deferred_ = nullptr;
    std::array<std::uint8_t, kDeferredStartSize> deferredBytes_{};
    std::size_t deferredFill_ = 0;

    std::array<std::uint8_t, 4> chunkSizeBytes_{};
    std::size_t chunkSizeFill_ = 0;
    std::array<std::uint8_t, 4> abortBytes_{};  // an Abort Message's chunk stream ID
    std::size_t abortFill_ = 0;
};

}  // namespace kestrel::merlin
