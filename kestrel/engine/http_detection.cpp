// Recognition of media downloads over HTTP, from the request or from the
// response header.

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "common/url_text.h"
#include "kestrel/engine/packet_dispatcher.h"

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

std::int32_t parseContentLength(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    long long v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        v = v * 10 + (text[i] - '0');
        if (v > INT32_MAX) return INT32_MAX;
    }
    return static_cast<std::int32_t>(v);
}

void removeFile(const std::string& path) {
    ::unlink(path.c_str());
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
    NewItem init;
    init.kind = ItemKind::Http;
    std::memcpy(init.serverAddress.bytes, s.destinationAddress, 4);
    init.serverPort = s.destinationPort;
    std::memcpy(init.clientAddress.bytes, s.sourceAddress, 4);
    init.clientPort = s.sourcePort;
    init.expectedAck = s.sequence + static_cast<std::uint32_t>(s.payload.size());
    init.url = url;
    const std::string extension = toUpperAscii(urlExtension(url));
    init.extension = extension;
    init.title = title.size() <= 40 ? std::string_view(title) : std::string_view();
    const int index = items_.create(init, ItemState::Recording);
    if (index == 0) return;
    const RecordItem& item = *items_.at(index);
    const std::string data = tempFolder_ + std::string(item.dataFileName.view());
    removeFile(data);
    removeFile(data + ".tmp");
    removeFile(tempFolder_ + std::string(item.indexFileName.view()));
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
                item->storedBytes.fetch_add(static_cast<std::int32_t>(frameLength), std::memory_order_relaxed);
            } else if (items_.count() < kMaxRecordItems) {
                create = true;
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

    if (create) {
        NewItem init;
        init.kind = ItemKind::Http;
        std::memcpy(init.serverAddress.bytes, s.sourceAddress, 4);
        init.serverPort = s.sourcePort;
        std::memcpy(init.clientAddress.bytes, s.destinationAddress, 4);
        init.clientPort = s.destinationPort;
        init.expectedAck = s.acknowledgement;
        init.expectedSize = haveLength ? parseContentLength(lengthText) : 0;
        init.extension = extension;
        const int index = items_.create(init, ItemState::Recording);
        if (index == 0) return;
        RecordItem& item = *items_.at(index);
        removeFile(tempFolder_ + std::string(item.dataFileName.view()));
        removeFile(tempFolder_ + std::string(item.indexFileName.view()));
        const std::size_t skip = headerEnded ? headerLength : 0;
        appendToItem(item, s.sequence + static_cast<std::uint32_t>(skip), s.payload.subspan(skip), true);
        return;
    }

    if (haveLength) {
        const int index = lookupFromServer(s);
        RecordItem* item = index ? items_.at(index) : nullptr;
        if (item && item->is(ItemState::Recording) && item->kind == ItemKind::Http)
            item->expectedSize.store(parseContentLength(lengthText), std::memory_order_relaxed);
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

}  // namespace kestrel::engine
