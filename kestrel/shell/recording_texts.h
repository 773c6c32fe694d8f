#pragma once
// The texts of the recording list: sizes, rates, times and the markup of
// its rows. Plain C++ (no Qt), so the console host and tests can use them.
// Every text is UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kestrel/engine/record_item.h"

namespace kestrel::shell {

// Sizes in the rows of recordings: "1023", "1.00 K", "2.79 G".
std::string listSize(std::int64_t bytes);
// Sizes in the rows of URL recorder items: "1024B", "1.00KB", "1.00MB".
std::string librarySize(std::int64_t bytes);
// A transfer rate of bytes per second: "0001.50KB/S".
std::string rateText(std::int64_t bytesPerSecond);
// A duration: "01:02:03". Hours grow past 99; a negative duration is 0.
std::string elapsedText(std::int64_t seconds);

// The name a recording is shown and stored under: its title when it has
// one, else its numbered output name.
std::string displayedName(const engine::RecordItem& item);

// "Received" column of a recording: its size, with the share of the
// expected size in percent when that is known (capped at 100).
std::string receivedText(const engine::RecordItem& item);

// What the post-processor found out about a finished recording.
enum class RecordingOutcome {
    Unknown,     // not finished, or nobody asked
    Complete,    // every byte of the stream is in the file
    Incomplete,  // the file has gaps or misses its end
};

// Row of a recording as it appears, before anything was counted.
std::string newRecordingRowText(const engine::RecordItem& item);
// Row of a recording with its current figures. A failed recording says
// why, and a finished one that is not whole says so, after the figures.
std::string recordingRowText(const engine::RecordItem& item, RecordingOutcome outcome = RecordingOutcome::Unknown);

// A download or capture of the URL recorder library, as its row shows it.
struct LibraryItem {
    std::string fileName;
    std::int32_t refreshCount = 0;   // rows shown for it so far; time is counted in halves of a second
    std::int64_t bytes = 0;          // received so far
    std::int64_t previousBytes = 0;  // received when the row was last made
};
// Row of a library item. Each use counts one more showing and takes the
// bytes as reported, so the next row's rate is what arrived in between.
std::string libraryRowText(LibraryItem& item);

// At most maxChars characters and maxBytes bytes from the end of a UTF-8
// text, never cutting a character in half.
std::string lastCharacters(std::string_view utf8, std::size_t maxChars, std::size_t maxBytes);

// True when name can only be a file directly inside a folder: not empty,
// not "." or "..", and without '/' or NUL, so it can never lead out of the
// save folder or onto a folder.
bool isPlainFileName(std::string_view name);

}  // namespace kestrel::shell
