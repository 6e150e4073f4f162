// quiver: the updater on Linux, a Qt window over SG_IO, or with --unattended no window at all
// (no display is needed then: no QApplication is made). The text comparison collates by the
// user's locale, so LC_COLLATE is taken from the environment before anything compares.
// tools/command_line/updater_command_line.h lists the options.
#include <clocale>
#include <iostream>
#include <memory>

#include "app/frm_quiver.h"
#include "app/unattended_run.h"
#include "platform/linux/linux_flash_guards.h"
#include "platform/linux/linux_history_store.h"
#include "platform/linux/linux_platform.h"
#include "platform/platform.h"
#include "ui/qt/qt_toolkit.h"
#include "updater_command_line.h"

int main(int argc, char** argv) {
    CLI::App app;
    quiver::command_line::UpdaterOptions line;
    quiver::command_line::Describe(app, "quiver",
                                   "Updates the firmware of the drives its package admits.");
    quiver::command_line::AddUpdaterOptions(app, line);
    if (const auto status = quiver::command_line::ParseUpdater(app, line, argc, argv, false)) {
        return *status;
    }
    auto history = std::make_shared<quiver::LinuxHistoryStore>();
    if (line.history) {
        return quiver::PrintHistory(*history, line.json, std::cout, std::cerr);
    }

    std::setlocale(LC_COLLATE, "");
    quiver::LinuxPlatform platform;
    quiver::ScopedPlatform installed(platform);
    quiver::TQuiverMain::Options options;
    options.guards = std::make_shared<quiver::LinuxFlashGuards>(&platform);
    options.history = history;
    if (line.unattended) {
        return quiver::RunUnattended(
            {line.force, line.json, line.restart, line.drives, line.logFile}, std::move(options),
            std::cout, std::cerr);
    }
    int qtArgc = 1;
    quiver::ui::qt::QtApplication application(qtArgc, argv);
    return quiver::RunQuiver(application, std::move(options));
}
