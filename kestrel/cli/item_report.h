#pragma once
// Waiting for post-processing and listing the items, for the commands that
// record or import.

#include "kestrel/engine/engine.h"
#include "kestrel/files/post_processor.h"
#include "platform/message.h"

namespace kestrel::cli {

const char* stateName(engine::ItemState s);

// Asks for a post-processing run of the given kind and pumps the window
// until no run is going. Progress goes to stderr.
void waitForProcessing(engine::Engine& engine, platform::MessageSink& window,
                       engine::ProcessingMode mode = engine::ProcessingMode::Standard);

// One tab-separated line per item on stdout: index, state, kind, stored
// bytes, expected size, the finished file's full path (empty when none),
// and "complete" or "gaps". Why an item failed or is incomplete goes to
// stderr. Returns how many items are not done and complete.
int printItems(engine::Engine& engine, const files::PostProcessor& postProcessor);

}  // namespace kestrel::cli
