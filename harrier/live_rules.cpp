#include "harrier/live_rules.h"

#include "common/byte_search.h"

namespace kestrel::harrier {

namespace {

std::uint8_t lowerAscii(std::uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<std::uint8_t>(c - 'A' + 'a') : c;
}

std::string lowerText(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(lowerAscii(static_cast<std::uint8_t>(c)));
    return out;
}

// The length prefix found exactly, then the text compared in lower case.
bool holdsStatus(std::span<const std::uint8_t> payload, std::string_view prefix, std::string_view lowerName) {
    const std::size_t whole = prefix.size() + lowerName.size();
    std::size_t at = 0;
    for (;;) {
        at = common::findBytes(payload, at, prefix);
        if (at >= payload.size() || payload.size() - at < whole) return false;
        bool same = true;
        for (std::size_t i = 0; i < lowerName.size() && same; ++i)
            same = lowerAscii(payload[at + prefix.size() + i]) == static_cast<std::uint8_t>(lowerName[i]);
        if (same) return true;
        ++at;
    }
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

bool isKnownPacketType(int packetType) {
    return packetType >= 1 && packetType <= 7;
}

std::string captureFilterText(int packetType, std::string_view hostFilter) {
    std::string text;
    if (hostFilter != kNoHostFilter) {
        text += "host ";
        text += hostFilter;
        text += " and ";
    }
    switch (packetType) {
    case 2:
    case 3:
        text += "tcp";
        break;
    case 4:
    case 5:
        text += "udp";
        break;
    default:
        text += "tcp or udp";
        break;
    }
    return text;
}

bool holdsPlayStart(std::span<const std::uint8_t> payload) {
    using namespace std::string_view_literals;
    return holdsStatus(payload, "\x02\x00\x14"sv, "netstream.play.start");
}

bool holdsPlayStop(std::span<const std::uint8_t> payload) {
    using namespace std::string_view_literals;
    return holdsStatus(payload, "\x02\x00\x13"sv, "netstream.play.stop");
}

std::optional<std::string> requestedUrl(std::span<const std::uint8_t> payload) {
    const std::string_view text = asText(payload);
    if (text.substr(0, 4) != "GET ") return std::nullopt;
    const auto version = text.find(" HTTP/", 4);
    if (version == std::string_view::npos) return std::nullopt;
    const std::string_view path = text.substr(4, version - 4);
    const auto hostLine = text.find("Host: ");
    if (hostLine == std::string_view::npos) return std::nullopt;
    const auto hostStart = hostLine + 6;
    const auto hostEnd = text.find("\r\n", hostStart);
    if (hostEnd == std::string_view::npos) return std::nullopt;
    std::string url = "http://";
    url += text.substr(hostStart, hostEnd - hostStart);
    url += path;
    return url;
}

bool isFlvUrl(std::string_view url, std::string_view videoHost) {
    const std::string lower = lowerText(url);
    if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".flv") == 0) return true;
    if (!videoHost.empty() && lower.find(lowerText(videoHost) + "/get_video?video_id=") != std::string::npos &&
        lower.rfind("http://www.", 0) != 0)
        return true;
    if (url.find(".flv?", 1) != std::string_view::npos) return true;
    return url.find(".flv&", 1) != std::string_view::npos && url.find("fetch?file=") != std::string_view::npos;
}

}  // namespace kestrel::harrier
