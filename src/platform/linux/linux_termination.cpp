#include "platform/linux/linux_termination.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace quiver {

namespace {

// The requests taken: those that were not ignored when the program started (as nohup and a
// shell's background jobs have them), which stay ignored.
sigset_t Requests() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            sigaddset(&set, signal);
        }
    }
    return set;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // nobody reads it any more: the refusal stands all the same
        }
        done += static_cast<std::size_t>(n);
    }
}

// Ends the program as `signal` would have without us: its default action, taken on this thread.
[[noreturn]] void EndAsAsked(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(signal);
    _exit(128 + signal);  // a signal whose default action is not to end (none of ours)
}

}  // namespace

class TerminationRequests::HoldGuard : public FlashGuard {
  public:
    explicit HoldGuard(TerminationRequests& owner) : owner_(owner) {}
    ~HoldGuard() override { owner_.Release(); }

  private:
    TerminationRequests& owner_;
};

TerminationRequests::TerminationRequests(int messages) : messages_(messages) {
    const sigset_t requests = Requests();
    if (int error = pthread_sigmask(SIG_BLOCK, &requests, &previousMask_); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_sigmask");
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe_);

    signals_ = signalfd(-1, &requests, SFD_CLOEXEC);
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (signals_ < 0 || stop_ < 0) {
        const int error = errno;
        for (int fd : {signals_, stop_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        sigaction(SIGPIPE, &previousPipe_, nullptr);
        pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
        throw std::system_error(error, std::generic_category(), "signalfd");
    }
    server_ = std::thread([this] { Serve(); });
}

TerminationRequests::~TerminationRequests() {
    const std::uint64_t one = 1;
    if (write(stop_, &one, sizeof one) < 0) {
        // The server then ends with the program; it holds nothing that must be given back.
    }
    if (server_.joinable()) {
        server_.join();
    }
    close(signals_);
    close(stop_);
    sigaction(SIGPIPE, &previousPipe_, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

std::unique_ptr<FlashGuard> TerminationRequests::Hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++holds_;
    return std::make_unique<HoldGuard>(*this);
}

void TerminationRequests::Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    --holds_;
}

bool TerminationRequests::WaitRefused(int count, int seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return refusedChanged_.wait_for(lock, std::chrono::seconds(seconds),
                                    [&] { return refused_ >= count; });
}

void TerminationRequests::Serve() {
    pollfd waits[2] = {{signals_, POLLIN, 0}, {stop_, POLLIN, 0}};
    for (;;) {
        if (poll(waits, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (waits[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            continue;
        }
        const int signal = static_cast<int>(info.ssi_signo);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (holds_ == 0) {
                // Ended with the lock held: no hold, and so no write to a drive, begins now.
                EndAsAsked(signal);
            }
        }
        WriteAll(messages_, std::string(kEndingRefused) + " (SIG" + sigabbrev_np(signal) + ")\n");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++refused_;
        }
        refusedChanged_.notify_all();
    }
}

}  // namespace quiver
