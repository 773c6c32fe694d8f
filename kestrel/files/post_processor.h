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
#include <string>
#include <thread>

#include "common/http_body_assembler.h"
#include "kestrel/engine/engine.h"

namespace kestrel::files {

// What became of one item, for hosts that report it.
struct ProcessedItem {
    int index = 0;
    HttpAssemblyStats http;
};

class PostProcessor : public engine::PostProcessingLauncher {
public:
    explicit PostProcessor(engine::Engine& engine);
    ~PostProcessor() override;
    PostProcessor(const PostProcessor&) = delete;
    PostProcessor& operator=(const PostProcessor&) = delete;

    // Starts the thread (the busy flag is already 1). User-interface thread.
    void launch() override;
    // True while the thread is working.
    bool running() const { return engine_.postProcessingBusy().load() != 0; }

    // Processes one waiting item on the calling thread (the thread's loop
    // body; exposed for tests). Returns what the HTTP assembly saw.
    ProcessedItem processItem(int index, const std::string& saveFolder);

    // Gaps seen in the outputs of the items processed so far, by item index.
    std::uint64_t gapsOf(int index) const;

private:
    void run(std::string saveFolder);
    int nextWaitingItem() const;
    void fail(int index, bool notify);

    engine::Engine& engine_;
    std::thread thread_;
    std::atomic<bool> done_{true};
    std::array<std::atomic<std::uint64_t>, engine::kMaxRecordItems + 1> gaps_{};
};

}  // namespace kestrel::files
