// The console toolkit's application: dialogs answered by rule, events written as lines, and a
// loop that runs the workers' completions.
#include <chrono>
#include <cstdio>
#include <exception>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "ui/console/console_detail.h"
#include "ui/console/console_toolkit.h"
#include "ui/escaped_text.h"

namespace quiver::ui::console {

namespace {

thread_local ConsoleApplication* t_current = nullptr;

// The button a message box gives back for OK.
constexpr int kIdOk = 1;

void ProcessWindowMessages() {
    if (t_current != nullptr) {
        t_current->ProcessMessages();
    }
}

bool NeedsQuotes(const std::string& text) {
    if (text.empty()) {
        return true;
    }
    for (char c : text) {
        if (c == ' ' || c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '=') {
            return true;
        }
    }
    return false;
}

const char* KindName(DialogKind kind) {
    switch (kind) {
        case DialogKind::Warning:
            return "warning";
        case DialogKind::Error:
            return "error";
        case DialogKind::Information:
            return "information";
    }
    return "?";
}

const char* ResultName(DialogResult result) {
    switch (result) {
        case DialogResult::Ok:
            return "ok";
        case DialogResult::Yes:
            return "yes";
        case DialogResult::No:
            return "no";
        case DialogResult::Cancel:
            return "cancel";
    }
    return "?";
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u >= 0x80) {
            // Control characters, and bytes of the single-byte texts above ASCII as the code
            // points of the same value, so that every line stays valid UTF-8.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string TextLine(const RunEvent& event) {
    std::string line = event.kind;
    for (const RunEvent::Field& f : event.fields) {
        line += ' ' + f.name + '=' +
                (!f.number && NeedsQuotes(f.text) ? '"' + EscapedText(f.text) + '"' : f.text);
    }
    return line;
}

std::string JsonLine(const RunEvent& event) {
    std::string line = "{\"event\":" + JsonString(event.kind);
    for (const RunEvent::Field& f : event.fields) {
        line += ',' + JsonString(f.name) + ':' + (f.number ? f.text : JsonString(f.text));
    }
    return line + "}";
}

ConsoleApplication::ConsoleApplication(ConsoleSettings settings) : settings_(std::move(settings)) {
    t_current = this;
    previousHook_ = GetProcessMessagesHook();
    SetProcessMessagesHook(&ProcessWindowMessages);
}

ConsoleApplication::~ConsoleApplication() {
    SetProcessMessagesHook(previousHook_);
    if (t_current == this) {
        t_current = nullptr;
    }
}

std::unique_ptr<FormBackend> ConsoleApplication::CreateFormBackend() {
    return detail::MakeForm(*this);
}

void ConsoleApplication::Report(const RunEvent& event) {
    std::lock_guard<std::mutex> lock(outputMutex_);
    const std::string text = TextLine(event);
    if (settings_.out != nullptr) {
        *settings_.out << (settings_.json ? JsonLine(event) : text) << '\n';
        settings_.out->flush();
    }
    if (settings_.log != nullptr) {
        if (settings_.clock) {
            *settings_.log << settings_.clock() << ' ';
        }
        *settings_.log << text << '\n';
        settings_.log->flush();
    }
}

DialogResult ConsoleApplication::MessageDlg(const std::string& text, DialogKind kind,
                                            DialogButtons buttons) {
    // What the workers handed over runs first, as in a dialog's own loop.
    ProcessMessages();
    DialogResult result = buttons == DialogButtons::YesNo ? DialogResult::Yes : DialogResult::Ok;
    if (settings_.answer) {
        result = settings_.answer(text, kind, buttons);
    }
    Report(RunEvent{"dialog",
                    {{"kind", KindName(kind)},
                     {"caption", DialogCaption(kind)},
                     {"text", text},
                     {"answer", ResultName(result)}}});
    return result;
}

int ConsoleApplication::MessageBox(const std::string& text, const std::string& caption,
                                   unsigned flags) {
    (void)flags;
    ProcessMessages();
    Report(RunEvent{"dialog",
                    {{"kind", "box"}, {"caption", caption}, {"text", text}, {"answer", "ok"}}});
    return kIdOk;
}

void ConsoleApplication::ShowException(const std::string& message) {
    Report(RunEvent{"exception", {{"text", message}}});
}

void ConsoleApplication::ProcessMessages() {
    for (;;) {
        try {
            WindowThreadQueue::ProcessPending();
            return;
        } catch (const std::exception& e) {
            ShowException(e.what());
        } catch (...) {
            ShowException("Unknown exception");
        }
    }
}

void ConsoleApplication::Run() {
    while (!terminated_) {
        if (WindowThreadQueue::WaitForPending(std::chrono::milliseconds(50))) {
            ProcessMessages();
        }
    }
}

void ConsoleApplication::Terminate() {
    terminated_ = true;
}

}  // namespace quiver::ui::console
