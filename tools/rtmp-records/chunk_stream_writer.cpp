#include "chunk_stream_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kestrel::rtmprecords {

namespace {
void be24(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 16));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void be32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 24));
    be24(out, v);
}
void le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
}  // namespace

void ChunkStreamWriter::announceChunkSize(std::uint32_t size) {
    RtmpMessage m;
    m.csid = 2;
    m.type = 1;
    be32(m.payload, size);
    write(m, HeaderForm::AlwaysFull);
    chunkSize_ = size;
}

void ChunkStreamWriter::writeHeader(const RtmpMessage& m, HeaderForm form) {
    Last& last = last_[m.csid & 0x3F];
    const std::uint32_t length = static_cast<std::uint32_t>(m.payload.size());
    int fmt = 0;
    std::uint32_t delta = 0;
    if (form == HeaderForm::Compact && last.seen && last.streamId == m.streamId && m.timestamp >= last.timestamp) {
        delta = m.timestamp - last.timestamp;
        if (last.type == m.type && last.length == length)
            fmt = delta == last.delta ? 3 : 2;
        else
            fmt = 1;
    }
    constexpr std::uint32_t kExtendedMark = 0xFFFFFF;
    out_.push_back(static_cast<std::uint8_t>((fmt << 6) | (m.csid & 0x3F)));
    const std::uint32_t field = fmt == 0 ? m.timestamp : delta;
    if (fmt <= 2) be24(out_, std::min(field, kExtendedMark));
    if (fmt <= 1) {
        be24(out_, length);
        out_.push_back(m.type);
    }
    if (fmt == 0) le32(out_, m.streamId);
    if (fmt <= 2) last.extended = field >= kExtendedMark;
    if (last.extended) be32(out_, field);
    // A following type-3 header repeats the type-0 timestamp as its delta.
    if (fmt == 0) delta = m.timestamp;
    last.seen = true;
    last.streamId = m.streamId;
    last.type = m.type;
    last.length = length;
    last.timestamp = m.timestamp;
    last.delta = delta;
}

void ChunkStreamWriter::writeExtended(std::uint8_t csid) {
    const Last& last = last_[csid & 0x3F];
    if (last.extended) be32(out_, last.delta >= 0xFFFFFF ? last.delta : last.timestamp);
}

void ChunkStreamWriter::writeChunkPayload(const RtmpMessage& m, std::size_t offset, std::size_t n) {
    out_.insert(out_.end(), m.payload.begin() + static_cast<std::ptrdiff_t>(offset),
                m.payload.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

void ChunkStreamWriter::write(const RtmpMessage& m, HeaderForm form) {
    writeInterleaved({&m, 1}, form);
}

void ChunkStreamWriter::writeInterleaved(std::span<const RtmpMessage> messages, HeaderForm form) {
    std::vector<std::size_t> sent(messages.size(), 0);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        writeHeader(messages[i], form);
        sent[i] = std::min<std::size_t>(messages[i].payload.size(), chunkSize_);
        writeChunkPayload(messages[i], 0, sent[i]);
    }
    bool more = true;
    while (more) {
        more = false;
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const auto& m = messages[i];
            if (sent[i] >= m.payload.size()) continue;
            out_.push_back(static_cast<std::uint8_t>(0xC0 | (m.csid & 0x3F)));
            writeExtended(m.csid);
            const std::size_t n = std::min<std::size_t>(m.payload.size() - sent[i], chunkSize_);
            writeChunkPayload(m, sent[i], n);
            sent[i] += n;
            more = more || sent[i] < m.payload.size();
        }
    }
}

void amfString(std::vector<std::uint8_t>& out, std::string_view text) {
    out.push_back(0x02);
    out.push_back(static_cast<std::uint8_t>(text.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
}

void amfNumber(std::vector<std::uint8_t>& out, double value) {
    out.push_back(0x00);
    const auto bits = std::bit_cast<std::uint64_t>(value);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void amfPropertyName(std::vector<std::uint8_t>& out, std::string_view name) {
    out.push_back(static_cast<std::uint8_t>(name.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
}

void amfObjectEnd(std::vector<std::uint8_t>& out) {
    out.insert(out.end(), {0x00, 0x00, 0x09});
}

std::vector<std::uint8_t> statusMessage(std::string_view code, std::string_view description) {
    std::vector<std::uint8_t> out;
    amfString(out, "onStatus");
    amfNumber(out, 0);
    out.push_back(0x05);  // null
    out.push_back(0x03);  // object
    amfPropertyName(out, "level");
    amfString(out, "status");
    amfPropertyName(out, "code");
    amfString(out, code);
    amfPropertyName(out, "description");
    amfString(out, description);
    amfPropertyName(out, "details");
    amfString(out, "stream");
    amfObjectEnd(out);
    return out;
}

std::vector<std::uint8_t> metaDataMessage(double duration) {
    std::vector<std::uint8_t> out;
    amfString(out, "onMetaData");
    out.push_back(0x08);  // ECMA array
    out.insert(out.end(), {0, 0, 0, 2});
    amfPropertyName(out, "duration");
    amfNumber(out, duration);
    amfPropertyName(out, "encoder");
    amfString(out, "kestrel tests");
    amfObjectEnd(out);
    return out;
}

}  // namespace kestrel::rtmprecords
