#include "simapp/session.h"

#include <cctype>
#include <cstdlib>
#include <deque>
#include <exception>
#include <utility>

#include "app/frm_quiver.h"
#include "platform/history_store.h"
#include "platform/sim/sim_platform.h"
#include "simapp/machine_file.h"
#include "simapp/package_file.h"
#include "simapp/transcript.h"
#include "ui/headless/headless.h"

namespace quiver::simapp {

namespace {

using ui::headless::EventKind;
using ui::headless::UiEvent;

constexpr std::pair<const char*, HandAction> kHandActions[] = {
    {"remove-disc", HandAction::RemoveDisc}, {"insert-disc", HandAction::InsertDisc},
    {"open-tray", HandAction::OpenTray},     {"close-tray", HandAction::CloseTray},
    {"unlock", HandAction::Unlock},
};

const char* HandActionName(HandAction action) {
    for (const auto& entry : kHandActions) {
        if (entry.second == action) {
            return entry.first;
        }
    }
    return "?";
}

bool IsAnswer(const std::string& a) {
    return a == "yes" || a == "no" || a == "ok" || a == "cancel";
}

const char* KindText(ui::DialogKind kind) {
    switch (kind) {
        case ui::DialogKind::Warning:
            return "warning";
        case ui::DialogKind::Error:
            return "error";
        case ui::DialogKind::Information:
            return "information";
    }
    return "?";
}

// The button a message box of these flags gives for a scripted answer: a box with OK only
// gives OK whatever is pressed (Escape too).
int MessageBoxResult(unsigned flags, const std::string& answer) {
    if ((flags & 0x0F) == MB_YESNO) {
        return answer == "yes" || answer == "ok" ? IDYES : IDNO;
    }
    return IDOK;
}

std::string MessageBoxResultName(int result) {
    switch (result) {
        case IDOK:
            return "ok";
        case IDYES:
            return "yes";
        case IDNO:
            return "no";
        default:
            return std::to_string(result);
    }
}

// The window as the transcript shows it: what a person would see or do. Layout and fonts set
// up by the window's construction are left out.
class Reporter {
  public:
    explicit Reporter(Transcript& t) : t_(t) {}

    void Report(const UiEvent& e) {
        auto value = [&](std::size_t i) { return i < e.values.size() ? e.values[i] : 0; };
        switch (e.kind) {
            case EventKind::Caption:
                t_.Caption(e.text);
                break;
            case EventKind::FormShown:
                t_.Line("shown");
                break;
            case EventKind::SystemMenu:
                t_.Line("system-menu",
                        "delete " + std::to_string(value(0)) + " " + Transcript::Quote(e.text));
                break;
            case EventKind::ListItems:
                ReportList(e.text);
                break;
            case EventKind::ListSelection:
                t_.ListSelect(value(0));
                break;
            case EventKind::LabelText:
                t_.Label(e.control, e.text);
                break;
            case EventKind::LabelColor:
                t_.LabelColor(e.control, static_cast<std::uint8_t>(value(0)),
                              static_cast<std::uint8_t>(value(1)),
                              static_cast<std::uint8_t>(value(2)));
                break;
            case EventKind::LabelVisible:
                t_.Visible(e.control, value(0) != 0);
                break;
            case EventKind::ButtonEnabled:
                t_.Enabled(e.control, value(0) != 0);
                break;
            case EventKind::ProgressRange:
                t_.ProgressRange(e.control, value(0), value(1));
                break;
            case EventKind::ProgressPosition:
                t_.Progress(e.control, value(0));
                break;
            case EventKind::TimerEnabled:
                t_.Timer(e.control, value(0) != 0);
                break;
            case EventKind::Dialog:
                t_.Dialog(KindText(static_cast<ui::DialogKind>(value(0))), e.detail,
                          static_cast<ui::DialogButtons>(value(1)) == ui::DialogButtons::YesNo
                              ? "yes/no"
                              : "ok",
                          e.text);
                break;
            case EventKind::DialogAnswer: {
                std::string answer = e.text;
                for (char& c : answer) {
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                }
                t_.Answer(answer);
                break;
            }
            case EventKind::MessageBox:
                t_.MessageBox(e.detail, static_cast<unsigned>(value(0)), e.text);
                break;
            case EventKind::MessageBoxAnswer:
                t_.Answer(MessageBoxResultName(value(0)));
                break;
            case EventKind::Exception:
                t_.Exception(e.text);
                break;
            case EventKind::UserChoose:
                t_.Choose(value(0));
                break;
            case EventKind::UserClick:
                t_.Click(e.control);
                break;
            case EventKind::Terminate:
                t_.Line("terminate");
                break;
            case EventKind::Idle:
                t_.Line("idle");
                break;
            default:
                break;
        }
    }

