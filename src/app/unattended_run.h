// A run of the updater without a person: the console toolkit, the dialogs answered by rule, the
// events on standard output and in a log file, and the exit code of docs/fleet.md.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "app/frm_quiver.h"
#include "ui/toolkit.h"

namespace quiver {

struct UnattendedSettings {
    bool force = false;               // update a drive that already has the new revision, too
    bool json = false;                // one JSON object per event on standard output
    bool restart = false;             // the program restarts the machine when the package asks
    std::vector<std::string> drives;  // --drive: addresses or names; empty: every admitted drive
    std::string logFile;              // the log's file; empty: none
};

// The answer a run without a person gives a dialog: Yes to the notice and to every other
// question but the one whether to update a drive that is already up to date, which gets No
// unless `force`; OK to every message.
ui::DialogResult UnattendedAnswer(const std::string& text, ui::DialogButtons buttons, bool force);

// Runs the updater on the current platform with the console toolkit; `options` carries what
// the program entry gives every window (guards, history). Returns the exit code. A log file
// that cannot be opened is named on `err` and gives kExitUsage.
int RunUnattended(const UnattendedSettings& settings, TQuiverMain::Options options,
                  std::ostream& out, std::ostream& err);

}  // namespace quiver
