#pragma once
// The packet processor is called by the capture thread for every frame that
// can carry TCP payload, with the packet lock held.
//
// It must not send window messages while the lock is held: the user-
// interface thread takes the same lock when it ends an item, and a send
// would then wait for a thread that waits for the lock. Messages go into the
// outbox instead and are sent, in order, as soon as the lock is released.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/message.h"

namespace kestrel::engine {

class Outbox {
public:
    static constexpr std::size_t kCapacity = 8;
    struct Entry {
        std::uint32_t msg;
        platform::WParam wParam;
        platform::LParam lParam;
    };
    // False (message dropped) only when a single frame queues more than
    // kCapacity messages, which no processor does.
    bool send(std::uint32_t msg, platform::WParam wParam = 0, platform::LParam lParam = 0) {
        if (count_ == kCapacity) return false;
        entries_[count_++] = {msg, wParam, lParam};
        return true;
    }
    std::span<const Entry> entries() const { return {entries_.data(), count_}; }
    void clear() { count_ = 0; }

private:
    std::array<Entry, kCapacity> entries_{};
    std::size_t count_ = 0;
};

class PacketProcessor {
public:
    virtual ~PacketProcessor() = default;
    // Called on the user-interface thread before the capture thread starts.
    virtual void beginCapture(const std::string& /*saveFolder*/, bool /*recordSwf*/) {}
    // frame: the captured bytes of one Ethernet frame longer than 54 bytes.
    virtual void process(std::span<const std::uint8_t> frame, Outbox& outbox) = 0;
};

// Which post-processing thread runs: the usual one (outside converter,
// then the built-in one when its output is too small), the one that uses
// only the built-in converter variant, or the one that only runs the
// outside converter on stream items.
enum class ProcessingMode { Standard, BuiltinOnly, OutsideOnly };

// Starts the post-processing thread. Called on the user-interface thread
// right after the busy flag went from 0 to 1; whoever runs the thread clears
// the flag when it ends.
class PostProcessingLauncher {
public:
    virtual ~PostProcessingLauncher() = default;
    virtual void launch(ProcessingMode mode) = 0;
};

}  // namespace kestrel::engine
