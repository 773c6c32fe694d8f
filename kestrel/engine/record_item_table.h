#pragma once
// The table of record items: 1000 fixed slots, indexed from 1, never freed or
// moved during a run, so an index names an item for the whole run.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "kestrel/engine/record_item.h"

namespace kestrel::engine {

// What the creator of an item knows; everything else starts at zero.
struct NewItem {
    ItemKind kind = ItemKind::Http;
    Ipv4Address serverAddress;
    std::int32_t serverPort = 0;
    Ipv4Address clientAddress;
    std::int32_t clientPort = 0;
    std::uint32_t expectedAck = 0;
    std::string_view url;
    std::string_view title;
    std::string_view extension;  // appended to the number for the output name, e.g. ".FLV"
    std::int64_t expectedSize = 0;
    std::int64_t contentLength = -1;
    bool imported = false;
    // Capture data file name when it is not the number's own (imports); the
    // index file name is this name followed by ".idx".
    std::string_view dataFileName;
    std::int32_t receivingNotified = 0;
};

class RecordItemTable {
public:
    RecordItemTable();

    // Creates an item in the given state (Recording, or CaptureEnded for an
    // import). Returns its index, or 0 when the table is full (or, in
    // theory, when no free recording number is found). Callers hold the
    // packet lock, so creations never interleave.
    int create(const NewItem& init, ItemState initialState);

    int count() const { return count_.load(std::memory_order_acquire); }
    // Recordings that could not be made because every place was taken, a
    // connection counted once (among the last 4096 refused).
    std::uint64_t refused() const { return refused_.load(); }
    // The index of an item of this table.
    int indexOf(const RecordItem& item) const {
        return static_cast<int>(&item - slots_->data()) + 1;
    }
    // Item n for 1 <= n <= count(); nullptr otherwise.
    RecordItem* at(int index);
    const RecordItem* at(int index) const;

    // The first item in state CaptureEnded, scanning from 1; 0 when none.
    int firstWaiting() const;

    // Where capture files are made. A number whose capture data is still
    // there (left by a run that was killed, waiting for an import) is
    // skipped, so a new item never truncates it. Set before capture starts.
    void setCaptureFolder(std::string folder) { captureFolder_ = std::move(folder); }

    std::int32_t recordingNumber() const { return recordingNumber_.load(); }
    void setRecordingNumber(std::int32_t n) { recordingNumber_.store(n); }
    // Advances the recording number: after 2147483639 comes 1.
    static std::int32_t nextRecordingNumber(std::int32_t current);

private:
    static constexpr int kMaxNumberSkips = 1000000;
    bool numberHasCaptureData(std::int32_t number) const;

    std::unique_ptr<std::array<RecordItem, kMaxRecordItems>> slots_;
    std::atomic<int> count_{0};
    struct RefusedConnection {
        std::array<std::uint8_t, 4> server{};
        std::array<std::uint8_t, 4> client{};
        std::int32_t serverPort = 0;
        std::int32_t clientPort = 0;
        bool operator==(const RefusedConnection&) const = default;
    };
    void noteRefused(const NewItem& init);
    std::atomic<std::uint64_t> refused_{0};
    std::array<RefusedConnection, 4096> refusedRecent_{};  // a ring, filled as connections are refused
    std::atomic<std::int32_t> recordingNumber_{0};
    std::string captureFolder_;
};

}  // namespace kestrel::engine
