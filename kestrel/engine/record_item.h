#pragma once
// The record item: the shared record of one recording, from the moment the
// packet processor recognises a stream until its file is finished.
//
// Threads: the capture thread fills items in state Recording under the
// packet lock; the user-interface thread ends them (state first, then it
// closes the files while holding the packet lock, so a frame being stored
// at that moment finishes before the files go away, and no later frame
// stores anything because the state is no longer Recording); the
// post-processing threads take items in state CaptureEnded. Fields that
// another thread reads while they change are atomics.

#include <atomic>
#include <cstdint>

#include "common/capture_files.h"
#include "platform/fixed_text.h"

namespace kestrel::engine {

enum class ItemState : std::int32_t {
    Empty = 0,
    Recording = 1,
    Done = 2,
    Failed = 3,
    CaptureEnded = 6,
    Processing = 7,
    Removed = 9,
};

enum class ItemKind : std::int32_t { Http = 0, Rtmp = 1 };

inline constexpr int kMaxRecordItems = 1000;
inline constexpr std::int32_t kReceivingNotifyBytes = 2048;
inline constexpr std::int32_t kIdleTickLimit = 121;

struct Ipv4Address {
    std::uint8_t bytes[5] = {};  // four bytes as in the IP header, then a zero byte
    bool operator==(const Ipv4Address& o) const {
        return bytes[0] == o.bytes[0] && bytes[1] == o.bytes[1] && bytes[2] == o.bytes[2] && bytes[3] == o.bytes[3];
    }
};

struct RecordItem {
    std::atomic<ItemState> state{ItemState::Empty};
    std::atomic<std::int32_t> receivingNotified{0};
    ItemKind kind = ItemKind::Http;
    Ipv4Address serverAddress;
    std::int32_t serverPort = 0;
    Ipv4Address clientAddress;
    std::int32_t clientPort = 0;
    std::uint32_t expectedAck = 0;
    FixedText<1000> url;
    FixedText<500> outputFolder;
    FixedText<50> outputName;
    FixedText<50> dataFileName;
    FixedText<50> indexFileName;
    FixedText<42> title;
    std::int32_t titleLength = 0;
    std::atomic<std::int32_t> filesOpen{0};
    std::int32_t headerWritten = 0;
    std::atomic<std::int32_t> expectedSize{0};
    // The response's Content-Length, or -1 when it gave none. expectedSize
    // grows with the stored bytes (repeats included), so only this tells
    // whether a rebuilt body is whole.
    std::atomic<std::int64_t> contentLength{-1};
    std::atomic<std::int32_t> storedBytes{0};
    std::atomic<std::int32_t> processedBytes{0};
    std::atomic<std::int32_t> segmentCount{0};
    std::atomic<std::int32_t> idleTicks{0};
    // The capture data file and capture index file while capturing.
    capture_files::CaptureFileWriter files;

    bool is(ItemState s) const { return state.load(std::memory_order_acquire) == s; }
    // Closes both capture files (when open) and clears the files-open flag.
    void closeFiles();
};

}  // namespace kestrel::engine
