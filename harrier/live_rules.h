#pragma once
// What the live capture looks for in the traffic: the capture filter, the
// status texts that start and stop an RTMP stream, and the HTTP requests
// for FLV files that the download service fetches again.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::harrier {

// The host filter argument that means "every host".
inline constexpr std::string_view kNoHostFilter = "N/A";

// True for the packet types the capture knows (1..7).
bool isKnownPacketType(int packetType);

// The capture filter: "host HOST and " unless hostFilter is exactly "N/A",
// then "tcp" (types 2, 3), "udp" (4, 5) or "tcp or udp" (1, 6, 7). Call
// only with a known packet type.
std::string captureFilterText(int packetType, std::string_view hostFilter);

// The AMF string of the status code that a server sends when a stream
// starts playing ("NetStream.Play.Start", length prefix 0x02 0x00 0x14)
// and when it stops ("NetStream.Play.Stop", 0x02 0x00 0x13), found at any
// position of a payload, the text compared without regard to case.
bool holdsPlayStart(std::span<const std::uint8_t> payload);
bool holdsPlayStop(std::span<const std::uint8_t> payload);

// The URL of an HTTP request in a client's payload: it begins with "GET "
// and holds " HTTP/"; the path is the text between them and the host the
// text of its "Host: " line up to CR LF; the URL is "http://" HOST PATH.
// nullopt when the payload is no such request.
std::optional<std::string> requestedUrl(std::span<const std::uint8_t> payload);

// Whether a requested URL is an FLV download: it ends in ".flv" (any
// case); or, lower-cased, it holds videoHost + "/get_video?video_id=" and
// does not begin with "http://www." (never with an empty videoHost); or
// ".flv?" occurs after its first character; or ".flv&" occurs after its
// first character and "fetch?file=" anywhere (these two case-sensitive).
bool isFlvUrl(std::string_view url, std::string_view videoHost);

}  // namespace kestrel::harrier
