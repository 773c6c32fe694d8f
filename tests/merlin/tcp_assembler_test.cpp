// TCP reassembly of the record tool: every scenario runs again from initial
// sequence numbers just below 2^32, so that wrap-around cannot hide.

#include <gtest/gtest.h>

#include "merlin_test_support.h"
#include "tcp_stream_assembler.h"

namespace kestrel::rtmprecords {
namespace {

struct Send {
    std::size_t offset;
    std::size_t length;
};

struct Scenario {
    const char* name;
    std::vector<Send> sends;                   // in capture order
    std::vector<std::pair<std::size_t, std::size_t>> missing;  // stream ranges never sent
    std::size_t gapPieces;                     // pieces flagged after a gap
};

TEST(TcpStreamAssembler, Scenarios) {
    const auto stream = merlin::test::mediaPayload(1, 6000, 42);
    const Scenario scenarios[] = {
        {"in order", {{0, 1000}, {1000, 1000}, {2000, 1000}, {3000, 3000}}, {}, 0},
        {"reordered", {{0, 1000}, {2000, 1000}, {1000, 1000}, {4000, 2000}, {3000, 1000}}, {}, 0},
        {"reversed", {{5000, 1000}, {4000, 1000}, {3000, 1000}, {2000, 1000}, {1000, 1000}, {0, 1000}}, {}, 0},
        {"retransmitted", {{0, 1000}, {1000, 1000}, {1000, 1000}, {2000, 4000}, {0, 1000}}, {}, 0},
        {"overlapping", {{0, 1500}, {1000, 1500}, {2400, 3600}, {5999, 1}}, {}, 0},
        {"longer retransmission", {{0, 1000}, {1000, 500}, {1000, 2000}, {3000, 3000}}, {}, 0},
        {"one hole", {{0, 1000}, {2000, 4000}}, {{1000, 2000}}, 1},
        {"two holes", {{0, 1000}, {2000, 1000}, {4000, 2000}}, {{1000, 2000}, {3000, 4000}}, 2},
        {"start missing", {{1000, 5000}}, {{0, 1000}}, 1},
    };
    for (std::uint32_t isn : {1000u, 0xFFFFFFFFu - 2500u, 0xFFFFFFFFu}) {
        for (const auto& s : scenarios) {
            TcpStreamAssembler assembler;
            assembler.setInitialSequence(isn);
            for (const auto& send : s.sends)
                assembler.add(isn + 1 + static_cast<std::uint32_t>(send.offset),
                              std::span(stream).subspan(send.offset, send.length));
            const auto pieces = assembler.assemble();
            std::vector<std::uint8_t> joined;
            std::size_t gaps = 0;
            std::size_t expectedOffset = 0;
            for (const auto& p : pieces) {
                EXPECT_GE(p.offset, expectedOffset) << s.name << " isn " << isn;
                if (p.afterGap) ++gaps;
                EXPECT_EQ(p.afterGap, p.offset != expectedOffset) << s.name << " isn " << isn;
                EXPECT_TRUE(std::equal(p.bytes.begin(), p.bytes.end(), stream.begin() + static_cast<std::ptrdiff_t>(p.offset)))
                    << s.name << " isn " << isn;
                joined.insert(joined.end(), p.bytes.begin(), p.bytes.end());
                expectedOffset = p.offset + p.bytes.size();
            }
            std::vector<std::uint8_t> want;
            std::size_t at = 0;
            for (const auto& [from, to] : s.missing) {
                want.insert(want.end(), stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(from));
                at = to;
            }
            want.insert(want.end(), stream.begin() + static_cast<std::ptrdiff_t>(at), stream.end());
            EXPECT_EQ(joined, want) << s.name << " isn " << isn;
            EXPECT_EQ(gaps, s.gapPieces) << s.name << " isn " << isn;
        }
    }
}

TEST(TcpStreamAssembler, DroppedSegmentsBecomeGaps) {
    const auto stream = merlin::test::mediaPayload(1, 5000, 4);
    TcpStreamAssembler assembler;
    for (std::size_t at = 0; at < 5000; at += 1000)
        assembler.add(0xFFFFF000u + static_cast<std::uint32_t>(at), std::span(stream).subspan(at, 1000));
    const std::size_t drop[] = {1, 2};
    const auto pieces = assembler.assemble(drop);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_FALSE(pieces[0].afterGap);
    EXPECT_TRUE(pieces[1].afterGap);
    EXPECT_EQ(pieces[1].offset, 3000u);
    EXPECT_FALSE(pieces[2].afterGap);
}

}  // namespace
}  // namespace kestrel::rtmprecords
