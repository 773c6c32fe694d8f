#include "platform/message.h"

#include <chrono>
#include <vector>

namespace kestrel::platform {

struct MessageSink::Pending {
    std::uint32_t msg = 0;
    WParam wParam = 0;
    LParam lParam = 0;
    bool synchronous = false;
    // For sends: the result and its hand-back, guarded by the sink's mutex.
    bool done = false;
    MessageResult result = 0;
    std::condition_variable finished;
};

MessageSink::MessageSink(Handler handler) : handler_(std::move(handler)), owner_(std::this_thread::get_id()) {}

MessageSink::~MessageSink() {
    close();
}

void MessageSink::setWakeup(std::function<void()> wakeup) {
    std::lock_guard lock(mutex_);
    wakeup_ = std::move(wakeup);
}

void MessageSink::bindToCurrentThread() {
    std::lock_guard lock(mutex_);
    owner_ = std::this_thread::get_id();
}

bool MessageSink::onOwnerThread() const {
    std::lock_guard lock(mutex_);
    return owner_ == std::this_thread::get_id();
}

bool MessageSink::enqueue(Pending* p) {
    std::function<void()> wake;
    {
        // Checked in the same step as the queueing: a message queued after
        // close() had emptied the queue would never be handled, and its
        // sender would wait for ever.
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        queue_.push_back(p);
        wake = wakeup_;
    }
    queued_.notify_all();
    if (wake) wake();
    return true;
}

void MessageSink::post(std::uint32_t msg, WParam wParam, LParam lParam) {
    auto* p = new Pending;
    p->msg = msg;
    p->wParam = wParam;
    p->lParam = lParam;
    if (!enqueue(p)) delete p;
}

MessageResult MessageSink::send(std::uint32_t msg, WParam wParam, LParam lParam) {
    if (onOwnerThread()) return handler_ ? handler_(msg, wParam, lParam) : 0;
    Pending p;
    p.msg = msg;
    p.wParam = wParam;
    p.lParam = lParam;
    p.synchronous = true;
    if (!enqueue(&p)) return 0;
    std::unique_lock lock(mutex_);
    p.finished.wait(lock, [&] { return p.done; });
    return p.result;
}

int MessageSink::pump() {
    int handled = 0;
    for (;;) {
        Pending* p = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) break;
            p = queue_.front();
            queue_.pop_front();
        }
        MessageResult r = 0;
        try {
            if (handler_) r = handler_(p->msg, p->wParam, p->lParam);
        } catch (...) {
            // A handler failure must not leave a sender blocked forever.
            r = 0;
        }
        ++handled;
        if (p->synchronous) {
            std::lock_guard lock(mutex_);
            p->result = r;
            p->done = true;
            p->finished.notify_all();
        } else {
            delete p;
        }
    }
    return handled;
}

int MessageSink::waitAndPump(int timeoutMs) {
    {
        std::unique_lock lock(mutex_);
        queued_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !queue_.empty() || closed_; });
    }
    return pump();
}

void MessageSink::close() {
    std::vector<Pending*> posted;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (Pending* p : queue_) {
            if (p->synchronous) {
                // Lives on its sender's stack: once released, the sender
                // returns and the record is gone, so it is not touched again.
                p->result = 0;
                p->done = true;
                p->finished.notify_all();
            } else {
                posted.push_back(p);
            }
        }
        queue_.clear();
    }
    for (Pending* p : posted) delete p;
    queued_.notify_all();
}

}  // namespace kestrel::platform
