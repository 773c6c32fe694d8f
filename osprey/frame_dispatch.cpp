// The processing of one captured frame: which kind of payload it carries,
// the request table, record items made from responses, the storing of
// their bodies, and the RTMP connections between connect and play.

#include <cstring>

#include "common/tcp_segment.h"
#include "osprey/engine.h"
#include "osprey/local_name.h"
#include "osprey/notices.h"
#include "osprey/rtmp_commands.h"
#include "osprey/url_requests.h"
#include "platform/byte_reader.h"
#include "platform/data_dir.h"

namespace kestrel::osprey {

namespace {

platform::WParam idParam(std::int32_t id) {
    return static_cast<platform::WParam>(static_cast<std::uint32_t>(id));
}

}  // namespace

void Engine::processFrame(std::span<const std::uint8_t> frame) {
    TcpSegment s;
    // Frames whose headers do not fit, and everything but IPv4 TCP, carry
    // nothing for the recorder.
    if (!decodeTcpSegment(frame, s)) return;
    currentFolder();
    std::lock_guard lock(packetLock_);
    try {
        dispatch(s);
    } catch (...) {
        // The rest of the frame is dropped; the capture loop ends at the
        // next frame.
        abort_.store(true);
    }
}

void Engine::dispatch(const TcpSegment& s) {
    const ByteReader p(s.payload);
    if (p.startsWith("GET ")) {
        handleGet(s);
    } else if (p.startsWith("HTTP/1.")) {
        handleResponse(s);
    } else if (isDescribeRequest(s.payload)) {
        const std::string url = describeUrl(s.payload);
        if (!url.empty()) sendTextNotice(window_, OSPREY_NOTICE_URL, url);
    } else if (isMmsOpenFile(s.payload)) {
        sendTextNotice(window_, OSPREY_NOTICE_URL, mmsOpenFileUrl(s.payload, s.destinationAddress, s.destinationPort));
    } else if (!s.payload.empty()) {
        handleDataSegment(s);
    }
    if ((s.flags & (kTcpFin | kTcpRst)) != 0) handleConnectionEnd(s);
}

void Engine::handleGet(const TcpSegment& s) {
    const Connection connection = Connection::fromClient(s);
    // A copy of a request sent again would take a second entry that no
    // response ever frees.
    for (const auto& e : requests_)
        if (!e.free && e.sequence == s.sequence && e.connection == connection) return;

    RequestEntry* entry = nullptr;
    forEachLine(asText(s.payload), [&](std::string_view line, std::size_t) {
        const RequestLine r = readRequestLine(line);
        switch (r.kind) {
        case RequestLine::Kind::Get:
            entry = nullptr;
            for (auto& e : requests_) {
                if (!e.free) continue;
                entry = &e;
                e.free = false;
                e.connection = connection;
                e.sequence = s.sequence;
                e.target.assign(r.value);
                e.host.clear();
                e.contentType.clear();
                e.referer.clear();
                break;
            }
            break;
        case RequestLine::Kind::Host:
            if (entry) entry->host.assign(r.value);
            break;
        case RequestLine::Kind::Referer:
            if (entry) entry->referer.assign(r.value);
            break;
        case RequestLine::Kind::Other: break;
        }
        return true;
    });
}

void Engine::handleResponse(const TcpSegment& s) {
    const Connection connection = Connection::fromServer(s);
    RequestEntry* request = nullptr;
    for (auto& e : requests_) {
        if (!e.free && e.connection == connection) {
            request = &e;
            break;
        }
    }
    if (!request) return;
    const ResponseHeader header = readResponseHeader(s.payload);
    request->contentType.assign(header.contentType);
    request->free = true;

    int siteFlag = 0;
    {
        std::lock_guard lock(optionsLock_);
        siteFlag = siteList_.matches(request->host.view(), request->referer.view()) ? 1 : 0;
    }
    HttpNoticeFields notice;
    notice.serverPort = s.sourcePort;
    notice.siteFlag = siteFlag;
    notice.host = request->host.view();
    notice.target = request->target.view();
    notice.contentType = request->contentType.view();
    notice.referer = request->referer.view();
    if (report_) sendCopyData(window_, kHttpNoticeParam, OSPREY_NOTICE_RESPONSE, buildHttpNotice(notice));
    if (!record_) return;

    std::string url = "http://";
    url += request->host.view();
    if (s.sourcePort != 80 && request->host.view().find(':') == std::string_view::npos) {
        url += ':';
        url += std::to_string(s.sourcePort);
    }
    url += request->target.view();
    if (url.size() > 999) url.resize(999);

    if (!needsDownload(request->target.view(), request->contentType.view())) return;
    // The same download seen on another connection (or after another
    // request on this one) makes no second item.
    const int count = itemCount();
    for (int i = 0; i < count; ++i) {
        const RecordItem& other = items_[static_cast<std::size_t>(i)];
        if (other.url.view() == url && (!(other.connection == connection) || other.expectedAck != s.acknowledgement))
            return;
    }
    RecordItem* receiver = nullptr;
    if (createItem(s, url, header, siteFlag, notice) && siteFlag == 1) receiver = storeHeadBody(s, header.headerLength);
    if (!receiver) {
        early_.drop(connection);
        return;
    }
    // Body segments that overtook the header.
    early_.release(connection, s.acknowledgement, [&](std::uint32_t sequence, std::span<const std::uint8_t> bytes) {
        if (receiver->is(kStateRecording)) storeData(*receiver, sequence, bytes);
    });
}

bool Engine::createItem(const TcpSegment& s, const std::string& url, const ResponseHeader& header, int siteFlag,
                        HttpNoticeFields& notice) {
    const int count = itemCount();
    if (count >= kMaxItems) return false;
    RecordItem& item = items_[static_cast<std::size_t>(count)];
    const std::string localName = localNameOfUrl(url);
    idCounter_ += 1;
    item.id = static_cast<std::int32_t>(idCounter_);
    item.position = count + 1;
    item.siteFlag = siteFlag;
    item.connection = Connection::fromServer(s);
    item.expectedAck = s.acknowledgement;
    item.url.assign(url);
    item.hasLength = header.hasLength;
    item.contentLength = header.hasLength ? header.contentLength : 0;
    item.expected.store(item.contentLength);
    item.received.store(0);
    item.written.store(0);
    item.headBodyLength = 0;
    item.filesOpen = false;
    item.headerWritten = 0;
    item.bodyStartKnown = false;
    item.finKnown = false;
    item.finOffset = 0;
    item.coverage.clear();
    item.folder = currentFolder();
    {
        std::lock_guard lock(nameLock_);
        item.localName.assign(localName.substr(0, kMaxLocalName));
        item.renameFailed = false;
    }
    advanceRecordingNumber(*item.folder);
    const std::string number = std::to_string(recordingNumber_);
    item.numberName.assign(number);
    item.dataFileName.assign(number + ".gannet");
    item.indexFileName.assign(number + ".gannet.idx");
    item.state.store(kStateRecording, std::memory_order_release);
    // Published before the notice, so that the client's window can ask
    // about the item while it handles the notice.
    itemCount_.store(count + 1, std::memory_order_release);

    notice.itemId = item.id;
    notice.localName = localName;
    sendCopyData(window_, kHttpNoticeParam, OSPREY_NOTICE_ITEM, buildHttpNotice(notice));
    const std::string stored = item.localName.str();
    sendTextNotice(window_, OSPREY_NOTICE_DIAGNOSTIC, itemDiagnostic(localName, stored, stored.size()));
    return true;
}

void Engine::advanceRecordingNumber(const std::string& folder) {
    // Numbers whose files are still there (capture data a killed run left
    // for an import, or a file of that name) are passed over: a new item
    // never truncates or deletes them.
    const std::string temp = folder + "Temp/";
    for (int tries = 0;; ++tries) {
        recordingNumber_ = recordingNumber_ >= kLastRecordingNumber ? 1 : recordingNumber_ + 1;
        const std::string n = std::to_string(recordingNumber_);
        if (tries >= 100000) break;
        if (!platform::fileExists(temp + n + ".gannet") && !platform::fileExists(temp + n + ".gannet.idx") &&
            !platform::fileExists(folder + n))
            break;
    }
}

RecordItem* Engine::storeHeadBody(const TcpSegment& s, std::size_t headerLength) {
    // The first item of the connection that waits for this acknowledgement:
    // the new one, unless an earlier one answers the same request.
    RecordItem* found = findItem(Connection::fromServer(s), s.acknowledgement, false);
    if (!found || !found->is(kStateRecording) || found->siteFlag != 1) return nullptr;
    RecordItem& item = *found;
    if (headerLength == 0) {
        // The header goes on in the next segment: the body starts after
        // its empty line there.
        item.bodyStartKnown = false;
        item.headerTailLength = 0;
        item.headerContinues = s.sequence;
        keepHeaderTail(item, s.payload);
        return &item;
    }
    const std::uint32_t bodySequence = s.sequence + static_cast<std::uint32_t>(headerLength);
    item.bodyStartKnown = true;
    item.offsets.start(bodySequence);
    const auto body = s.payload.subspan(headerLength);
    item.headBodyLength = static_cast<std::int64_t>(body.size());
    if (!body.empty()) {
        countBody(item, bodySequence, body);
        if (!appendToItem(item, bodySequence, body, !item.filesOpen && item.headerWritten == 0)) return nullptr;
    }
    // A body that came whole with its header (or an empty one) ends here.
    endTest(item);
    return &item;
}

void Engine::keepHeaderTail(RecordItem& item, std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, 6> joined{};
    const std::size_t tail = item.headerTailLength;
    const std::size_t more = std::min<std::size_t>(3, bytes.size());
    std::memcpy(joined.data(), item.headerTail.data(), tail);
    std::memcpy(joined.data() + tail, bytes.data() + bytes.size() - more, more);
    const std::size_t keep = std::min<std::size_t>(3, tail + more);
    std::memcpy(item.headerTail.data(), joined.data() + tail + more - keep, keep);
    item.headerTailLength = keep;
    item.headerContinues += static_cast<std::uint32_t>(bytes.size());
}

std::size_t Engine::headerBytesIn(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes) {
    if (item.bodyStartKnown) {
        // Bytes before the body's start are the header's (a segment sent
        // again in other pieces).
        const auto before = static_cast<std::int32_t>(item.offsets.startSequence() - sequence);
        return before > 0 ? std::min(bytes.size(), static_cast<std::size_t>(before)) : 0;
    }
    // Only the segment that continues the header shows where the body
    // starts; one that overtook it is taken as body.
    if (sequence != item.headerContinues) return 0;
    // The empty line may begin in the bytes kept from before.
    std::array<std::uint8_t, 3 + 4> probe{};
    const std::size_t tail = item.headerTailLength;
    const std::size_t more = std::min<std::size_t>(4, bytes.size());
    std::memcpy(probe.data(), item.headerTail.data(), tail);
    std::memcpy(probe.data() + tail, bytes.data(), more);
    std::size_t end = bytes.size() + 1;
    for (std::size_t i = 0; i + 4 <= tail + more; ++i) {
        if (std::memcmp(probe.data() + i, "\r\n\r\n", 4) == 0) {
            end = i + 4 - tail;
            break;
        }
    }
    if (end > bytes.size()) {
        const std::size_t at = asText(bytes).find("\r\n\r\n");
        if (at != std::string_view::npos) end = at + 4;
    }
    if (end > bytes.size()) {
        keepHeaderTail(item, bytes);
        return bytes.size();
    }
    item.bodyStartKnown = true;
    item.offsets.start(sequence + static_cast<std::uint32_t>(end));
    return end;
}

void Engine::countBody(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes) {
    if (!item.bodyStartKnown) return;
    const std::int64_t at = item.offsets.offsetOf(sequence);
    item.coverage.add(at, at + static_cast<std::int64_t>(bytes.size()), item.hasLength ? item.contentLength : -1);
    const auto received = static_cast<std::int64_t>(item.coverage.covered());
    item.received.store(received, std::memory_order_relaxed);
    if (item.expected.load(std::memory_order_relaxed) < received) item.expected.store(received, std::memory_order_relaxed);
}

bool Engine::appendToItem(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> bytes,
                          bool truncate) {
    if (!item.filesOpen) {
        if (!item.files.openData(item.dataPath(), truncate)) {
            failCapture(item, false);
            return false;
        }
        item.filesOpen = true;
        if (!item.files.openIndex(item.indexPath(), truncate)) {
            failCapture(item, false);
            return false;
        }
    }
    if (!item.files.append(capture_files::kKindHttp, item.headerWritten, sequence, bytes)) {
        failCapture(item, true);
        return false;
    }
    return true;
}

void Engine::endTest(RecordItem& item) {
    const std::int64_t received = item.received.load(std::memory_order_relaxed);
    // Without a Content-Length the body ends with the connection.
    if (item.hasLength ? received >= item.contentLength : item.finKnown && received >= item.finOffset)
        endCapture(item);
}

void Engine::endCapture(RecordItem& item) {
    const bool written = item.files.close();
    item.filesOpen = false;
    if (!written) {
        failCapture(item, true);
        return;
    }
    int recording = kStateRecording;
    if (!item.state.compare_exchange_strong(recording, kStateWaiting)) return;
    if (window_) window_->post(OSPREY_WM_ITEM_STATE, idParam(item.id), kStateWaiting);
    startWorker();
}

void Engine::failCapture(RecordItem& item, bool writeFailed) {
    item.files.close();
    item.filesOpen = false;
    // A failed write (a full disk) stops the whole capture.
    if (writeFailed) abort_.store(true);
    int recording = kStateRecording;
    if (!item.state.compare_exchange_strong(recording, kStateFailed)) return;
    if (window_) window_->send(OSPREY_WM_ITEM_FAILED, static_cast<platform::WParam>(item.position), 0);
}

RecordItem* Engine::findItem(const Connection& c, std::uint32_t ack, bool anyAck) {
    // The first item of the connection that still records; else the first
    // one at all. A capture replayed in a later run makes a second item for
    // the same exchange, and it is that one which records.
    RecordItem* first = nullptr;
    const int count = itemCount();
    for (int i = 0; i < count; ++i) {
        RecordItem& item = items_[static_cast<std::size_t>(i)];
        if (!(item.connection == c) || (!anyAck && item.expectedAck != ack)) continue;
        if (item.is(kStateRecording)) return &item;
        if (!first) first = &item;
    }
    return first;
}

void Engine::storeData(RecordItem& item, std::uint32_t sequence, std::span<const std::uint8_t> payload) {
    // Only body bytes are stored, as for the response's first segment.
    const std::size_t header = headerBytesIn(item, sequence, payload);
    payload = payload.subspan(header);
    sequence += static_cast<std::uint32_t>(header);
    if (payload.empty()) return;
    countBody(item, sequence, payload);
    if (!appendToItem(item, sequence, payload, false)) return;
    endTest(item);
}

bool Engine::awaitsResponse(const Connection& c) const {
    for (const auto& e : requests_)
        if (!e.free && e.connection == c) return true;
    return false;
}

void Engine::handleDataSegment(const TcpSegment& s) {
    if (record_) {
        RecordItem* item = findItem(Connection::fromServer(s), s.acknowledgement, false);
        if (item) {
            // A cancelled item takes nothing more; its files are closed here,
            // where no frame is being stored into them.
            if (item->filesOpen && item->is(kStateCancelled)) {
                item->files.close();
                item->filesOpen = false;
            }
            if (item->siteFlag == 1 && item->is(kStateRecording)) {
                storeData(*item, s.sequence, s.payload);
                return;
            }
        } else if (awaitsResponse(Connection::fromServer(s))) {
            early_.hold(Connection::fromServer(s), s.acknowledgement, s.sequence, s.payload);
        }
    }
    scanRtmp(s);
}

void Engine::handleConnectionEnd(const TcpSegment& s) {
    const Connection fromServer = Connection::fromServer(s);
    const Connection fromClient = Connection::fromClient(s);
    const int count = itemCount();
    for (int i = 0; i < count; ++i) {
        RecordItem& item = items_[static_cast<std::size_t>(i)];
        if (!(item.connection == fromServer)) continue;
        if (item.filesOpen && item.is(kStateCancelled)) {
            item.files.close();
            item.filesOpen = false;
        }
        // A body without a Content-Length ends where its server closes:
        // once every byte before the FIN has come (bytes lost on the way
        // come again after it). After a reset nothing more comes.
        if (!item.is(kStateRecording) || item.siteFlag != 1 || item.hasLength) continue;
        if ((s.flags & kTcpRst) != 0 || !item.bodyStartKnown) {
            endCapture(item);
        } else if ((s.flags & kTcpFin) != 0) {
            item.finKnown = true;
            item.finOffset = item.offsets.offsetOf(s.sequence) + static_cast<std::int64_t>(s.payload.size());
            endTest(item);
        }
    }
    // No response comes once the server has closed or either side reset;
    // a client may close its side and still wait for the answer.
    const bool reset = (s.flags & kTcpRst) != 0;
    for (auto& e : requests_) {
        if (!e.free && (e.connection == fromServer || (reset && e.connection == fromClient))) {
            e.free = true;
            early_.drop(e.connection);
        }
    }
    for (auto& c : rtmp_)
        if (!c.free && (c.connection == fromServer || c.connection == fromClient)) c.free = true;
}

void Engine::scanRtmp(const TcpSegment& s) {
    const Connection connection = Connection::fromClient(s);
    std::span<const std::uint8_t> payload = s.payload;
    // A player that writes each chunk of its connect on its own sends the
    // message over several segments: the stored part is completed first.
    for (auto& c : rtmp_) {
        if (c.free || !(c.connection == connection) || c.connectLength >= c.connectWanted ||
            s.sequence != c.connectNext)
            continue;
        const std::size_t take = std::min(payload.size(), c.connectWanted - c.connectLength);
        std::memcpy(c.connect.data() + c.connectLength, payload.data(), take);
        c.connectLength += take;
        c.connectNext += static_cast<std::uint32_t>(take);
        payload = payload.subspan(take);
        break;
    }
    const RtmpCommandAt hit = findRtmpCommand(payload);
    switch (hit.command) {
    case RtmpCommand::None:
    case RtmpCommand::CreateStream: return;
    case RtmpCommand::Connect:
    case RtmpCommand::HeaderlessConnect: {
        // A connect sent again replaces the one stored for its connection.
        RtmpConnection* entry = nullptr;
        for (auto& c : rtmp_) {
            if (!c.free && c.connection == connection) {
                entry = &c;
                break;
            }
        }
        if (!entry) {
            for (auto& c : rtmp_) {
                if (c.free) {
                    entry = &c;
                    break;
                }
            }
        }
        if (!entry) return;
        entry->free = false;
        entry->connection = connection;
        std::size_t stored = 0;
        if (hit.command == RtmpCommand::HeaderlessConnect) {
            std::uint8_t header[kChunkHeaderSize];
            connectChunkHeader(header);
            std::memcpy(entry->connect.data(), header, sizeof header);
            stored = sizeof header;
        }
        const std::size_t room = entry->connect.size() - stored;
        const auto message = payload.subspan(hit.at, std::min(payload.size() - hit.at, room));
        std::memcpy(entry->connect.data() + stored, message.data(), message.size());
        entry->connectLength = stored + message.size();
        // Without its own header the message's length is not known: what
        // the segment holds is all there is.
        entry->connectWanted = hit.command == RtmpCommand::Connect
                                   ? std::min(chunkedMessageSize(message), entry->connect.size())
                                   : entry->connectLength;
        const std::size_t offset = static_cast<std::size_t>(payload.data() - s.payload.data()) + hit.at;
        entry->connectNext = s.sequence + static_cast<std::uint32_t>(offset + message.size());
        entry->playLength = 0;
        return;
    }
    case RtmpCommand::Play: {
        for (auto& c : rtmp_) {
            if (c.free || !(c.connection == connection)) continue;
            const auto message = payload.subspan(hit.at, std::min(payload.size() - hit.at, c.play.size()));
            std::memcpy(c.play.data(), message.data(), message.size());
            c.playLength = message.size();
            announceRtmp(c);
            c.free = true;
            return;
        }
        return;
    }
    }
}

void Engine::announceRtmp(RtmpConnection& c) {
    RtmpStreamTexts texts;
    readConnectProperties(std::span<const std::uint8_t>(c.connect.data(), c.connectLength), texts);
    texts.streamName = readPlayStreamName(std::span<const std::uint8_t>(c.play.data(), c.playLength));
    const RtmpNotice notice = buildRtmpNotice(c.connection.serverPort, texts);
    if (report_) sendCopyData(window_, kRtmpNoticeParam, OSPREY_NOTICE_RTMP_REPORT, notice);
    if (record_) sendCopyData(window_, kRtmpNoticeParam, OSPREY_NOTICE_RTMP_RECORD, notice);
}

}  // namespace kestrel::osprey