  private:
    // A list that only grew gets its new lines; any other change shows the whole list again.
    void ReportList(const std::string& items) {
        std::vector<std::string> now;
        std::size_t start = 0;
        while (start < items.size()) {
            const std::size_t end = items.find('\n', start);
            const std::size_t stop = end == std::string::npos ? items.size() : end;
            now.push_back(items.substr(start, stop - start));
            start = stop + 1;
        }
        std::size_t same = 0;
        while (same < shown_.size() && same < now.size() && shown_[same] == now[same]) {
            ++same;
        }
        if (same < shown_.size()) {
            t_.ListClear();
            same = 0;
        }
        for (std::size_t i = same; i < now.size(); ++i) {
            t_.ListLine(static_cast<int>(i), now[i]);
        }
        shown_ = std::move(now);
    }

    Transcript& t_;
    std::vector<std::string> shown_;
};

// The user's side of the dialogs and boxes: the scripted answers in order, then the default,
// and what the user does to the drives before answering.
class User {
  public:
    User(const SimOptions& options, sim::Machine& machine, const MachineSpec& desc,
         Transcript& transcript)
        : answers_(options.answers.begin(), options.answers.end()),
          defaultAnswer_(options.defaultAnswer),
          machine_(machine),
          desc_(desc),
          t_(transcript) {}

    // The drive every act names, or the problem with it.
    std::string CheckDrives() const {
        for (const ScriptedAnswer& a : answers_) {
            for (const ScriptedAnswer::Act& act : a.acts) {
                if (DriveIndex(act.drive) < 0) {
                    return act.drive.empty() ? "--answer: the machine has no drive"
                                             : "--answer: no drive is named \"" + act.drive + "\"";
                }
            }
        }
        return {};
    }

    // Acts as scripted for the dialog or box on screen, and gives its answer.
    std::string Next() {
        if (answers_.empty()) {
            return defaultAnswer_;
        }
        ScriptedAnswer a = std::move(answers_.front());
        answers_.pop_front();
        for (const ScriptedAnswer::Act& act : a.acts) {
            Do(act);
        }
        return a.answer;
    }

  private:
    int DriveIndex(const std::string& name) const {
        if (name.empty()) {
            return desc_.drives.empty() ? -1 : 0;
        }
        for (std::size_t i = 0; i < desc_.drives.size(); ++i) {
            if (desc_.drives[i].name == name) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }

    void Do(const ScriptedAnswer::Act& act) {
        const auto index = static_cast<std::size_t>(DriveIndex(act.drive));
        sim::Drive& drive = machine_.drive(index);
        bool done = true;
        switch (act.action) {
            case HandAction::RemoveDisc:
                drive.SetMedium(false);
                break;
            case HandAction::InsertDisc:
                drive.SetMedium(true);
                break;
            case HandAction::OpenTray:
                done = drive.MoveTrayByHand(true);
                break;
            case HandAction::CloseTray:
                done = drive.MoveTrayByHand(false);
                break;
            case HandAction::Unlock:
                drive.SetLockedByOtherProgram(false);
                break;
        }
        t_.Line("user", std::string(HandActionName(act.action)) + " " +
                            Transcript::Token(desc_.drives[index].name) + (done ? "" : " locked"));
    }

    std::deque<ScriptedAnswer> answers_;
    std::string defaultAnswer_;
    sim::Machine& machine_;
    const MachineSpec& desc_;
    Transcript& t_;
};

}  // namespace

ScriptedAnswer ParseAnswer(const std::string& text) {
    ScriptedAnswer a;
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t plus; (plus = text.find('+', start)) != std::string::npos; start = plus + 1) {
        parts.push_back(text.substr(start, plus - start));
    }
    parts.push_back(text.substr(start));
    if (!IsAnswer(parts[0])) {
        throw UsageError("--answer takes yes, no, ok or cancel, not \"" + parts[0] + "\"");
    }
    a.answer = parts[0];
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::size_t at = parts[i].find('@');
        const std::string name = parts[i].substr(0, at);
        ScriptedAnswer::Act act;
        bool known = false;
        for (const auto& entry : kHandActions) {
            if (name == entry.first) {
                act.action = entry.second;
                known = true;
            }
        }
        if (!known) {
            throw UsageError("--answer: \"" + name +
                             "\" is none of remove-disc, insert-disc, open-tray, close-tray, "
                             "unlock");
        }
        if (at != std::string::npos) {
            act.drive = parts[i].substr(at + 1);
            if (act.drive.empty()) {
                throw UsageError("--answer: a drive's name after \"@\"");
            }
        }
        a.acts.push_back(act);
    }
    return a;
}

