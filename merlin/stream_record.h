#pragma once
// Stream record files: the raw server-to-client bytes of one RTMP connection,
// as the live recorders write them and the FLV builder reads them.
//
// No file header; a sequence of records:
//   offset 0  1 byte   flags: 0x20 = bytes of the stream were lost before
//                      this record (a gap); 0x00 otherwise. No writer
//                      sets any other value: a reader that meets one
//                      knows the file's framing is damaged there.
//   offset 1  2 bytes  payload length, little-endian, 0..65535
//   offset 3  length   payload: consecutive bytes of the TCP stream
//
// This file is the one place that knows the layout: the writers (the live
// recorder, the test tools) and the readers (the FLV builder) all use it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrel::merlin {

inline constexpr std::uint8_t kRecordGap = 0x20;
inline constexpr std::size_t kRecordHeaderSize = 3;
inline constexpr std::size_t kMaxRecordPayload = 65535;

struct StreamRecord {
    std::uint8_t flags = 0;
    std::uint32_t length = 0;  // payload bytes now in the caller's buffer
    bool truncated = false;    // the file ended inside this record's payload
};

enum class RecordStatus {
    Record,  // a record was read
    End,     // no further record
    Error,   // the source could not be read
};

// Where a conversion takes its records from. Payloads are copied into the
// caller's buffer, which must hold kMaxRecordPayload bytes.
class RecordSource {
public:
    virtual ~RecordSource() = default;
    virtual RecordStatus next(StreamRecord& record, std::span<std::uint8_t> payload) = 0;
    // Back to the first record; false when the source cannot be rewound.
    virtual bool rewind() = 0;
    // Bytes of the source consumed so far, and the source's whole length.
    virtual std::uint64_t position() const = 0;
    virtual std::uint64_t length() const = 0;
    // True once the source was found to end inside a record (its header or
    // its payload cut short): the file was cut or damaged.
    virtual bool endsInsideRecord() const { return false; }
};

// The record header for a payload of at most kMaxRecordPayload bytes.
std::array<std::uint8_t, kRecordHeaderSize> encodeRecordHeader(std::uint8_t flags, std::size_t length);

// Reads a stream record file through its own buffer; one read() per many
// records, no allocation after open().
class StreamRecordReader final : public RecordSource {
public:
    StreamRecordReader();
    ~StreamRecordReader() override;
    StreamRecordReader(const StreamRecordReader&) = delete;
    StreamRecordReader& operator=(const StreamRecordReader&) = delete;

    // False (errno kept) when the file cannot be opened for reading. Only
    // a regular file is read (errno EINVAL otherwise): a FIFO or a device
    // has no length and may never end. Bytes appended after open() are not
    // read.
    bool open(const char* path);
    void close();
    bool isOpen() const { return fd_ >= 0; }

    RecordStatus next(StreamRecord& record, std::span<std::uint8_t> payload) override;
    bool rewind() override;
    std::uint64_t position() const override { return position_; }
    std::uint64_t length() const override { return length_; }
    bool endsInsideRecord() const override { return endsInsideRecord_; }

private:
    // Makes at least n bytes available in the buffer unless the file ends;
    // returns the number available. False on a read error.
    bool fill(std::size_t n, std::size_t& available);

    int fd_ = -1;
    std::uint64_t length_ = 0;
    std::uint64_t position_ = 0;  // file position of the next unread byte
    std::uint64_t fileRead_ = 0;  // bytes read from the file into the buffer
    bool endsInsideRecord_ = false;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
    std::size_t end_ = 0;
};

// A raw chunk-stream file (no record framing) read as gap-free records of
// up to kMaxRecordPayload bytes, for converters that get the stream already
// reassembled.
class RawStreamReader final : public RecordSource {
public:
    RawStreamReader() = default;
    ~RawStreamReader() override;
    RawStreamReader(const RawStreamReader&) = delete;
    RawStreamReader& operator=(const RawStreamReader&) = delete;

    // As StreamRecordReader::open: regular files only, read up to the
    // length they had when opened.
    bool open(const char* path);
    void close();

    // Offsets of the stream where bytes are missing before them (whoever
    // reassembled the stream knows): a record ends at each such offset and
    // the record that starts there carries the gap flag, so the converter
    // resynchronises instead of reading across the seam.
    void setGapOffsets(std::vector<std::uint64_t> offsets);

    RecordStatus next(StreamRecord& record, std::span<std::uint8_t> payload) override;
    bool rewind() override;
    std::uint64_t position() const override { return position_; }
    std::uint64_t length() const override { return length_; }

private:
    int fd_ = -1;
    std::uint64_t length_ = 0;
    std::uint64_t position_ = 0;
    std::vector<std::uint64_t> gaps_;
    std::size_t nextGap_ = 0;
};

// Writes a stream record file. A payload longer than one record holds is
// split into consecutive records; only the first carries the flags.
class StreamRecordWriter {
public:
    StreamRecordWriter();
    ~StreamRecordWriter();
    StreamRecordWriter(const StreamRecordWriter&) = delete;
    StreamRecordWriter& operator=(const StreamRecordWriter&) = delete;

    // Creates or truncates the file. False (errno kept) on failure.
    bool create(const char* path);
    bool write(std::uint8_t flags, std::span<const std::uint8_t> payload);
    // Flushes and closes; false when any write failed.
    bool close();
    bool ok() const { return ok_; }
    std::uint64_t bytesWritten() const { return written_; }

private:
    bool flush();

    int fd_ = -1;
    bool ok_ = true;
    std::uint64_t written_ = 0;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t used_ = 0;
};

}  // namespace kestrel::merlin
