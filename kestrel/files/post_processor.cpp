#include "kestrel/files/post_processor.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "common/capture_files.h"
#include "common/final_naming.h"
#include "common/flv_format.h"
#include "platform/byte_reader.h"
#include "curlew/curlew.h"
#ifdef KESTREL_HAVE_BUILTIN
#include "kestrel/files/builtin_rtmp_converter.h"
#endif
#include "kestrel/files/rtmp_raw_stream.h"
#include "kestrel/engine/messages.h"
#include "platform/data_dir.h"
#include "platform/write_behind.h"

namespace kestrel::files {

using engine::ItemKind;
using engine::ItemState;
using engine::RecordItem;

namespace {

constexpr std::size_t kPayloadBuffer = 450000;
// An FLV output no longer than its header and first back-pointer holds no tag.
constexpr std::uint64_t kFlvHeaderBytes = flv::kFileHeaderSize + flv::kPreviousTagSizeSize;
constexpr std::size_t kFileBuffer = 1 << 18;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The output goes through the background writer: while it writes one
// buffer, this thread reads and assembles the next.
class FileSink : public ByteSink {
public:
    explicit FileSink(platform::BackgroundFile& f) : f_(f) {}
    bool write(std::span<const std::uint8_t> bytes) override { return f_.write(bytes); }

private:
    platform::BackgroundFile& f_;
};

std::uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

enum class FlvEnd { NotFlv, AtATag, InsideATag };

// Where an FLV file ends: after a whole tag, or inside one (a body cut off
// before its end). Walks the tag headers only.
FlvEnd flvEnd(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return FlvEnd::NotFlv;
    std::array<std::uint8_t, flv::kTagHeaderSize> head{};
    if (std::fread(head.data(), 1, flv::kFileHeaderSize, f.get()) != flv::kFileHeaderSize ||
        std::memcmp(head.data(), "FLV", 3) != 0)
        return FlvEnd::NotFlv;
    const std::uint64_t size = fileSize(path);
    const std::uint64_t headerSize = ByteReader(std::span(head).first(flv::kFileHeaderSize)).be32At(5);
    std::uint64_t at = headerSize + flv::kPreviousTagSizeSize;
    while (at < size) {
        if (at + flv::kTagHeaderSize > size || ::fseeko(f.get(), static_cast<off_t>(at), SEEK_SET) != 0 ||
            std::fread(head.data(), 1, head.size(), f.get()) != head.size())
            return FlvEnd::InsideATag;
        at += flv::kTagHeaderSize + ByteReader(head).be24At(1) + flv::kPreviousTagSizeSize;
    }
    return at == size ? FlvEnd::AtATag : FlvEnd::InsideATag;
}

// Whether a rebuilt HTTP body is whole: no gaps, as long as its
// Content-Length, a chunked one up to its last chunk. Without a length to
// hold it against, an FLV body must end after a whole tag (a download or a
// killed run cut off mid-stream almost never does), and any other body of
// an import cannot be checked, so it does not count as complete.
bool httpBodyComplete(const HttpAssemblyStats& h, const engine::RecordItem& item, const std::string& outputPath) {
    if (h.gaps != 0 || h.chunkedMalformed || (h.chunked && !h.chunkedEnded)) return false;
    const std::int64_t contentLength = item.contentLength.load();
    if (contentLength >= 0) return h.bytesOut >= static_cast<std::uint64_t>(contentLength);
    if (h.chunked) return true;
    switch (flvEnd(outputPath)) {
    case FlvEnd::AtATag: return true;
    case FlvEnd::InsideATag: return false;
    case FlvEnd::NotFlv: break;
    }
    return !item.imported;
}

}  // namespace

PostProcessor::PostProcessor(engine::Engine& engine) : engine_(engine) {}

PostProcessor::~PostProcessor() {
    if (thread_.joinable()) {
        while (!done_.load()) engine_.window().waitAndPump(20);
        thread_.join();
    }
}

void PostProcessor::launch(engine::ProcessingMode mode) {
    if (thread_.joinable()) thread_.join();  // the previous run has cleared the busy flag: it is ending
    done_.store(false);
    thread_ = std::thread(&PostProcessor::run, this, engine_.globals().saveFolder, mode);
}

std::uint64_t PostProcessor::gapsOf(int index) const {
    return index >= 1 && index <= engine::kMaxRecordItems ? gaps_[static_cast<std::size_t>(index)].load() : 0;
}

bool PostProcessor::completeOf(int index) const {
    if (index < 1 || index > engine::kMaxRecordItems) return false;
    const engine::RecordItem* item = engine_.items().at(index);
    return item && item->is(ItemState::Done) && complete_[static_cast<std::size_t>(index)].load();
}

int PostProcessor::nextWaitingItem(engine::ProcessingMode mode, int after) const {
    const auto& items = engine_.items();
    // The outside-only run passes over the items it leaves waiting, so it
    // walks the table once; the others always take the lowest waiting item.
    const int from = mode == engine::ProcessingMode::OutsideOnly ? after + 1 : 1;
    for (int i = from; i <= items.count(); ++i)
        if (items.at(i)->is(ItemState::CaptureEnded)) return i;
    return 0;
}

void PostProcessor::run(std::string saveFolder, engine::ProcessingMode mode) {
    outsideConverterUntested_ = true;
    for (;;) {
        try {
            for (int index = 0; (index = nextWaitingItem(mode, index)) != 0;) processItem(index, saveFolder, mode);
        } catch (...) {
            // Nothing may escape the thread; the items keep the states they reached.
        }
        platform::waitForBackgroundWrites();
        if (runEndHook_) runEndHook_();
        engine_.postProcessingBusy().store(0);
        // An item that ended after the last look for waiting items could not
        // start a run (the flag was still set): its request makes one more pass.
        if (!engine_.takeProcessingRequest(mode)) break;
        int idle = 0;
        if (!engine_.postProcessingBusy().compare_exchange_strong(idle, 1)) break;  // a new run took over
    }
    done_.store(true);
}

bool PostProcessor::runOutsideConverter(const std::string& rawPath, const std::string& outputPath) {
    const std::string folder = converterFolder_.empty() ? platform::executableFolder() : converterFolder_;
    void* library = ::dlopen((folder + kOutsideConverterFile).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library && converterFolder_.empty()) library = ::dlopen(kOutsideConverterFile, RTLD_NOW | RTLD_LOCAL);
    if (!library) return false;
    const auto convert = reinterpret_cast<CreateRtmpFileFn>(::dlsym(library, "CreateRtmpFile"));
    if (convert) convert(0, platform::toHandle(&engine_.window()), 0, 0, 0, rawPath.c_str(), outputPath.c_str(), 1);
    ::dlclose(library);
    return convert != nullptr;
}

bool PostProcessor::convertStream(int index, std::FILE* data, const std::vector<capture_files::OrderedEntry>& entries,
                                  const std::string& rawPath, const std::string& outputPath,
                                  engine::ProcessingMode mode, ProcessedItem& result, std::string& failure) {
    RecordItem& item = *engine_.items().at(index);
    const RawStreamStats raw = reassembleRawStream(data, entries, rawPath, &item.processedBytes);
    result.rawStreamBytes = raw.bytesWritten;
    result.rawStreamGaps = raw.gaps;
    if (raw.writeFailed) {
        failure = "cannot write " + rawPath + ": " + std::strerror(raw.writeError ? raw.writeError : EIO);
        return false;
    }
    if (mode != engine::ProcessingMode::BuiltinOnly) {
        // Where bytes were never captured, the outside converter starts afresh.
        writeGapList(rawPath, raw.gapOffsets);
        runOutsideConverter(rawPath, outputPath);
        platform::removeFile(rawPath + CURLEW_GAP_LIST_SUFFIX);
        // An empty raw stream fails the size test instead of dividing by zero.
        const std::uint64_t rawSize = fileSize(rawPath);
        const std::uint64_t outSize = fileSize(outputPath);
        const bool passed = rawSize > 0 && platform::fileExists(outputPath) && outSize * 100 / rawSize > 80;
        result.outsideConverterPassed = passed;
        if (passed) {
            outsideConverterUntested_ = false;
            return true;
        }
        // Once the plug-in has proved itself in this run, a poor output of
        // it is kept as it is; but an output without a single tag is no
        // recording, and another item's success does not make it one.
        if (outSize > kFlvHeaderBytes && (mode == engine::ProcessingMode::OutsideOnly || !outsideConverterUntested_))
            return true;
        if (mode == engine::ProcessingMode::OutsideOnly) {
            failure = "the converter plug-in made nothing of the stream";
            return false;
        }
    }
    result.builtinConverterRan = true;
    // A stream too short to convert, one without a single media tag, or a
    // conversion that could not write fails this item only; the thread goes
    // on with the next.
#ifdef KESTREL_HAVE_BUILTIN
    BuiltinStats stats;
    const BuiltinResult r = mode == engine::ProcessingMode::BuiltinOnly
                                ? convertRtmpVariant(rawPath, outputPath, &stats)
                                : convertRtmpBuiltin(rawPath, outputPath, &stats, raw.gapOffsets);
    switch (r) {
    case BuiltinResult::Converted:
        if (stats.tagsWritten > 0) return true;
        failure = "no media could be read from the stream";
        break;
    case BuiltinResult::ProbeTooShort: failure = "the stream is too short to convert"; break;
    case BuiltinResult::CannotOpenInput: failure = "cannot read " + rawPath; break;
    case BuiltinResult::CannotWriteOutput: failure = "cannot write " + outputPath; break;
    }
#else
    failure = "the stream could not be converted";
#endif
    platform::removeFile(outputPath);
    return false;
}

void PostProcessor::fail(int index, bool notify, std::string_view reason) {
    RecordItem& item = *engine_.items().at(index);
    item.failure.assign(reason);
    item.state.store(ItemState::Failed);
    if (notify) engine_.window().send(engine::WM_ITEM_STATE_CHANGED, static_cast<platform::WParam>(index));
}

ProcessedItem PostProcessor::processItem(int index, const std::string& saveFolder, engine::ProcessingMode mode) {
    ProcessedItem result;
    result.index = index;
    RecordItem& item = *engine_.items().at(index);
    auto& window = engine_.window();
    const auto wIndex = static_cast<platform::WParam>(index);

    item.state.store(ItemState::Processing);
    item.processedBytes.store(0);
    const auto slot = static_cast<std::size_t>(index);
    gaps_[slot].store(0);
    complete_[slot].store(false);
    const std::string temp = saveFolder + "Temp/";
    const std::string dataPath = temp + std::string(item.dataFileName.view());
    const std::string indexPath = temp + std::string(item.indexFileName.view());
    const std::string rawPath = dataPath + ".tmp";
    item.outputFolder.assign(saveFolder);
    const std::string outputPath = saveFolder + std::string(item.outputName.view());

    if (!platform::fileExists(dataPath)) {
        // Reported like every other failure, so the window can show it.
        item.neverReceived = item.storedBytes.load() == 0 && !item.imported;
        fail(index, true,
             item.neverReceived ? "no data was captured for it" : "the capture data " + dataPath + " is missing");
        return result;
    }
    File data(std::fopen(dataPath.c_str(), "rb"));
    if (!data) {
        fail(index, true, "cannot open " + dataPath + ": " + std::strerror(errno));
        return result;
    }
    std::setvbuf(data.get(), nullptr, _IOFBF, kFileBuffer);
    platform::removeFile(outputPath);
    platform::removeFile(rawPath);

    std::uint8_t kind = 0;
    if (capture_files::readHeader(data.get(), kind) != capture_files::ReadStatus::Ok) {
        data.reset();
        fail(index, true, dataPath + " is not capture data");
        return result;
    }
    if (kind != capture_files::kKindHttp && kind != capture_files::kKindRtmp) {
        // A kind this program does not write: nothing to rebuild, and the
        // files stay for whoever knows it.
        data.reset();
        fail(index, true, dataPath + " holds capture data of unknown kind " + std::to_string(kind));
        return result;
    }

    bool outputWritten = false;
    if (platform::fileExists(indexPath)) {
        std::vector<capture_files::OrderedEntry> entries;
        if (capture_files::loadOrderedIndex(indexPath, entries) != capture_files::ReadStatus::Ok) {
            data.reset();
            fail(index, true, indexPath + " holds fewer than two index entries");
            return result;
        }
        if (kind == capture_files::kKindRtmp) {
            std::string failure;
            outputWritten = convertStream(index, data.get(), entries, rawPath, outputPath, mode, result, failure);
            gaps_[slot].store(result.rawStreamGaps);
            complete_[slot].store(outputWritten && result.rawStreamGaps == 0);
            if (!failure.empty()) {
                data.reset();
                platform::removeFile(rawPath);
                fail(index, true, failure);
                return result;
            }
        } else if (mode == engine::ProcessingMode::OutsideOnly) {
            // The outside converter knows only streams: the item waits for a full run.
            item.state.store(ItemState::CaptureEnded);
            return result;
        } else if (kind == capture_files::kKindHttp) {
            platform::BackgroundFile out(kFileBuffer);
            if (!out.open(outputPath, true)) {
                // Keep the capture files: the recording can be imported again.
                fail(index, true, "cannot create " + outputPath + ": " + std::strerror(errno));
                return result;
            }
            FileSink sink(out);
            HttpBodyAssembler assembler(sink);
            std::vector<std::uint8_t> buffer(kPayloadBuffer);
            std::int64_t position = -1;
            for (const auto& e : entries) {
                const std::size_t n = capture_files::readPayload(data.get(), e.entry, buffer, &position);
                const std::size_t taken = assembler.feed(e.position, std::span(buffer.data(), n));
                item.processedBytes.fetch_add(static_cast<std::int64_t>(taken), std::memory_order_relaxed);
            }
            assembler.finish();
            result.http = assembler.stats();
            const bool closed = out.close();
            if (result.http.writeFailed || !closed) {
                platform::removeFile(outputPath);
                fail(index, true, "cannot write " + outputPath + ": " + std::strerror(out.error() ? out.error() : EIO));
                return result;
            }
            cutStrayFlvPrefix(outputPath);
            outputWritten = true;
            gaps_[slot].store(result.http.gaps);
            complete_[slot].store(httpBodyComplete(result.http, item, outputPath));
        }
    }
    data.reset();
    item.state.store(ItemState::Done);

    if (item.titleLength >= 1) {
        const std::string candidate = uniqueName(saveFolder, std::string(item.title.view()));
        if (outputWritten && std::rename(outputPath.c_str(), (saveFolder + candidate).c_str()) == 0) {
            item.titleLength = static_cast<std::int32_t>(item.title.assign(candidate));
        } else {
            item.titleLength = 0;
        }
    }

    window.send(engine::WM_ITEM_FINISHED, wIndex);
    // Deleted by the background writer while this thread goes on with the
    // next item (dropping a large file's cached pages takes a while); the
    // run waits for it before it ends.
    platform::removeFileLater(dataPath);
    platform::removeFileLater(indexPath);
    if (kind == capture_files::kKindRtmp) platform::removeFileLater(rawPath);
    window.send(engine::WM_ITEM_STATE_CHANGED, wIndex);
    return result;
}

}  // namespace kestrel::files
