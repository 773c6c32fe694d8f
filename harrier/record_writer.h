#pragma once
// Writes a capture item's stream record file (merlin/stream_record.h):
// one record per segment, flags, a 2-byte little-endian length and the
// data.
//
// RTMP tunnelled over HTTP (RTMPT) arrives as HTTP responses: a segment
// that holds "HTTP/1." anywhere is taken for one, and only what follows its
// header is stream data, less the one byte that starts every RTMPT body.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "harrier/reorder_buffer.h"
#include "merlin/stream_record.h"

namespace kestrel::harrier {

// The stream data of a segment's payload: the payload itself, or for a
// payload that holds "HTTP/1.", what starts five bytes after the first
// "\r\n\r\n" (empty when there is none or nothing after it).
std::span<const std::uint8_t> recordData(std::span<const std::uint8_t> payload);

class RecordWriter final : public RecordSink {
public:
    // Creates (truncates) the file; false (errno kept) when it cannot.
    bool create(const std::string& path);
    // Writes one record of the segment's stream data; a segment without
    // stream data writes nothing.
    void writeRecord(std::uint8_t flags, std::uint64_t position, std::span<const std::uint8_t> payload) override;
    // False once a write failed.
    bool ok() const { return writer_.ok(); }
    bool close() { return writer_.close(); }

    std::uint64_t dataBytes() const { return dataBytes_; }      // stream bytes written
    std::uint32_t gapRecords() const { return gapRecords_; }   // records with the gap flag

private:
    merlin::StreamRecordWriter writer_;
    std::uint64_t dataBytes_ = 0;
    std::uint32_t gapRecords_ = 0;
    bool gapPending_ = false;  // a gap flag not written yet (its segment had no data)
};

}  // namespace kestrel::harrier
