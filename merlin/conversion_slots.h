#pragma once
// The nine conversion slots behind the exported interface, and the driver
// that runs one conversion from opening the files to naming the result.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/fixed_text.h"

namespace kestrel::merlin {

inline constexpr std::size_t kMaxPath = 260;  // with the terminating NUL
inline constexpr int kSlotCount = 9;
using PathText = FixedText<kMaxPath>;

class ChunkStreamConverter;

struct ConversionSlot {
    std::atomic<bool> inUse{false};
    std::atomic<std::int32_t> id{0};
    std::atomic<std::int32_t> finished{0};
    std::atomic<std::uint64_t> consumed{0};
    std::atomic<std::uint64_t> sourceLength{0};
    std::atomic<std::uint64_t> outputLength{0};
    // MERLIN_RESULT_* and MERLIN_FAULT_* bits; set before finished.
    std::atomic<std::int32_t> result{0};
    std::atomic<std::uint32_t> faults{0};
    PathText sourcePath;  // set before the slot's threads start

    // The new file name is written by the converter thread and may be read
    // by the host at any time.
    void setNewFileName(std::string_view path);
    bool copyNewFileName(char* buffer);
    void clearNewFileName();

private:
    std::mutex nameLock_;
    PathText newFileName_;
};

class ConversionSlots {
public:
    static ConversionSlots& instance();

    void setWindowHandle(void* handle) { windowHandle_.store(handle); }
    void* windowHandle() const { return windowHandle_.load(); }

    // Merlin_Start: slot index, -2 for bad paths, -1 without slot or thread.
    int start(const char* sourcePath, const char* outputPath);
    // Merlin_InitItem: releases a slot whose conversion has ended.
    void release(int slot);

    ConversionSlot* slot(int index);
    std::mutex& renameLock() { return renameLock_; }

private:
    std::array<ConversionSlot, kSlotCount> slots_;
    std::mutex slotLock_;
    std::mutex renameLock_;
    std::int32_t startCounter_ = 0;  // guarded by slotLock_
    std::atomic<void*> windowHandle_{nullptr};
};

// Runs one whole conversion for a slot on the calling thread: opens the
// source, creates the output, converts, writes the type flags, renames the
// output after the announced stream name and, when the conversion was
// complete, deletes the source. Whatever fails, it returns normally with
// the slot's result and faults set; the caller then marks the slot finished.
void runConversion(ConversionSlot& slot, const char* sourcePath, const char* outputPath,
                   ChunkStreamConverter& converter, std::mutex& renameLock);

// The path under which a file named after a stream is stored: the folder of
// outputPath, the stream name and ".flv". Empty when it cannot fit.
std::string streamFilePath(std::string_view outputPath, std::string_view streamName);

// Renames from to wanted, or to wanted with "[n]" (n = 1, 2, ...) before
// its extension when that name is taken; never replaces an existing file.
// Returns the path used, or an empty string when no rename was possible.
// A wanted path equal to from needs no rename.
std::string renameToUniqueName(const std::string& from, const std::string& wanted);

}  // namespace kestrel::merlin
