#pragma once
// Window messages between threads.
//
// A "window handle" is a pointer to a MessageSink. The thread that owns the
// sink (the one that created it, unless rebound) handles every message.
//   post(): queues the message and returns at once; safe from any thread.
//   send(): runs the handler on the owning thread and returns its result; the
//           caller blocks until then. From the owning thread it is a direct
//           call. A send to a closed sink returns 0 without running anything.
// The owning thread must keep pumping (pump()/waitAndPump(), or a GUI event
// loop woken through setWakeup). It must never block on a thread that may
// send to it; waiting is done with a pumping loop instead.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel::platform {

using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using MessageResult = std::intptr_t;

// Base values of the message ranges, as the message numbers are designed.
inline constexpr std::uint32_t kWmUser = 0x0400;
inline constexpr std::uint32_t kWmApp = 0x8000;

class MessageSink {
public:
    using Handler = std::function<MessageResult(std::uint32_t msg, WParam, LParam)>;

    explicit MessageSink(Handler handler);
    ~MessageSink();
    MessageSink(const MessageSink&) = delete;
    MessageSink& operator=(const MessageSink&) = delete;

    void post(std::uint32_t msg, WParam wParam = 0, LParam lParam = 0);
    MessageResult send(std::uint32_t msg, WParam wParam = 0, LParam lParam = 0);

    // Handles every queued message; returns how many were handled.
    // Only the owning thread may pump.
    int pump();
    // Waits up to timeoutMs for a message, then pumps; returns the count handled.
    int waitAndPump(int timeoutMs);

    // Called (from any thread) whenever a message is queued, so a GUI event
    // loop can schedule pump() on the owning thread. Set before other threads start.
    void setWakeup(std::function<void()> wakeup);

    // Makes the calling thread the owner (for a sink created before its thread).
    void bindToCurrentThread();
    bool onOwnerThread() const;

    // After close(), posts are dropped and sends return 0; pending sends are
    // released with 0. Called by the owner before it stops pumping.
    void close();

private:
    struct Pending;
    // False (nothing queued) once the sink is closed.
    bool enqueue(Pending* p);

    Handler handler_;
    std::thread::id owner_;
    mutable std::mutex mutex_;
    std::condition_variable queued_;
    std::deque<Pending*> queue_;
    std::function<void()> wakeup_;
    bool closed_ = false;
};

// A "window handle" as the exported C interfaces carry it.
inline void* toHandle(MessageSink* sink) { return sink; }
inline MessageSink* fromHandle(void* handle) { return static_cast<MessageSink*>(handle); }

}  // namespace kestrel::platform
