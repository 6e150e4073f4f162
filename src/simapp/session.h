// A quiver-sim run: its command line, and the updater run on an emulated PC with the transcript
// of everything it showed, was answered and sent. docs/quiver-sim.md describes both.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/machine.h"
#include "simapp/machine_file.h"

namespace quiver::simapp {

// An answer quiver-sim cannot act on. what() says why.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What the user does with a drive while a dialog is open, before answering it.
enum class HandAction : std::uint8_t {
    RemoveDisc,  // takes the disc out (with the tray closed: opens it, takes it, closes it)
    InsertDisc,  // puts a disc in, the same way
    OpenTray,    // presses the drive's button; a locked drive keeps its tray in
    CloseTray,   // pushes the tray in
    Unlock,      // ends the other program that held the tray locked
};

// The answer to one dialog or message box, and what the user does first.
struct ScriptedAnswer {
    struct Act {
        HandAction action = HandAction::RemoveDisc;
        std::string drive;  // a drive's name; empty: the machine's first drive
    };
    std::string answer = "yes";  // "yes", "no", "ok" or "cancel"
    std::vector<Act> acts;
};

struct SimOptions {
    std::string machineFile;  // empty: machineText, or else the built-in demo PC
    std::string machineText;  // a machine file's JSON text
    std::string packageFile;  // empty: package, or else the built-in demo package
    std::vector<std::uint8_t> package;
    std::vector<ScriptedAnswer> answers;  // for the dialogs and boxes, in order
    std::string defaultAnswer = "yes";    // once the answers are used up: "yes" or "no"
    std::optional<int> choose;
    bool update = false;
    bool close = false;
    bool wait = false;  // no user action at all
    std::optional<double> speed;
    bool virtualClock = false;
    bool times = false;
    // A run without a person (the console toolkit, no transcript) and its settings.
    bool unattended = false;
    bool force = false;
    bool json = false;
    bool restart = false;
    std::vector<std::string> drives;
    std::string logFile;
    // The emulated PC's history of updates; empty: none is kept. With `history` it is printed.
    std::string historyFile;
    bool history = false;
};

// "ok", "ok+remove-disc", "yes+unlock@E+remove-disc@E". Throws UsageError.
ScriptedAnswer ParseAnswer(const std::string& text);

// Runs the updater on the emulated PC and writes its transcript to `out`. A machine or package
// that cannot be used, or an answer naming a drive the machine lacks, is reported on `err` and
// gives 2; every run gives 0, whatever it showed.
// With `unattended` the run is the updater's without a person and gives its exit code; with
// `history` the history is printed instead.
int RunSimulation(const SimOptions& options, std::ostream& out, std::ostream& err);

// Loads the machine and the package of a run; false after naming the problem on `err`.
bool LoadRun(const SimOptions& options, sim::Machine& machine, MachineSpec& desc,
             std::vector<std::uint8_t>& package, std::ostream& err);
// The run without a person, and the printing of the history.
int RunUnattendedSimulation(const SimOptions& options, std::ostream& out, std::ostream& err);
int PrintSimHistory(const SimOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quiver::simapp
