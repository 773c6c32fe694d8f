#pragma once
// Running the outside tools of the end-to-end tests and reading what they
// print: ffmpeg's framemd5 lists and ffprobe's packet lists.

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/shell_command.h"

namespace kestrel::merlin::e2e {

std::vector<std::string> splitTabs(const std::string& line);
using kestrel::test::haveTool;
using kestrel::test::quote;
using kestrel::test::runCommand;

struct Packet {
    std::string media;  // "video" or "audio"
    long long dts = 0;
    long long pts = 0;
    long long size = 0;
    std::string hash;
};

struct FrameMd5 {
    std::vector<Packet> packets;
    std::map<std::string, std::string> extradata;  // by media: "size, hash"
    std::size_t count(const std::string& media) const;
};

FrameMd5 parseFrameMd5(const std::string& text);
FrameMd5 readFrameMd5(const std::string& path);
// ffmpeg -i FILE -map 0 -c copy -f framemd5 -
FrameMd5 frameMd5Of(const std::string& flv);

struct Comparison {
    std::size_t matched = 0;  // reference packets found in order
    std::map<std::string, std::size_t> matchedByMedia{{"video", 0}, {"audio", 0}};
    std::size_t extra = 0;    // packets of the file not in the reference
    std::size_t sameTimestamps = 0;  // matched packets with equal dts and pts
    long long dtsOffset = 0;         // most common dts difference (file - reference)
    long long largestTimestampDifference = 0;
    std::vector<bool> refMatched;
};

// Matches packets by media, size and hash, in order within each media.
Comparison comparePackets(const FrameMd5& ref, const FrameMd5& got);

using PacketKey = std::tuple<std::string, long long, std::string>;  // media, size, hash
// ffprobe's packets of a file with their byte positions (the tag's
// position), in file order; equal packets keep their order.
std::map<PacketKey, std::vector<std::uint64_t>> probePackets(const std::string& flv);

// "a-b,c-d" into ranges, neighbours merged.
std::vector<std::pair<std::uint64_t, std::uint64_t>> parseRanges(const std::string& text);

}  // namespace kestrel::merlin::e2e
