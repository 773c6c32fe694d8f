#pragma once
// Handing capture data files back for processing: a new item waits for
// processing with the chosen file as its data file, looked for (with its
// index file) in the save folder's "Temp/" by name.

#include <string>

#include "kestrel/engine/engine.h"

namespace kestrel::files {

// The commands that import, which differ in their message and thread.
enum class ImportCommand {
    MainWindow,        // "Add *.FlvData to process": the usual processing
    AddFileToProcess,  // the URLs dialog's "Add File to Process": the usual processing
    Old,               // the URLs dialog's "Old": processing with the built-in converter only
};

inline constexpr const char* kNotKestrelDataSuffix = " is not Kestrel Data file";
inline constexpr const char* kNotPipitSuffix = " is not Pipit file";
inline constexpr const char* kTableFullSuffix = " can not be added: the recording list is full";

// Checks fullPath ("PIP" magic), creates the item, tells the main window
// (WM_ITEM_RECEIVING, then WM_PROCESS_ITEMS or WM_PROCESS_ITEMS_BUILTIN,
// both sent) and returns the item's index. A refused file gets a message
// box (the path and the command's suffix) and returns 0. User-interface
// thread.
int importCaptureData(engine::Engine& engine, const std::string& fullPath, ImportCommand command);

}  // namespace kestrel::files
