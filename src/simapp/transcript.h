// The transcript of a quiver-sim run: what the window showed, what the user answered, every
// SCSI command the drives saw, the restart requests and the end, one event a line. The format
// is stable so that transcripts can be compared with diff; docs/quiver-sim.md describes every
// line kind.
//
//   caption "Flash Program for Korvane DVDRW KMR-730T"
//   list 0 " 1-0-0-0 E:Korvane DVDRW KMR-730T   QM01"
//   dialog warning "Warning" yes/no "This flash utility only supports ...\n\nNOTICE : ..."
//   answer yes
//   label lblMsg "Programming ..."
//   volume-lock E on
//   scsi E 3B 05 01 00 00 00 00 40 00 00 00 00 out 16384 good
//   restart flags=0x6 reason=0x0 accepted
//   end
//
// Texts are written in double quotes with backslash, quote and line break escaped as \\, \"
// and \n, and every other byte outside printable ASCII as \xNN. Names (controls, drives) are
// written bare when they consist of letters, digits and "_-.:/'", quoted otherwise.
//
// With times on, every line starts with the emulated time in seconds, "[  12.345] ". Times are
// off by default: SCSI commands come from worker threads, and on a scaled clock their times
// differ from run to run, so transcripts without them compare cleanly.
//
// Thread-safe: lines from several threads never mix, and every line is flushed at once. A
// transcript that watches drives must outlive every command they may still execute on other
// threads, or be destroyed first (its destructor waits for a command in progress).
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "sim/machine.h"
#include "sim/scsi.h"

namespace quiver::simapp {

struct MachineSpec;

class Transcript {
  public:
    // `clock` gives the times when they are switched on; it may be null (no times then). The
    // stream and the clock must outlive the transcript.
    explicit Transcript(std::ostream& out, const sim::Clock* clock = nullptr);
    // Removes the observers that Watch set.
    ~Transcript();

    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    void SetTimes(bool on);

    // The window.
    void Caption(std::string_view text);
    void ListClear();                                 // list clear
    void ListLine(int index, std::string_view line);  // list 0 "…"
    void ListSelect(int index);                       // list select 0 / list select none
    // kind: "warning", "error" or "information"; buttons: "ok" or "yes/no".
    void Dialog(std::string_view kind, std::string_view caption, std::string_view buttons,
                std::string_view text);
    void MessageBox(std::string_view caption, unsigned flags, std::string_view text);
    void Exception(std::string_view message);
    // What the user (or --answer) gave a dialog: "yes", "no", "ok", "cancel", or a number.
    void Answer(std::string_view answer);
    void Choose(int index);  // the user chose list item `index`
    void Click(std::string_view button);
    void Label(std::string_view control, std::string_view text);
    void LabelColor(std::string_view control, std::uint8_t red, std::uint8_t green,
                    std::uint8_t blue);
    void Visible(std::string_view control, bool visible);   // show / hide
    void Enabled(std::string_view control, bool enabled);   // enable / disable
    void Progress(std::string_view control, int position);  // progress pbar 165
    void ProgressRange(std::string_view control, int min, int max);
    void Timer(std::string_view control, bool enabled);

    // The machine.
    void Scsi(std::string_view drive, const sim::LoggedCommand& command);
    void Restart(const sim::RestartRequest& request);
    // What the OS was asked to hold while drives are flashed; `drive` names the drive of a
    // volume lock.
    void Lock(const sim::LockEvent& event, std::string_view drive = {});
    void End();

    // Any other line: `kind` then `rest` as it is (quote texts with Quote).
    void Line(std::string_view kind, std::string_view rest = {});
    void Note(std::string_view text);  // note "…"

    // Writes a Scsi line for every command `drive` executes from now on, naming it `name`.
    void Watch(sim::Drive& drive, const std::string& name);
    // Every drive of a machine built from `desc`, by the names in the description, and the
    // machine's locks and restart requests, each written as it happens.
    void Watch(sim::Machine& machine, const MachineSpec& desc);

    // "text" with the escapes above.
    static std::string Quote(std::string_view text);
    // The text of a quoted string as Quote writes it; nothing when it is not one.
    static std::optional<std::string> Unquote(std::string_view quoted);
    // A name bare when it may be, else quoted.
    static std::string Token(std::string_view name);
    // black, navy, maroon, or #RRGGBB.
    static std::string ColorName(std::uint8_t red, std::uint8_t green, std::uint8_t blue);
    // "good", "check 5/24/00" or "failed".
    static std::string Outcome(const sim::LoggedCommand& command);

  private:
    void Write(std::string line);

    std::ostream& out_;
    const sim::Clock* clock_;
    std::mutex mutex_;
    bool times_ = false;
    std::vector<sim::Drive*> watched_;
    sim::Machine* watchedMachine_ = nullptr;
    sim::Locks* watchedLocks_ = nullptr;
};

}  // namespace quiver::simapp
