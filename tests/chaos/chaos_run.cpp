#include "chaos_run.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "app/frm_quiver.h"
#include "host/window_thread_queue.h"
#include "platform/sim/sim_platform.h"

namespace quiver::chaos {

namespace {

using ui::headless::EventKind;
using ui::headless::UiEvent;
using Steady = std::chrono::steady_clock;

constexpr char kSuccess[] = "Firmware has been updated successfully !";
constexpr char kFailure[] = "Unable to flash firmware. Please contact with your vendor !";

// The emulated platform, telling the run when the program asks for a restart.
class RestartWatch : public SimPlatform {
  public:
    using SimPlatform::SimPlatform;
    BOOL ExitWindowsEx(UINT uFlags, DWORD dwReason) override {
        if (onRestart) {
            onRestart();
        }
        return SimPlatform::ExitWindowsEx(uFlags, dwReason);
    }
    std::function<void()> onRestart;
};

// Every drive of a chain: the machine's drive, then its replacements.
template <typename Each>
void ForEachInChain(sim::Drive& first, Each each) {
    for (sim::Drive* d = &first; d != nullptr; d = d->ReplacedBy()) {
        each(*d);
    }
}

std::vector<std::string> Lines(const std::string& items) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < items.size()) {
        const std::size_t end = items.find('\n', start);
        const std::size_t stop = end == std::string::npos ? items.size() : end;
        out.push_back(items.substr(start, stop - start));
        start = stop + 1;
    }
    return out;
}

double DelayBound(const std::vector<sim::Fault>& faults) {
    double seconds = 0.0;
    for (const sim::Fault& f : faults) {
        if (f.kind == sim::Fault::Kind::Delay) {
            seconds += f.seconds * (f.count == 0 ? 20000.0 : static_cast<double>(f.count));
        }
        if (f.kind == sim::Fault::Kind::Replaced && f.by != nullptr) {
            seconds += DelayBound(f.by->faults);
        }
    }
    return seconds;
}

}  // namespace

Limits LimitsFor(const simapp::MachineSpec& machine, std::chrono::seconds real) {
    Limits limits;
    limits.emulatedSeconds = 3 * 86400.0;
    for (const simapp::DriveSpec& d : machine.drives) {
        limits.emulatedSeconds += DelayBound(d.faults);
    }
    limits.commands = 2'000'000;
    limits.real = real;
    return limits;
}

