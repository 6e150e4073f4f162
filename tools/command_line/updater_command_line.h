// The command line of the updaters (quiver, quiver.exe) and the same options in quiver-sim:
// a run without a person and the machine's history of updates. docs/fleet.md describes them.
//
//   --unattended          no window, no person: every dialog answered by rule
//   --force               also update drives that already have the new revision
//   --drive ADDRESS|NAME  only this drive (repeatable); without it every admitted drive
//   --json                one JSON object per event (with --history: the stored lines)
//   --log FILE            also write the log to FILE
//   --restart             restart the machine when the package asks (otherwise exit 3010)
//   --history             print the history of updates and end
//
// On Windows the forms "/unattended", "/force" ... mean the same as "--unattended" ...
#pragma once

#include <CLI/CLI.hpp>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"

namespace quiver::command_line {

struct UpdaterOptions {
    bool unattended = false;
    bool force = false;
    bool json = false;
    bool restart = false;
    bool history = false;
    std::vector<std::string> drives;
    std::string logFile;
};

// Adds the options to `app`.
inline void AddUpdaterOptions(CLI::App& app, UpdaterOptions& o) {
    app.add_flag("--unattended", o.unattended,
                 "Update without a window or a person: every dialog is answered by rule");
    app.add_flag("--force", o.force,
                 "With --unattended: also update drives that already have the new revision");
    app.add_option("--drive", o.drives,
                   "With --unattended: update this drive only, by address (1-0-0-0) or name; "
                   "repeat for several (default: every admitted drive)")
        ->type_name("ADDRESS|NAME")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("--json", o.json,
                 "One JSON object per event on standard output; with --history the stored lines");
    app.add_option("--log", o.logFile, "With --unattended: also write the log to FILE")
        ->type_name("FILE");
    app.add_flag("--restart", o.restart,
                 "With --unattended: restart the machine when the package asks for it (without "
                 "it the program ends with 3010 and leaves the restart to the caller)");
    app.add_flag("--history", o.history, "Print the history of updates on this machine and end");
}

// What is wrong with a parsed command line; empty when nothing is.
inline std::string UpdaterProblem(const UpdaterOptions& o) {
    if (o.unattended && o.history) {
        return "--history and --unattended do not go together";
    }
    if (!o.unattended && (o.force || o.restart || !o.drives.empty() || !o.logFile.empty())) {
        return "--force, --drive, --log and --restart need --unattended";
    }
    if (o.json && !o.unattended && !o.history) {
        return "--json needs --unattended or --history";
    }
    return {};
}

// Windows' "/name" forms of the options, as "--name"; other arguments stay as they are.
inline std::vector<std::string> WithoutSlashOptions(int argc, const char* const* argv) {
    std::vector<std::string> out;
    for (int i = 0; i < argc; ++i) {
        std::string a = argv[i];
        if (i > 0 && a.size() > 1 && a[0] == '/' &&
            a.find_first_of("/\\.:", 1) == std::string::npos) {
            a = "--" + a.substr(1);
        }
        out.push_back(a);
    }
    return out;
}

// Names the problem and prints the usage; returns the status of wrong usage.
inline int UpdaterUsage(const CLI::App& app, const std::string& problem) {
    std::cerr << app.get_name() << ": " << problem << "\n\n" << app.help();
    return kUsageError;
}

// Parses an updater's command line. Returns the status to end with (after --help, --version or
// wrong usage), or nothing when the program goes on.
inline std::optional<int> ParseUpdater(CLI::App& app, UpdaterOptions& o, int argc,
                                       const char* const* argv, bool slashes) {
    std::vector<std::string> args =
        slashes ? WithoutSlashOptions(argc, argv) : std::vector<std::string>(argv, argv + argc);
    std::vector<const char*> pointers;
    for (const std::string& a : args) {
        pointers.push_back(a.c_str());
    }
    try {
        app.parse(static_cast<int>(pointers.size()), pointers.data());
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return 0;
    } catch (const CLI::Success& e) {
        return app.exit(e, std::cout, std::cerr);
    } catch (const CLI::ParseError& e) {
        return UpdaterUsage(app, e.what());
    }
    if (const std::string problem = UpdaterProblem(o); !problem.empty()) {
        return UpdaterUsage(app, problem);
    }
    return std::nullopt;
}

}  // namespace quiver::command_line
