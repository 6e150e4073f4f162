// The hand-over of work from any thread to the window thread.
//
// A function handed over runs on the window thread, the next time that thread processes pending
// work (its message loop, a modal dialog's loop, or an explicit processing of pending messages).
// The handing thread waits until the function has returned. The window toolkit calls
// ProcessPending() from its loops and installs a wake-up that posts a message to the window
// thread.
#pragma once

#include <chrono>
#include <functional>

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

    // Threads of the process that are doing their work now (workers in their Execute). A
    // toolkit's loop looks at it to leave the passing of time to them while they work.
    static int Working();
    // Called by such a thread around its work.
    static void WorkBegins();
    static void WorkEnds();
};

}  // namespace quiver
