#pragma once
// What the fuzz targets share: a scratch folder of the process's own, whole
// files in and out, and the way a target stops when the code under test
// broke one of its promises.
//
// The targets are also compiled without libFuzzer, as plain functions, by
// tests/fuzz-regressions, which replays every input kept in
// fuzz/regressions/ in the normal test suite.

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "common/capture_files.h"

namespace kestrel::fuzz {

// A folder of this process's own under $TMPDIR (default /tmp), made on first
// use and removed, with everything in it, when the process exits normally.
// The path ends with '/'. A run that dies (a crash, a time-out) cannot remove
// it: scripts/fuzz.sh points TMPDIR into a folder of its own for that.
const std::string& scratchFolder();

// Writes bytes as the whole file; false when it cannot.
bool writeFile(const std::string& path, std::span<const std::uint8_t> bytes);
// The whole file; empty when it cannot be read.
std::vector<std::uint8_t> readFile(const std::string& path);
// Removes every entry of a folder, keeping the folder.
void emptyFolder(const std::string& folder);

// The capture targets' input: a 2-byte big-endian length, that many bytes
// of capture index file (fewer when the input ends first), then the capture
// data file. Both are written into the scratch folder.
struct CapturePair {
    std::string dataPath;
    std::string indexPath;
};
CapturePair writeCapturePair(std::span<const std::uint8_t> input);

// The input's capture pair written, its data file opened past the header
// and its index loaded in stream order, as post-processing reads them.
struct OpenedCapture {
    OpenedCapture() = default;
    OpenedCapture(const OpenedCapture&) = delete;
    OpenedCapture& operator=(const OpenedCapture&) = delete;
    ~OpenedCapture();
    std::FILE* file = nullptr;  // null: the pair is no capture data to read
    std::uint8_t kind = 0;
    std::vector<capture_files::OrderedEntry> entries;
};
// False (nothing to read) when the header or the index is refused; a data
// file that cannot be opened right after it was written is a broken run.
bool openCapturePair(std::span<const std::uint8_t> input, const char* target, OpenedCapture& out);

// Checks capture files a recorder wrote: the data file starts with its
// header, and the index holds whole entries that point one after the other
// at every stored byte, each no longer than the format holds and with the
// IP-length field its length + 40. Both empty: nothing was stored, fine.
// A broken promise ends the run (broken()).
void checkWrittenCapture(const char* target, const std::vector<std::uint8_t>& data,
                         const std::vector<std::uint8_t>& index);

// Ends the run with a message: the code under test broke a promise. An
// abort is what libFuzzer reports as a crash and keeps the input of.
[[noreturn]] void broken(const char* target, const char* what);

}  // namespace kestrel::fuzz
