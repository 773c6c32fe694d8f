// libFuzzer target: the record writer of a capture item fed segment
// payloads, as the reorder buffer hands them over, and its file read back
// with the record reader that Merlin uses.
//
// Input: payloads, each a flags byte (bit 0x20: bytes were lost before it),
// a 2-byte big-endian length and that many bytes (the last one takes what
// is left). At most 256 KiB.
//
// Checked besides memory safety: the file reads back as whole records; each
// record is what an independent reading of the rule says: a payload that
// holds "HTTP/1." keeps what starts five bytes after its first blank line
// (nothing when there is none), every other payload is kept whole; a
// payload that keeps nothing writes no record and hands its gap flag to the
// next record; the byte and gap counts agree with the file.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "harrier/record_writer.h"
#include "merlin/stream_record.h"
#include "platform/byte_reader.h"

namespace {

constexpr const char* kTarget = "harrier_record_writer_fuzz";
constexpr std::size_t kMaxInput = 256 * 1024;

using kestrel::fuzz::broken;
namespace harrier = kestrel::harrier;
namespace merlin = kestrel::merlin;

std::string_view keptData(std::string_view payload) {
    if (payload.find("HTTP/1.") == std::string_view::npos) return payload;
    const auto blank = payload.find("\r\n\r\n");
    if (blank == std::string_view::npos || blank + 5 >= payload.size()) return {};
    return payload.substr(blank + 5);
}

struct Record {
    std::uint8_t flags;
    std::string data;
    bool operator==(const Record&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return 0;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    const std::string path = kestrel::fuzz::scratchFolder() + "flash.@@@";
    harrier::RecordWriter writer;
    if (!writer.create(path)) broken(kTarget, "no scratch file");

    std::vector<Record> expected;
    std::uint64_t bytes = 0;
    std::uint32_t gaps = 0;
    bool pendingGap = false;
    while (in.remaining() >= 3) {
        const std::uint8_t flags = in.u8() & harrier::ReorderBuffer::kGapFlag;
        std::size_t length = in.be16();
        if (length > in.remaining()) length = in.remaining();
        const auto payload = in.bytes(length);
        writer.writeRecord(flags, 0, payload);
        const auto kept = keptData(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
        const bool gap = pendingGap || flags != 0;
        if (kept.empty()) {
            pendingGap = gap;
            continue;
        }
        pendingGap = false;
        expected.push_back({static_cast<std::uint8_t>(gap ? 0x20 : 0), std::string(kept)});
        bytes += kept.size();
        if (gap) ++gaps;
    }
    if (!writer.close()) broken(kTarget, "the record file could not be written");
    if (writer.dataBytes() != bytes) broken(kTarget, "the byte count is not the data written");
    if (writer.gapRecords() != gaps) broken(kTarget, "the gap count is not the gap records written");

    merlin::StreamRecordReader reader;
    if (!reader.open(path.c_str())) broken(kTarget, "the record file cannot be opened");
    std::vector<std::uint8_t> payload(merlin::kMaxRecordPayload);
    std::vector<Record> got;
    merlin::StreamRecord record;
    for (;;) {
        const auto status = reader.next(record, payload);
        if (status == merlin::RecordStatus::End) break;
        if (status != merlin::RecordStatus::Record || record.truncated) broken(kTarget, "the file does not read back as records");
        got.push_back({record.flags, std::string(payload.begin(), payload.begin() + record.length)});
    }
    if (reader.endsInsideRecord()) broken(kTarget, "the file ends inside a record");
    if (got != expected) broken(kTarget, "the records are not what the rule keeps");
    return 0;
}
