// quiver-sim: the updater on an emulated PC. The window is headless; everything it shows, every
// answer, every SCSI command and every restart request goes to standard output as a transcript.
// docs/quiver-sim.md describes the command line, the machine files and the transcript.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "simapp/session.h"
#include "updater_command_line.h"

namespace {

using quiver::simapp::ParseAnswer;
using quiver::simapp::SimOptions;
using quiver::simapp::UsageError;

// Reads the command line into `options`; returns the status to end with when the program is not
// to run (--help, --version, wrong usage).
std::optional<int> Parse(int argc, char** argv, SimOptions& options) {
    CLI::App app;
    quiver::command_line::Describe(app, "quiver-sim",
                                   "Runs the updater on an emulated PC and prints what happens as "
                                   "a transcript, one event a line.\n"
                                   "Exit status: 0 after the run, whatever it showed; 2 for a bad "
                                   "command line, machine file or package file, or an answer "
                                   "acting on a drive the machine lacks. With --unattended the "
                                   "updater's own (docs/fleet.md).");
    app.footer("See docs/quiver-sim.md.");
    app.add_option("--machine", options.machineFile,
                   "The emulated PC, from a machine file (default: the built-in demo PC)")
        ->type_name("FILE");
    app.add_option("--package", options.packageFile,
                   "The firmware package: a package block, or a file holding one, such as a "
                   "built updater (default: the built-in demo package)")
        ->type_name("FILE");
    std::vector<std::string> answers;
    app.add_option("--answer", answers,
                   "The answer to the next dialog (yes, no, ok or cancel), in order; repeat for "
                   "several. +ACT[@DRIVE] first acts on a drive: remove-disc, insert-disc, "
                   "open-tray, close-tray or unlock")
        ->type_name("A[+ACT[@DRIVE]]...")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(
            [](const std::string& answer) {
                try {
                    ParseAnswer(answer);
                    return std::string();
                } catch (const UsageError& e) {
                    // CLI11 names the option itself.
                    const std::string why = e.what();
                    const std::string option = "--answer";
                    if (why.rfind(option, 0) == 0) {
                        const std::size_t from = why.find_first_not_of(": ", option.size());
                        return why.substr(from == std::string::npos ? why.size() : from);
                    }
                    return why;
                }
            },
            "");
    app.add_option("--default-answer", options.defaultAnswer,
                   "The answer once the --answers are used up (default: yes)")
        ->type_name("yes|no")
        ->check(CLI::IsMember({"yes", "no"}).description(""));
    int choose = -1;
    app.add_option("--choose", choose,
                   "Choose item N (0 to 15) of the drive list once start-up is over")
        ->type_name("N")
        ->check(CLI::Range(0, 15).description(""));
    app.add_flag("--update", options.update, "Press Update once start-up is over");
    app.add_flag("--close", options.close, "Press Close when the window is idle again");
    app.add_flag("--wait", options.wait, "No user action at all");
    std::string speed;
    app.add_option("--speed", speed,
                   "A scaled clock, F emulated seconds per real second, or the virtual clock")
        ->type_name("F|virtual")
        ->check(
            [](const std::string& s) {
                char* end = nullptr;
                const double f = std::strtod(s.c_str(), &end);
                return s == "virtual" || (!s.empty() && *end == '\0' && f > 0.0)
                           ? std::string()
                           : std::string("takes a positive factor or \"virtual\"");
            },
            "");
    app.add_flag("--times", options.times, "Prefix every transcript line with the emulated time");
    quiver::command_line::UpdaterOptions updater;
    quiver::command_line::AddUpdaterOptions(app, updater);
    app.add_option("--history-file", options.historyFile,
                   "The emulated PC's history of updates, which every update adds to (default: "
                   "none is kept)")
        ->type_name("FILE");

    if (const auto status = quiver::command_line::Parse(app, argc, argv)) {
        return status;
    }
    if (const std::string problem = quiver::command_line::UpdaterProblem(updater);
        !problem.empty()) {
        return quiver::command_line::UsageError(app, problem);
    }
    options.unattended = updater.unattended;
    options.force = updater.force;
    options.json = updater.json;
    options.restart = updater.restart;
    options.history = updater.history;
    options.drives = updater.drives;
    options.logFile = updater.logFile;
    for (const std::string& answer : answers) {
        options.answers.push_back(ParseAnswer(answer));
    }
    if (choose >= 0) {
        options.choose = choose;
    }
    if (speed == "virtual") {
        options.virtualClock = true;
    } else if (!speed.empty()) {
        options.speed = std::strtod(speed.c_str(), nullptr);
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        SimOptions options;
        if (const auto status = Parse(argc, argv, options)) {
            return *status;
        }
        return quiver::simapp::RunSimulation(options, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "quiver-sim: " << e.what() << "\n";
        return 1;
    }
}
