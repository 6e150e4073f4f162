// The console toolkit: the toolkit seam without a window and without a person, for runs that a
// deployment tool starts. Nothing is shown. Every dialog and message box is answered by a rule
// and written as a line of the log; the events the window reports are written one a line, as
// text or as JSON objects, to standard output and to the log file.
//
// Lines. Text: the event's kind, then each field as name=value, a text with blanks or quotes in
// double quotes with \" and \\ escaped, line breaks written as \n. JSON: one object per event,
// {"event": kind, fields...}, numbers as numbers. The log file always gets the text lines, each
// after the UTC time the clock gives.
//
// Threads. The application belongs to the window thread, as every toolkit's; Report() may be
// called from any thread, and lines never interleave.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "ui/toolkit.h"

namespace quiver::ui::console {

// The answer to a dialog: given its text, kind and buttons.
using DialogRule = std::function<DialogResult(const std::string&, DialogKind, DialogButtons)>;

struct ConsoleSettings {
    std::ostream* out = nullptr;  // the events; null: none
    bool json = false;            // JSON objects on `out` instead of text lines
    std::ostream* log = nullptr;  // the log file; null: none
    // The UTC time written before each log line; null: none.
    std::function<std::string()> clock;
    // Answers the dialogs; without one every question is answered Yes and every notice OK.
    DialogRule answer;
};

// The text line of an event, and its JSON object.
std::string TextLine(const RunEvent& event);
std::string JsonLine(const RunEvent& event);
// A text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

class ConsoleApplication : public Application {
  public:
    explicit ConsoleApplication(ConsoleSettings settings);
    ~ConsoleApplication() override;

    std::unique_ptr<FormBackend> CreateFormBackend() override;
    DialogResult MessageDlg(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    void ShowException(const std::string& message) override;
    // Runs the completions that workers hand to the window thread until Terminate().
    void Run() override;
    void ProcessMessages() override;
    void Terminate() override;
    bool Terminated() const override { return terminated_; }
    bool Attended() const override { return false; }
    void Report(const RunEvent& event) override;

  private:
    ConsoleSettings settings_;
    std::mutex outputMutex_;
    bool terminated_ = false;
    void (*previousHook_)() = nullptr;
};

}  // namespace quiver::ui::console
