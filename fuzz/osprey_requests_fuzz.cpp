// libFuzzer target: the recording library's readers of single client and
// server payloads: HTTP request lines and response headers, the RTSP
// DESCRIBE and MMS open-file recognisers, the media decision and the local
// name of a URL.
//
// Input: one payload (at most 16 KiB), read by every reader.
//
// Checked besides memory safety: every value stays within its field's
// limit; a header length lies inside the payload and ends with the empty
// line; URLs are at most 999 characters and keep their scheme; local names
// are plain file names of at most 100 characters.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "osprey/http_exchange.h"
#include "osprey/local_name.h"
#include "osprey/media_classifier.h"
#include "osprey/url_requests.h"

namespace {

constexpr const char* kTarget = "osprey_requests_fuzz";
constexpr std::size_t kMaxInput = 16 * 1024;

using kestrel::fuzz::broken;
using namespace kestrel::osprey;

void checkLocalName(std::string_view url) {
    const std::string name = localNameOfUrl(url);
    if (name.empty() || name.size() > kMaxLocalName || name == "." || name == "..")
        broken(kTarget, "a local name is empty, too long, or names a folder");
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::strchr("/\\:*?<>|", c) != nullptr)
            broken(kTarget, "a local name holds a character no file name should");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxInput) return -1;
    const std::span<const std::uint8_t> payload(data, size);
    const std::string_view text = asText(payload);

    forEachLine(text, [&](std::string_view line, std::size_t crlf) {
        if (crlf > text.size() - 2 || line.size() > kMaxLineLength) broken(kTarget, "a line runs past the payload");
        const RequestLine r = readRequestLine(line);
        const std::size_t limit = r.kind == RequestLine::Kind::Get    ? kMaxTarget
                                  : r.kind == RequestLine::Kind::Host ? kMaxHost
                                                                      : kMaxReferer;
        if (r.value.size() > limit) broken(kTarget, "a request value is longer than its field");
        if (r.kind == RequestLine::Kind::Get) {
            checkLocalName("http://h" + std::string(r.value));
            (void)isMediaDownload(r.value, "video/x-flv");
        }
        return true;
    });

    const ResponseHeader h = readResponseHeader(payload);
    if (h.contentType.size() > kMaxContentType) broken(kTarget, "a content type is longer than its field");
    if (h.headerLength > size || (h.headerLength != 0 && (h.headerLength < 4 ||
                                                          text.substr(h.headerLength - 4, 4) != "\r\n\r\n")))
        broken(kTarget, "a header length does not end with the empty line inside the payload");
    if (h.hasLength && (h.contentLength < 0 || h.contentLength > (std::int64_t{1} << 50)))
        broken(kTarget, "a content length out of range");
    (void)isMediaDownload(text.substr(0, 200), h.contentType);

    if (isDescribeRequest(payload)) {
        const std::string url = describeUrl(payload);
        if (url.size() > kMaxUrl) broken(kTarget, "an RTSP URL is longer than 999");
    }
    if (isMmsOpenFile(payload)) {
        const std::uint8_t server[4] = {255, 255, 255, 255};
        for (std::uint16_t port : {std::uint16_t{1755}, std::uint16_t{65535}}) {
            const std::string url = mmsOpenFileUrl(payload, server, port);
            if (url.size() > kMaxUrl || url.rfind("mms://255.255.255.255", 0) != 0)
                broken(kTarget, "an MMS URL is too long or lost its host");
        }
    }
    checkLocalName(text);
    return 0;
}
