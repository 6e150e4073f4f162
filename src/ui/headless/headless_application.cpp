// The headless application: the message loop on the virtual clock, the timers it fires, the
// queued user actions, the scripted dialogs and the record of events.
#include <algorithm>
#include <exception>
#include <stdexcept>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "platform/platform.h"
#include "ui/headless/headless.h"
#include "ui/headless/headless_detail.h"

namespace quiver::ui::headless {

using detail::kNanosPerMilli;
namespace {

// The application of the calling thread: set on the window thread only, so that the message
// hook finds nothing on any other thread.
thread_local HeadlessApplication* t_current = nullptr;

void ProcessWindowMessages() {
    if (t_current != nullptr) {
        t_current->ProcessMessages();
    }
}

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

}  // namespace

HeadlessApplication::HeadlessApplication() : windowThread_(std::this_thread::get_id()) {
    if (!HasSystemClock()) {
        throw std::logic_error("The headless toolkit needs a clock");
    }
    LARGE_INTEGER frequency{};
    hasCounter_ =
        SystemClock().QueryPerformanceFrequency(&frequency) != FALSE && frequency.QuadPart > 0;
    frequency_ = hasCounter_ ? frequency.QuadPart : 0;
    previousCurrent_ = t_current;
    t_current = this;
    previousHook_ = GetProcessMessagesHook();
    SetProcessMessagesHook(&ProcessWindowMessages);
}

HeadlessApplication::~HeadlessApplication() {
    SetProcessMessagesHook(previousHook_);
    if (t_current == this) {
        t_current = previousCurrent_;
    }
}

std::unique_ptr<FormBackend> HeadlessApplication::CreateFormBackend() {
    auto form = std::make_unique<HeadlessForm>(*this, "Form" + std::to_string(++formCount_));
    forms_.push_back(form.get());
    return form;
}

void HeadlessApplication::FormDestroyed(HeadlessForm& form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), &form), forms_.end());
}

void HeadlessApplication::TimerMade(HeadlessTimer& timer) {
    timers_.push_back(&timer);
}

void HeadlessApplication::TimerGone(HeadlessTimer& timer) {
    timers_.erase(std::remove(timers_.begin(), timers_.end(), &timer), timers_.end());
}

void HeadlessApplication::Record(UiEvent event) {
    if (!OnWindowThread()) {
        throw std::logic_error("The window was used off the window thread (" + event.control + ")");
    }
    log_.push_back(event);
    if (listener_) {
        listener_(log_.back());
    }
}

std::vector<UiEvent> HeadlessApplication::Events(EventKind kind) const {
    std::vector<UiEvent> out;
    for (const UiEvent& e : log_) {
        if (e.kind == kind) {
            out.push_back(e);
        }
    }
    return out;
}

std::int64_t HeadlessApplication::NowNanos() {
    if (hasCounter_) {
        LARGE_INTEGER count{};
        if (SystemClock().QueryPerformanceCounter(&count) != FALSE) {
            const std::int64_t c = count.QuadPart;
            return c / frequency_ * 1'000'000'000 + c % frequency_ * 1'000'000'000 / frequency_;
        }
    }
    return ownClock_;
}

void HeadlessApplication::SleepUntil(std::int64_t nanos) {
    const std::int64_t now = NowNanos();
    if (nanos <= now) {
        return;
    }
    const std::int64_t millis = (nanos - now + kNanosPerMilli - 1) / kNanosPerMilli;
    SystemClock().Sleep(static_cast<DWORD>(std::min<std::int64_t>(millis, 0x7FFFFFFF)));
    if (!hasCounter_) {
        ownClock_ += millis * kNanosPerMilli;
    }
}

DialogResult HeadlessApplication::MessageDlg(const std::string& text, DialogKind kind,
                                             DialogButtons buttons) {
    const DialogRequest request{text, kind, DialogCaption(kind), buttons};
    Record(UiEvent{EventKind::Dialog,
                   {},
                   text,
                   request.caption,
                   {static_cast<int>(kind), static_cast<int>(buttons)}});
    // The dialog's own message loop: what the window thread has been handed runs now.
    ProcessMessages();
    DialogResult result = buttons == DialogButtons::YesNo ? DialogResult::Yes : DialogResult::Ok;
    if (dialogAnswerer_) {
        result = dialogAnswerer_(request);
    }
    Record(
        UiEvent{EventKind::DialogAnswer, {}, ResultName(result), {}, {static_cast<int>(result)}});
    return result;
}

int HeadlessApplication::MessageBox(const std::string& text, const std::string& caption,
                                    unsigned flags) {
    const MessageBoxRequest request{text, caption, flags};
    Record(UiEvent{EventKind::MessageBox, {}, text, caption, {static_cast<int>(flags)}});
    ProcessMessages();
    int answer = (flags & 0x0F) == MB_YESNO ? IDYES : IDOK;
    if (messageBoxAnswerer_) {
        answer = messageBoxAnswerer_(request);
    }
    Record(UiEvent{EventKind::MessageBoxAnswer, {}, {}, {}, {answer}});
    return answer;
}

