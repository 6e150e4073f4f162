// The worker thread class and the hand-over of a worker's completion to the window thread.
//
// A worker's completion handler runs on the window thread, the next time that thread processes
// pending work (its message loop, a modal dialog's loop, or an explicit processing of pending
// messages). The worker thread waits until the handler has returned, then the worker may
// destroy itself. The window toolkit calls ProcessPending() from its loops and installs a
// wake-up that posts a message to the window thread.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quiver {

class WindowThreadQueue {
  public:
    // From any thread but the window thread: runs `fn` on the window thread and returns after
    // it has returned.
    static void RunOnWindowThread(std::function<void()> fn);
    // On the window thread: runs every function handed over so far, one after another, and
    // returns how many ran.
    static int ProcessPending();
    // On the window thread: waits until something has been handed over, at most `timeout`.
    static bool WaitForPending(std::chrono::milliseconds timeout);
    // Called after each hand-over, on the handing thread (null: none).
    static void SetWakeUp(void (*wakeUp)());
};

class TThread {
  public:
    using TerminateHandler = std::function<void(TThread* sender)>;

    // The thread exists from construction; a suspended one runs once Start() is called.
    explicit TThread(bool createSuspended);
    virtual ~TThread();

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Start();

    // Destroy the object when the thread ends (after the termination handler has run).
    bool FreeOnTerminate = false;
    // Runs on the window thread after Execute has returned.
    TerminateHandler OnTerminate;

    bool Finished() const;

    // Threads of the process that are running their Execute now.
    static int Working();

  protected:
    virtual void Execute() = 0;
    // Hands OnTerminate to the window thread and waits for it.
    virtual void DoTerminate();

  private:
    void Body();

    std::thread thread_;
    struct Gate;
    Gate* gate_;
};

}  // namespace quiver
