#pragma once
// Waiting for post-processing and listing the items, for the commands that
// record or import.

#include "kestrel/engine/engine.h"
#include "kestrel/files/post_processor.h"
#include "platform/message.h"

namespace kestrel::cli {

const char* stateName(engine::ItemState s);

// Pumps the window until no post-processing thread runs and no item waits,
// starting a run of the given kind again when an item waits with none
// running. Progress goes to stderr.
void waitForProcessing(engine::Engine& engine, platform::MessageSink& window,
                       engine::ProcessingMode mode = engine::ProcessingMode::Standard);

// One tab-separated line per item on stdout: index, state, kind, stored
// bytes, expected size, the finished file's full path (empty when none).
void printItems(engine::Engine& engine, const files::PostProcessor& postProcessor);

}  // namespace kestrel::cli