void HeadlessApplication::ShowException(const std::string& message) {
    Record(UiEvent{EventKind::Exception, {}, message, {}, {}});
}

void HeadlessApplication::Terminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    Record(UiEvent{EventKind::Terminate, {}, {}, {}, {}});
}

void HeadlessApplication::QueueUserAction(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(actionsMutex_);
    actions_.push_back(std::move(action));
}

std::size_t HeadlessApplication::PendingUserActions() const {
    std::lock_guard<std::mutex> lock(actionsMutex_);
    return actions_.size();
}

bool HeadlessApplication::RunCompletions() {
    bool ran = false;
    for (;;) {
        try {
            return WindowThreadQueue::ProcessPending() > 0 || ran;
        } catch (...) {
            // The failed one is off the queue; the others still wait for their turn.
            ShowException(ExceptionMessage(std::current_exception()));
            ran = true;
        }
    }
}

bool HeadlessApplication::FireDueTimers() {
    const std::int64_t now = NowNanos();
    bool fired = false;
    const std::vector<HeadlessTimer*> snapshot = timers_;
    for (HeadlessTimer* timer : snapshot) {
        if (terminated_) {
            break;
        }
        // A handler that ran before may have destroyed this timer.
        if (std::find(timers_.begin(), timers_.end(), timer) == timers_.end()) {
            continue;
        }
        if (!timer->Active() || timer->running_ || timer->due_ > now) {
            continue;
        }
        // Ticks missed while the thread was busy come as one, as the system's timers do.
        const std::int64_t interval = static_cast<std::int64_t>(timer->interval_) * kNanosPerMilli;
        timer->due_ += interval;
        if (timer->due_ <= now) {
            timer->due_ = now + interval;
        }
        ++timer->fires_;
        timer->running_ = true;
        const Handler handler = timer->OnTimer;
        Guarded([&] { handler(static_cast<Timer*>(timer)); });
        if (std::find(timers_.begin(), timers_.end(), timer) != timers_.end()) {
            timer->running_ = false;
        }
        fired = true;
    }
    return fired;
}

bool HeadlessApplication::AnyTimerActive() const {
    return std::any_of(timers_.begin(), timers_.end(),
                       [](const HeadlessTimer* t) { return t->Active(); });
}

std::int64_t HeadlessApplication::NextDue() const {
    std::int64_t next = INT64_MAX;
    for (const HeadlessTimer* t : timers_) {
        if (t->Active() && !t->running_) {
            next = std::min(next, t->due_);
        }
    }
    return next;
}

bool HeadlessApplication::RunUserAction() {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(actionsMutex_);
        if (actions_.empty()) {
            return false;
        }
        action = std::move(actions_.front());
        actions_.pop_front();
    }
    Guarded([&] { action(); });
    return true;
}

void HeadlessApplication::ProcessMessages() {
    RunCompletions();
    FireDueTimers();
}

void HeadlessApplication::Run() {
    using Steady = std::chrono::steady_clock;
    Steady::time_point lastWork = Steady::now();
    while (!terminated_) {
        if (RunCompletions() || (!terminated_ && FireDueTimers())) {
            lastWork = Steady::now();
            continue;
        }
        if (terminated_) {
            break;
        }
        if (AnyTimerActive()) {
            // Give the workers a moment of real time, then let the emulated time pass. While a
            // worker works the time is its to move: on a virtual clock a window thread that
            // slept to its next tick would move it on under the worker's timed waits, and the
            // more so the slower the host runs the worker.
            if (WindowThreadQueue::Working() != 0) {
                // Looking at the time (a counter read) moves a virtual clock on a little too:
                // look seldom.
                WindowThreadQueue::WaitForPending(std::chrono::milliseconds(10));
            } else if (!WindowThreadQueue::WaitForPending(std::chrono::milliseconds(1))) {
                const std::int64_t due = NextDue();
                if (due != INT64_MAX) {
                    SleepUntil(due);
                }
            }
            lastWork = Steady::now();
            continue;
        }
        if (RunUserAction()) {
            lastWork = Steady::now();
            continue;
        }
        const auto slice = std::min(idleTimeout_, std::chrono::milliseconds(10));
        if (WindowThreadQueue::WaitForPending(std::max(slice, std::chrono::milliseconds(1)))) {
            continue;
        }
        if (endWhenIdle_ && Steady::now() - lastWork >= idleTimeout_ && PendingUserActions() == 0) {
            Record(UiEvent{EventKind::Idle, {}, {}, {}, {}});
            Terminate();
        }
    }
}

}  // namespace quiver::ui::headless
