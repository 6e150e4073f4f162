#include "worker/thread.h"

#include "host/window_thread_queue.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace quiver {

namespace {

std::atomic<int> g_working{0};

}  // namespace

struct TThread::Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false;
    bool finished = false;
};

TThread::TThread(bool createSuspended) : gate_(new Gate) {
    thread_ = std::thread([this] { Body(); });
    if (!createSuspended) {
        Start();
    }
}

TThread::~TThread() {
    // A self-destroying worker runs this on its own thread, after its body is over.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            Start();  // a thread never started still has to end
            thread_.join();
        }
    }
    delete gate_;
}

void TThread::Start() {
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->started = true;
    }
    gate_->cv.notify_all();
}

int TThread::Working() {
    return g_working.load(std::memory_order_acquire);
}

bool TThread::Finished() const {
    std::lock_guard<std::mutex> lock(gate_->mutex);
    return gate_->finished;
}

void TThread::DoTerminate() {
    if (OnTerminate) {
        WindowThreadQueue::RunOnWindowThread([this] { OnTerminate(this); });
    }
}

void TThread::Body() {
    {
        std::unique_lock<std::mutex> lock(gate_->mutex);
        gate_->cv.wait(lock, [this] { return gate_->started; });
    }
    g_working.fetch_add(1, std::memory_order_acq_rel);
    try {
        Execute();
    } catch (...) {
        // Nothing escapes a worker; the termination handler still runs.
    }
    g_working.fetch_sub(1, std::memory_order_acq_rel);
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->finished = true;
    }
    DoTerminate();
    if (FreeOnTerminate) {
        delete this;
    }
}

}  // namespace quiver
