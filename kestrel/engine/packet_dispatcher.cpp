#include "kestrel/engine/packet_dispatcher.h"

#include <cstring>

#include "kestrel/engine/messages.h"
#include "kestrel/engine/rtmp_patterns.h"

namespace kestrel::engine {

namespace {

bool startsWith(std::span<const std::uint8_t> b, std::string_view text) {
    return b.size() >= text.size() && std::memcmp(b.data(), text.data(), text.size()) == 0;
}

bool sameAddress(const Ipv4Address& a, const std::uint8_t (&b)[4]) {
    return std::memcmp(a.bytes, b, 4) == 0;
}

}  // namespace

PacketDispatcher::PacketDispatcher(RecordItemTable& items) : items_(items) {}

NewItem PacketDispatcher::itemBetween(const TcpSegment& s, bool serverIsSource, ItemKind kind) {
    NewItem init;
    init.kind = kind;
    std::memcpy(init.serverAddress.bytes, serverIsSource ? s.sourceAddress : s.destinationAddress, 4);
    std::memcpy(init.clientAddress.bytes, serverIsSource ? s.destinationAddress : s.sourceAddress, 4);
    init.serverPort = serverIsSource ? s.sourcePort : s.destinationPort;
    init.clientPort = serverIsSource ? s.destinationPort : s.sourcePort;
    return init;
}

void PacketDispatcher::beginCapture(const std::string& saveFolder, bool recordSwf) {
    tempFolder_ = saveFolder + "Temp/";
    recordSwf_ = recordSwf;
    items_.setCaptureFolder(tempFolder_);
}

int PacketDispatcher::lookup(const std::uint8_t (&server)[4], const std::uint8_t (&client)[4], std::uint16_t serverPort,
                             std::uint16_t clientPort, std::uint32_t ack) const {
    const int count = items_.count();
    for (int i = 1; i <= count; ++i) {
        const RecordItem& item = *items_.at(i);
        if (item.serverPort != serverPort || item.clientPort != clientPort) continue;
        if (!sameAddress(item.serverAddress, server) || !sameAddress(item.clientAddress, client)) continue;
        if (item.kind == ItemKind::Rtmp || item.expectedAck == ack) return i;
    }
    return 0;
}

int PacketDispatcher::lookupFromServer(const TcpSegment& s) const {
    return lookup(s.sourceAddress, s.destinationAddress, s.sourcePort, s.destinationPort, s.acknowledgement);
}

void PacketDispatcher::process(std::span<const std::uint8_t> frame, Outbox& outbox) {
    outbox_ = &outbox;
    TcpSegment s;
    if (!decodeTcpSegment(frame, s)) {
        ++framesNotDecoded_;
        return;
    }
    const auto& p = s.payload;
    if (p.size() > 3 && startsWith(p, "GET ")) {
        handleHttpRequest(s);
    } else if (p.size() > 6 && startsWith(p, "HTTP/1.")) {
        handleHttpResponse(s, frame.size());
    } else if (p.size() > 8 && startsWith(p, "DESCRIBE ")) {
        // streaming-control requests are not recorded
    } else if (p.size() > 38 && std::memcmp(p.data() + 12, "MMS", 3) == 0 && p[36] == 5 && p[38] == 3) {
        // MMS commands are not recorded
    } else if (p.size() > 21 && rtmp::connectAt(p, 0)) {
        handleRtmpConnect(s);
    } else if (p.size() > 32 && rtmp::playAtStart(p)) {
        // a client's play command is not recorded
    } else if (rtmp::streamEndStatus(p)) {
        handleRtmpStreamEnd(s, outbox);
    } else if (!p.empty()) {
        if (rtmp::isRtmpPort(s.sourcePort) || rtmp::isRtmpPort(s.destinationPort)) scanRtmp(s);
        // Segments without payload (acknowledgements with options, FINs)
        // carry nothing to store.
        storeSegment(s, outbox);
    }
}

void PacketDispatcher::appendToItem(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes,
                                    bool truncate) {
    const auto kind = item.kind == ItemKind::Rtmp ? capture_files::kKindRtmp : capture_files::kKindHttp;
    if (!item.filesOpen.load(std::memory_order_relaxed)) {
        if (!item.files.openData(tempFolder_ + std::string(item.dataFileName.view()), truncate)) return failItem(item);
        item.filesOpen.store(1, std::memory_order_release);
    }
    if (!item.files.indexOpen() && !item.files.openIndex(tempFolder_ + std::string(item.indexFileName.view()), truncate))
        return failItem(item);
    if (!item.files.append(kind, item.headerWritten, sequence, bytes)) failItem(item);
}

void PacketDispatcher::failItem(RecordItem& item) {
    // Storing on after a lost write would leave payloads that the index
    // places at the wrong bytes; what was written stays for an import.
    if (!item.failCapture(item.files.failure())) return;
    ++writeFailures_;
    if (outbox_) outbox_->send(WM_ITEM_STATE_CHANGED, static_cast<platform::WParam>(items_.indexOf(item)));
}

void PacketDispatcher::storeSegment(const TcpSegment& s, Outbox& outbox) {
    int index = lookupFromServer(s);
    if (index == 0) {
        if (!createFromPendingResponse(s)) return;
        index = lookupFromServer(s);
        if (index == 0) return;
        // The new item's first record is stored; what follows is counted as
        // for any stored segment.
        RecordItem& item = *items_.at(index);
        const auto length = static_cast<std::int64_t>(s.payload.size());
        item.segmentCount.fetch_add(1, std::memory_order_relaxed);
        const std::int64_t stored = item.storedBytes.fetch_add(length, std::memory_order_relaxed) + length;
        if (item.expectedSize.load(std::memory_order_relaxed) < stored)
            item.expectedSize.store(stored, std::memory_order_relaxed);
        return;
    }
    RecordItem& item = *items_.at(index);
    if (!item.is(ItemState::Recording)) return;
    std::span<const std::uint8_t> payload = s.payload;
    std::uint32_t sequence = s.sequence;
    if (item.knowsStreamStart) {
        // Bytes before the stream's start are a resent piece of the
        // handshake: storing them would put the handshake into the stream.
        const auto before = static_cast<std::int32_t>(item.streamStart - sequence);
        if (before > 0) {
            if (static_cast<std::size_t>(before) >= payload.size()) return;
            payload = payload.subspan(static_cast<std::size_t>(before));
            sequence = item.streamStart;
        }
    }
    const auto length = static_cast<std::int64_t>(payload.size());
    item.segmentCount.fetch_add(1, std::memory_order_relaxed);
    item.idleTicks.store(0, std::memory_order_relaxed);
    const std::int64_t stored = item.storedBytes.fetch_add(length, std::memory_order_relaxed) + length;
    if (!item.receivingNotified.load(std::memory_order_relaxed) && stored > kReceivingNotifyBytes) {
        item.receivingNotified.store(1, std::memory_order_relaxed);
        outbox.send(WM_ITEM_RECEIVING, static_cast<platform::WParam>(index));
    }
    if (item.expectedSize.load(std::memory_order_relaxed) < stored)
        item.expectedSize.store(stored, std::memory_order_relaxed);
    appendToItem(item, sequence, payload, false);
}

}  // namespace kestrel::engine
