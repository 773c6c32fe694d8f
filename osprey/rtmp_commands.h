#pragma once
// The client's RTMP commands that the library announces: connect (which
// names the application, its URL, the player and the page) and play (which
// names the stream). They are found in client payloads by their first
// chunk's bytes, and read as a player of the default chunk size (128 bytes)
// sends them.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kestrel::osprey {

inline constexpr std::size_t kMaxConnectMessage = 1500;
inline constexpr std::size_t kMaxPlayMessage = 500;

enum class RtmpCommand { None, Connect, HeaderlessConnect, CreateStream, Play };

struct RtmpCommandAt {
    RtmpCommand command = RtmpCommand::None;
    std::size_t at = 0;  // where the stored message starts
};

// The first command in a payload, trying each position j from 0 while
// j + 21 <= payload size, the patterns in this order:
//  connect:       0x03 at j, 0x02 at j + 12, "connect" at j + 15;
//  create stream: 0x00 0x0C "create" at j;
//  play:          0x02 0x00 0x04 then "play" or "Play" at j.
// A pattern that would run past the payload's end is not there. Before
// them, a payload that starts with the connect command's body (0x02 0x00
// 0x07 "connect") is a connect whose chunk header was sent in a segment of
// its own (as some players write header and body separately).
RtmpCommandAt findRtmpCommand(std::span<const std::uint8_t> payload);

// How many bytes a message with a type-0 chunk header at its start takes
// on the wire: the header, the body length its bytes 4-6 give, and one
// continuation header before each further 128-byte chunk. 0 when the header
// is not all there.
std::size_t chunkedMessageSize(std::span<const std::uint8_t> message);

// The 12-byte chunk header a connect message is stored behind when its own
// header was not in the segment: chunk stream 3, command message (20).
inline constexpr std::size_t kChunkHeaderSize = 12;
void connectChunkHeader(std::uint8_t (&header)[kChunkHeaderSize]);

// What a connect command and its play say about the stream. Each text is
// cut to its notice field.
struct RtmpStreamTexts {
    std::string tcUrl;       // at most 499
    std::string app;         // at most 199
    std::string streamName;  // at most 499
    std::string swfUrl;      // at most 999
    std::string pageUrl;     // at most 499
};

// Reads the properties of a stored connect message (its chunk header
// first). Only a command message (0x03 at 0, type 20 at 7) is read: its body
// from offset 12, one byte dropped after every 128 (the continuation
// header), at most 1500 bytes, is searched at every position for "app",
// "swfUrl" and "tcUrl" followed by the string marker 0x02, and "pageUrl"
// followed by any one byte; a 16-bit big-endian length and the text follow.
// A later occurrence overrides an earlier one; a text running past the
// stored bytes keeps what is there.
void readConnectProperties(std::span<const std::uint8_t> message, RtmpStreamTexts& out);

// Reads the stream name of a stored play message (from its string marker):
// longer than 128 bytes, one byte is dropped after every 128, and 11 more
// when that byte is 0xC2; then the name's 16-bit big-endian length stands
// 17 bytes after the first 0x00 0x04 "play" (or "Play"), the name after it.
std::string readPlayStreamName(std::span<const std::uint8_t> message);

}  // namespace kestrel::osprey
