#include "platform/message.h"

#include <chrono>

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

void MessageSink::enqueue(Pending* p) {
    std::function<void()> wake;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(p);
        wake = wakeup_;
    }
    queued_.notify_all();
    if (wake) wake();
}

void MessageSink::post(std::uint32_t msg, WParam wParam, LParam lParam) {
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
    }
    auto* p = new Pending;
    p->msg = msg;
    p->wParam = wParam;
    p->lParam = lParam;
    enqueue(p);
}

MessageResult MessageSink::send(std::uint32_t msg, WParam wParam, LParam lParam) {
    if (onOwnerThread()) return handler_ ? handler_(msg, wParam, lParam) : 0;
    Pending p;
    p.msg = msg;
    p.wParam = wParam;
    p.lParam = lParam;
    p.synchronous = true;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return 0;
    }
    enqueue(&p);
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
    std::deque<Pending*> dropped;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        dropped.swap(queue_);
        for (Pending* p : dropped) {
            if (p->synchronous) {
                p->result = 0;
                p->done = true;
                p->finished.notify_all();
            }
        }
    }
    for (Pending* p : dropped)
        if (!p->synchronous) delete p;
    queued_.notify_all();
}

}  // namespace kestrel::platform