bool LoadRun(const SimOptions& options, sim::Machine& machine, MachineSpec& desc,
             std::vector<std::uint8_t>& package, std::ostream& err) {
    package = options.package;
    try {
        if (!options.machineFile.empty()) {
            desc = LoadMachineFile(options.machineFile, machine);
        } else {
            desc = ParseMachineText(options.machineText.empty() ? DemoMachineJson()
                                                                : options.machineText);
            BuildMachine(desc, machine);
        }
        if (!options.packageFile.empty()) {
            package = LoadPackageFile(options.packageFile);
        } else if (package.empty()) {
            package.assign(DemoPackage(), DemoPackage() + DemoPackageSize());
        }
    } catch (const std::exception& e) {
        err << "quiver-sim: " << e.what() << "\n";
        return false;
    }
    if (options.virtualClock) {
        machine.clock.SetVirtual(kVirtualCounterTickNanos);
    } else if (options.speed) {
        machine.clock.SetScaled(*options.speed);
    }
    return true;
}

int RunSimulation(const SimOptions& options, std::ostream& out, std::ostream& err) {
    if (options.history) {
        return PrintSimHistory(options, out, err);
    }
    if (options.unattended) {
        return RunUnattendedSimulation(options, out, err);
    }
    sim::Machine machine;
    MachineSpec desc;
    std::vector<std::uint8_t> package;
    if (!LoadRun(options, machine, desc, package, err)) {
        return 2;
    }

    Transcript transcript(out, &machine.clock);
    transcript.SetTimes(options.times);
    User user(options, machine, desc, transcript);
    if (const std::string problem = user.CheckDrives(); !problem.empty()) {
        err << "quiver-sim: " << problem << "\n";
        return 2;
    }
    transcript.Watch(machine, desc);

    SimPlatform platform(machine);
    ScopedPlatform installed(platform);
    // The boxes the program makes through the system (the drive object's, loading the ASPI
    // manager) are written as they come, like the toolkit's.
    platform.SetMessageBoxHandler([&](const RecordedMessageBox& box) {
        transcript.MessageBox(box.caption, box.type, box.text);
        const int result = MessageBoxResult(box.type, user.Next());
        transcript.Answer(MessageBoxResultName(result));
        return result;
    });

    ui::headless::HeadlessApplication app;
    Reporter reporter(transcript);
    app.SetEndWhenIdle(true);
    app.SetListener([&](const UiEvent& e) { reporter.Report(e); });
    app.SetDialogAnswerer([&](const ui::headless::DialogRequest& request) {
        const std::string a = user.Next();
        if (request.buttons == ui::DialogButtons::Ok) {
            return a == "cancel" ? ui::DialogResult::Cancel : ui::DialogResult::Ok;
        }
        if (a == "yes" || a == "ok") {
            return ui::DialogResult::Yes;
        }
        return a == "cancel" ? ui::DialogResult::Cancel : ui::DialogResult::No;
    });
    app.SetMessageBoxAnswerer([&](const ui::headless::MessageBoxRequest& request) {
        return MessageBoxResult(request.flags, user.Next());
    });

    // The user's actions, run when the window is idle. Without any, Update is pressed once,
    // unless the package updates by itself.
    const bool anyAction = options.choose || options.update || options.close || options.wait;
    if (options.choose) {
        const int index = *options.choose;
        app.QueueUserAction([&app, index] {
            if (auto* list = app.Find<ui::ComboBox>("cboDrives")) {
                if (index < list->ItemCount()) {
                    list->UserChoose(index);
                }
            }
        });
    }
    const bool pressUpdate =
        options.update || (!anyAction && PackageReader(package.data()).Flags().auto_mode == 0);
    if (pressUpdate) {
        app.QueueUserAction([&app] {
            if (auto* button = app.Find<ui::Button>("cmdUpdate")) {
                button->UserClick();
            }
        });
    }
    if (options.close) {
        app.QueueUserAction([&app] {
            if (auto* button = app.Find<ui::Button>("cmdClose")) {
                button->UserClick();
            }
        });
    }

    TQuiverMain::Options window;
    window.package = package.data();
    if (!options.historyFile.empty()) {
        window.history = std::make_shared<FileHistoryStore>(options.historyFile);
    }
    RunQuiver(app, window);

    platform.SetMessageBoxHandler({});
    transcript.End();
    return 0;
}

}  // namespace quiver::simapp
