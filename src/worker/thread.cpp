#include "worker/thread.h"

#include "host/window_thread_queue.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace quiver {

struct TThread::Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool started = false;
    bool finished = false;
    bool completed = false;  // the completion has returned: the worker needs no other thread
    bool ended = false;      // nothing of the object is used any more
    bool released = false;   // the owner let go: the worker destroys itself when it ends
};

TThread::TThread(bool createSuspended) : gate_(std::make_unique<Gate>()) {
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
}

void TThread::Start() {
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->started = true;
    }
    gate_->cv.notify_all();
}

void TThread::Dispose(std::unique_ptr<TThread> worker) {
    if (!worker) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(worker->gate_->mutex);
        const bool waitsForCompletion = worker->OnTerminate && !worker->gate_->completed;
        if (worker->gate_->started && !worker->gate_->ended && waitsForCompletion) {
            // Joining here could wait for a completion that needs this very thread.
            worker->gate_->released = true;
            static_cast<void>(worker.release());
            return;
        }
    }
    worker.reset();
}

bool TThread::Finished() const {
    std::lock_guard<std::mutex> lock(gate_->mutex);
    return gate_->finished;
}

void TThread::DoTerminate() {
    if (OnTerminate) {
        WindowThreadQueue::RunOnWindowThread([this] {
            OnTerminate(this);
            std::lock_guard<std::mutex> lock(gate_->mutex);
            gate_->completed = true;
        });
    }
}

void TThread::Body() {
    {
        std::unique_lock<std::mutex> lock(gate_->mutex);
        gate_->cv.wait(lock, [this] { return gate_->started; });
    }
    WindowThreadQueue::WorkBegins();
    try {
        Execute();
    } catch (...) {
        // Nothing escapes a worker; the termination handler still runs.
    }
    WindowThreadQueue::WorkEnds();
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->finished = true;
    }
    DoTerminate();
    bool selfDestroying = FreeOnTerminate;
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->ended = true;
        selfDestroying = selfDestroying || gate_->released;
    }
    if (selfDestroying) {
        delete this;
    }
}

}  // namespace quiver
