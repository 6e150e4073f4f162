// Letting go of a worker: joined when its completion has run, left to end on its own when the
// owner lets go while its completion still waits for the window thread (joining then would wait
// for the very thread that is letting go).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "host/window_thread_queue.h"
#include "worker/thread.h"

namespace quiver {
namespace {

class CountedWorker : public TThread {
  public:
    CountedWorker(std::atomic<int>& destroyed, TerminateHandler done)
        : TThread(true), destroyed_(destroyed) {
        OnTerminate = std::move(done);
        Start();
    }
    ~CountedWorker() override { destroyed_.fetch_add(1); }

  protected:
    void Execute() override {}

  private:
    std::atomic<int>& destroyed_;
};

bool ServeUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        WindowThreadQueue::WaitForPending(std::chrono::milliseconds(10));
        WindowThreadQueue::ProcessPending();
    }
    return true;
}

TEST(WorkerDispose, AWorkerWhoseCompletionRanIsJoinedAtOnce) {
    std::atomic<int> destroyed{0};
    bool completed = false;
    std::unique_ptr<TThread> worker =
        std::make_unique<CountedWorker>(destroyed, [&](TThread*) { completed = true; });
    ASSERT_TRUE(ServeUntil([&] { return completed; }));
    TThread::Dispose(std::move(worker));
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_EQ(worker, nullptr);
}

TEST(WorkerDispose, AWorkerStillWaitingForItsCompletionEndsOnItsOwn) {
    std::atomic<int> destroyed{0};
    bool completed = false;
    std::unique_ptr<TThread> worker =
        std::make_unique<CountedWorker>(destroyed, [&](TThread*) { completed = true; });
    // Its completion is handed over but not yet run: this thread has not served the queue.
    ASSERT_TRUE(WindowThreadQueue::WaitForPending(std::chrono::seconds(60)));
    TThread::Dispose(std::move(worker));
    EXPECT_EQ(destroyed.load(), 0);
    ASSERT_TRUE(ServeUntil([&] { return completed; }));
    ASSERT_TRUE(ServeUntil([&] { return destroyed.load() == 1; }));
}

}  // namespace
}  // namespace quiver
