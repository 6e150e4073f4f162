#include "app/unattended_run.h"

#include <fstream>
#include <memory>

#include "ui/console/console_toolkit.h"

namespace quiver {

ui::DialogResult UnattendedAnswer(const std::string& text, ui::DialogButtons buttons, bool force) {
    if (buttons == ui::DialogButtons::Ok) {
        return ui::DialogResult::Ok;
    }
    if (text == TQuiverMain::kUpToDateQuestion) {
        return force ? ui::DialogResult::Yes : ui::DialogResult::No;
    }
    return ui::DialogResult::Yes;
}

int RunUnattended(const UnattendedSettings& settings, TQuiverMain::Options options,
                  std::ostream& out, std::ostream& err) {
    std::ofstream log;
    if (!settings.logFile.empty()) {
        log.open(settings.logFile, std::ios::app);
        if (!log) {
            err << "quiver: cannot write the log " << settings.logFile << "\n";
            return kExitUsage;
        }
    }
    ui::console::ConsoleSettings console;
    console.out = &out;
    console.json = settings.json;
    console.log = log.is_open() ? &log : nullptr;
    const std::shared_ptr<HistoryStore> history = options.history;
    console.clock = [history] { return history ? history->UtcNow() : std::string(); };
    const bool force = settings.force;
    console.answer = [force](const std::string& text, ui::DialogKind, ui::DialogButtons buttons) {
        return UnattendedAnswer(text, buttons, force);
    };
    ui::console::ConsoleApplication application(std::move(console));
    options.drives = settings.drives;
    options.restart = settings.restart;
    return RunQuiver(application, std::move(options));
}

}  // namespace quiver
