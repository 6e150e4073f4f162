// quiver-sim: the updater on an emulated PC. The window is headless; everything it shows, every
// answer, every SCSI command and every restart request goes to standard output as a transcript.
// docs/quiver-sim.md describes the command line, the machine files and the transcript.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/frm_quiver.h"
#include "command_line.h"
#include "platform/sim/sim_platform.h"
#include "simapp/machine_file.h"
#include "simapp/package_file.h"
#include "simapp/transcript.h"
#include "ui/headless/headless.h"

namespace {

using namespace quiver;
using ui::headless::EventKind;
using ui::headless::UiEvent;

struct Arguments {
    std::string machineFile;
    std::string packageFile;
    std::deque<std::string> answers;
    std::string defaultAnswer = "yes";
    std::optional<int> choose;
    bool update = false;
    bool close = false;
    bool wait = false;  // no user action at all
    std::optional<double> speed;
    bool virtualClock = false;
    bool times = false;
};

bool IsAnswer(const std::string& a) {
    return a == "yes" || a == "no" || a == "ok" || a == "cancel";
}

// Reads the command line into `args`; returns the status to end with when the program is not to
// run (--help, --version, wrong usage).
std::optional<int> Parse(int argc, char** argv, Arguments& args) {
    CLI::App app;
    command_line::Describe(app, "quiver-sim",
                           "Runs the updater on an emulated PC and prints what happens as a "
                           "transcript, one event a line.\n"
                           "Exit status: 0 after the run, whatever it showed; 2 for a bad "
                           "command line, machine file or package file.");
    app.footer("See docs/quiver-sim.md.");
    app.add_option("--machine", args.machineFile,
                   "The emulated PC, from a machine file (default: the built-in demo PC)")
        ->type_name("FILE");
    app.add_option("--package", args.packageFile,
                   "The firmware package: a package block, or a file holding one, such as a "
                   "built updater (default: the built-in demo package)")
        ->type_name("FILE");
    std::vector<std::string> answers;
    app.add_option("--answer", answers,
                   "The answer to the next dialog (yes, no, ok or cancel), in order; repeat for "
                   "several")
        ->type_name("A")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(
            [](const std::string& answer) {
                return IsAnswer(answer) ? std::string()
                                        : "takes yes, no, ok or cancel, not \"" + answer + "\"";
            },
            "");
    app.add_option("--default-answer", args.defaultAnswer,
                   "The answer once the --answers are used up (default: yes)")
        ->type_name("yes|no")
        ->check(CLI::IsMember({"yes", "no"}).description(""));
    app.add_option("--choose", args.choose,
                   "Choose item N (0 to 15) of the drive list once start-up is over")
        ->type_name("N")
        ->check(CLI::Range(0, 15).description(""));
    app.add_flag("--update", args.update, "Press Update once start-up is over");
    app.add_flag("--close", args.close, "Press Close when the window is idle again");
    app.add_flag("--wait", args.wait, "No user action at all");
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
    app.add_flag("--times", args.times, "Prefix every transcript line with the emulated time");

    if (const auto status = command_line::Parse(app, argc, argv)) {
        return status;
    }
    args.answers.assign(answers.begin(), answers.end());
    if (speed == "virtual") {
        args.virtualClock = true;
    } else if (!speed.empty()) {
        args.speed = std::strtod(speed.c_str(), nullptr);
    }
    return std::nullopt;
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

// The drive list as the transcript last showed it: a list that only grew gets its new lines.
std::vector<std::string> g_listShown;

void ReportList(simapp::Transcript& t, const std::string& items) {
    std::vector<std::string> now;
    std::size_t start = 0;
    while (start < items.size()) {
        const std::size_t end = items.find('\n', start);
        const std::size_t stop = end == std::string::npos ? items.size() : end;
        now.push_back(items.substr(start, stop - start));
        start = stop + 1;
    }
    std::size_t same = 0;
    while (same < g_listShown.size() && same < now.size() && g_listShown[same] == now[same]) {
        ++same;
    }
    if (same < g_listShown.size()) {
        t.ListClear();
        same = 0;
    }
    for (std::size_t i = same; i < now.size(); ++i) {
        t.ListLine(static_cast<int>(i), now[i]);
    }
    g_listShown = std::move(now);
}

// Writes the events a person would see or do; layout and fonts set up by the window's
// construction are left out.
void Report(simapp::Transcript& t, const UiEvent& e) {
    auto value = [&](std::size_t i) { return i < e.values.size() ? e.values[i] : 0; };
    switch (e.kind) {
        case EventKind::Caption:
            t.Caption(e.text);
            break;
        case EventKind::FormShown:
            t.Line("shown");
            break;
        case EventKind::SystemMenu:
            t.Line("system-menu",
                   "delete " + std::to_string(value(0)) + " " + simapp::Transcript::Quote(e.text));
            break;
        case EventKind::ListItems:
            ReportList(t, e.text);
            break;
        case EventKind::ListSelection:
            t.ListSelect(value(0));
            break;
        case EventKind::LabelText:
            t.Label(e.control, e.text);
            break;
        case EventKind::LabelColor:
            t.LabelColor(e.control, static_cast<std::uint8_t>(value(0)),
                         static_cast<std::uint8_t>(value(1)), static_cast<std::uint8_t>(value(2)));
            break;
        case EventKind::LabelVisible:
            t.Visible(e.control, value(0) != 0);
            break;
        case EventKind::ButtonEnabled:
            t.Enabled(e.control, value(0) != 0);
            break;
        case EventKind::ProgressRange:
            t.ProgressRange(e.control, value(0), value(1));
            break;
        case EventKind::ProgressPosition:
            t.Progress(e.control, value(0));
            break;
        case EventKind::TimerEnabled:
            t.Timer(e.control, value(0) != 0);
            break;
        case EventKind::Dialog:
            t.Dialog(KindText(static_cast<ui::DialogKind>(value(0))), e.detail,
                     static_cast<ui::DialogButtons>(value(1)) == ui::DialogButtons::YesNo ? "yes/no"
                                                                                          : "ok",
                     e.text);
            break;
        case EventKind::DialogAnswer: {
            std::string answer = e.text;
            for (char& c : answer) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            t.Answer(answer);
            break;
        }
        case EventKind::MessageBox:
            t.MessageBox(e.detail, static_cast<unsigned>(value(0)), e.text);
            break;
        case EventKind::MessageBoxAnswer:
            t.Answer(std::to_string(value(0)));
            break;
        case EventKind::Exception:
            t.Exception(e.text);
            break;
        case EventKind::UserChoose:
            t.Choose(value(0));
            break;
        case EventKind::UserClick:
            t.Click(e.control);
            break;
        case EventKind::Terminate:
            t.Line("terminate");
            break;
        case EventKind::Idle:
            t.Line("idle");
            break;
        default:
            break;
    }
}

int Main(int argc, char** argv) {
    Arguments args;
    if (const auto status = Parse(argc, argv, args)) {
        return *status;
    }

    sim::Machine machine;
    simapp::MachineSpec desc;
    std::vector<std::uint8_t> package;
    try {
        desc = args.machineFile.empty()
                   ? simapp::LoadMachine(nlohmann::json::parse(simapp::DemoMachineJson()), machine)
                   : simapp::LoadMachineFile(args.machineFile, machine);
        if (args.packageFile.empty()) {
            package.assign(simapp::DemoPackage(),
                           simapp::DemoPackage() + simapp::DemoPackageSize());
        } else {
            package = simapp::LoadPackageFile(args.packageFile);
        }
    } catch (const std::exception& e) {
        std::cerr << "quiver-sim: " << e.what() << "\n";
        return 2;
    }
    if (args.virtualClock) {
        machine.clock.SetVirtual();
    } else if (args.speed) {
        machine.clock.SetScaled(*args.speed);
    }

    SimPlatform platform(machine);
    ScopedPlatform installed(platform);

    simapp::Transcript transcript(std::cout, &machine.clock);
    transcript.SetTimes(args.times);
    transcript.Watch(machine, desc);

    ui::headless::HeadlessApplication app;
    app.SetEndWhenIdle(true);
    app.SetListener([&](const UiEvent& e) { Report(transcript, e); });
    std::deque<std::string> answers = args.answers;
    auto nextAnswer = [&]() {
        if (answers.empty()) {
            return args.defaultAnswer;
        }
        std::string a = answers.front();
        answers.pop_front();
        return a;
    };
    app.SetDialogAnswerer([&](const ui::headless::DialogRequest& request) {
        const std::string a = nextAnswer();
        if (request.buttons == ui::DialogButtons::Ok) {
            return a == "cancel" ? ui::DialogResult::Cancel : ui::DialogResult::Ok;
        }
        if (a == "yes" || a == "ok") {
            return ui::DialogResult::Yes;
        }
        return a == "cancel" ? ui::DialogResult::Cancel : ui::DialogResult::No;
    });
    app.SetMessageBoxAnswerer([&](const ui::headless::MessageBoxRequest&) {
        nextAnswer();
        return IDOK;
    });

    // The user's actions, run when the window is idle. Without any, Update is pressed once,
    // unless the package updates by itself.
    const bool anyAction = args.choose || args.update || args.close || args.wait;
    if (args.choose) {
        const int index = *args.choose;
        app.QueueUserAction([&app, index] {
            if (auto* list = app.Find<ui::ComboBox>("cboDrives")) {
                if (index < list->ItemCount()) {
                    list->UserChoose(index);
                }
            }
        });
    }
    const bool pressUpdate =
        args.update || (!anyAction && PackageReader(package.data()).Flags().auto_mode == 0);
    if (pressUpdate) {
        app.QueueUserAction([&app] {
            if (auto* button = app.Find<ui::Button>("cmdUpdate")) {
                button->UserClick();
            }
        });
    }
    if (args.close) {
        app.QueueUserAction([&app] {
            if (auto* button = app.Find<ui::Button>("cmdClose")) {
                button->UserClick();
            }
        });
    }

    TQuiverMain::Options options;
    options.package = package.data();
    RunQuiver(app, options);

    for (const sim::RestartRequest& request : machine.Restarts()) {
        transcript.Restart(request);
    }
    transcript.End();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Main(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "quiver-sim: " << e.what() << "\n";
        return 1;
    }
}
