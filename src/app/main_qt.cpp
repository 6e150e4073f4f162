// quiver: the updater on Linux, a Qt window over SG_IO (Qt's own options apply), or with
// --unattended no window at all (no display is needed then: no QApplication is made). The text
// comparison collates by the user's locale, so LC_COLLATE is taken from the environment before
// anything compares. tools/command_line/updater_command_line.h lists the options.
#include <clocale>
#include <cstring>
#include <iostream>
#include <memory>
#include <utility>

#include "app/frm_quiver.h"
#include "app/unattended_run.h"
#include "platform/linux/linux_drives.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_history_store.h"
#include "platform/linux/linux_system.h"
#include "platform/linux/linux_termination.h"
#include "platform/platform.h"
#include "ui/qt/qt_toolkit.h"
#include "updater_command_line.h"

namespace {

// Qt's own options (-platform, -display ...) take one dash; the updater's take two.
bool OnlyQtOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) == 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Before any other thread, so that every thread has the requests to end blocked.
    quiver::TerminationRequests termination;
    quiver::command_line::UpdaterOptions line;
    if (!OnlyQtOptions(argc, argv)) {
        CLI::App app;
        quiver::command_line::Describe(app, "quiver",
                                       "Updates the firmware of the drives its package admits.");
        quiver::command_line::AddUpdaterOptions(app, line);
        if (const auto status = quiver::command_line::ParseUpdater(app, line, argc, argv, false)) {
            return *status;
        }
    }
    auto history = std::make_shared<quiver::LinuxHistoryStore>();
    if (line.history) {
        return quiver::PrintHistory(*history, line.json, std::cout, std::cerr);
    }

    std::setlocale(LC_COLLATE, "");
    quiver::LinuxSystem system;
    quiver::LinuxDrives drives;
    quiver::ScopedRoles installed({&system, &system, &system, &drives});
    quiver::TQuiverMain::Options options;
    quiver::LinuxFlashGuards::Settings guards = quiver::LinuxFlashGuards::SystemSettings();
    guards.termination = &termination;
    options.guards = std::make_shared<quiver::LinuxFlashGuards>(std::move(guards));
    options.history = history;
    if (line.unattended) {
        return quiver::RunUnattended(
            {line.force, line.json, line.restart, line.drives, line.logFile}, std::move(options),
            std::cout, std::cerr);
    }
    quiver::ui::qt::QtApplication application(argc, argv);
    return quiver::RunQuiver(application, std::move(options));
}
