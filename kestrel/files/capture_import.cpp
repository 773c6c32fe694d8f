#include "kestrel/files/capture_import.h"

#include <sys/stat.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "kestrel/engine/messages.h"

namespace kestrel::files {

namespace {

bool hasCaptureMagic(const std::string& path, std::int64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0) return false;
    size = st.st_size;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char head[4];
    const bool ok = std::fread(head, 1, sizeof head, f) == sizeof head && std::memcmp(head, "PIP", 3) == 0;
    std::fclose(f);
    return ok;
}

}  // namespace

int importCaptureData(engine::Engine& engine, const std::string& fullPath, ImportCommand command) {
    const char* suffix = command == ImportCommand::MainWindow ? kNotKestrelDataSuffix : kNotPipitSuffix;
    std::int64_t size = 0;
    if (!hasCaptureMagic(fullPath, size)) {
        engine.ui().messageBox(fullPath + suffix);
        return 0;
    }
    const std::size_t slash = fullPath.rfind('/');
    const std::string name = slash == std::string::npos ? fullPath : fullPath.substr(slash + 1);

    engine::NewItem init;
    init.kind = engine::ItemKind::Http;
    init.extension = ".flv";
    init.expectedSize = static_cast<std::int64_t>(size);
    init.dataFileName = name;
    init.imported = true;
    init.receivingNotified = command == ImportCommand::MainWindow ? 1 : 0;
    int index = 0;
    {
        // Items are created under the packet lock, so a capture running at
        // the same time never creates one in the same slot.
        std::lock_guard lock(engine.packetLock());
        index = engine.items().create(init, engine::ItemState::CaptureEnded);
    }
    if (index == 0) {
        engine.ui().messageBox(fullPath + kTableFullSuffix);
        return 0;
    }
    auto& window = engine.window();
    window.send(engine::WM_ITEM_RECEIVING, static_cast<platform::WParam>(index));
    window.send(command == ImportCommand::Old ? engine::WM_PROCESS_ITEMS_BUILTIN : engine::WM_PROCESS_ITEMS, 0);
    return index;
}

}  // namespace kestrel::files
