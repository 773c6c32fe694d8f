// libFuzzer target: the RTMP command readers of the recording library and
// the notice records built from what they read: the search for connect,
// create-stream and play commands in a client payload, the connect
// properties and the play's stream name, and the HTTP and RTMP records.
//
// Input: a 2-byte big-endian length n, n bytes of connect message, then the
// play message (each cut to what the engine stores). At most 8 KiB.
//
// Checked besides memory safety: a command is found inside the payload;
// every text is within its field's limit and reaches the record whole (up
// to a NUL in it), NUL-terminated and NUL-padded; the reserved bytes stay 0.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "fuzz/fuzz_support.h"
#include "osprey/notices.h"
#include "osprey/rtmp_commands.h"
#include "platform/byte_reader.h"

namespace {

constexpr const char* kTarget = "osprey_notices_fuzz";
constexpr std::size_t kMaxInput = 8 * 1024;

using kestrel::fuzz::broken;
using namespace kestrel::osprey;

template <std::size_t N>
void checkText(const std::array<std::uint8_t, N>& record, std::size_t offset, std::size_t size,
               const std::string& text, std::size_t limit) {
    if (text.size() > limit) broken(kTarget, "a text is longer than its field's limit");
    const std::size_t shown = std::min({text.find('\0') == std::string::npos ? text.size() : text.find('\0'), size - 1});
    if (std::memcmp(record.data() + offset, text.data(), shown) != 0)
        broken(kTarget, "a record's text field differs from the text");
    for (std::size_t i = offset + shown; i < offset + size; ++i)
        if (record[i] != 0) broken(kTarget, "a record's text field is not NUL-padded");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    kestrel::ByteReader in(std::span<const std::uint8_t>(data, size));
    const std::size_t n = std::min<std::size_t>(in.be16(), in.remaining());
    const auto connectPayload = in.bytes(n);
    const auto playPayload = in.rest();

    // As the engine stores them: from where the command was found.
    RtmpStreamTexts texts;
    const RtmpCommandAt c = findRtmpCommand(connectPayload);
    if (c.command != RtmpCommand::None && c.at >= connectPayload.size()) broken(kTarget, "a command past the payload");
    const auto connect = connectPayload.subspan(std::min(c.at, connectPayload.size()));
    readConnectProperties(connect.first(std::min(connect.size(), kMaxConnectMessage)), texts);
    if (chunkedMessageSize(connect) != 0 && chunkedMessageSize(connect) < kChunkHeaderSize)
        broken(kTarget, "a message is shorter than its header");
    const RtmpCommandAt p = findRtmpCommand(playPayload);
    const auto play = playPayload.subspan(std::min(p.at, playPayload.size()));
    texts.streamName = readPlayStreamName(play.first(std::min(play.size(), kMaxPlayMessage)));

    const RtmpNotice r = buildRtmpNotice(0xFFFFFFFFu, texts);
    checkText(r, OSPREY_RTMP_TC_URL, 500, texts.tcUrl, 499);
    checkText(r, OSPREY_RTMP_APP, 200, texts.app, 199);
    checkText(r, OSPREY_RTMP_STREAM, 500, texts.streamName, 499);
    checkText(r, OSPREY_RTMP_SWF_URL, 1000, texts.swfUrl, 999);
    checkText(r, OSPREY_RTMP_PAGE_URL, 500, texts.pageUrl, 499);
    for (std::size_t i = 4; i < 16; ++i)
        if (r[i] != 0) broken(kTarget, "an RTMP record's reserved bytes are not 0");

    // The same texts, of any length, through the HTTP record.
    HttpNoticeFields f;
    f.host = texts.tcUrl;
    f.target = texts.swfUrl;
    f.contentType = texts.app;
    f.referer = texts.pageUrl;
    f.localName = texts.streamName;
    const HttpNotice h = buildHttpNotice(f);
    checkText(h, OSPREY_HTTP_HOST, 300, std::string(f.host.substr(0, 299)), 299);
    checkText(h, OSPREY_HTTP_TARGET, 1300, std::string(f.target), 999);
    checkText(h, OSPREY_HTTP_CONTENT_TYPE, 200, std::string(f.contentType), 199);
    checkText(h, OSPREY_HTTP_REFERER, 500, std::string(f.referer), 499);
    checkText(h, OSPREY_HTTP_LOCAL_NAME, 100, std::string(f.localName.substr(0, 99)), 99);
    return 0;
}
