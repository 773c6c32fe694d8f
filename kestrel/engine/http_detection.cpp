// Recognition of media downloads over HTTP, from the request or from the
// response header.


#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "common/url_text.h"
#include "kestrel/engine/packet_dispatcher.h"
#include "platform/data_dir.h"

namespace kestrel::engine {

namespace {

constexpr std::size_t kMaxHeaderLine = 999;

struct ContentTypeRow {
    std::string_view prefix;
    std::string_view extension;
    bool swf;
};

constexpr std::array<ContentTypeRow, 6> kContentTypes{{
    {"Content-Type: video/flv", ".FLV", false},
    {"Content-Type: video/x-flv", ".FLV", false},
    {"Content-Type: application/x-shockwave-flash", ".SWF", true},
    {"Content-Type: audio/mpeg", ".MP3", false},
    {"Content-Type: audio/x-mpeg", ".MP3", false},
    {"Content-Type: video/mp4", ".MP4", false},
}};

bool isMediaExtension(std::string_view ext, bool recordSwf) {
    for (std::string_view e : {".FLV", ".F4V", ".MP4", ".M4A", ".M4V", ".MP3"})
        if (ext == e) return true;
    return recordSwf && ext == ".SWF";
}

std::string_view asText(std::span<const std::uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// Walks the header lines of a payload. A line is complete when its CR LF
// starts at least four bytes before the end; a line longer than 999
// characters ends the walk. visit(line, crlfPos) returns false to stop.
template <typename Visit>
void forEachHeaderLine(std::string_view payload, Visit visit) {
    if (payload.size() < 4) return;
    const std::size_t lastCrlf = payload.size() - 4;
    std::size_t start = 0;
    while (start <= lastCrlf) {
        const std::size_t crlf = payload.find("\r\n", start);
        if (crlf == std::string_view::npos || crlf > lastCrlf) return;
        if (crlf - start > kMaxHeaderLine) return;
        if (!visit(payload.substr(start, crlf - start), crlf)) return;
        start = crlf + 2;
    }
}

// A length that no download reaches; larger values stop growing here, so
// the digits cannot overflow.
constexpr std::int64_t kMaxContentLength = std::int64_t{1} << 50;

std::int64_t parseContentLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > kMaxContentLength) return kMaxContentLength;
    }
    return v;
}

}  // namespace

void PacketDispatcher::handleHttpRequest(const TcpSegment& s) {
    const std::string_view payload = asText(s.payload);
    std::string target;
    std::string url;
    forEachHeaderLine(payload, [&](std::string_view line, std::size_t) {
        if (line.substr(0, 3) == "GET") {
            target = line.size() < 13 ? std::string() : std::string(line.substr(4, line.size() - 13));
        } else if (line.substr(0, 5) == "Host:") {
            url = "http://" + std::string(line.substr(line.size() < 6 ? line.size() : 6)) + target;
            return false;
        }
        return true;
    });
    if (url.empty()) return;
    if (!isMediaExtension(toUpperAscii(urlExtension(url)), recordSwf_)) return;

    const std::string title = urlTitle(url);
    NewItem init = itemBetween(s, false, ItemKind::Http);
    init.expectedAck = s.sequence + static_cast<std::uint32_t>(s.payload.size());
    // The same request captured again (a retransmission) asks for the same
    // answer: a second item would never receive a byte of it.
    if (lookup(s.destinationAddress, s.sourceAddress, s.destinationPort, s.sourcePort, init.expectedAck) != 0) return;
    init.url = url;
    const std::string extension = toUpperAscii(urlExtension(url));
    init.extension = extension;
    init.title = title.size() <= 40 ? std::string_view(title) : std::string_view();
    // The table skips numbers whose capture files exist (a run that was
    // killed left them for an import), so nothing is deleted here.
    items_.create(init, ItemState::Recording);
}

