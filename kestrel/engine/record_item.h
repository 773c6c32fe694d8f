#pragma once
// The record item: the shared record of one recording, from the moment the
// packet processor recognises a stream until its file is finished.
//
// Threads: the capture thread fills items in state Recording under the
// packet lock; whoever ends one (the user-interface thread, or the capture
// thread at a stream's end or a failed write) holds the packet lock, closes
// the files and only then moves the state on, so a frame being stored
// finishes first, no later frame stores anything, and a post-processing
// thread, which takes items in state CaptureEnded, never sees an item whose
// files are still open. Fields that another thread reads while they change
// are atomics.

#include <atomic>
#include <cstdint>
#include <string_view>

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
    std::atomic<std::int64_t> expectedSize{0};
    // The response's Content-Length, or -1 when it gave none. expectedSize
    // grows with the stored bytes (repeats included), so only this tells
    // whether a rebuilt body is whole.
    std::atomic<std::int64_t> contentLength{-1};
    // Made from capture data left by an earlier run: its Content-Length,
    // if it had one, is not known any more.
    bool imported = false;
    // Failed because not a byte of it was ever stored (a request seen
    // twice, or one whose answer was never captured): nothing was lost.
    bool neverReceived = false;
    // RTMP items: the server's sequence number where the recorded stream
    // begins (what the client's connect command acknowledges, or the
    // server segment that made the item). A late copy of the handshake lies
    // before it and is no part of the stream.
    bool knowsStreamStart = false;
    std::uint32_t streamStart = 0;
    std::atomic<std::int64_t> storedBytes{0};
    std::atomic<std::int64_t> processedBytes{0};
    std::atomic<std::int32_t> segmentCount{0};
    std::atomic<std::int32_t> idleTicks{0};
    // Why the item failed (the system's error text, with the file), when
    // a write or a conversion did. Written before the state becomes Failed.
    FixedText<320> failure;
    // The capture data file and capture index file while capturing.
    capture_files::CaptureFileWriter files;

    bool is(ItemState s) const { return state.load(std::memory_order_acquire) == s; }
    // Closes both capture files (when open) and clears the files-open flag.
    // False when a write failed (files.failure() says why).
    bool closeFiles();
    // Ends the capture of a recording item: closes its files, then moves
    // it to CaptureEnded, or to Failed with the reason when its capture
    // data could not be written. False when the item was not recording.
    // The caller holds the packet lock.
    bool endCapture();
    // Stops storing at once and fails the item with the reason (keeping
    // what was written). False when the item was not recording. The caller
    // holds the packet lock.
    bool failCapture(std::string_view reason);
};

}  // namespace kestrel::engine
