// The main window: start-up checks, the drive list, the update workflow and its completion.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/update_record.h"
#include "device/atapi_device.h"
#include "host/os_info.h"
#include "package/firmware_package.h"
#include "platform/flash_guards.h"
#include "ui/toolkit.h"
#include "worker/parser.h"

namespace quiver {

class TQuiverMain : public ui::TForm {
  public:
    struct Options {
        // The package block the window reads; the embedded one by default.
        const std::uint8_t* package = nullptr;
        // Makes a drive object (scanning or not); null when it cannot be made. The default
        // makes an AtapiDevice.
        std::function<std::unique_ptr<AtapiDevice>(bool scan)> makeDevice;
        // What keeps other updaters, other programs and the system's sleep and shutdown away
        // while drives are flashed. The default: WindowsFlashGuards on the current platform.
        std::shared_ptr<FlashGuards> guards;
        // The machine's history, to which every update adds its lines; null: none is kept.
        std::shared_ptr<HistoryStore> history;
        // With a toolkit that has no person to answer (ui::Application::Attended() false): the
        // drives to update, by address or name (empty: every admitted drive, as AUTOMODE), and
        // whether the program may restart the machine itself when the package asks for it.
        std::vector<std::string> drives;
        bool restart = false;
    };

    // The question put before an update of a drive that already has the new revision.
    static constexpr const char* kUpToDateQuestion =
        "Your drive's Firmware is already the most updated !\n Do you wish to continue ?";

    // Builds the window and runs every start-up check. A failed check asks the application to
    // terminate; the window is then never shown.
    TQuiverMain(ui::Application& application, Options options);
    explicit TQuiverMain(ui::Application& application) : TQuiverMain(application, Options{}) {}
    ~TQuiverMain() override;

    // --- Controls ---
    ui::ComboBox& cboDrives;
    ui::ProgressBar& pbar;
    ui::Bevel& Bevel1;
    ui::Label& Label1;
    ui::Label& lblMsg;
    ui::Label& lblPercent;
    ui::Timer& tmr;
    ui::Label& lblNewFW;
    ui::Label& lblUpdateMsg;
    ui::Button& cmdUpdate;
    ui::Button& cmdClose;
    ui::Label& lblOldFW;
    ui::Label& lblTo;

    // --- Handlers ---
    void FillDriveList();
    void cboDrivesChange(void* sender);
    void cmdCloseClick(void* sender);
    void FormDestroy(void* sender);
    void cmdUpdateClick(void* sender);
    void tmrTimer(void* sender);
    void FlashDone(void* value);

    // --- State, for the toolkits and the tests ---
    const PackageFlags& Flags() const { return flags_; }
    const std::string& DriveListText() const { return DriveListText_; }
    AtapiDevice* Device() { return Device_.get(); }
    std::int32_t RunningWorkers() const { return RunningWorkers_; }
    std::int32_t TargetCount() const { return TargetCount_; }
    bool AllSucceeded() const { return AllSucceeded_; }
    bool UpdateRunning() const { return tmr.Enabled(); }
    // How a run without a person ended (ExitCode in app/update_record.h).
    int ExitCode() const { return recorder_ ? recorder_->ExitCode() : kExitFailed; }

    // The passes the disc and tray check makes before it gives a drive up.
    static constexpr int kMaxDiscCheckPasses = 20;

  private:
    void StartUp();
    bool Unattended() { return !application().Attended(); }
    // Whether a run without a person takes this admitted drive.
    bool TakeUnattended(const DriveRecord& record);
    bool DiscAndTrayCheck(AtapiDevice& drive);
    void Complete();
    void Terminate();
    void HoldSystem();
    bool ClaimDrive(int slot, AtapiDevice& target);
    void ReleaseGuards();

    PackageReader package_;
    Options options_;
    PackageFlags flags_;

    std::int32_t RunningWorkers_ = 0;
    std::int32_t TargetCount_ = 0;
    bool AllSucceeded_ = false;
    std::unique_ptr<AtapiDevice> Device_;
    std::shared_ptr<FlashGuards> guards_;
    std::unique_ptr<FlashGuard> machineGuard_;
    std::unique_ptr<FlashGuard> systemGuard_;
    // The system is held up for the workers: from before the first starts until the last ends.
    bool holdingSystem_ = false;
    std::unique_ptr<AtapiDevice> TargetDevices_[kMaxDrives];
    // Declared after the target drive objects: given back before their handles close.
    std::unique_ptr<FlashGuard> driveGuards_[kMaxDrives];
    // The workers of the last update, owned from their start until the next update or the
    // window's end.
    std::unique_ptr<Parser> Workers_[kMaxDrives];
    void DisposeWorkers();
    OSInfo OsInfo_;
    std::string DriveListText_;

    // While cmdUpdateClick starts and counts the workers of an update, completions that arrive
    // (inside a dialog of the disc and tray check) wait here.
    bool startingWorkers_ = false;
    int heldCompletions_ = 0;

    // Per target of the update, what its completion checks: the drive's record in Device, and
    // the revisions it had before the update and should have after it.
    struct TargetCheck {
        int record = -1;
        std::string oldRevision;
        std::string newRevision;
    };
    TargetCheck targetChecks_[kMaxDrives];
    // A target that reports success but whose drive answers the re-read with a revision that is
    // neither of its two fails the update.
    void CheckRevisionsAfterUpdate(bool (&succeeded)[kMaxDrives]);
    std::unique_ptr<UpdateRecorder> recorder_;
};

// The drive list line of a record: "%2d-%d-%d-%d %.2s%24s %4s"; for a drive the system names
// itself, the name in place of the root, padded to `nameWidth`, and a blank before the identity
// (or before why the drive cannot be opened).
std::string DriveListLine(const DriveRecord& record, int nameWidth = 0);
// The width of the name column of a drive list: the longest name the system gave its drives.
int DriveNameWidth(const AtapiDevice& device);

// The pictures of the Update button, 18 by 18.
ui::Picture UpdatePicture();
ui::Picture UpdatePictureDisabled();

// Program entry: creates the main window on the given application, runs the message loop until
// the application ends, and returns the process exit code (0).
int RunQuiver(ui::Application& application, TQuiverMain::Options options = {});

}  // namespace quiver
