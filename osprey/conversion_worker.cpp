// The conversion worker: turns the capture files of every item whose
// capture ended into the media file, one item after the other, with the
// HTTP assembly the program uses, and gives the file its final name.

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/capture_files.h"
#include "common/final_naming.h"
#include "common/http_body_assembler.h"
#include "osprey/engine.h"
#include "osprey/notices.h"
#include "platform/data_dir.h"
#include "platform/write_behind.h"

namespace kestrel::osprey {

namespace {

constexpr std::size_t kPayloadBuffer = 450000;
constexpr std::size_t kFileBuffer = 1 << 18;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

class FileSink : public ByteSink {
public:
    explicit FileSink(platform::BackgroundFile& f) : f_(f) {}
    bool write(std::span<const std::uint8_t> bytes) override { return f_.write(bytes); }

private:
    platform::BackgroundFile& f_;
};

// An index of a single entry is a whole body too (one that came in one
// segment); the shared reader asks for two.
capture_files::ReadStatus loadIndex(const std::string& path, std::vector<capture_files::OrderedEntry>& out) {
    const capture_files::ReadStatus status = capture_files::loadOrderedIndex(path, out);
    if (status != capture_files::ReadStatus::TooFewEntries) return status;
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return capture_files::ReadStatus::Missing;
    std::array<std::uint8_t, capture_files::kEntrySize> bytes{};
    if (std::fread(bytes.data(), 1, bytes.size(), f.get()) != bytes.size()) return status;
    std::vector<capture_files::IndexEntry> entries{capture_files::decodeEntry(bytes)};
    capture_files::unwrapDataOffsets(entries);
    capture_files::orderEntries(entries, out);
    return capture_files::ReadStatus::Ok;
}

std::string holesText(const RecordItem& item, const HttpAssemblyStats& h) {
    std::string text;
    auto add = [&](const std::string& what) {
        text += text.empty() ? "item " + std::to_string(item.id) + ": " : "; ";
        text += what;
    };
    if (h.gaps > 0)
        add(std::to_string(h.gapBytes) + " bytes were never captured, in " + std::to_string(h.gaps) + " places");
    if (h.chunkedMalformed) add("its chunked coding broke off; the rest was kept as it came");
    if (h.chunked && !h.chunkedEnded && !h.chunkedMalformed) add("its last chunk never came");
    if (item.hasLength && h.bytesOut < static_cast<std::uint64_t>(item.contentLength))
        add("the file is " + std::to_string(static_cast<std::uint64_t>(item.contentLength) - h.bytesOut) +
            " bytes shorter than its Content-Length");
    return text;
}

}  // namespace

void Engine::startWorker() {
    bool idle = false;
    if (!workerFlag_.compare_exchange_strong(idle, true)) return;
    std::lock_guard lock(workerThreadLock_);
    // A worker whose flag is clear has nothing left to do: it is ending.
    if (worker_.joinable()) worker_.join();
    try {
        worker_ = std::thread(&Engine::runWorker, this, window_);
    } catch (...) {
        workerFlag_.store(false);
    }
}

void Engine::joinWorkerIfDone() {
    std::lock_guard lock(workerThreadLock_);
    if (!workerFlag_.load() && worker_.joinable()) worker_.join();
}

int Engine::nextWaitingItem() const {
    const int count = itemCount();
    for (int i = 0; i < count; ++i)
        if (items_[static_cast<std::size_t>(i)].is(kStateWaiting)) return i + 1;
    return 0;
}

void Engine::runWorker(platform::MessageSink* window) {
    for (;;) {
        for (int position; (position = nextWaitingItem()) != 0;) {
            RecordItem& item = items_[static_cast<std::size_t>(position - 1)];
            try {
                convertItem(item, window);
            } catch (...) {
                failConversion(item, window);
            }
        }
        workerFlag_.store(false);
        // An item that ended after the last look could not start a worker
        // (the flag was still set): this one goes on, unless a new one took
        // over.
        if (nextWaitingItem() == 0) break;
        bool idle = false;
        if (!workerFlag_.compare_exchange_strong(idle, true)) break;
    }
}

void Engine::failConversion(RecordItem& item, platform::MessageSink* window) {
    int converting = kStateConverting;
    if (!item.state.compare_exchange_strong(converting, kStateFailed)) return;  // cancelled meanwhile
    if (window) window->send(OSPREY_WM_ITEM_FAILED, static_cast<platform::WParam>(item.position), 0);
}

void Engine::convertItem(RecordItem& item, platform::MessageSink* window) {
    int waiting = kStateWaiting;
    if (!item.state.compare_exchange_strong(waiting, kStateConverting)) return;
    item.written.store(0);
    const std::string folder = *item.folder;
    const std::string dataPath = item.dataPath();
    const std::string indexPath = item.indexPath();
    const std::string outputPath = item.outputPath();

    // Whatever is missing or wrong, the client is told: the item is failed
    // and its capture files stay.
    if (!platform::fileExists(dataPath)) return failConversion(item, window);
    File data(std::fopen(dataPath.c_str(), "rb"));
    if (!data) return failConversion(item, window);
    std::setvbuf(data.get(), nullptr, _IOFBF, kFileBuffer);
    std::uint8_t kind = 0;
    if (capture_files::readHeader(data.get(), kind) != capture_files::ReadStatus::Ok ||
        kind != capture_files::kKindHttp || !platform::fileExists(indexPath))
        return failConversion(item, window);
    std::vector<capture_files::OrderedEntry> entries;
    if (loadIndex(indexPath, entries) != capture_files::ReadStatus::Ok) return failConversion(item, window);

    platform::removeFile(outputPath);
    platform::BackgroundFile out(kFileBuffer);
    if (!out.open(outputPath, true)) return failConversion(item, window);
    FileSink sink(out);
    HttpBodyAssembler assembler(sink);
    std::vector<std::uint8_t> buffer(kPayloadBuffer);
    std::int64_t position = -1;
    for (const auto& e : entries) {
        if (item.is(kStateCancelled)) break;
        const std::size_t n = capture_files::readPayload(data.get(), e.entry, buffer, &position);
        const std::size_t taken = assembler.feed(e.position, std::span(buffer.data(), n));
        item.written.fetch_add(static_cast<std::int64_t>(taken), std::memory_order_relaxed);
    }
    assembler.finish();
    const HttpAssemblyStats stats = assembler.stats();
    const bool closed = out.close();
    data.reset();
    if (stats.writeFailed || !closed) {
        platform::removeFile(outputPath);
        return failConversion(item, window);
    }
    cutStrayFlvPrefix(outputPath);

    int converting = kStateConverting;
    if (!item.state.compare_exchange_strong(converting, kStateDone)) {
        // Cancelled while converting: never converted, capture files kept.
        platform::removeFile(outputPath);
        return;
    }
    std::string localName;
    {
        std::lock_guard lock(nameLock_);
        localName = item.localName.str();
    }
    if (!localName.empty()) {
        const std::string candidate = uniqueName(folder, localName);
        const bool renamed = std::rename(outputPath.c_str(), (folder + candidate).c_str()) == 0;
        std::lock_guard lock(nameLock_);
        if (renamed) {
            item.localName.assign(candidate);
        } else {
            item.renameFailed = true;
        }
    }
    const std::string holes = holesText(item, stats);
    if (!holes.empty()) sendTextNotice(window, OSPREY_NOTICE_DIAGNOSTIC, holes);
    if (window)
        window->post(OSPREY_WM_ITEM_STATE, static_cast<platform::WParam>(static_cast<std::uint32_t>(item.id)),
                     kStateDone);
    platform::removeFile(dataPath);
    platform::removeFile(indexPath);
}

}  // namespace kestrel::osprey
