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

[[noreturn]] void Usage(const std::string& problem) {
    if (!problem.empty()) {
        std::cerr << "quiver-sim: " << problem << "\n";
    }
    std::cerr << "usage: quiver-sim [--machine FILE] [--package FILE] [--answer A]...\n"
                 "                  [--default-answer yes|no] [--choose N] [--update] [--close]\n"
                 "                  [--wait] [--speed F|virtual] [--times]\n"
                 "A: yes, no, ok or cancel. See docs/quiver-sim.md.\n";
    std::exit(2);
}

bool IsAnswer(const std::string& a) {
    return a == "yes" || a == "no" || a == "ok" || a == "cancel";
}

Arguments Parse(int argc, char** argv) {
    Arguments args;
    auto value = [&](int& i) -> std::string {
        if (i + 1 >= argc) {
            Usage(std::string(argv[i]) + " needs a value");
        }
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--machine") {
            args.machineFile = value(i);
        } else if (a == "--package") {
            args.packageFile = value(i);
        } else if (a == "--answer") {
            std::string answer = value(i);
            if (!IsAnswer(answer)) {
                Usage("--answer takes yes, no, ok or cancel, not \"" + answer + "\"");
            }
            args.answers.push_back(answer);
        } else if (a == "--default-answer") {
            args.defaultAnswer = value(i);
            if (args.defaultAnswer != "yes" && args.defaultAnswer != "no") {
                Usage("--default-answer takes yes or no");
            }
        } else if (a == "--choose") {
            const std::string n = value(i);
            char* end = nullptr;
            const long index = std::strtol(n.c_str(), &end, 10);
            if (n.empty() || *end != '\0' || index < 0 || index > 15) {
                Usage("--choose takes a list index from 0 to 15");
            }
            args.choose = static_cast<int>(index);
        } else if (a == "--update") {
            args.update = true;
        } else if (a == "--close") {
            args.close = true;
        } else if (a == "--wait") {
            args.wait = true;
        } else if (a == "--speed") {
            const std::string s = value(i);
            if (s == "virtual") {
                args.virtualClock = true;
            } else {
                char* end = nullptr;
                const double f = std::strtod(s.c_str(), &end);
                if (s.empty() || *end != '\0' || !(f > 0.0)) {
                    Usage("--speed takes a positive factor or \"virtual\"");
                }
                args.speed = f;
            }
        } else if (a == "--times") {
            args.times = true;
        } else if (a == "--help" || a == "-h") {
            Usage("");
        } else {
            Usage("unknown argument \"" + a + "\"");
        }
    }
    return args;
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
    const Arguments args = Parse(argc, argv);

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
