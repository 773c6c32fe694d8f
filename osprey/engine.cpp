// The engine's life, its queries and its options.

#include "osprey/engine.h"

#include <climits>
#include <cmath>

#include "platform/data_dir.h"

namespace kestrel::osprey {

Engine::Engine() = default;

Engine::~Engine() {
    stopRecord();
    std::lock_guard lock(workerThreadLock_);
    if (worker_.joinable()) worker_.join();
}

const RecordItem* Engine::itemAt(int position) const {
    if (position < 1 || position > itemCount()) return nullptr;
    return &items_[static_cast<std::size_t>(position - 1)];
}

RecordItem* Engine::itemById(int id) {
    const int count = itemCount();
    for (int i = 0; i < count; ++i)
        if (items_[static_cast<std::size_t>(i)].id == id) return &items_[static_cast<std::size_t>(i)];
    return nullptr;
}

const RecordItem* Engine::itemById(int id) const {
    return const_cast<Engine*>(this)->itemById(id);
}

void Engine::cancel(int id) {
    if (RecordItem* item = itemById(id)) item->state.store(kStateCancelled, std::memory_order_release);
}

std::int64_t Engine::recordedSize(int id) const {
    const RecordItem* item = itemById(id);
    return item ? item->received.load() : 0;
}

std::int64_t Engine::totalSize(int id) const {
    const RecordItem* item = itemById(id);
    return item ? item->expected.load() : 0;
}

double Engine::recordPercent(int id) const {
    const RecordItem* item = itemById(id);
    if (!item) return 0.0;
    const auto recorded = static_cast<double>(item->received.load());
    const auto total = static_cast<double>(item->expected.load());
    if (total <= 0.0) return 0.0;
    return std::floor(recorded / total * 100.0 * 10.0 + 0.5) / 10.0;
}

std::string Engine::localName(int id) const {
    const RecordItem* item = itemById(id);
    if (!item) return {};
    std::lock_guard lock(nameLock_);
    // Without a name of its own, or when renaming failed, the file keeps
    // its number.
    if (item->localName.empty() || item->renameFailed) return item->numberName.str();
    return item->localName.str();
}

bool Engine::needsDownload(std::string_view url, std::string_view mime) const {
    return itemCount() < kMaxItems && isMediaDownload(url, mime);
}

void Engine::readOptions(const char* siteListPath, const char* saveFolder) {
    std::lock_guard lock(optionsLock_);
    if (siteListPath) siteList_.load(siteListPath);
    if (!saveFolder) return;
    std::string folder = saveFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    folder_ = std::make_shared<const std::string>(folder);
    if (folder.empty()) return;
    platform::makeFolders(folder);
    platform::makeFolders(folder + "Temp/");
}

std::shared_ptr<const std::string> Engine::currentFolder() {
    std::lock_guard lock(optionsLock_);
    if (!folder_ || folder_->empty()) folder_ = std::make_shared<const std::string>(platform::homeFolder() + "Gannet/");
    return folder_;
}

std::string Engine::saveFolder() const {
    std::lock_guard lock(optionsLock_);
    return folder_ ? *folder_ : std::string();
}

}  // namespace kestrel::osprey
