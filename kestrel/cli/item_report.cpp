// Waiting for post-processing and listing the items, for the commands that
// record or import.

#include "kestrel/cli/item_report.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/data_dir.h"

namespace kestrel::cli {

const char* stateName(engine::ItemState s) {
    switch (s) {
    case engine::ItemState::Recording: return "recording";
    case engine::ItemState::CaptureEnded: return "waiting";
    case engine::ItemState::Processing: return "processing";
    case engine::ItemState::Done: return "done";
    case engine::ItemState::Failed: return "failed";
    case engine::ItemState::Removed: return "removed";
    case engine::ItemState::Empty: break;
    }
    return "empty";
}

void waitForProcessing(engine::Engine& engine, platform::MessageSink& window, engine::ProcessingMode mode) {
    const bool tty = ::isatty(STDERR_FILENO) != 0;
    auto nextProgress = std::chrono::steady_clock::now() + std::chrono::seconds(tty ? 1 : 10);
    // Asking once is enough: a run that is already going makes another pass
    // for a request it could not take.
    engine.startPostProcessingIfIdle(mode);
    while (engine.postProcessingBusy().load() != 0) {
        window.waitAndPump(50);
        if (std::chrono::steady_clock::now() >= nextProgress) {
            std::int64_t done = 0, total = 0;
            for (int i = 1; i <= engine.items().count(); ++i) {
                const auto& item = *engine.items().at(i);
                done += item.processedBytes.load();
                total += item.storedBytes.load();
            }
            std::fprintf(stderr, tty ? "\rkestrel-cli: processing %lld of %lld bytes" : "kestrel-cli: processing %lld of %lld bytes\n",
                         static_cast<long long>(done), static_cast<long long>(total));
            nextProgress += std::chrono::seconds(tty ? 1 : 10);
        }
    }
    window.pump();
    if (tty) std::fprintf(stderr, "\n");
}

int printItems(engine::Engine& engine, const files::PostProcessor& postProcessor) {
    int notComplete = 0;
    for (int i = 1; i <= engine.items().count(); ++i) {
        const auto& item = *engine.items().at(i);
        const auto state = item.state.load();
        std::string path;
        if (state == engine::ItemState::Done) {
            path = std::string(item.outputFolder.view()) +
                   std::string(item.titleLength > 0 ? item.title.view() : item.outputName.view());
            if (!platform::fileExists(path)) path.clear();
        }
        std::printf("%d\t%s\t%s\t%lld\t%lld\t%s\t%s\n", i, stateName(state),
                    item.kind == engine::ItemKind::Rtmp ? "rtmp" : "http", static_cast<long long>(item.storedBytes.load()),
                    static_cast<long long>(item.expectedSize.load()), path.c_str(),
                    postProcessor.completeOf(i) ? "complete" : "gaps");
        if (postProcessor.completeOf(i)) continue;
        if (item.neverReceived) {
            // A request seen twice, or one that was never answered: no
            // recording was lost.
            std::fprintf(stderr, "kestrel-cli: item %d received no data\n", i);
            continue;
        }
        ++notComplete;
        if (state == engine::ItemState::Failed) {
            std::fprintf(stderr, "kestrel-cli: item %d failed: %s\n", i,
                         item.failure.empty() ? "it could not be rebuilt" : item.failure.c_str());
        } else if (const auto gaps = postProcessor.gapsOf(i); gaps > 0) {
            std::fprintf(stderr, "kestrel-cli: item %d: %llu gaps in the capture; bytes there were never captured\n", i,
                         static_cast<unsigned long long>(gaps));
        } else if (state == engine::ItemState::Done) {
            std::fprintf(stderr, "kestrel-cli: item %d is incomplete: %s\n", i,
                         path.empty() ? "no file was made of it" : "the stream ended before its announced length");
        } else {
            std::fprintf(stderr, "kestrel-cli: item %d was left %s\n", i, stateName(state));
        }
    }
    std::fflush(stdout);
    return notComplete;
}


}  // namespace kestrel::cli
