#include "common/byte_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string_view>
#include <vector>

namespace {

std::size_t reference(const std::vector<std::uint8_t>& data, std::size_t from, std::string_view text) {
    if (from > data.size()) return data.size();
    const auto it = std::search(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(), text.begin(), text.end());
    return static_cast<std::size_t>(it - data.begin());
}

}  // namespace

// The text planted at every position of buffers of every length around the
// sixteen-byte blocks, searched from several starts; random filler made of
// the text's own bytes gives many partial matches.
TEST(ByteSearch, AgreesWithALinearSearch) {
    std::mt19937 random(5);
    const std::string_view texts[] = {"Play.Start", "connect", "ab", "x", "onMetaData"};
    int compared = 0;
    for (const std::string_view text : texts) {
        for (std::size_t size = 0; size <= 70; ++size) {
            for (std::size_t plant = 0; plant <= size; ++plant) {
                std::vector<std::uint8_t> data(size);
                for (auto& b : data) b = static_cast<std::uint8_t>(text[random() % text.size()]);
                if (plant + text.size() <= size) std::copy(text.begin(), text.end(), data.begin() + static_cast<std::ptrdiff_t>(plant));
                for (const std::size_t from : {std::size_t{0}, std::size_t{1}, plant, size, size + 1}) {
                    ASSERT_EQ(kestrel::common::findBytes(data, from, text), reference(data, from, text))
                        << "text " << text << " size " << size << " planted at " << plant << " from " << from;
                    ++compared;
                }
            }
        }
    }
    EXPECT_GT(compared, 10000);
}

TEST(ByteSearch, EdgeCases) {
    const std::vector<std::uint8_t> data{'P', 'l', 'a', 'y'};
    EXPECT_EQ(kestrel::common::findBytes(data, 0, ""), 0u);
    EXPECT_EQ(kestrel::common::findBytes(data, 4, ""), 4u);
    EXPECT_EQ(kestrel::common::findBytes(data, 0, "Play.Start"), 4u);  // longer than the data
    EXPECT_EQ(kestrel::common::findBytes(data, 0, "Play"), 0u);
    EXPECT_EQ(kestrel::common::findBytes(data, 1, "Play"), 4u);
    EXPECT_EQ(kestrel::common::findBytes({}, 0, "P"), 0u);
}
