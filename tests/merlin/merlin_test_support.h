#pragma once
// Helpers shared by the FLV builder's tests: temporary folders, record files
// made from chunk streams, and a strict reader of the FLV files produced.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "chunk_stream_writer.h"

namespace kestrel::merlin::test {

struct TempDir {
    TempDir();
    ~TempDir();
    std::filesystem::path path;
    std::string file(const std::string& name) const { return (path / name).string(); }
};

struct FlvTag {
    std::uint8_t type = 0;
    std::uint32_t timestamp = 0;
    std::vector<std::uint8_t> data;
};

struct FlvFile {
    bool valid = false;   // header and every tag chain consistent
    std::string error;
    std::uint8_t typeFlags = 0;
    std::vector<FlvTag> tags;
};

// Reads an FLV file, checking the header, every data size against the
// previous-tag-size field that follows, and that the file ends after a tag.
FlvFile readFlv(const std::string& path);

// Writes bytes as a record file, cut into records of segment bytes; the
// records whose index is in gapAfterDrop are left out and the record that
// follows each carries the gap flag.
void writeRecords(const std::string& path, std::span<const std::uint8_t> bytes, std::size_t segment,
                  std::span<const std::size_t> dropped = {});

std::vector<std::uint8_t> readFile(const std::string& path);

// Media payloads with a given first byte, the rest a pattern that depends
// on seed so that every message is different.
std::vector<std::uint8_t> mediaPayload(std::uint8_t firstByte, std::size_t size, std::uint32_t seed);

// The messages of a plain stream: onMetaData, then count audio (AAC) and
// video (AVC) messages interleaved by time, audio every 23 ms and video
// every 40 ms, on chunk streams 4 and 6 of message stream 1.
std::vector<rtmprecords::RtmpMessage> avStream(std::size_t count, std::size_t videoSize = 3000,
                                               std::size_t audioSize = 200);

// The payloads of the audio and video messages, in order.
std::vector<std::vector<std::uint8_t>> mediaPayloads(const std::vector<rtmprecords::RtmpMessage>& messages);
std::vector<std::vector<std::uint8_t>> mediaPayloads(const FlvFile& flv);

}  // namespace kestrel::merlin::test
