#pragma once
// The playlist's entries and playlist.dat, the file that keeps them between
// runs. Plain C++ (no Qt), so the fuzz target and the tests read it without
// a display.
//
// playlist.dat, all integers little-endian:
//
//   u32  total length of the file in bytes, this field included
//   then per entry:
//   u16  record length: path length + 11, the bytes that follow this field
//   u8   unplayable flag (0 or 1)
//   u32  file size in bytes
//   u32  time the entry was made, seconds since 1970-01-01 UTC
//   u16  path length in bytes
//   ...  path, UTF-8, no terminator
//
// Reading ignores the total and takes records until the record-length field
// can no longer be read. The file comes from disk and may be damaged: a
// record that is cut short, or whose record length does not match its path
// length, ends the reading there; the entries before it are kept.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel::shell {

// Icon states of an entry. Only the unplayable flag is kept in the file;
// the icon follows from it, and "now playing" lasts for the run.
inline constexpr int kPlaylistIconPlayable = 2;  // an ordinary file
inline constexpr int kPlaylistIconDamaged = 3;   // empty, or too short to hold a tag
inline constexpr int kPlaylistIconPlaying = 4;   // the entry being played

// A file of at most this many bytes holds an FLV header and its first
// back-pointer and no tag: nothing to play.
inline constexpr std::uint32_t kLargestUnplayableSize = 13;

// Bytes of a record besides its path (flag, size, time, path length).
inline constexpr std::size_t kPlaylistRecordFixedBytes = 11;
// The record length (path length + 11) must fit its 16 bits, so this is the
// longest path an entry can keep; a longer one is never added.
inline constexpr std::size_t kMaxPlaylistPathBytes = 0xFFFF - kPlaylistRecordFixedBytes;
// The size field holds 32 bits; a larger file is kept with the largest
// value it can hold, which still reads as a file worth playing.
inline constexpr std::uint32_t kLargestPlaylistSize = 0xFFFFFFFFu;

struct PlaylistEntry {
    std::string path;              // full path, UTF-8, at most kMaxPlaylistPathBytes
    std::uint32_t size = 0;        // file size in bytes when the entry was made
    std::uint32_t added = 0;       // seconds since 1970-01-01 UTC
    std::uint8_t unplayable = 0;   // non-zero: not played on request
    int icon = kPlaylistIconPlayable;

    bool operator==(const PlaylistEntry&) const = default;
};

// The icon an entry shows while it is not playing: damaged when its
// unplayable flag is set, else playable.
int restingIcon(const PlaylistEntry& entry);

// A file size as the size field keeps it.
std::uint32_t clampPlaylistSize(std::uint64_t bytes);

// An entry for a file of `bytes` bytes made at `added`: the size clamped,
// the unplayable flag set when asked or when the file is too small to hold
// a tag, the icon to match. nullopt when the path is too long to be kept.
std::optional<PlaylistEntry> makePlaylistEntry(std::string path, std::uint64_t bytes, std::uint32_t added,
                                               bool unplayable = false);

// The entries of a playlist file's bytes, up to the first damaged record.
// Every entry of a size up to kLargestUnplayableSize has its unplayable
// flag set; each entry's icon is its resting icon. When consumed is given,
// it receives how many bytes the whole records (and the total field) took.
std::vector<PlaylistEntry> parsePlaylist(std::span<const std::uint8_t> bytes, std::size_t* consumed = nullptr);

// The bytes of a playlist file. An entry whose path is too long to be kept
// is left out (makePlaylistEntry never makes one).
std::vector<std::uint8_t> serializePlaylist(std::span<const PlaylistEntry> entries);

// Reads playlist.dat; a file that is missing or cannot be read gives an
// empty list, a damaged one the entries before the damage.
std::vector<PlaylistEntry> readPlaylistFile(const std::string& path);

// Writes playlist.dat through a temporary file in the same folder and a
// rename, so a crash while writing leaves the old list whole. False when
// the file could not be written (the old one is then unchanged).
bool writePlaylistFile(const std::string& path, std::span<const PlaylistEntry> entries);

}  // namespace kestrel::shell
