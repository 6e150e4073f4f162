// Requests from outside to end the updater: SIGINT (Ctrl+C in its terminal), SIGTERM, SIGHUP
// (its terminal or remote shell gone) and SIGQUIT. Made first in main, before any other thread:
// it blocks them in the calling thread, so that every thread made later has them blocked too,
// and takes them on a thread of its own. Without a hold, a request ends the program as the
// signal always did. While a hold lives (from before the first write to a drive until the last
// worker has ended), a request is refused with kEndingRefused on standard error; it is not kept
// for later. A request that was ignored when the program started stays ignored.
//
// Taking the signals on one thread also keeps them away from the workers: an SG_IO call that a
// signal handler interrupts on a generic node is sent again when the call restarts, while the
// first command may still be with the drive.
//
// SIGPIPE is ignored as long as the object lives: a write to a pipe or remote shell that has
// gone fails instead of ending the program.
#pragma once

#include <signal.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/flash_guards.h"

namespace quiver {

class TerminationRequests {
  public:
    // `messages`: where a refusal is written (standard error by default).
    explicit TerminationRequests(int messages = 2);
    ~TerminationRequests();
    TerminationRequests(const TerminationRequests&) = delete;
    TerminationRequests& operator=(const TerminationRequests&) = delete;

    // Holds requests off for as long as the guard lives; holds may overlap.
    std::unique_ptr<FlashGuard> Hold();

    // Waits until `count` requests in all have been refused; false when that has not happened
    // within `seconds`.
    bool WaitRefused(int count, int seconds);

  private:
    class HoldGuard;
    void Serve();
    void Release();

    int messages_;
    int signals_ = -1;  // signalfd of the requests
    int stop_ = -1;     // eventfd that ends Serve
    sigset_t previousMask_{};
    struct sigaction previousPipe_ {};
    std::mutex mutex_;
    std::condition_variable refusedChanged_;
    int holds_ = 0;
    int refused_ = 0;
    std::thread server_;
};

}  // namespace quiver
