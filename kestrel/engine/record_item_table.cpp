#include "kestrel/engine/record_item_table.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "kestrel/engine/settings.h"
#include "platform/data_dir.h"

namespace kestrel::engine {

bool RecordItem::closeFiles() {
    const bool ok = files.close();
    filesOpen.store(0, std::memory_order_release);
    return ok;
}

bool RecordItem::endCapture() {
    if (!is(ItemState::Recording)) return false;
    if (!closeFiles() || !files.failure().empty()) {
        failure.assign(files.failure());
        state.store(ItemState::Failed, std::memory_order_release);
    } else {
        state.store(ItemState::CaptureEnded, std::memory_order_release);
    }
    return true;
}

bool RecordItem::failCapture(std::string_view reason) {
    if (!is(ItemState::Recording)) return false;
    closeFiles();
    failure.assign(reason);
    state.store(ItemState::Failed, std::memory_order_release);
    return true;
}

bool RecordItemTable::numberHasCaptureData(std::int32_t number) const {
    if (captureFolder_.empty()) return false;
    const std::string data = captureFolder_ + std::to_string(number) + ".flvdata";
    return platform::fileExists(data) || platform::fileExists(data + ".idx") || platform::fileExists(data + ".tmp");
}

RecordItemTable::RecordItemTable() : slots_(std::make_unique<std::array<RecordItem, kMaxRecordItems>>()) {}

std::int32_t RecordItemTable::nextRecordingNumber(std::int32_t current) {
    return current >= kRecordingNumberMax || current < 0 ? 1 : current + 1;
}

int RecordItemTable::create(const NewItem& init, ItemState initialState) {
    const int index = count_.load(std::memory_order_relaxed) + 1;
    if (index > kMaxRecordItems) {
        noteRefused(init);
        return 0;
    }
    std::int32_t number = nextRecordingNumber(recordingNumber_.load());
    for (int tries = 1; numberHasCaptureData(number); ++tries) {
        if (tries == kMaxNumberSkips) return 0;
        number = nextRecordingNumber(number);
    }
    recordingNumber_.store(number);

    RecordItem& item = (*slots_)[static_cast<std::size_t>(index - 1)];
    item.receivingNotified.store(init.receivingNotified);
    item.kind = init.kind;
    item.serverAddress = init.serverAddress;
    item.serverAddress.bytes[4] = 0;
    item.serverPort = init.serverPort;
    item.clientAddress = init.clientAddress;
    item.clientAddress.bytes[4] = 0;
    item.clientPort = init.clientPort;
    item.expectedAck = init.expectedAck;
    item.url.assign(init.url);
    item.outputFolder.clear();
    item.outputName.assign(std::to_string(number) + std::string(init.extension));
    const std::string dataName = init.dataFileName.empty() ? std::to_string(number) + ".flvdata" : std::string(init.dataFileName);
    item.dataFileName.assign(dataName);
    item.indexFileName.assign(dataName + ".idx");
    item.titleLength = static_cast<std::int32_t>(item.title.assign(init.title));
    item.filesOpen.store(0);
    item.headerWritten = 0;
    item.expectedSize.store(init.expectedSize);
    item.contentLength.store(init.contentLength);
    item.imported = init.imported;
    item.neverReceived = false;
    item.knowsStreamStart = false;
    item.streamStart = 0;
    item.storedBytes.store(0);
    item.processedBytes.store(0);
    item.failure.clear();
    item.segmentCount.store(0);
    item.idleTicks.store(0);
    item.files.close();
    item.state.store(initialState, std::memory_order_release);
    count_.store(index, std::memory_order_release);
    return index;
}

void RecordItemTable::noteRefused(const NewItem& init) {
    // One download asks twice (its request, then its response), and a
    // retransmitted request asks again: a connection is counted once.
    const RefusedConnection c{{init.serverAddress.bytes[0], init.serverAddress.bytes[1], init.serverAddress.bytes[2],
                               init.serverAddress.bytes[3]},
                              {init.clientAddress.bytes[0], init.clientAddress.bytes[1], init.clientAddress.bytes[2],
                               init.clientAddress.bytes[3]},
                              init.serverPort,
                              init.clientPort};
    const std::size_t known = std::min<std::size_t>(refused_.load(), refusedRecent_.size());
    for (std::size_t i = 0; i < known; ++i)
        if (refusedRecent_[i] == c) return;
    refusedRecent_[refused_.load() % refusedRecent_.size()] = c;
    refused_.fetch_add(1);
}

RecordItem* RecordItemTable::at(int index) {
    if (index < 1 || index > count()) return nullptr;
    return &(*slots_)[static_cast<std::size_t>(index - 1)];
}

const RecordItem* RecordItemTable::at(int index) const {
    if (index < 1 || index > count()) return nullptr;
    return &(*slots_)[static_cast<std::size_t>(index - 1)];
}

int RecordItemTable::firstWaiting() const {
    const int n = count();
    for (int i = 1; i <= n; ++i)
        if ((*slots_)[static_cast<std::size_t>(i - 1)].is(ItemState::CaptureEnded)) return i;
    return 0;
}

}  // namespace kestrel::engine