void PacketDispatcher::handleHttpResponse(const TcpSegment& s, std::size_t frameLength) {
    const std::string_view payload = asText(s.payload);
    std::string_view extension;
    bool create = false;
    bool haveLength = false;
    std::string_view lengthText;
    bool headerEnded = false;
    std::size_t headerLength = 0;
    std::size_t bodyLength = 0;

    forEachHeaderLine(payload, [&](std::string_view line, std::size_t crlf) {
        const ContentTypeRow* row = nullptr;
        for (const auto& r : kContentTypes) {
            if (r.swf && !recordSwf_) continue;
            if (line.substr(0, r.prefix.size()) == r.prefix) {
                row = &r;
                break;
            }
        }
        if (row) {
            extension = row->extension;
            const int index = lookupFromServer(s);
            RecordItem* item = index ? items_.at(index) : nullptr;
            if (item && item->is(ItemState::Recording)) {
                item->segmentCount.fetch_add(1, std::memory_order_relaxed);
                item->storedBytes.fetch_add(static_cast<std::int64_t>(frameLength), std::memory_order_relaxed);
            } else {
                create = true;  // a full table refuses it, and counts it
            }
        } else if (line.size() >= 15 && line.substr(0, 15) == "Content-Length:") {
            haveLength = true;
            lengthText = line.substr(15);
        }
        if (payload.substr(crlf + 2, 2) == "\r\n") {
            headerEnded = true;
            headerLength = crlf + 4;
            bodyLength = payload.size() - headerLength;
            if (bodyLength > 0 && lookupFromServer(s) == 0 && payload.find("onMetaData") != std::string_view::npos) {
                extension = ".FLV";
                create = true;
            }
            return false;
        }
        return true;
    });

    const std::int64_t contentLength = haveLength ? parseContentLength(lengthText) : -1;
    if (create) {
        createResponseItem(s, extension, contentLength, headerEnded ? headerLength : 0);
        return;
    }
    if (headerEnded && bodyLength == 0 && extension.empty() && lookupFromServer(s) == 0)
        rememberHeaderOnlyResponse(s, headerLength, contentLength);

    if (haveLength) {
        const int index = lookupFromServer(s);
        RecordItem* item = index ? items_.at(index) : nullptr;
        if (item && item->is(ItemState::Recording) && item->kind == ItemKind::Http) {
            item->expectedSize.store(contentLength, std::memory_order_relaxed);
            item->contentLength.store(contentLength, std::memory_order_relaxed);
        }
    }
    if (headerEnded && bodyLength > 0) {
        const int index = lookupFromServer(s);
        RecordItem* item = index ? items_.at(index) : nullptr;
        if (item && item->is(ItemState::Recording)) {
            const bool wasOpen = item->filesOpen.load(std::memory_order_relaxed) != 0;
            appendToItem(*item, s.sequence + static_cast<std::uint32_t>(headerLength), s.payload.subspan(headerLength),
                         !wasOpen);
        }
    }
}

void PacketDispatcher::createResponseItem(const TcpSegment& s, std::string_view extension, std::int64_t contentLength,
                                          std::size_t skip) {
    NewItem init = itemBetween(s, true, ItemKind::Http);
    init.expectedAck = s.acknowledgement;
    init.expectedSize = contentLength > 0 ? contentLength : 0;
    init.contentLength = contentLength;
    init.extension = extension;
    const int index = items_.create(init, ItemState::Recording);
    if (index == 0) return;
    RecordItem& item = *items_.at(index);
    appendToItem(item, s.sequence + static_cast<std::uint32_t>(skip), s.payload.subspan(skip), true);
}

void PacketDispatcher::rememberHeaderOnlyResponse(const TcpSegment& s, std::size_t headerLength,
                                                  std::int64_t contentLength) {
    PendingResponse& p = pending_[nextPending_];
    nextPending_ = (nextPending_ + 1) % kPendingResponses;  // the oldest is forgotten first
    std::memcpy(p.server, s.sourceAddress, 4);
    std::memcpy(p.client, s.destinationAddress, 4);
    p.serverPort = s.sourcePort;
    p.clientPort = s.destinationPort;
    p.ack = s.acknowledgement;
    p.bodySequence = s.sequence + static_cast<std::uint32_t>(headerLength);
    p.contentLength = contentLength;
    p.used = true;
    p.heldCount = 0;
    p.heldBytes = 0;
}

bool PacketDispatcher::createFromPendingResponse(const TcpSegment& s) {
    for (std::size_t slot = 0; slot < pending_.size(); ++slot) {
        PendingResponse& p = pending_[slot];
        if (!p.used || p.serverPort != s.sourcePort || p.clientPort != s.destinationPort || p.ack != s.acknowledgement ||
            std::memcmp(p.server, s.sourceAddress, 4) != 0 || std::memcmp(p.client, s.destinationAddress, 4) != 0)
            continue;
        std::uint8_t* area = heldArea_.get() + slot * kHeldBytes;
        if (p.bodySequence != s.sequence) {
            // A later body segment came first (the first one was lost or
            // delayed): keep it while there is room.
            const auto ahead = static_cast<std::int32_t>(s.sequence - p.bodySequence);
            if (ahead > 0 && p.heldCount < p.held.size() && p.heldBytes + s.payload.size() <= kHeldBytes) {
                std::memcpy(area + p.heldBytes, s.payload.data(), s.payload.size());
                p.held[p.heldCount++] = {s.sequence, p.heldBytes, static_cast<std::uint32_t>(s.payload.size())};
                p.heldBytes += static_cast<std::uint32_t>(s.payload.size());
            }
            return false;
        }
        p.used = false;
        // The rule of a header that arrives with body bytes, applied to the
        // body's first segment: FLV metadata makes it an FLV download.
        if (asText(s.payload).find("onMetaData") == std::string_view::npos) return false;
        createResponseItem(s, ".FLV", p.contentLength, 0);
        const int index = lookupFromServer(s);
        if (index == 0) return false;
        RecordItem& item = *items_.at(index);
        for (std::size_t k = 0; k < p.heldCount; ++k) {
            const auto& h = p.held[k];
            appendToItem(item, h.sequence, std::span<const std::uint8_t>(area + h.offset, h.length), false);
            item.segmentCount.fetch_add(1, std::memory_order_relaxed);
            item.storedBytes.fetch_add(h.length, std::memory_order_relaxed);
        }
        p.heldCount = 0;
        return true;
    }
    return false;
}

}  // namespace kestrel::engine
