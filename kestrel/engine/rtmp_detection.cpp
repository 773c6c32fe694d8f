// Recognition of RTMP streams: an item per connection, from the client's
// connect command or the server's play-start status, ended by the server's
// end-of-stream status.


#include <array>
#include <cstring>
#include <string_view>

#include "common/byte_search.h"
#include "kestrel/engine/messages.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "kestrel/engine/rtmp_patterns.h"
#include "platform/data_dir.h"

namespace kestrel::engine {

namespace {
constexpr std::size_t kScanMinimum = 21;  // payload bytes before the scan runs
constexpr std::size_t kConnectUrlLead = 12;
constexpr std::size_t kChunkSize = 128;
}  // namespace

int PacketDispatcher::createRtmpItem(const TcpSegment& s, bool serverIsSource, std::string_view url,
                                     std::span<const std::uint8_t> firstRecord, std::uint32_t firstSequence) {
    NewItem init = itemBetween(s, serverIsSource, ItemKind::Rtmp);
    init.expectedAck = s.acknowledgement;
    init.url = url;
    init.extension = ".FLV";
    const int index = items_.create(init, ItemState::Recording);
    if (index == 0) return 0;
    RecordItem& item = *items_.at(index);
    // The server's stream begins where the client's connect command says
    // it has read up to, or with the server's segment that made the item.
    item.knowsStreamStart = true;
    item.streamStart = serverIsSource ? s.sequence : s.acknowledgement;
    const std::string data = tempFolder_ + std::string(item.dataFileName.view());
    const std::string idx = tempFolder_ + std::string(item.indexFileName.view());
    if (!item.files.openData(data, true)) {
        failItem(item);
        return index;
    }
    item.filesOpen.store(1, std::memory_order_release);
    bool ok = item.files.openIndex(idx, true);
    if (ok && firstRecord.empty()) {
        ok = item.files.writeHeader(capture_files::kKindRtmp, item.headerWritten);
    } else if (ok) {
        ok = item.files.append(capture_files::kKindRtmp, item.headerWritten, firstSequence, firstRecord);
    }
    if (!ok) failItem(item);
    return index;
}

void PacketDispatcher::handleRtmpConnect(const TcpSegment& s) {
    if (lookup(s.destinationAddress, s.sourceAddress, s.destinationPort, s.sourcePort, s.acknowledgement) != 0) return;
    createRtmpItem(s, false, "", s.payload, s.sequence);
}

void PacketDispatcher::handleRtmpStreamEnd(const TcpSegment& s, Outbox& outbox) {
    const int index = lookupFromServer(s);
    if (index == 0) return;
    // This thread is the only writer and holds the packet lock: the files
    // can be closed at once.
    if (!items_.at(index)->endCapture()) return;
    outbox.send(WM_STREAM_ENDED, 0);
}

void PacketDispatcher::scanRtmp(const TcpSegment& s) {
    const auto p = s.payload;
    if (p.size() < kScanMinimum) return;
    // Every body segment on the RTMP ports passes here, so the two marker
    // texts are searched for with the fast search instead of testing the
    // patterns at each byte. A connect command is found by its name, 15
    // bytes after its start.
    const std::size_t lastStart = p.size() - kScanMinimum;
    auto find = [&](std::string_view text, std::size_t from) { return common::findBytes(p, from, text); };
    std::size_t connect = p.size();
    for (std::size_t name = find("connect", 15); name < p.size(); name = find("connect", name + 1)) {
        const std::size_t at = name - 15;
        if (at > lastStart) break;
        if (rtmp::connectAt(p, at)) {
            connect = at;
            break;
        }
    }
    // A play-start status before the connect command (if any) names a new item.
    const std::size_t status = find("Play.Start", 0);
    if (status <= lastStart && status < connect && lookupFromServer(s) == 0)
        createRtmpItem(s, true, "rtmp", {}, s.sequence);
    if (connect == p.size()) return;

    // The connect command's first argument holds the stream's URL; its
    // record starts there. The URL is searched in the message with the
    // one-byte chunk headers between 128-byte chunks left out.
    std::size_t urlAt = p.size();
    {
        const std::size_t from = connect + kConnectUrlLead;
        std::array<std::uint8_t, 4> window{};
        std::size_t copied = 0;
        for (std::size_t i = from; i < p.size(); ++i) {
            const std::size_t inMessage = i - from;
            // Every 129th byte from the message start is a chunk header.
            if (inMessage % (kChunkSize + 1) == kChunkSize) continue;
            window = {window[1], window[2], window[3], p[i]};
            if (++copied >= 4 && std::memcmp(window.data(), "rtmp", 4) == 0) {
                urlAt = i - 3;
                break;
            }
        }
    }
    if (lookup(s.destinationAddress, s.sourceAddress, s.destinationPort, s.sourcePort, s.acknowledgement) != 0) return;
    if (urlAt >= p.size()) urlAt = connect;
    createRtmpItem(s, false, "", p.subspan(urlAt), s.sequence + static_cast<std::uint32_t>(urlAt));
}

}  // namespace kestrel::engine
