#include "host/window_thread_queue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "host/immortal.h"

namespace quiver {

namespace {

struct Handover {
    std::function<void()> fn;
    bool done = false;
};

struct Queue {
    std::mutex mutex;
    std::condition_variable pending;  // something was handed over
    std::condition_variable ran;      // a handed-over function has returned
    std::deque<Handover*> items;
    std::atomic<void (*)()> wakeUp{nullptr};
};

Queue& TheQueue() {
    static Immortal<Queue> queue;  // workers may still hand over during process exit
    return queue.get();
}

}  // namespace

void WindowThreadQueue::RunOnWindowThread(std::function<void()> fn) {
    Queue& q = TheQueue();
    Handover item{std::move(fn), false};
    {
        std::lock_guard<std::mutex> lock(q.mutex);
        q.items.push_back(&item);
    }
    q.pending.notify_all();
    if (auto wake = q.wakeUp.load(std::memory_order_acquire)) {
        wake();
    }
    std::unique_lock<std::mutex> lock(q.mutex);
    q.ran.wait(lock, [&] { return item.done; });
}

int WindowThreadQueue::ProcessPending() {
    Queue& q = TheQueue();
    int count = 0;
    for (;;) {
        Handover* item = nullptr;
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            if (q.items.empty()) {
                return count;
            }
            item = q.items.front();
            q.items.pop_front();
        }
        try {
            item->fn();
        } catch (...) {
            // A handler's failure must not leave its worker waiting for ever.
            std::lock_guard<std::mutex> lock(q.mutex);
            item->done = true;
            q.ran.notify_all();
            throw;
        }
        {
            std::lock_guard<std::mutex> lock(q.mutex);
            item->done = true;
        }
        q.ran.notify_all();
        ++count;
    }
}

bool WindowThreadQueue::WaitForPending(std::chrono::milliseconds timeout) {
    Queue& q = TheQueue();
    std::unique_lock<std::mutex> lock(q.mutex);
    return q.pending.wait_for(lock, timeout, [&] { return !q.items.empty(); });
}

void WindowThreadQueue::SetWakeUp(void (*wakeUp)()) {
    TheQueue().wakeUp.store(wakeUp, std::memory_order_release);
}

namespace {

std::atomic<int> g_working{0};

}  // namespace

int WindowThreadQueue::Working() {
    return g_working.load(std::memory_order_acquire);
}

void WindowThreadQueue::WorkBegins() {
    g_working.fetch_add(1, std::memory_order_acq_rel);
}

void WindowThreadQueue::WorkEnds() {
    g_working.fetch_sub(1, std::memory_order_acq_rel);
}

}  // namespace quiver
