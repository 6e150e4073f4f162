#include "simapp/transcript.h"

#include <cstdio>

#include "simapp/machine_file.h"

namespace quiver::simapp {

namespace {

bool IsNameCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ':' || c == '/' || c == '\'';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string Join(std::string_view kind, std::string_view rest) {
    std::string line(kind);
    if (!rest.empty()) {
        line += ' ';
        line += rest;
    }
    return line;
}

}  // namespace

Transcript::Transcript(std::ostream& out, const sim::Clock* clock) : out_(out), clock_(clock) {}

Transcript::~Transcript() {
    for (sim::Drive* drive : watched_) {
        drive->SetCommandObserver({});
    }
    if (watchedMachine_ != nullptr) {
        watchedMachine_->SetRestartObserver({});
    }
    if (watchedLocks_ != nullptr) {
        watchedLocks_->SetObserver({});
    }
}

void Transcript::SetTimes(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    times_ = on;
}

std::string Transcript::Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::optional<std::string> Transcript::Unquote(std::string_view quoted) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
        return std::nullopt;
    }
    std::string text;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i) {
        const char c = quoted[i];
        if (c == '"') {
            return std::nullopt;  // an unescaped quote inside
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (i + 2 >= quoted.size()) {
            return std::nullopt;  // a backslash escaping the closing quote
        }
        const char e = quoted[++i];
        if (e == '\\' || e == '"') {
            text += e;
        } else if (e == 'n') {
            text += '\n';
        } else if (e == 'x' && i + 3 < quoted.size() && HexValue(quoted[i + 1]) >= 0 &&
                   HexValue(quoted[i + 2]) >= 0) {
            text += static_cast<char>(HexValue(quoted[i + 1]) * 16 + HexValue(quoted[i + 2]));
            i += 2;
        } else {
            return std::nullopt;
        }
    }
    return text;
}

std::string Transcript::Token(std::string_view name) {
    if (name.empty()) {
        return Quote(name);
    }
    for (char c : name) {
        if (!IsNameCharacter(c)) {
            return Quote(name);
        }
    }
    return std::string(name);
}

std::string Transcript::ColorName(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
    if (red == 0 && green == 0 && blue == 0) {
        return "black";
    }
    if (red == 0 && green == 0 && blue == 128) {
        return "navy";
    }
    if (red == 128 && green == 0 && blue == 0) {
        return "maroon";
    }
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", red, green, blue);
    return text;
}

std::string Transcript::Outcome(const sim::LoggedCommand& command) {
    switch (command.completion) {
        case sim::Completion::Good:
            return "good";
        case sim::Completion::CheckCondition: {
            char text[24];
            std::snprintf(text, sizeof text, "check %X/%02X/%02X", command.sense.key & 0x0F,
                          command.sense.asc, command.sense.ascq);
            return text;
        }
        case sim::Completion::TransportFailure:
            break;
    }
    return "failed";
}

void Transcript::Write(std::string line) {
    line += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    if (times_ && clock_ != nullptr) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "[%8.3f] ", clock_->NowSeconds());
        line.insert(0, stamp);
    }
    out_ << line;
    out_.flush();
}

void Transcript::Line(std::string_view kind, std::string_view rest) {
    Write(Join(kind, rest));
}

void Transcript::Note(std::string_view text) {
    Write(Join("note", Quote(text)));
}

void Transcript::Caption(std::string_view text) {
    Write(Join("caption", Quote(text)));
}

void Transcript::ListClear() {
    Write("list clear");
}

void Transcript::ListLine(int index, std::string_view line) {
    Write("list " + std::to_string(index) + " " + Quote(line));
}

void Transcript::ListSelect(int index) {
    Write("list select " + (index < 0 ? std::string("none") : std::to_string(index)));
}

void Transcript::Dialog(std::string_view kind, std::string_view caption, std::string_view buttons,
                        std::string_view text) {
    Write("dialog " + Token(kind) + " " + Quote(caption) + " " + Token(buttons) + " " +
          Quote(text));
}

void Transcript::MessageBox(std::string_view caption, unsigned flags, std::string_view text) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%X", flags);
    Write("msgbox " + Quote(caption) + " " + hex + " " + Quote(text));
}

void Transcript::Exception(std::string_view message) {
    Write(Join("exception", Quote(message)));
}

void Transcript::Answer(std::string_view answer) {
    Write(Join("answer", Token(answer)));
}

