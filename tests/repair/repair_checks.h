#pragma once
// What every repaired copy must be, checked tag by tag against its input.

#include <gtest/gtest.h>

#include <string>

#include "tests/repair/flv_test_file.h"

namespace kestrel::testing {

// Checks that output is the repaired form of the first expectedTags complete
// tags of input: same header, same types, sizes, stream ids and data bytes;
// audio and video tags with synthetic times and consistent size fields;
// other tags unchanged; and one final size field for the last tag.
inline void expectRepairedCopy(const std::string& input, const std::string& output, std::size_t expectedTags) {
    FlvFile in = parseFlv(input);
    FlvFile out = parseFlv(output);
    ASSERT_TRUE(in.hasHeader);
    ASSERT_TRUE(out.hasHeader);
    EXPECT_EQ(out.header, in.header);
    ASSERT_GE(in.tags.size(), expectedTags);
    ASSERT_EQ(out.tags.size(), expectedTags);

    std::uint32_t audioMs = 0, videoMs = 0;
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < expectedTags && mismatches < 5; ++i) {
        const FlvTag& a = in.tags[i];
        const FlvTag& b = out.tags[i];
        bool same = b.type == a.type && b.dataSize == a.dataSize && b.streamId == a.streamId &&
                    tagData(output, b) == tagData(input, a);
        if (a.type == 8 || a.type == 9) {
            std::uint32_t expectedPrevious = i == 0 ? 0 : out.tags[i - 1].dataSize + 11;
            std::uint32_t& counter = a.type == 8 ? audioMs : videoMs;
            same = same && b.previousTagSize == expectedPrevious && b.time() == counter;
            counter += a.type == 8 ? 12 : 10;
        } else {
            same = same && b.previousTagSize == a.previousTagSize && b.timestamp24 == a.timestamp24 &&
                   b.extension == a.extension;
        }
        if (!same) {
            ++mismatches;
            ADD_FAILURE() << "tag " << i << " (type " << int(a.type) << ", " << a.dataSize
                          << " bytes) differs: previous size " << b.previousTagSize << ", time " << b.time();
        }
    }
    std::string expectedTail(4, '\0');
    if (expectedTags > 0) {
        std::uint32_t last = out.tags.back().dataSize + 11;
        for (int k = 0; k < 4; ++k) expectedTail[static_cast<std::size_t>(k)] = static_cast<char>(last >> (24 - 8 * k));
    }
    EXPECT_EQ(out.tail, expectedTail) << "the copy must end with the last tag's size field";
}

}  // namespace kestrel::testing
