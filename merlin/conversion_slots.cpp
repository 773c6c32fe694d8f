#include "merlin/conversion_slots.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "common/flv_format.h"
#include "merlin/chunk_stream_converter.h"
#include "merlin/flv_output.h"
#include "merlin/merlin.h"
#include "merlin/stream_record.h"

namespace kestrel::merlin {

namespace {

// Room kept for a "[n]" counter when a stream name is cut to fit a path.
constexpr std::size_t kCounterRoom = 8;
constexpr int kMaxCounter = 1000000;

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 || errno != ENOENT;
}

// Renames without ever replacing a file that exists: 0, EEXIST, or another errno.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the flag: the check and the rename are both done
    // under the rename lock, which is as good as it gets there.
    if (pathExists(to)) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Cuts text to at most n bytes without splitting a UTF-8 sequence.
std::string_view cutUtf8(std::string_view text, std::size_t n) {
    if (text.size() <= n) return text;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

struct ConversionJob {
    int slot = 0;
    PathText source;
    PathText output;
};

void runWorker(std::unique_ptr<ConversionJob> job) noexcept {
    ConversionSlots& slots = ConversionSlots::instance();
    ConversionSlot& slot = *slots.slot(job->slot);
    try {
        auto converter = std::make_unique<ChunkStreamConverter>();
        std::thread converterThread([&] {
            try {
                runConversion(slot, job->source.c_str(), job->output.c_str(), *converter, slots.renameLock());
            } catch (...) {
                // Out of memory inside the conversion: the slot still ends.
            }
        });
        converterThread.join();
    } catch (...) {
        // No converter or no thread: nothing was converted.
    }
    if (slot.result.load() == MERLIN_RESULT_RUNNING) slot.result.store(MERLIN_RESULT_NOT_RUN);
    slot.finished.store(1, std::memory_order_release);
}

}  // namespace

// ---------------------------------------------------------------- slot

void ConversionSlot::setNewFileName(std::string_view path) {
    std::lock_guard lock(nameLock_);
    newFileName_.assign(path);
}

bool ConversionSlot::copyNewFileName(char* buffer) {
    std::lock_guard lock(nameLock_);
    if (newFileName_.empty()) return false;
    const auto name = newFileName_.view();
    std::memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = '\0';
    return true;
}

void ConversionSlot::clearNewFileName() {
    std::lock_guard lock(nameLock_);
    newFileName_.clear();
}

// ---------------------------------------------------------------- slots

ConversionSlots& ConversionSlots::instance() {
    // Never destroyed: a conversion thread may still run while the process exits.
    static ConversionSlots* slots = new ConversionSlots;
    return *slots;
}

ConversionSlot* ConversionSlots::slot(int index) {
    if (index < 0 || index >= kSlotCount) return nullptr;
    return &slots_[static_cast<std::size_t>(index)];
}

int ConversionSlots::start(const char* sourcePath, const char* outputPath) {
    if (!sourcePath || !outputPath || !*sourcePath || !*outputPath) return -2;
    if (::strnlen(sourcePath, kMaxPath) >= kMaxPath || ::strnlen(outputPath, kMaxPath) >= kMaxPath) return -2;

    int index = -1;
    auto job = std::unique_ptr<ConversionJob>(new (std::nothrow) ConversionJob);
    if (!job) return -1;
    {
        std::lock_guard lock(slotLock_);
        for (int i = 0; i < kSlotCount; ++i) {
            if (!slots_[static_cast<std::size_t>(i)].inUse.load()) {
                index = i;
                break;
            }
        }
        if (index < 0) return -1;
        ConversionSlot& s = slots_[static_cast<std::size_t>(index)];
        s.inUse.store(true);
        s.finished.store(0);
        s.consumed.store(0);
        s.sourceLength.store(0);
        s.outputLength.store(0);
        s.result.store(MERLIN_RESULT_RUNNING);
        s.faults.store(0);
        s.clearNewFileName();
        s.id.store(++startCounter_);
        s.sourcePath.assign(sourcePath);
    }
    job->slot = index;
    job->source.assign(sourcePath);
    job->output.assign(outputPath);
    try {
        std::thread(runWorker, std::move(job)).detach();
    } catch (...) {
        // No thread: the slot goes back, so a failed start does not use it up.
        slots_[static_cast<std::size_t>(index)].inUse.store(false);
        return -1;
    }
    return index;
}

void ConversionSlots::release(int index) {
    ConversionSlot* s = slot(index);
    if (!s) return;
    std::lock_guard lock(slotLock_);
    // A running conversion still writes to its slot; it cannot be reused yet.
    if (s->inUse.load() && s->finished.load(std::memory_order_acquire) == 0) return;
    s->id.store(0);
    s->finished.store(0);
    s->consumed.store(0);
    s->sourceLength.store(0);
    s->outputLength.store(0);
    s->result.store(MERLIN_RESULT_RUNNING);
    s->faults.store(0);
    s->sourcePath.clear();
    s->clearNewFileName();
    s->inUse.store(false);
}

// ---------------------------------------------------------------- naming

std::string streamFilePath(std::string_view outputPath, std::string_view streamName) {
    const auto slash = outputPath.rfind('/');
    const std::string_view folder = slash == std::string_view::npos ? std::string_view{} : outputPath.substr(0, slash + 1);
    constexpr std::string_view kExtension = ".flv";
    const std::size_t fixed = folder.size() + kExtension.size() + kCounterRoom;
    if (fixed + 1 >= kMaxPath) return {};
    const std::string_view name = cutUtf8(streamName, kMaxPath - 1 - fixed);
    if (name.empty()) return {};
    std::string path(folder);
    path += name;
    path += kExtension;
    return path;
}

std::string renameToUniqueName(const std::string& from, const std::string& wanted) {
    if (wanted == from) return wanted;
    const auto slash = wanted.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    auto dot = wanted.rfind('.');
    if (dot == std::string::npos || dot < nameStart) dot = wanted.size();
    const std::string stem = wanted.substr(0, dot);
    const std::string extension = wanted.substr(dot);

    std::string candidate = wanted;
    for (int n = 1; n <= kMaxCounter; ++n) {
        if (candidate.size() >= kMaxPath) return {};
        const int result = renameNoReplace(from, candidate);
        if (result == 0) return candidate;
        if (result != EEXIST && result != ENOTEMPTY) return {};
        candidate = stem + "[" + std::to_string(n) + "]" + extension;
    }
    return {};
}

// ---------------------------------------------------------------- driver

namespace {

std::uint32_t faultsOf(const ConversionOutcome& outcome, const StreamRecordReader& source) {
    std::uint32_t faults = 0;
    if (outcome.damagedRecords != 0) faults |= MERLIN_FAULT_DAMAGED_RECORD;
    if (outcome.endsInsideRecord || source.endsInsideRecord()) faults |= MERLIN_FAULT_CUT_RECORD;
    if (outcome.lostSyncsUnexplained != 0) faults |= MERLIN_FAULT_REFUSED_HEADER;
    if (outcome.messagesCutUnexplained != 0) faults |= MERLIN_FAULT_CUT_MESSAGE;
    if (outcome.status == ConversionOutcome::Status::SourceError) faults |= MERLIN_FAULT_READ_ERROR;
    return faults;
}

}  // namespace

void runConversion(ConversionSlot& slot, const char* sourcePath, const char* outputPath,
                   ChunkStreamConverter& converter, std::mutex& renameLock) {
    StreamRecordReader source;
    if (!source.open(sourcePath)) {
        slot.result.store(MERLIN_RESULT_SOURCE_ERROR);  // nothing to convert, nothing created
        return;
    }
    FlvOutputFile output;
    if (!output.create(outputPath)) {
        slot.result.store(MERLIN_RESULT_OUTPUT_ERROR);  // the source stays for another try
        return;
    }
    output.writeFileHeader(flv::kFlagsAudio | flv::kFlagsVideo);
    slot.sourceLength.store(source.length());

    const ConversionOutcome outcome = converter.convert(source, output, &slot.consumed);
    std::uint32_t faults = faultsOf(outcome, source);
    if (outcome.status == ConversionOutcome::Status::NotSynchronised) {
        // Only the file header: the record file is kept for another tool.
        if (!output.close()) faults |= MERLIN_FAULT_WRITE_ERROR;
        slot.faults.store(faults);
        slot.result.store((faults & MERLIN_FAULT_WRITE_ERROR) ? MERLIN_RESULT_OUTPUT_ERROR
                                                               : MERLIN_RESULT_NOT_SYNCHRONISED);
        return;
    }
    slot.consumed.store(source.length());
    output.setTypeFlags(outcome.typeFlags());
    const bool written = output.close();
    if (!written) faults |= MERLIN_FAULT_WRITE_ERROR;
    slot.outputLength.store(output.size());
    source.close();

    if (!outcome.streamName.empty()) {
        const std::string wanted = streamFilePath(outputPath, outcome.streamName.view());
        if (!wanted.empty()) {
            std::lock_guard lock(renameLock);
            slot.setNewFileName(wanted);
            const std::string stored = renameToUniqueName(outputPath, wanted);
            if (stored.empty())
                slot.clearNewFileName();  // the file keeps the name it was written under
            else
                slot.setNewFileName(stored);
        }
    }
    // The record file goes only when everything in it reached the output;
    // a damaged or cut one is all the host has to try again with.
    const bool complete = written && faults == 0 && outcome.complete();
    if (complete) ::unlink(sourcePath);
    slot.faults.store(faults);
    slot.result.store(!written ? MERLIN_RESULT_OUTPUT_ERROR
                               : complete ? MERLIN_RESULT_COMPLETE : MERLIN_RESULT_PARTIAL);
}

}  // namespace kestrel::merlin
