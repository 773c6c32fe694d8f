#include "osprey/rtmp_commands.h"

#include <array>
#include <string_view>

#include "platform/byte_reader.h"

namespace kestrel::osprey {

namespace {

constexpr std::size_t kChunkSize = 128;
constexpr std::uint8_t kCommandMessage = 20;
constexpr std::uint8_t kChunkStreamTwoContinuation = 0xC2;
constexpr std::size_t kTypeZeroHeaderRest = 11;
constexpr std::size_t kMaxBody = 1500;

bool textAt(const ByteReader& r, std::size_t at, std::string_view text) {
    if (!r.hasAt(at, text.size())) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (r.u8At(at + i) != static_cast<std::uint8_t>(text[i])) return false;
    return true;
}

// Up to kMaxBody bytes of a message body as a player of the default chunk
// size sends it, without the one-byte headers between its chunks.
struct Body {
    std::array<std::uint8_t, kMaxBody> bytes{};
    std::size_t size = 0;
    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

// The text at 'at': a 16-bit big-endian length and that many bytes, cut to
// limit and to the bytes there are.
std::string lengthPrefixedText(const ByteReader& r, std::size_t at, std::size_t limit) {
    if (!r.hasAt(at, 2)) return {};
    std::size_t length = r.be16At(at);
    if (length > limit) length = limit;
    const std::size_t start = at + 2;
    const std::size_t have = start <= r.size() ? r.size() - start : 0;
    if (length > have) length = have;
    const auto d = r.data().subspan(start, length);
    return {reinterpret_cast<const char*>(d.data()), d.size()};
}

}  // namespace

std::size_t chunkedMessageSize(std::span<const std::uint8_t> message) {
    const ByteReader r(message);
    if (!r.hasAt(0, kChunkHeaderSize)) return 0;
    const std::size_t body = r.be24At(4);
    return kChunkHeaderSize + body + (body > 0 ? (body - 1) / kChunkSize : 0);
}

void connectChunkHeader(std::uint8_t (&header)[kChunkHeaderSize]) {
    for (auto& b : header) b = 0;
    header[0] = 0x03;
    header[7] = kCommandMessage;
}

RtmpCommandAt findRtmpCommand(std::span<const std::uint8_t> payload) {
    const ByteReader r(payload);
    if (r.u8At(0) == 0x02 && r.u8At(1) == 0x00 && r.u8At(2) == 0x07 && textAt(r, 3, "connect"))
        return {RtmpCommand::HeaderlessConnect, 0};
    for (std::size_t j = 0; j + 21 <= payload.size(); ++j) {
        if (r.u8At(j) == 0x03 && r.u8At(j + 12) == 0x02 && textAt(r, j + 15, "connect"))
            return {RtmpCommand::Connect, j};
        if (r.u8At(j) == 0x00 && r.u8At(j + 1) == 0x0C && textAt(r, j + 2, "create"))
            return {RtmpCommand::CreateStream, j};
        if (r.u8At(j) == 0x02 && r.u8At(j + 1) == 0x00 && r.u8At(j + 2) == 0x04 &&
            (textAt(r, j + 3, "play") || textAt(r, j + 3, "Play")))
            return {RtmpCommand::Play, j};
    }
    return {};
}

void readConnectProperties(std::span<const std::uint8_t> message, RtmpStreamTexts& out) {
    const ByteReader m(message);
    if (m.u8At(0) != 0x03 || m.u8At(7) != kCommandMessage || message.size() <= 12) return;
    Body body;
    std::size_t inChunk = 0;
    for (std::size_t at = 12; at < message.size() && body.size < kMaxBody; ++at) {
        if (inChunk == kChunkSize) {
            inChunk = 0;  // the continuation header between two chunks
            continue;
        }
        body.bytes[body.size++] = message[at];
        ++inChunk;
    }
    const ByteReader r(body.view());
    for (std::size_t p = 0; p < body.size; ++p) {
        if (textAt(r, p, "app") && r.u8At(p + 3) == 0x02 && r.hasAt(p + 3, 1)) {
            out.app = lengthPrefixedText(r, p + 4, 199);
        } else if (textAt(r, p, "swfUrl") && r.hasAt(p + 6, 1) && r.u8At(p + 6) == 0x02) {
            out.swfUrl = lengthPrefixedText(r, p + 7, 999);
        } else if (textAt(r, p, "tcUrl") && r.hasAt(p + 5, 1) && r.u8At(p + 5) == 0x02) {
            out.tcUrl = lengthPrefixedText(r, p + 6, 499);
        } else if (textAt(r, p, "pageUrl") && r.hasAt(p + 7, 1)) {
            out.pageUrl = lengthPrefixedText(r, p + 8, 499);
        }
    }
}

std::string readPlayStreamName(std::span<const std::uint8_t> message) {
    Body body;
    if (message.size() > kChunkSize) {
        std::size_t inChunk = 0;
        for (std::size_t at = 0; at < message.size() && body.size < kMaxBody; ++at) {
            if (inChunk == kChunkSize) {
                inChunk = 0;
                if (message[at] == kChunkStreamTwoContinuation) at += kTypeZeroHeaderRest;
                continue;
            }
            body.bytes[body.size++] = message[at];
            ++inChunk;
        }
    } else {
        for (std::size_t at = 0; at < message.size(); ++at) body.bytes[body.size++] = message[at];
    }
    const ByteReader r(body.view());
    for (std::size_t p = 0; p + 6 <= body.size; ++p) {
        if (r.u8At(p) == 0x00 && r.u8At(p + 1) == 0x04 && (textAt(r, p + 2, "play") || textAt(r, p + 2, "Play")))
            return lengthPrefixedText(r, p + 17, 499);
    }
    return {};
}

}  // namespace kestrel::osprey