RunView RunCase(const ChaosCase& c, const std::vector<std::uint8_t>& package,
                std::chrono::seconds realLimit,
                const std::function<void(const std::string&)>& stuck) {
    RunView view;
    sim::Machine machine;
    view.machine = simapp::LoadMachine(c.machine, machine);
    machine.clock.SetVirtual();
    const Limits limits = LimitsFor(view.machine, realLimit);

    RestartWatch platform(machine);
    ScopedPlatform installed(platform);

    std::atomic<std::uint64_t> commands{0};
    for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
        machine.drive(i).SetCommandObserver(
            [&commands](const sim::LoggedCommand&) { commands.fetch_add(1); });
    }
    std::vector<std::vector<std::size_t>> scanEnd;  // per chain, per drive: log size
    bool scanOver = false;
    std::int64_t scanEndNanos = 0;
    auto markScanEnd = [&] {
        scanOver = true;
        scanEndNanos = machine.clock.NowNanos();
        for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
            std::vector<std::size_t> sizes;
            ForEachInChain(machine.drive(i),
                           [&](sim::Drive& d) { sizes.push_back(d.Log().size()); });
            scanEnd.push_back(sizes);
        }
    };

    ui::headless::HeadlessApplication app;
    app.SetEndWhenIdle(true);
    app.SetIdleTimeout(std::chrono::milliseconds(1));

    // The user's answers, taken in order by dialogs and message boxes alike, as quiver-sim does.
    std::deque<std::string> answers(c.user.answers.begin(), c.user.answers.end());
    auto nextAnswer = [&] {
        if (answers.empty()) {
            return c.user.defaultAnswer;
        }
        std::string a = answers.front();
        answers.pop_front();
        return a;
    };
    app.SetDialogAnswerer([&](const ui::headless::DialogRequest& request) {
        const std::string a = nextAnswer();
        if (request.buttons == ui::DialogButtons::Ok) {
            return ui::DialogResult::Ok;
        }
        return a == "yes" ? ui::DialogResult::Yes : ui::DialogResult::No;
    });
    app.SetMessageBoxAnswerer([&](const ui::headless::MessageBoxRequest&) {
        nextAnswer();
        return IDOK;
    });

    std::string listText;
    int selection = -1;
    int successDialogs = 0;
    int failureDialogs = 0;
    app.SetListener([&](const UiEvent& e) {
        view.events.push_back(e);
        const bool noDrive =
            e.kind == EventKind::Dialog && e.text.rfind("No matched drive detected !", 0) == 0;
        if (!scanOver &&
            (e.kind == EventKind::ListItems || e.kind == EventKind::MessageBox || noDrive)) {
            markScanEnd();
        }
        if (e.kind == EventKind::ListItems) {
            listText = e.text;
        } else if (e.kind == EventKind::ListSelection && !e.values.empty()) {
            selection = e.values[0];
        } else if (e.kind == EventKind::LabelText && e.control == "lblMsg" &&
                   e.text == "Inquiry ...") {
            view.completions.push_back({Lines(listText), selection});
        } else if (e.kind == EventKind::Dialog) {
            successDialogs += e.text == kSuccess ? 1 : 0;
            failureDialogs += e.text == kFailure ? 1 : 0;
        }
    });
    platform.onRestart = [&] { view.restarts.push_back({successDialogs, failureDialogs}); };

    if (c.user.choose) {
        const int index = *c.user.choose;
        app.QueueUserAction([&app, index] {
            if (auto* list = app.Find<ui::ComboBox>("cboDrives")) {
                if (index < list->ItemCount()) {
                    list->UserChoose(index);
                }
            }
        });
    }
    if (c.user.update) {
        app.QueueUserAction([&app] {
            if (auto* button = app.Find<ui::Button>("cmdUpdate")) {
                button->UserClick();
            }
        });
    }

    // The watchdog: stops a run that outgrows its bounds by making every drive vanish (so that
    // whatever waits on a drive gets an answer) and telling the program to end.
    std::atomic<bool> runOver{false};
    std::atomic<bool> watchdogDone{false};
    std::mutex stoppedMutex;
    std::string stopped;
    auto whyStopped = [&] {
        std::lock_guard<std::mutex> lock(stoppedMutex);
        return stopped;
    };
    const Steady::time_point started = Steady::now();
    std::thread watchdog([&] {
        while (!runOver.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const double now = machine.clock.NowSeconds();
            std::string why;
            if (now > limits.emulatedSeconds) {
                why = "still running after " + std::to_string(now) + " emulated seconds";
            } else if (commands.load() > limits.commands) {
                why = "still running after " + std::to_string(commands.load()) + " commands";
            } else if (Steady::now() - started > limits.real) {
                why = "still running after " + std::to_string(limits.real.count()) +
                      " seconds of real time";
            } else {
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(stoppedMutex);
                stopped = why;
            }
            for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
                ForEachInChain(machine.drive(i), [](sim::Drive& d) { d.Vanish(); });
            }
            WindowThreadQueue::RunOnWindowThread([&app] { app.Terminate(); });
            break;
        }
        watchdogDone.store(true);
    });

    // As the program's entry does: an exception from the window's construction is shown and
    // ends the program; one from the loop is shown.
    std::unique_ptr<TQuiverMain> window;
    TQuiverMain::Options options;
    options.package = package.data();
    try {
        window = std::make_unique<TQuiverMain>(app, options);
    } catch (const std::exception& e) {
        app.ShowException(e.what());
    }
    if (window && !app.Terminated()) {
        window->form().Show();
    }
    if (window) {
        try {
            app.Run();
        } catch (const std::exception& e) {
            app.ShowException(e.what());
        }
    }
    runOver.store(true);
    view.workersLeft = window ? window->RunningWorkers() : 0;

    // Workers of a run that was cut short still report to the window: let them end first.
    const Steady::time_point deadline = Steady::now() + std::chrono::seconds(60);
    while (!watchdogDone.load() || (window && window->RunningWorkers() > 0)) {
        WindowThreadQueue::ProcessPending();
        if (Steady::now() > deadline) {
            const std::string why = whyStopped();
            stuck("flashing workers did not end within a minute after the run was stopped (" +
                  (why.empty() ? std::string("it ended by itself") : why) + ")");
            std::fprintf(stderr, "random schedules: workers that never end; giving up\n");
            std::abort();
        }
        WindowThreadQueue::WaitForPending(std::chrono::milliseconds(1));
    }
    watchdog.join();
    view.stopped = whyStopped();
    view.emulatedSeconds = machine.clock.NowSeconds();
    view.commands = commands.load();
    for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
        machine.drive(i).SetCommandObserver({});
    }
    window.reset();
    WindowThreadQueue::ProcessPending();

    for (std::size_t i = 0; i < machine.DriveCount(); ++i) {
        Chain chain;
        std::size_t k = 0;
        ForEachInChain(machine.drive(i), [&](sim::Drive& d) {
            DriveView v;
            v.config = d.config();
            v.log = d.Log();
            v.firings = d.FaultFirings();
            v.scanCommands = v.log.size();
            if (scanOver && i < scanEnd.size()) {
                v.scanCommands = k < scanEnd[i].size() ? scanEnd[i][k] : 0;
                // The log is in the order the commands ended: one the scan sent and gave up on
                // (a request still pending at its time limit) can end long after the list was
                // made. It is still the scan's.
                const auto late = std::stable_partition(
                    v.log.begin() + static_cast<std::ptrdiff_t>(v.scanCommands), v.log.end(),
                    [&](const sim::LoggedCommand& c) { return c.startNanos < scanEndNanos; });
                v.scanCommands = static_cast<std::size_t>(late - v.log.begin());
            }
            if (d.ReplacedBy() == nullptr) {
                v.revision = d.Revision();
            }
            ++k;
            chain.push_back(std::move(v));
        });
        // Each drive's faults: the machine file's, then those of the replacement that fired.
        chain.front().faults = view.machine.drives[i].faults;
        for (std::size_t j = 1; j < chain.size(); ++j) {
            const DriveView& before = chain[j - 1];
            for (std::size_t f = 0; f < before.faults.size() && f < before.firings.size(); ++f) {
                if (before.faults[f].kind == sim::Fault::Kind::Replaced &&
                    before.faults[f].by != nullptr && before.firings[f] > 0) {
                    chain[j].faults = before.faults[f].by->faults;
                }
            }
        }
        view.chains.push_back(std::move(chain));
    }
    return view;
}

}  // namespace quiver::chaos
