// The reorder buffer: segments of one direction of a TCP connection, in any
// order and with repeats and overlaps, become records of the stream. Every
// scenario runs again from sequence numbers just below 2^32.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "harrier/live_rules.h"
#include "harrier/reorder_buffer.h"

namespace kestrel::harrier {
namespace {

using namespace std::string_literals;

// The stream: bytes that differ by position, with the play-stop status
// at kStopAt.
constexpr std::size_t kStreamSize = 40000;
constexpr std::size_t kStopAt = 30120;

const std::string& stream() {
    static const std::string s = [] {
        std::string out(kStreamSize, '\0');
        std::uint32_t x = 12345;
        for (auto& c : out) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>((x >> 16) & 0x7F);  // never 0x02, so no false status prefixes
            if (c == 0x02) c = 0x03;
        }
        const std::string stop = "\x02\x00\x13NetStream.Play.Stop"s;
        out.replace(kStopAt, stop.size(), stop);
        return out;
    }();
    return s;
}

struct Written {
    std::uint8_t flags = 0;
    std::string data;
};

class Recording : public RecordSink {
public:
    void writeRecord(std::uint8_t flags, std::uint64_t /*position*/, std::span<const std::uint8_t> payload) override {
        records.push_back({flags, std::string(payload.begin(), payload.end())});
    }
    std::vector<Written> records;
};

struct Segment {
    std::size_t offset;
    std::size_t length;
};

PacketPtr packetOf(std::uint32_t base, Segment s) {
    auto p = std::make_unique<StreamPacket>();
    p->sequence = base + static_cast<std::uint32_t>(s.offset);
    p->bytes.assign(stream().begin() + static_cast<std::ptrdiff_t>(s.offset),
                    stream().begin() + static_cast<std::ptrdiff_t>(s.offset + s.length));
    return p;
}

struct Expected {
    std::uint8_t flags;
    std::size_t offset;
    std::size_t length;
};

constexpr std::uint8_t G = ReorderBuffer::kGapFlag;
const std::uint32_t kBases[] = {1000u, 0xFFFFFFFFu - 150u};

void expectRecords(const std::vector<Written>& got, const std::vector<Expected>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(got[i].flags, want[i].flags) << what << ", record " << i;
        EXPECT_EQ(got[i].data, stream().substr(want[i].offset, want[i].length)) << what << ", record " << i;
    }
}

TEST(ReorderBuffer, SegmentsBecomeRecordsInOrder) {
    struct Row {
        const char* name;
        std::vector<Segment> arrivals;  // each followed by a flush step
        std::size_t heldBeforeFlushAll;  // records written before the final flush all
        std::vector<Expected> records;
    } rows[] = {
        {"in order", {{0, 100}, {100, 100}, {200, 100}}, 2, {{0, 0, 100}, {0, 100, 100}, {0, 200, 100}}},
        {"reordered", {{0, 100}, {200, 100}, {100, 100}}, 2, {{0, 0, 100}, {0, 100, 100}, {0, 200, 100}}},
        {"shorter retransmission dropped", {{0, 100}, {100, 100}, {100, 50}}, 1, {{0, 0, 100}, {0, 100, 100}}},
        {"longer retransmission replaces the shorter",
         {{0, 100}, {100, 50}, {100, 100}, {200, 100}},
         2,
         {{0, 0, 100}, {0, 100, 100}, {0, 200, 100}}},
        {"overlap: the earlier segment is cut", {{0, 100}, {50, 100}}, 1, {{0, 0, 50}, {0, 50, 100}}},
        {"overlap with a written segment's successor",
         {{0, 100}, {100, 100}, {150, 100}},
         2,
         {{0, 0, 100}, {0, 100, 50}, {0, 150, 100}}},
        {"a new segment reaching into the next is cut",
         {{0, 100}, {200, 100}, {150, 100}},
         0,
         {{0, 0, 100}, {G, 150, 50}, {0, 200, 100}}},
        {"a segment inside a buffered one is dropped",
         {{0, 1000}, {100, 100}, {1000, 100}},
         1,
         {{0, 0, 1000}, {0, 1000, 100}}},
        {"a segment covering the next whole replaces it",
         {{0, 100}, {200, 50}, {100, 200}},
         1,
         {{0, 0, 100}, {0, 100, 200}}},
        {"bytes already written are dropped", {{0, 100}, {100, 100}, {0, 100}, {50, 50}}, 1, {{0, 0, 100}, {0, 100, 100}}},
        {"a segment from before the written end keeps only its new bytes",
         {{0, 100}, {100, 100}, {50, 200}},
         1,
         {{0, 0, 100}, {0, 100, 150}}},
        {"bytes before the first segment are never written", {{100, 100}, {0, 100}, {200, 100}}, 1,
         {{0, 100, 100}, {0, 200, 100}}},
        {"a hole left at the end", {{0, 100}, {200, 100}}, 0, {{0, 0, 100}, {G, 200, 100}}},
        {"empty segments are ignored", {{0, 100}, {100, 0}, {100, 100}}, 1, {{0, 0, 100}, {0, 100, 100}}},
    };
    for (const auto& r : rows) {
        for (std::uint32_t base : kBases) {
            const std::string what = std::string(r.name) + " from " + std::to_string(base);
            Recording sink;
            ReorderBuffer buffer(sink);
            for (const auto& s : r.arrivals) {
                buffer.insert(packetOf(base, s));
                const auto step = buffer.flushStep();
                EXPECT_FALSE(step.overflowed) << what;
                EXPECT_FALSE(step.playStopSeen) << what;
            }
            EXPECT_EQ(sink.records.size(), r.heldBeforeFlushAll) << what;
            buffer.flushAll();
            EXPECT_EQ(buffer.size(), 0u) << what;
            expectRecords(sink.records, r.records, what);
        }
    }
}

