// Runs one case as quiver-sim would, the real window logic on the headless toolkit and the
// emulated PC on the virtual clock, to the end, and keeps what a check needs: every drive's
// command log (split where the scan ended), the window's events, the drive list as it stood when
// an update completed, and the restart requests. A run that goes on past its bounds (emulated
// time, commands, real time) is stopped: its drives vanish and the program is told to end.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chaos_case.h"
#include "sim/drive.h"
#include "simapp/machine_file.h"
#include "ui/headless/headless.h"

namespace quiver::chaos {

// One emulated drive as the run left it.
struct DriveView {
    sim::DriveConfig config;
    std::vector<sim::Fault> faults;
    std::vector<std::uint32_t> firings;  // how often each fault fired
    std::vector<sim::LoggedCommand> log;
    std::size_t scanCommands = 0;  // the first ones: sent before the drive list was made
    std::string revision;          // what it reports now; empty when another drive replaced it
};

// A drive of the machine, then each drive that took its place, in the order they did.
using Chain = std::vector<DriveView>;

struct CompletionView {
    std::vector<std::string> list;  // the drive list's lines
    int selection = -1;
};

struct RestartView {
    int successDialogs = 0;  // shown before the request
    int failureDialogs = 0;
};

struct RunView {
    simapp::MachineSpec machine;
    std::vector<Chain> chains;  // one per drive of the machine, in its order
    std::vector<ui::headless::UiEvent> events;
    std::vector<CompletionView> completions;  // at each "Inquiry ..." of an update's end
    std::vector<RestartView> restarts;
    std::string stopped;  // why the run was stopped; empty when it ended by itself
    int workersLeft = 0;  // flashing workers still running when the program's loop ended
    double emulatedSeconds = 0.0;
    std::uint64_t commands = 0;
};

struct Limits {
    double emulatedSeconds = 0.0;
    std::uint64_t commands = 0;
    std::chrono::seconds real{0};
};

// Bounds no run of the case reaches unless the program hangs: three emulated days plus every
// delay the faults can add, two million commands, and `real` of real time.
Limits LimitsFor(const simapp::MachineSpec& machine, std::chrono::seconds real);

// Runs the case with `package` (BuildPackage of its package). `stuck` is called before the process
// aborts when the program's workers do not end even after the run was stopped and its drives
// vanished (nothing can be checked then). Throws simapp::MachineFileError for a machine file that
// cannot be used.
RunView RunCase(const ChaosCase& c, const std::vector<std::uint8_t>& package,
                std::chrono::seconds realLimit,
                const std::function<void(const std::string&)>& stuck);

}  // namespace quiver::chaos
