#include "harrier/record_writer.h"

#include "common/byte_search.h"

namespace kestrel::harrier {

std::span<const std::uint8_t> recordData(std::span<const std::uint8_t> payload) {
    if (common::findBytes(payload, 0, "HTTP/1.") >= payload.size()) return payload;
    const std::size_t blank = common::findBytes(payload, 0, "\r\n\r\n");
    // The blank line, and the byte before the RTMP data.
    constexpr std::size_t kSkipped = 5;
    if (blank >= payload.size() || payload.size() - blank <= kSkipped) return {};
    return payload.subspan(blank + kSkipped);
}

bool RecordWriter::create(const std::string& path) {
    dataBytes_ = 0;
    gapRecords_ = 0;
    gapPending_ = false;
    return writer_.create(path.c_str());
}

void RecordWriter::writeRecord(std::uint8_t flags, std::uint64_t /*position*/, std::span<const std::uint8_t> payload) {
    const auto data = recordData(payload);
    if (data.empty()) {
        // The hole is still before the next data written.
        if (flags & ReorderBuffer::kGapFlag) gapPending_ = true;
        return;
    }
    if (gapPending_) {
        flags |= ReorderBuffer::kGapFlag;
        gapPending_ = false;
    }
    if (flags & ReorderBuffer::kGapFlag) ++gapRecords_;
    writer_.write(flags, data);
    dataBytes_ += data.size();
}

}  // namespace kestrel::harrier
