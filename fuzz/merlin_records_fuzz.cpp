// libFuzzer target: Merlin's stream record reader and chunk-stream
// converter, from a record file to an FLV file, as `build-flv` and the
// conversion slots run them.
//
// Input: one mode byte, then
// - mode bit 0 clear: the record file as it is (damaged framing included);
// - mode bit 0 set: a cut table and a chunk stream. The table (a count
//   byte, then count + 1 entries of a flags byte and a 16-bit little-endian
//   length) is applied in turn to cut the stream into records, so record
//   boundaries fall anywhere in the stream, inside chunk headers, message
//   headers and the initial synchronisation window. Flags bit 0x20 marks the
//   record as following a gap; bit 0x80 leaves the record's bytes out, as a
//   recorder that lost them would, and flags the next record as a gap.
// At most 128 KiB.
//
// Checked besides memory safety: the output is a well-formed FLV file
// (header, then whole tags, each followed by its size) that is never much
// larger than the input.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/flv_format.h"
#include "fuzz/fuzz_support.h"
#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/stream_record.h"
#include "platform/byte_reader.h"

namespace {

constexpr const char* kTarget = "merlin_records_fuzz";
constexpr std::size_t kMaxInput = 128 * 1024;
constexpr std::uint8_t kLeaveOut = 0x80;
// Output bytes per input byte: a one-byte chunk header can start a
// message of its own, which costs a tag header and a size field (15
// bytes). Far more means bytes that were never received.
constexpr std::uint64_t kMaxGrowth = 20;

namespace merlin = kestrel::merlin;
using kestrel::fuzz::broken;

std::vector<std::uint8_t> cutIntoRecords(kestrel::ByteReader& in) {
    struct Cut {
        std::uint8_t flags;
        std::uint16_t length;
    };
    std::vector<Cut> table(static_cast<std::size_t>(in.u8()) + 1);
    for (auto& cut : table) cut = {in.u8(), in.le16()};
    const auto stream = in.rest();

    std::vector<std::uint8_t> records;
    std::size_t at = 0;
    bool gap = false;
    // Zero lengths cut nothing: the count bounds a table of them.
    for (std::size_t i = 0; at < stream.size() && i < stream.size() + 4096; ++i) {
        const Cut& cut = table[i % table.size()];
        const std::size_t n = std::min<std::size_t>(cut.length, stream.size() - at);
        if (cut.flags & kLeaveOut) {
            gap = true;
        } else {
            const auto flags = static_cast<std::uint8_t>((cut.flags & merlin::kRecordGap) | (gap ? merlin::kRecordGap : 0));
            const auto header = merlin::encodeRecordHeader(flags, n);
            records.insert(records.end(), header.begin(), header.end());
            records.insert(records.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                           stream.begin() + static_cast<std::ptrdiff_t>(at + n));
            gap = false;
        }
        at += n;
    }
    return records;
}

void checkFlv(const std::vector<std::uint8_t>& flv, std::size_t inputSize) {
    kestrel::ByteReader r(flv);
    if (!r.startsWith("FLV") || !r.skip(kestrel::flv::kFileHeaderSize) || r.be32() != 0)
        broken(kTarget, "the output does not start with an FLV header");
    while (r.remaining() > 0) {
        const std::uint8_t type = r.u8();
        const std::uint32_t dataSize = r.be24();
        r.skip(7);  // timestamp, stream id
        r.skip(dataSize);
        const std::uint32_t previous = r.be32();
        if (!r.ok()) broken(kTarget, "the output ends inside a tag");
        if (type != kestrel::flv::kTagAudio && type != kestrel::flv::kTagVideo && type != kestrel::flv::kTagScript)
            broken(kTarget, "the output holds a tag of unknown type");
        if (previous != dataSize + kestrel::flv::kTagHeaderSize) broken(kTarget, "a tag's size field is wrong");
    }
    if (flv.size() > 13 + kMaxGrowth * inputSize) broken(kTarget, "the output is far larger than the input");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput || size == 0) return -1;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    const std::uint8_t mode = in.u8();
    const std::vector<std::uint8_t> records =
        (mode & 0x01) ? cutIntoRecords(in) : std::vector<std::uint8_t>(in.rest().begin(), in.rest().end());

    const std::string recordPath = kestrel::fuzz::scratchFolder() + "stream.rec";
    const std::string flvPath = kestrel::fuzz::scratchFolder() + "stream.flv";
    if (!kestrel::fuzz::writeFile(recordPath, records)) broken(kTarget, "cannot write the record file");

    merlin::StreamRecordReader source;
    if (!source.open(recordPath.c_str())) broken(kTarget, "cannot open the record file just written");
    auto output = std::make_unique<merlin::FlvOutputFile>();
    if (!output->create(flvPath.c_str())) broken(kTarget, "cannot create the output");
    output->writeFileHeader(kestrel::flv::kFlagsAudio | kestrel::flv::kFlagsVideo);
    auto converter = std::make_unique<merlin::ChunkStreamConverter>();
    std::atomic<std::uint64_t> consumed{0};
    const auto outcome = converter->convert(source, *output, &consumed);
    output->setTypeFlags(outcome.typeFlags());
    if (!output->close()) broken(kTarget, "the output could not be written");
    source.close();

    if (outcome.tagsDropped > outcome.tags) broken(kTarget, "more tags dropped than started");
    checkFlv(kestrel::fuzz::readFile(flvPath), records.size());
    std::remove(recordPath.c_str());
    std::remove(flvPath.c_str());
    return 0;
}
