#pragma once
// Streaming requests whose URL the library announces: the RTSP DESCRIBE
// request and the MMS open-file request. Both are read from the client's
// TCP payload alone.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kestrel::osprey {

// URLs are cut to the 999 characters of the library's URL field.
inline constexpr std::size_t kMaxUrl = 999;

// A payload that starts "DESCRIBE " (at least 9 bytes).
bool isDescribeRequest(std::span<const std::uint8_t> payload);
// The URL of a DESCRIBE request: its first line (up to CR LF, else to the
// payload's end; at most 1999 characters) without its first 9 characters
// ("DESCRIBE ") and its last 9 (" RTSP/1.0"); empty when nothing stands
// between them (a line of 18 characters or fewer).
std::string describeUrl(std::span<const std::uint8_t> payload);

// An MMS command packet asking to open a file: more than 38 payload bytes,
// "MMS" at payload offset 12, 5 at offset 36 and 3 at offset 38.
bool isMmsOpenFile(std::span<const std::uint8_t> payload);
// "mms://HOST/NAME" (port 1755) or "mms://HOST:PORT/NAME": HOST is the
// server's address in dotted decimal, NAME the low bytes of the UTF-16LE
// file name at payload offset 56, up to its first zero or the payload's
// end, at most 946 characters.
std::string mmsOpenFileUrl(std::span<const std::uint8_t> payload, const std::uint8_t (&server)[4],
                           std::uint16_t serverPort);

}  // namespace kestrel::osprey
