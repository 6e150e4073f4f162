// quiver-sim --unattended: the updater without a person on the emulated PC. What it writes is
// what the updater writes (events as text or JSON lines, the log), not a transcript; the exit
// code is the updater's.
#include <iostream>
#include <memory>

#include "app/unattended_run.h"
#include "platform/history_store.h"
#include "platform/sim/sim_platform.h"
#include "simapp/machine_file.h"
#include "simapp/session.h"
#include "ui/console/console_toolkit.h"

namespace quiver::simapp {

int RunUnattendedSimulation(const SimOptions& options, std::ostream& out, std::ostream& err) {
    sim::Machine machine;
    MachineSpec desc;
    std::vector<std::uint8_t> package;
    if (!LoadRun(options, machine, desc, package, err)) {
        return kExitUsage;
    }
    SimPlatform platform(machine);
    ScopedPlatform installed(platform);
    // The boxes the program makes through the system get OK: nobody is there to read them.
    platform.SetMessageBoxHandler([&](const RecordedMessageBox& box) {
        const ui::RunEvent event{
            "dialog",
            {{"kind", "box"}, {"caption", box.caption}, {"text", box.text}, {"answer", "ok"}}};
        out << (options.json ? ui::console::JsonLine(event) : ui::console::TextLine(event)) << "\n";
        return IDOK;
    });

    TQuiverMain::Options window;
    window.package = package.data();
    if (!options.historyFile.empty()) {
        window.history = std::make_shared<FileHistoryStore>(options.historyFile);
    }
    const int code = RunUnattended(
        {options.force, options.json, options.restart, options.drives, options.logFile}, window,
        out, err);
    platform.SetMessageBoxHandler({});
    // What the emulated machine did with a restart request, for whoever checks the run.
    return code;
}

int PrintSimHistory(const SimOptions& options, std::ostream& out, std::ostream& err) {
    if (options.historyFile.empty()) {
        err << "quiver-sim: --history needs --history-file\n";
        return kExitUsage;
    }
    return PrintHistory(FileHistoryStore(options.historyFile), options.json, out, err);
}

}  // namespace quiver::simapp
