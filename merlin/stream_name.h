#pragma once
// The stream name a server announces when a stream starts playing: the
// description of its play-start status ("Started playing clips/intro.")
// names the file the conversion is renamed to ("intro.flv").
//
// The text comes from the network, so the name taken from it is bounded and
// can never name another folder: it holds no path separator or NUL, is never
// "." or "..", and is taken only from a description that really has the
// "Started playing " form.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "platform/fixed_text.h"

namespace kestrel::merlin {

inline constexpr std::size_t kMaxStreamName = 255;
using StreamName = FixedText<kMaxStreamName + 1>;

enum class DescriptionScan {
    Incomplete,  // no complete description value in the bytes yet
    Complete,    // a complete value was found (name set when it qualifies)
};

// Searches the collected bytes of a status message for the AMF0 property
// "description" (name compared without regard to case) whose string value
// lies wholly inside them. On Complete, name holds the stream name, or is
// empty when the value does not announce one.
DescriptionScan scanDescription(std::span<const std::uint8_t> bytes, StreamName& name);

// The stream name in a description value, or an empty name.
void streamNameFromDescription(std::span<const std::uint8_t> value, StreamName& name);

// True for the bytes 0x02 0x00 0x14 "NetStream.Play.Start" (any case) at
// any position of bytes.
bool holdsPlayStart(std::span<const std::uint8_t> bytes);

// The position of the bytes 0x00 0x0A "onMetaData" (exact case) in bytes.
std::optional<std::size_t> findOnMetaData(std::span<const std::uint8_t> bytes);

}  // namespace kestrel::merlin
