#pragma once
// The packet processor: decodes each frame, offers it to the recognisers in
// a fixed order, and stores the payload of segments that belong to a
// recording item.

#include <array>
#include <cstdint>
#include <span>
#include <memory>
#include <string>

#include "common/tcp_segment.h"
#include "kestrel/engine/packet_processor.h"
#include "kestrel/engine/record_item_table.h"

namespace kestrel::engine {

class PacketDispatcher : public PacketProcessor {
public:
    explicit PacketDispatcher(RecordItemTable& items);

    void beginCapture(const std::string& saveFolder, bool recordSwf) override;
    void process(std::span<const std::uint8_t> frame, Outbox& outbox) override;

    // The item of a connection: the lowest-numbered item whose server and
    // client sides match and which is an RTMP item or expects this
    // acknowledgement number; 0 when none. The state is not considered.
    int lookup(const std::uint8_t (&server)[4], const std::uint8_t (&client)[4], std::uint16_t serverPort,
               std::uint16_t clientPort, std::uint32_t ack) const;
    // lookup() for a segment sent by the server side.
    int lookupFromServer(const TcpSegment& s) const;

    // Stores the payload of a segment sent by the server side of a recording item.
    void storeSegment(const TcpSegment& s, Outbox& outbox);

    const std::string& tempFolder() const { return tempFolder_; }
    bool recordSwf() const { return recordSwf_; }
    RecordItemTable& items() { return items_; }

    std::uint64_t framesNotDecoded() const { return framesNotDecoded_; }
    // Items that failed while capturing because their capture data could
    // not be written.
    std::uint64_t writeFailures() const { return writeFailures_; }

private:
    // A response whose header came in a segment of its own, without a media
    // type: its first body segment may still show FLV metadata.
    struct PendingResponse {
        std::uint8_t server[4] = {};
        std::uint8_t client[4] = {};
        std::uint16_t serverPort = 0;
        std::uint16_t clientPort = 0;
        std::uint32_t ack = 0;
        std::uint32_t bodySequence = 0;
        std::int64_t contentLength = -1;
        bool used = false;
        // Body segments that overtook the first one, kept until it decides.
        struct Held {
            std::uint32_t sequence;
            std::uint32_t offset;
            std::uint32_t length;
        };
        std::array<Held, 64> held{};
        std::size_t heldCount = 0;
        std::uint32_t heldBytes = 0;
    };
    static constexpr std::size_t kPendingResponses = 32;
    static constexpr std::size_t kHeldBytes = 64 * 1024;

    void rememberHeaderOnlyResponse(const TcpSegment& s, std::size_t headerLength, std::int64_t contentLength);
    // True when the segment was the first body segment of a remembered
    // response and became an item's first record.
    bool createFromPendingResponse(const TcpSegment& s);
    // contentLength: the response's Content-Length, -1 when it had none.
    void createResponseItem(const TcpSegment& s, std::string_view extension, std::int64_t contentLength,
                            std::size_t skip);
    // A new item's kind and the two ends of its connection, taken from a
    // segment sent by the server or by the client.
    static NewItem itemBetween(const TcpSegment& s, bool serverIsSource, ItemKind kind);

    void handleHttpRequest(const TcpSegment& s);
    void handleHttpResponse(const TcpSegment& s, std::size_t frameLength);
    void handleRtmpConnect(const TcpSegment& s);
    void handleRtmpStreamEnd(const TcpSegment& s, Outbox& outbox);
    void scanRtmp(const TcpSegment& s);
    // Creates an RTMP item with its files open and the first record stored;
    // 0 when the table is full.
    int createRtmpItem(const TcpSegment& s, bool serverIsSource, std::string_view url,
                       std::span<const std::uint8_t> firstRecord, std::uint32_t firstSequence);
    // Appends bytes to an item's files, opening them (truncating or not)
    // first. A file that cannot be opened or written fails the item at once.
    void appendToItem(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes, bool truncate);
    // Fails a recording item whose capture files could not be written, and
    // tells the window.
    void failItem(RecordItem& item);

    RecordItemTable& items_;
    std::string tempFolder_;
    bool recordSwf_ = false;
    std::uint64_t framesNotDecoded_ = 0;
    std::uint64_t writeFailures_ = 0;
    Outbox* outbox_ = nullptr;  // the current frame's, while process() runs
    std::array<PendingResponse, kPendingResponses> pending_{};
    // One fixed area per remembered response for the segments it holds.
    std::unique_ptr<std::uint8_t[]> heldArea_{new std::uint8_t[kPendingResponses * kHeldBytes]};
    std::size_t nextPending_ = 0;
};

}  // namespace kestrel::engine
