#pragma once
// The post-processing thread: takes every item that waits for processing,
// one after the other, rebuilds its media file from the capture data and
// index files, gives it its final name and deletes the capture files.
//
// One thread at a time: the engine's busy flag guards the start, and the
// thread clears it when no item is left. Items are reported to the main
// window with sent (synchronous) messages, so the window's thread must keep
// pumping while this thread runs.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/capture_files.h"
#include "common/http_body_assembler.h"
#include "kestrel/engine/engine.h"

namespace kestrel::files {

// What became of one item, for hosts that report it.
struct ProcessedItem {
    int index = 0;
    HttpAssemblyStats http;
    std::uint64_t rawStreamBytes = 0;
    std::uint64_t rawStreamGaps = 0;
    bool outsideConverterPassed = false;  // its output passed the size test
    bool builtinConverterRan = false;
};

// The outside converter plug-in, loaded by name for each call and released
// right after it.
inline constexpr const char* kOutsideConverterFile = "libcurlew.so";

class PostProcessor : public engine::PostProcessingLauncher {
public:
    explicit PostProcessor(engine::Engine& engine);
    ~PostProcessor() override;
    PostProcessor(const PostProcessor&) = delete;
    PostProcessor& operator=(const PostProcessor&) = delete;

    // Starts the thread (the busy flag is already 1). User-interface thread.
    void launch(engine::ProcessingMode mode) override;
    // True while the thread is working.
    bool running() const { return engine_.postProcessingBusy().load() != 0; }

    // Processes one waiting item on the calling thread (the thread's loop
    // body; exposed for tests). Returns what the HTTP assembly saw.
    ProcessedItem processItem(int index, const std::string& saveFolder,
                              engine::ProcessingMode mode = engine::ProcessingMode::Standard);

    // Where the outside converter is looked for first (tests point it at a
    // folder without it); empty: the executable's folder.
    void setOutsideConverterFolder(std::string folder) { converterFolder_ = std::move(folder); }

    // Gaps seen in the outputs of the items processed so far, by item index.
    std::uint64_t gapsOf(int index) const;
    // True when the item finished with every byte of its stream: no gaps,
    // and an HTTP body as long as its Content-Length (a chunked one up to
    // its last chunk). False for items not finished.
    bool completeOf(int index) const;

    // Runs on the thread after a pass found no more waiting items, just
    // before the busy flag is cleared (tests use it to end an item at that
    // moment). Set before the thread starts.
    void setRunEndHook(std::function<void()> hook) { runEndHook_ = std::move(hook); }

private:
    void run(std::string saveFolder, engine::ProcessingMode mode);
    int nextWaitingItem(engine::ProcessingMode mode, int after) const;
    // Fails the item with the reason, keeping its capture files.
    void fail(int index, bool notify, std::string_view reason);
    // Stages of a stream item: true when an output was written (or left);
    // failure says why the item fails (empty when it does not).
    bool convertStream(int index, std::FILE* data, const std::vector<capture_files::OrderedEntry>& entries,
                       const std::string& rawPath, const std::string& outputPath, engine::ProcessingMode mode,
                       ProcessedItem& result, std::string& failure);
    bool runOutsideConverter(const std::string& rawPath, const std::string& outputPath);

    engine::Engine& engine_;
    std::string converterFolder_;
    // Set when a thread run starts; cleared by the first stream item whose
    // outside-converter output passes the size test. After that, a poor
    // outside output is kept as it is for the rest of the run.
    bool outsideConverterUntested_ = true;
    std::thread thread_;
    std::atomic<bool> done_{true};
    std::function<void()> runEndHook_;
    std::array<std::atomic<std::uint64_t>, engine::kMaxRecordItems + 1> gaps_{};
    std::array<std::atomic<bool>, engine::kMaxRecordItems + 1> complete_{};
};

}  // namespace kestrel::files
