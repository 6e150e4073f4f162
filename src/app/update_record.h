// What the window records of an update for machines and for the machine's history: the events
// of a run (drives found and admitted, stages, blocks, results, the restart) reported through
// the toolkit, the history's lines, and the exit code of a run without a person.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/drive_record.h"
#include "flash/download_observer.h"
#include "platform/history_store.h"
#include "ui/toolkit.h"

namespace quiver {

// The exit codes of a run without a person; docs/fleet.md has the table.
enum ExitCode : int {
    kExitUpdated = 0,   // every target drive updated
    kExitFailed = 1,    // some target drive failed, or the run could not go on
    kExitUsage = 2,     // a bad command line
    kExitNoDrive = 3,   // no admitted drive (among those named)
    kExitUpToDate = 4,  // every admitted drive already up to date; nothing done
    kExitBusy = 5,      // another update is running on this machine
// Updated; the package asks for a restart that was not made. The code Windows installers
// give for it; a POSIX exit status carries 8 bits, so elsewhere its low byte.
#ifdef _WIN32
    kExitRestartNeeded = 3010
#else
    kExitRestartNeeded = 3010 % 256
#endif
};

// "1-0-0-0": adapter, path, target and LUN.
std::string DriveAddressText(const DriveRecord& record);
// The drive's name: its letter ("E:"), or on Linux the root of its sr number.
std::string DriveName(const DriveRecord& record);
// Whether `wanted` names the drive: its address, or its name with or without the colon and
// backslash ("E", "E:", "E:\"), in any letter case; on Linux also "srN" and "/dev/srN".
bool DriveNamed(const DriveRecord& record, const std::string& wanted);

// One target drive of an update, watched from its worker's thread.
class TargetRecord : public DownloadObserver {
  public:
    TargetRecord(ui::Application& application, HistoryStore* history, std::string updateId,
                 std::string packageVersion, const DriveRecord& record, std::string oldRevision,
                 std::string newRevision);

    void StageReached(DownloadStage stage, int attempt) override;
    void BlockVerified(int attempt, std::uint32_t block, std::uint32_t blocks) override;
    void BlockFailed(int attempt, std::uint32_t block) override;

    // On the window thread, after the worker: the result code and the revision the drive
    // reports now; reports the result and adds the history's line.
    void Ended(std::uint8_t resultCode, bool updated, const std::string& revisionAfter);

  private:
    // The history's line with the state and, once ended, the result.
    std::string HistoryLine(const std::string& state, int resultCode, bool updated,
                            const std::string& revisionAfter) const;
    void Event(const std::string& kind, std::vector<ui::RunEvent::Field> fields);
    void Append(const std::string& line);

    ui::Application& application_;
    HistoryStore* history_;
    std::string updateId_;
    std::string packageVersion_;
    std::string address_;
    std::string name_;
    std::string vendor_;
    std::string product_;
    std::string serial_;
    std::string oldRevision_;
    std::string newRevision_;
    std::string startedAt_;
    // Per pass over the image, the blocks that did not verify.
    std::vector<std::vector<std::uint32_t>> failedBlocks_;
    int lastTenth_ = -1;
};

class UpdateRecorder {
  public:
    UpdateRecorder(ui::Application& application, std::shared_ptr<HistoryStore> history,
                   std::string packageVersion, std::vector<std::string> drives);

    // The drive table after the scan and matching: a "drive" event per drive, with whether the
    // package admits it and why not.
    void DrivesFound(const DriveRecord* records, int count);
    // Whether an unattended run takes this admitted drive (the drives named, or all).
    bool Wanted(const DriveRecord& record) const;
    // An admitted drive left alone because it already carries the new revision.
    void UpToDate(const DriveRecord& record);
    // The start of target `slot`; the observer to give its worker.
    TargetRecord& Begin(int slot, const DriveRecord& record, const std::string& oldRevision,
                        const std::string& newRevision);
    TargetRecord* Target(int slot) { return targets_[static_cast<std::size_t>(slot)].get(); }
    // A restart the package asks for: made now (`made`), or left to whoever started the run.
    void Restart(bool made);
    // Nothing to update: every wanted drive was up to date, or none was wanted.
    void NothingToDo();

    int ExitCode() const { return exitCode_; }
    void SetExitCode(int code) { exitCode_ = code; }
    bool WantsDrives() const { return !drives_.empty(); }

  private:
    ui::Application& application_;
    std::shared_ptr<HistoryStore> history_;
    std::string packageVersion_;
    std::vector<std::string> drives_;
    std::unique_ptr<TargetRecord> targets_[kMaxDrives];
    int upToDate_ = 0;
    int exitCode_ = kExitFailed;
};

// Writes the history to `out`: with `json` every sound line as it is stored; otherwise one line
// per update, its record before the programming and its record after taken together. A line
// that is not a history record is named on `err` and passed over. Returns the exit code: 0, or
// 1 when there is no history to read.
int PrintHistory(const HistoryStore& history, bool json, std::ostream& out, std::ostream& err);

}  // namespace quiver
