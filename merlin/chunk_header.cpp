#include "merlin/chunk_header.h"

#include "platform/byte_reader.h"

namespace kestrel::merlin {

namespace {
constexpr std::uint32_t kMaxMediaMessage = 0x100000;
constexpr std::uint32_t kMaxOtherMessage = 4096;
constexpr std::uint8_t kMaxMessageType = 20;
constexpr std::uint32_t kMaxStreamId = 255;
}  // namespace

bool decodeChunkHeader(std::span<const std::uint8_t> bytes, ChunkHeader& header, bool extendedOnType3) {
    constexpr std::uint32_t kExtendedMark = 0xFFFFFF;
    header = ChunkHeader{};
    ByteReader in(bytes);
    if (!in.has(1)) return false;
    const std::uint8_t basic = in.u8At(0);
    std::size_t size = chunkHeaderSize(basic);
    if (!in.has(size)) return false;
    in.skip(1);
    header.format = static_cast<std::uint8_t>(basic >> 6);
    header.csid = basic & 0x3F;
    if (header.format <= 2) header.timestamp = in.be24();
    if (header.format <= 1) {
        header.length = in.be24();
        header.type = in.u8();
    }
    if (header.format == 0) header.streamId = in.be32();
    header.extended = header.format <= 2 ? header.timestamp == kExtendedMark : extendedOnType3;
    if (header.extended) {
        size += 4;
        if (!in.has(4)) return false;
        const std::uint32_t extended = in.be32();
        if (header.format <= 2) header.timestamp = extended;
    }
    header.size = static_cast<std::uint8_t>(size);
    if (header.length != 0 && in.has(1)) {
        header.hasPayload = true;
        header.firstPayloadByte = in.u8At(size);
    }
    return in.ok();
}

bool isDefinedSoundFormat(std::uint8_t soundFormat) {
    return soundFormat <= 11 || soundFormat == 14 || soundFormat == 15;
}

bool isDefinedVideoCodec(std::uint8_t codecId) {
    return (codecId >= 1 && codecId <= 7) || codecId == 12;
}

bool isPlausible(const ChunkHeader& h) {
    if (!h.isFull()) return false;
    if (h.type > kMaxMessageType) return false;
    const bool media = h.type == kMsgAudio || h.type == kMsgVideo;
    if (h.length > (media ? kMaxMediaMessage : kMaxOtherMessage)) return false;
    if (h.format == 0 && h.streamIdLittleEndian() > kMaxStreamId) return false;
    if (h.type == kMsgAudio && h.hasPayload && !isDefinedSoundFormat(static_cast<std::uint8_t>(h.firstPayloadByte >> 4)))
        return false;
    if (h.type == kMsgVideo && h.hasPayload && !isDefinedVideoCodec(h.firstPayloadByte & 0x0F)) return false;
    return true;
}

}  // namespace kestrel::merlin