void Transcript::Choose(int index) {
    Write("choose " + std::to_string(index));
}

void Transcript::Click(std::string_view button) {
    Write(Join("click", Token(button)));
}

void Transcript::Label(std::string_view control, std::string_view text) {
    Write("label " + Token(control) + " " + Quote(text));
}

void Transcript::LabelColor(std::string_view control, std::uint8_t red, std::uint8_t green,
                            std::uint8_t blue) {
    Write("color " + Token(control) + " " + ColorName(red, green, blue));
}

void Transcript::Visible(std::string_view control, bool visible) {
    Write(Join(visible ? "show" : "hide", Token(control)));
}

void Transcript::Enabled(std::string_view control, bool enabled) {
    Write(Join(enabled ? "enable" : "disable", Token(control)));
}

void Transcript::Progress(std::string_view control, int position) {
    Write("progress " + Token(control) + " " + std::to_string(position));
}

void Transcript::ProgressRange(std::string_view control, int min, int max) {
    Write("progress " + Token(control) + " range " + std::to_string(min) + " " +
          std::to_string(max));
}

void Transcript::Timer(std::string_view control, bool enabled) {
    Write("timer " + Token(control) + (enabled ? " on" : " off"));
}

void Transcript::Scsi(std::string_view drive, const sim::LoggedCommand& command) {
    static const char* const kDirections[] = {"none", "in", "out"};
    std::string line = "scsi " + Token(drive) + " " + command.CdbHex() + " " +
                       kDirections[static_cast<int>(command.dir) % 3] + " " +
                       std::to_string(command.length) + " " + Outcome(command);
    Write(std::move(line));
}

void Transcript::Restart(const sim::RestartRequest& request) {
    char text[64];
    std::snprintf(text, sizeof text, "restart flags=0x%X reason=0x%X %s", request.flags,
                  request.reason, request.accepted ? "accepted" : "refused");
    Write(text);
}

void Transcript::Lock(const sim::LockEvent& event, std::string_view drive) {
    using Kind = sim::LockEvent::Kind;
    char flags[16];
    switch (event.kind) {
        case Kind::MutexOpened:
            Write("mutex " + Quote(event.subject) + (event.granted ? " created" : " exists"));
            break;
        case Kind::MutexClosed:
            Write("mutex " + Quote(event.subject) + " closed");
            break;
        case Kind::ExecutionState:
            std::snprintf(flags, sizeof flags, "0x%X", event.value);
            Write(std::string("execution-state ") + flags + (event.granted ? "" : " refused"));
            break;
        case Kind::ShutdownBlocked:
            Write("shutdown-block " + Quote(event.subject));
            break;
        case Kind::ShutdownUnblocked:
            Write("shutdown-block off");
            break;
        case Kind::VolumeLocked:
            Write("volume-lock " + Token(drive) + (event.granted ? " on" : " refused"));
            break;
        case Kind::VolumeUnlocked:
            Write("volume-lock " + Token(drive) + " off");
            break;
        case Kind::ConsoleHandlerAdded:
            Write("console-control-handler on");
            break;
        case Kind::ConsoleHandlerRemoved:
            Write("console-control-handler off");
            break;
    }
}

void Transcript::End() {
    Write("end");
}

void Transcript::Watch(sim::Drive& drive, const std::string& name) {
    drive.SetCommandObserver(
        [this, name](const sim::LoggedCommand& command) { Scsi(name, command); });
    std::lock_guard<std::mutex> lock(mutex_);
    watched_.push_back(&drive);
}

void Transcript::Watch(sim::Machine& machine, const MachineSpec& desc) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < machine.DriveCount() && i < desc.drives.size(); ++i) {
        Watch(machine.drive(i), desc.drives[i].name);
        names.push_back(desc.drives[i].name);
    }
    machine.SetRestartObserver([this](const sim::RestartRequest& request) { Restart(request); });
    machine.locks().SetObserver([this, names](const sim::LockEvent& event) {
        const bool named = event.kind == sim::LockEvent::Kind::VolumeLocked ||
                           event.kind == sim::LockEvent::Kind::VolumeUnlocked;
        const std::string drive = !named ? std::string()
                                  : event.value < names.size()
                                      ? names[event.value]
                                      : "drive" + std::to_string(event.value);
        Lock(event, drive);
    });
    std::lock_guard<std::mutex> lock(mutex_);
    watchedLocks_ = &machine.locks();
    watchedMachine_ = &machine;
}

}  // namespace quiver::simapp
