#include "platform/byte_reader.h"

#include <gtest/gtest.h>

#include <array>

using kestrel::ByteReader;

namespace {
const std::array<std::uint8_t, 6> kBytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
}

TEST(ByteReader, ReadsBothByteOrders) {
    ByteReader r(kBytes);
    EXPECT_EQ(r.be16(), 0x0102);
    EXPECT_EQ(r.le32(), 0x06050403u);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, ReadPastEndFailsWithoutMoving) {
    struct Case {
        const char* what;
        std::size_t skipFirst;
        int width;
    };
    const Case cases[] = {
        {"be32 with 3 left", 3, 4}, {"be24 with 2 left", 4, 3}, {"be16 with 1 left", 5, 2}, {"u8 at end", 6, 1}};
    for (const auto& c : cases) {
        ByteReader r(kBytes);
        ASSERT_TRUE(r.skip(c.skipFirst)) << c.what;
        std::uint32_t v = c.width == 4 ? r.be32() : c.width == 3 ? r.be24() : c.width == 2 ? r.be16() : r.u8();
        EXPECT_EQ(v, 0u) << c.what;
        EXPECT_FALSE(r.ok()) << c.what;
        EXPECT_EQ(r.position(), c.skipFirst) << c.what;
    }
}

TEST(ByteReader, BytesAndSubReadersAreBounded) {
    ByteReader r(kBytes);
    EXPECT_TRUE(r.bytes(7).empty());
    EXPECT_FALSE(r.ok());
    ByteReader r2(kBytes);
    ByteReader sub = r2.sub(2);
    EXPECT_EQ(sub.be16(), 0x0102);
    EXPECT_EQ(sub.u8(), 0);
    EXPECT_FALSE(sub.ok());
    EXPECT_TRUE(r2.ok());
    EXPECT_EQ(r2.u8(), 0x03);
}

TEST(ByteReader, AbsoluteReadsOutOfRangeGiveZero) {
    ByteReader r(kBytes);
    EXPECT_EQ(r.be32At(2), 0x03040506u);
    EXPECT_EQ(r.be32At(3), 0u);
    EXPECT_EQ(r.u8At(static_cast<std::size_t>(-1)), 0u);
    EXPECT_FALSE(r.hasAt(static_cast<std::size_t>(-1), 2));
    EXPECT_TRUE(r.ok());
}
