// quiver.exe: the updater on Windows. A GUI program (-mwindows); MinGW's start-up code calls
// main for it as for a console program, so no WinMain is needed. With --unattended (or
// /unattended) it shows no window and writes to the console of the program that started it,
// when that has one. tools/command_line/updater_command_line.h lists the options.
#include <iostream>
#include <memory>

#include "app/frm_quiver.h"
#include "app/unattended_run.h"
#include "platform/platform.h"
#include "platform/win32/win32_console.h"
#include "platform/win32/win32_history_store.h"
#include "platform/win32/win32_platform.h"
#include "ui/win32/win32_toolkit.h"
#include "updater_command_line.h"

int main(int argc, char** argv) {
    // The parent's console first, so that usage, the history and the events can be read there.
    if (argc > 1) {
        quiver::AttachParentConsole();
    }
    CLI::App app;
    quiver::command_line::UpdaterOptions line;
    quiver::command_line::Describe(app, "quiver",
                                   "Updates the firmware of the drives its package admits.");
    quiver::command_line::AddUpdaterOptions(app, line);
    if (const auto status = quiver::command_line::ParseUpdater(app, line, argc, argv, true)) {
        return *status;
    }
    auto history = std::make_shared<quiver::Win32HistoryStore>();
    if (line.history) {
        return quiver::PrintHistory(*history, line.json, std::cout, std::cerr);
    }

    quiver::Win32Platform platform;
    quiver::ScopedPlatform installed(platform);
    quiver::TQuiverMain::Options options;
    options.history = history;
    if (line.unattended) {
        // The system's own message boxes (the ASPI manager's) would wait for a person.
        platform.SetMessageBoxHandler([](const char* text, const char* caption, quiver::UINT) {
            std::cerr << "quiver: " << (caption != nullptr ? caption : "") << ": "
                      << (text != nullptr ? text : "") << "\n";
            return quiver::IDOK;
        });
        return quiver::RunUnattended(
            {line.force, line.json, line.restart, line.drives, line.logFile}, std::move(options),
            std::cout, std::cerr);
    }
    quiver::ui::win32::Win32Application application;
    return quiver::RunQuiver(application, std::move(options));
}