TEST(ReorderBuffer, AHoleOpenUntilTheBufferIsFullWritesTheOldestAndFlagsTheGap) {
    for (std::uint32_t base : kBases) {
        Recording sink;
        ReorderBuffer buffer(sink);
        buffer.insert(packetOf(base, {0, 100}));
        EXPECT_FALSE(buffer.flushStep().overflowed);
        // 99 contiguous segments after a hole of 100 bytes.
        for (std::size_t k = 0; k < 99; ++k) {
            buffer.insert(packetOf(base, {200 + 100 * k, 100}));
            const auto step = buffer.flushStep();
            EXPECT_EQ(step.overflowed, k == 98) << k;
        }
        // The oldest went out, then the run after the hole but its last.
        ASSERT_EQ(sink.records.size(), 99u);
        EXPECT_EQ(sink.records[0].flags, 0);
        EXPECT_EQ(sink.records[0].data, stream().substr(0, 100));
        EXPECT_EQ(sink.records[1].flags, G);
        EXPECT_EQ(sink.records[1].data, stream().substr(200, 100));
        for (std::size_t i = 2; i < sink.records.size(); ++i) EXPECT_EQ(sink.records[i].flags, 0) << i;
        EXPECT_EQ(buffer.size(), 1u);
        buffer.flushAll();
        ASSERT_EQ(sink.records.size(), 100u);
        EXPECT_EQ(sink.records.back().flags, 0);
        EXPECT_EQ(sink.records.back().data, stream().substr(200 + 98 * 100, 100));
    }
}

// After an overflow that leaves holes between every buffered segment, the
// next one written (again by overflow) also follows a hole.
TEST(ReorderBuffer, EverySegmentWrittenAfterAHoleCarriesTheGapFlag) {
    for (std::uint32_t base : kBases) {
        Recording sink;
        ReorderBuffer buffer(sink);
        buffer.insert(packetOf(base, {0, 100}));
        buffer.flushStep();
        for (std::size_t k = 0; k < 100; ++k) {
            buffer.insert(packetOf(base, {200 + 200 * k, 100}));
            buffer.flushStep();
        }
        ASSERT_EQ(sink.records.size(), 2u);
        EXPECT_EQ(sink.records[0].flags, 0);
        EXPECT_EQ(sink.records[1].flags, G);
        EXPECT_EQ(sink.records[1].data, stream().substr(200, 100));
        // A late copy of the bytes in the next hole fills it: no gap there.
        buffer.insert(packetOf(base, {300, 100}));
        buffer.flushStep();
        ASSERT_EQ(sink.records.size(), 3u);
        EXPECT_EQ(sink.records[2].flags, 0);
        EXPECT_EQ(sink.records[2].data, stream().substr(300, 100));
    }
}

TEST(ReorderBuffer, ThePlayStopSegmentEndsTheWritingAndStaysFirst) {
    const std::size_t stopSegment = kStopAt - 20;  // holds the whole status
    for (std::uint32_t base : kBases) {
        // Written within a run.
        {
            Recording sink;
            ReorderBuffer buffer(sink);
            buffer.insert(packetOf(base, {stopSegment - 100, 100}));
            buffer.flushStep();
            buffer.insert(packetOf(base, {stopSegment + 100, 100}));
            buffer.flushStep();
            buffer.insert(packetOf(base, {stopSegment, 100}));
            const auto step = buffer.flushStep();
            EXPECT_TRUE(step.playStopSeen);
            ASSERT_EQ(sink.records.size(), 2u);
            EXPECT_EQ(sink.records[1].data, stream().substr(stopSegment, 100));
            EXPECT_TRUE(buffer.firstHoldsPlayStop());
            EXPECT_TRUE(holdsPlayStop(buffer.at(0).payload()));
        }
        // Waiting first in the buffer: the item writes it itself.
        {
            Recording sink;
            ReorderBuffer buffer(sink);
            buffer.insert(packetOf(base, {stopSegment - 100, 100}));
            buffer.flushStep();
            buffer.insert(packetOf(base, {stopSegment, 100}));
            EXPECT_FALSE(buffer.flushStep().playStopSeen);
            EXPECT_TRUE(buffer.firstHoldsPlayStop());
            buffer.writeFirst();
            ASSERT_EQ(sink.records.size(), 2u);
            EXPECT_EQ(sink.records[1].data, stream().substr(stopSegment, 100));
        }
        // A cut that leaves the status incomplete forgets it.
        {
            Recording sink;
            ReorderBuffer buffer(sink);
            buffer.insert(packetOf(base, {stopSegment, 100}));
            EXPECT_TRUE(buffer.firstHoldsPlayStop());
            buffer.insert(packetOf(base, {stopSegment + 25, 100}));
            EXPECT_FALSE(buffer.firstHoldsPlayStop());
        }
    }
}

TEST(ReorderBuffer, SequenceNumbersAcross2To32KeepTheirOrder) {
    Recording sink;
    ReorderBuffer buffer(sink);
    const std::uint32_t base = 0xFFFFFFFFu - 250u;  // byte 251 has sequence 0
    for (Segment s : {Segment{0, 100}, Segment{200, 100}, Segment{300, 100}, Segment{100, 100}}) {
        buffer.insert(packetOf(base, s));
        buffer.flushStep();
    }
    buffer.flushAll();
    expectRecords(sink.records, {{0, 0, 100}, {0, 100, 100}, {0, 200, 100}, {0, 300, 100}}, "across 2^32");
}

}  // namespace
}  // namespace kestrel::harrier
