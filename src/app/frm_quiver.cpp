#include "app/frm_quiver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "app/frm_quiver_detail.h"
#include "device/command_set.h"
#include "package/match_drives.h"
#include "platform/application_tag.h"

namespace quiver {

using detail::Bounded;

namespace {

constexpr const char* kAnotherUpdater =
    "Another flash utility is already running on this computer, and it may be updating a "
    "drive now.\n\nLet it finish and close it, then run this utility again.";
constexpr const char* kDriveInUse =
    "is in use by another program, or a disc in it is mounted, so it cannot be flashed "
    "now.\n\nClose the programs that use the drive and remove the disc, then run this utility "
    "again.";

ui::Font Arial() {
    return ui::Font{"Arial", 8, false, ui::kBlack};
}
ui::Font TahomaBold(ui::Color color) {
    return ui::Font{"Tahoma", 8, true, color};
}

// The line a dialog adds on the access the drives lack; nothing when none is missing.
std::string AccessLine(const std::string& missing) {
    return missing.empty() ? std::string() : "\n" + missing;
}

// The first four characters of two revision texts, a shorter text counting as padded with
// blanks, as INQUIRY pads its fields.
bool SameRevision(std::string a, std::string b) {
    a.resize(4, ' ');
    b.resize(4, ' ');
    return a.compare(0, 4, b, 0, 4) == 0;
}

}  // namespace

std::string DriveListLine(const DriveRecord& r, int nameWidth) {
    char line[160];
    if (r.device_name[0] != '\0') {
        // A drive the system names itself: its name where the root would be, as wide as the
        // widest name of the list, then the identity, or why the drive cannot be opened.
        const std::string name = Bounded(r.device_name, sizeof r.device_name);
        const int width = std::max(nameWidth, static_cast<int>(name.size()));
        if (r.access_problem[0] != '\0') {
            std::snprintf(line, sizeof line, "%2d-%d-%d-%d %-*s %s", r.adapter, r.path_id,
                          r.target_id, r.lun, width, name.c_str(),
                          Bounded(r.access_problem, sizeof r.access_problem).c_str());
            return line;
        }
        std::snprintf(line, sizeof line, "%2d-%d-%d-%d %-*s %24s %4s", r.adapter, r.path_id,
                      r.target_id, r.lun, width, name.c_str(),
                      Bounded(r.identity, sizeof r.identity).c_str(),
                      Bounded(r.revision, sizeof r.revision).c_str());
        return line;
    }
    const std::string root = Bounded(r.root_path, sizeof r.root_path);
    const std::string identity = Bounded(r.identity, sizeof r.identity);
    const std::string revision = Bounded(r.revision, sizeof r.revision);
    std::snprintf(line, sizeof line, "%2d-%d-%d-%d %.2s%24s %4s", r.adapter, r.path_id, r.target_id,
                  r.lun, root.c_str(), identity.c_str(), revision.c_str());
    return line;
}

int DriveNameWidth(const AtapiDevice& device) {
    int width = 0;
    for (int i = 0; i < device.RecordCount(); ++i) {
        if (const DriveRecord* r = device.RecordAt(i)) {
            width =
                std::max(width, static_cast<int>(strnlen(r->device_name, sizeof r->device_name)));
        }
    }
    return width;
}

TQuiverMain::TQuiverMain(ui::Application& application, Options options)
    : ui::TForm(application),
      cboDrives(form().AddComboBox()),
      pbar(form().AddProgressBar()),
      Bevel1(form().AddBevel()),
      Label1(form().AddLabel()),
      lblMsg(form().AddLabel()),
      lblPercent(form().AddLabel()),
      tmr(form().AddTimer()),
      lblNewFW(form().AddLabel()),
      lblUpdateMsg(form().AddLabel()),
      cmdUpdate(form().AddButton()),
      cmdClose(form().AddButton()),
      lblOldFW(form().AddLabel()),
      lblTo(form().AddLabel()),
      package_(options.package != nullptr ? options.package : EmbeddedPackage()),
      options_(std::move(options)) {
    StartUp();
}

TQuiverMain::~TQuiverMain() {
    Destroying();
    DisposeWorkers();
}

void TQuiverMain::DisposeWorkers() {
    for (std::unique_ptr<Parser>& worker : Workers_) {
        TThread::Dispose(std::move(worker));
    }
}

void TQuiverMain::Terminate() {
    application().Terminate();
}

void TQuiverMain::StartUp() {
    // The window and its controls.
    ui::FormBackend& f = form();
    f.SetOuterSize(460, 167);
    f.CenterOnScreen();
    f.SetSystemMenuOnlyFrame();
    f.SetFont(ui::Font{"MS Sans Serif", 8, false, ui::kBlack});
    OnDestroy = [this](void* sender) { FormDestroy(sender); };
    // While drives are flashed the window asks the system not to end the session.
    f.OnQueryEndSession = [this] { return !holdingSystem_; };

    Label1.SetName("Label1");
    Label1.SetBounds({12, 4, 128, 14});
    Label1.SetFont(Arial());
    Label1.SetText("Please select target drive :");

    cboDrives.SetName("cboDrives");
    cboDrives.SetBounds({8, 24, 353, 24});
    cboDrives.SetFont(ui::Font{"Courier New", 10, false, ui::kBlack});
    cboDrives.SetItemHeight(16);
    cboDrives.SetTabOrder(0);
    cboDrives.OnChange = [this](void* sender) { cboDrivesChange(sender); };

    cmdUpdate.SetName("cmdUpdate");
    cmdUpdate.SetBounds({368, 24, 77, 25});
    cmdUpdate.SetFont(TahomaBold(ui::kBlack));
    cmdUpdate.SetCaption("&Update");
    cmdUpdate.SetTabOrder(2);
    cmdUpdate.SetPicture(UpdatePicture(), UpdatePictureDisabled());
    cmdUpdate.OnClick = [this](void* sender) { cmdUpdateClick(sender); };

    cmdClose.SetName("cmdClose");
    cmdClose.SetBounds({368, 52, 77, 25});
    cmdClose.SetFont(TahomaBold(ui::kBlack));
    cmdClose.SetKind(ui::ButtonKind::Close);
    cmdClose.SetCaption("&Close");
    cmdClose.SetTabOrder(3);
    cmdClose.OnClick = [this](void* sender) { cmdCloseClick(sender); };

    lblUpdateMsg.SetName("lblUpdateMsg");
    lblUpdateMsg.SetBounds({11, 56, 104, 14});
    lblUpdateMsg.SetFont(Arial());
    lblUpdateMsg.SetAutoSize(true);
    lblUpdateMsg.SetText("It will be updated from");

    lblOldFW.SetName("lblOldFW");
    lblOldFW.SetBounds({143, 56, 28, 13});
    lblOldFW.SetFont(TahomaBold(ui::kNavy));

    lblTo.SetName("lblTo");
    lblTo.SetBounds({186, 56, 9, 14});
    lblTo.SetFont(Arial());
    lblTo.SetText("to");

    lblNewFW.SetName("lblNewFW");
    lblNewFW.SetBounds({208, 56, 28, 13});
    lblNewFW.SetFont(TahomaBold(ui::kNavy));

    Bevel1.SetName("Bevel1");
    Bevel1.SetBounds({8, 84, 437, 49});

    lblMsg.SetName("lblMsg");
    lblMsg.SetBounds({16, 92, 56, 13});
    lblMsg.SetFont(ui::Font{"Verdana", 8, true, ui::kNavy});
    lblMsg.SetAutoSize(true);

    pbar.SetName("pbar");
    pbar.SetBounds({16, 112, 373, 13});
    pbar.SetSmooth(true);
    pbar.SetRange(0, 100);
    pbar.SetPosition(0);
    pbar.SetTabOrder(1);

    lblPercent.SetName("lblPercent");
    lblPercent.SetBounds({400, 112, 34, 13});
    lblPercent.SetFont(TahomaBold(ui::kNavy));
    lblPercent.SetText("0 %");

    tmr.SetName("tmr");
    tmr.SetInterval(100);
    tmr.SetEnabled(false);
    tmr.OnTimer = [this](void* sender) { tmrTimer(sender); };

    // Drive objects made from here on may use the ASPI manager (OsInfo_ is built with the
    // window).
    SetApplicationTag(kAspiPermittedTag);

    // The caption, from the package, or the default one for a package never titled.
    std::string caption = package_.Title();
    f.SetCaption(caption);
    if (TextEqual(caption.substr(0, 14), "APP_TITLE_HERE")) {
        f.SetCaption("Quiver " + package_.Version());
    }

    // The behaviour flags, read once.
    flags_ = package_.Flags();
    recorder_ = std::make_unique<UpdateRecorder>(application(), options_.history,
                                                 package_.Version(), options_.drives);

    // One updater at a time on this machine: a second one says so and ends before it touches a
    // drive.
    guards_ = options_.guards ? options_.guards : std::make_shared<WindowsFlashGuards>();
    Guarded machine = guards_->ClaimMachine();
    if (machine.result == GuardResult::Busy) {
        recorder_->SetExitCode(kExitBusy);
        application().MessageDlg(kAnotherUpdater, ui::DialogKind::Error, ui::DialogButtons::Ok);
        Terminate();
        return;
    }
    machineGuard_ = std::move(machine.guard);

    // The administrator reminder; no privilege is tested.
    if (OsInfo_.IsNTFamily() && flags_.admin) {
        application().MessageDlg("User must be administrator priority !", ui::DialogKind::Warning,
                                 ui::DialogButtons::Ok);
    }

    // A package without firmware cannot update anything.
    if (flags_.how_many_bin == 0) {
        recorder_->SetExitCode(kExitNoDrive);
        application().MessageDlg("No F/W in executable !", ui::DialogKind::Error,
                                 ui::DialogButtons::Ok);
        Terminate();
        return;
    }

    // An empty status line and progress display.
    lblMsg.SetText("");
    lblPercent.SetText("0 %");
    pbar.SetPosition(0);

    // The scanning drive object: it finds the drives and reads their identity.
    try {
        Device_ =
            options_.makeDevice ? options_.makeDevice(true) : std::make_unique<AtapiDevice>(true);
    } catch (const std::bad_alloc&) {
        Device_.reset();
    }
    if (!Device_) {
        application().MessageBox("Device object initialize failed !", "Error ...",
                                 ui::kMbIconError | ui::kMbOk);
        Terminate();
        application().ProcessMessages();
        return;
    }

    // The drive list; the preselected drive is opened afresh by cboDrivesChange.
    FillDriveList();
    recorder_->DrivesFound(Device_->Records(), Device_->RecordCount());
    Device_->ReleaseDrive();
    cboDrivesChange(nullptr);

    // Nothing that may be updated: say what was found, and end.
    int admitted = 0;
    for (int i = 0; i < Device_->RecordCount(); ++i) {
        const DriveRecord* r = Device_->RecordAt(i);
        if (r != nullptr && r->in_use == 1 && r->allowed == 1) {
            ++admitted;
        }
    }
    if (admitted == 0) {
        recorder_->SetExitCode(kExitNoDrive);
        application().MessageDlg("No matched drive detected !\nThis utility is only for " +
                                     package_.DriveName() + " drive.\n\nDetected drives :\n" +
                                     DriveListText_ + Device_->ScanMissingAccess(),
                                 ui::DialogKind::Error, ui::DialogButtons::Ok);
        Terminate();
        return;
    }

    // The notice.
    if (flags_.warning == 1) {
        std::string notice = "This flash utility only supports " + package_.DriveName() +
                             " drive.\n\nNOTICE : \n\n"
                             "1> Please REMOVE disc and close all applications before running "
                             "this utility !\n"
                             "2> Don't turn off the system while flash is in progress. \n";
        if (flags_.nb_warning == 1) {
            notice += "3> Don't remove the adapter and battery during F/W reflash processing. \n";
        }
        notice += "\nDo you wish to continue ?";
        if (application().MessageDlg(notice, ui::DialogKind::Warning, ui::DialogButtons::YesNo) !=
            ui::DialogResult::Yes) {
            Terminate();
            return;
        }
    }

    // From here on only Close or the end of an update close the window.
    if (f.DeleteSystemMenuItem(5)) {
        f.DeleteSystemMenuItem(5);
    }

    // AUTOMODE, and every run without a person: the update starts at once, before the window
    // is first shown. Such a run ends when nothing was started.
    if (flags_.auto_mode != 0 || Unattended()) {
        cmdUpdateClick(nullptr);
        if (Unattended() && !UpdateRunning()) {
            Terminate();
        }
    }
}

void TQuiverMain::FillDriveList() {
    cboDrives.Clear();
    DriveListText_.clear();
    const int nameWidth = DriveNameWidth(*Device_);
    for (int i = 0; i < Device_->RecordCount(); ++i) {
        const DriveRecord* r = Device_->RecordAt(i);
        if (r == nullptr) {
            continue;
        }
        const std::string line = DriveListLine(*r, nameWidth);
        DriveListText_ += line + "\n";
        cboDrives.AddItem(line);
    }
    MatchDrives(package_.block(), Device_->Records(), Device_->RecordCount());
    for (int i = 0; i < Device_->RecordCount(); ++i) {
        const DriveRecord* r = Device_->RecordAt(i);
        if (r != nullptr && r->in_use != 0 && r->allowed != 0) {
            cboDrives.SetItemIndex(i);
            return;
        }
    }
}

void TQuiverMain::cboDrivesChange(void* /*sender*/) {
    const int index = cboDrives.ItemIndex();
    const DriveRecord* r = Device_ ? Device_->RecordAt(index) : nullptr;
    if (r == nullptr) {
        return;
    }
    if (r->allowed == 0) {
        cmdUpdate.SetEnabled(false);
        lblNewFW.SetVisible(false);
        lblOldFW.SetVisible(false);
        lblUpdateMsg.SetText("This drive is not allowed to be updated.");
        lblUpdateMsg.SetFontColor(ui::kMaroon);
        return;
    }
    cmdUpdate.SetEnabled(true);
    lblNewFW.SetVisible(true);
    lblOldFW.SetVisible(true);
    lblUpdateMsg.SetText("It will be updated from");
    lblUpdateMsg.SetFontColor(ui::kBlack);
    lblTo.SetFontColor(ui::kBlack);
    lblNewFW.SetText(package_.NewRevision(r->image_index + 1));
    lblOldFW.SetText(Bounded(r->revision, sizeof r->revision));
    Device_->SelectDrive(index);
}

void TQuiverMain::cmdCloseClick(void* /*sender*/) {
    Terminate();
}

void TQuiverMain::FormDestroy(void* /*sender*/) {
    Device_.reset();
}

void TQuiverMain::FlashDone(void* /*value*/) {
    if (startingWorkers_) {
        ++heldCompletions_;
        return;
    }
    if (--RunningWorkers_ != 0) {
        return;
    }
    Complete();
}

void TQuiverMain::Complete() {
    ReleaseGuards();
    tmr.SetEnabled(false);

    AllSucceeded_ = true;
    bool succeeded[kMaxDrives] = {};
    std::string missingAccess;
    std::uint8_t results[kMaxDrives] = {};
    for (int i = 0; i < TargetCount_; ++i) {
        if (TargetDevices_[i] && missingAccess.empty()) {
            missingAccess = TargetDevices_[i]->MissingAccess();
        }
        results[i] = TargetDevices_[i] ? TargetDevices_[i]->FlashResult() : kFlashFailed;
        if (TargetDevices_[i] && TargetDevices_[i]->FlashResult() != kFlashSucceeded) {
            AllSucceeded_ = false;
        }
        succeeded[i] = TargetDevices_[i] && TargetDevices_[i]->FlashResult() == kFlashSucceeded;
        TargetDevices_[i].reset();
    }

    pbar.SetPosition(pbar.Max());
    lblPercent.SetText("100 %");
    lblMsg.SetText("Inquiry ...");
    application().ProcessMessages();

    if (flags_.auto_mode == 0) {
        const int s = cboDrives.ItemIndex();
        // A drive chosen in the list while it was flashed is read too: its revision decides.
        for (int i = 0; i < TargetCount_; ++i) {
            if (succeeded[i] && targetChecks_[i].record != s &&
                Device_->SelectDrive(targetChecks_[i].record)) {
                Device_->RefreshIdentity();
            }
        }
        Device_->SelectDrive(s);
        Device_->RefreshIdentity();
        FillDriveList();
        cboDrives.SetItemIndex(s);
    } else {
        for (int i = 0; i < Device_->RecordCount(); ++i) {
            Device_->SelectDrive(i);
            Device_->RefreshIdentity();
        }
        FillDriveList();
        Device_->ReleaseDrive();
    }

    CheckRevisionsAfterUpdate(succeeded);
    for (int i = 0; i < TargetCount_; ++i) {
        if (TargetRecord* target = recorder_->Target(i)) {
            const DriveRecord* r = Device_->RecordAt(targetChecks_[i].record);
            target->Ended(results[i], succeeded[i],
                          r != nullptr ? Bounded(r->revision, sizeof r->revision) : std::string());
        }
    }
    recorder_->SetExitCode(AllSucceeded_ ? kExitUpdated : kExitFailed);

    cmdUpdate.SetEnabled(true);
    cmdClose.SetEnabled(true);

    if (!AllSucceeded_) {
        application().MessageDlg("Unable to flash firmware. Please contact with your vendor !" +
                                     AccessLine(missingAccess),
                                 ui::DialogKind::Error, ui::DialogButtons::Ok);
        Terminate();
        return;
    }

    lblMsg.SetFontColor(ui::kNavy);
    lblMsg.SetText("Done.");
    application().MessageDlg("Firmware has been updated successfully !",
                             ui::DialogKind::Information, ui::DialogButtons::Ok);
    lblMsg.SetText("");
    cboDrivesChange(nullptr);
    lblPercent.SetText("0 %");
    pbar.SetPosition(0);
    if (flags_.reboot != 0) {
        // Without a person the restart is left to whoever started the run, unless it allowed
        // the program to restart the machine.
        const bool restartNow = !Unattended() || options_.restart;
        recorder_->Restart(restartNow);
        if (restartNow) {
            OsInfo_.RestartSystem();
        } else {
            recorder_->SetExitCode(kExitRestartNeeded);
        }
        Terminate();
    } else if (flags_.close_ap != 0 || Unattended()) {
        Terminate();
    }
}

void TQuiverMain::CheckRevisionsAfterUpdate(bool (&succeeded)[kMaxDrives]) {
    // A drive that still reports its old revision may run the new firmware only after a power
    // cycle, and one that did not answer keeps its old revision in the table: both pass. Any
    // other revision means that the flash did not take, or took an image built for another
    // revision.
    for (int i = 0; i < TargetCount_; ++i) {
        const DriveRecord* r = Device_->RecordAt(targetChecks_[i].record);
        if (!succeeded[i] || r == nullptr) {
            continue;
        }
        const std::string now = Bounded(r->revision, sizeof r->revision);
        if (!SameRevision(now, targetChecks_[i].newRevision) &&
            !SameRevision(now, targetChecks_[i].oldRevision)) {
            AllSucceeded_ = false;
            succeeded[i] = false;
        }
    }
}

void TQuiverMain::HoldSystem() {
    holdingSystem_ = true;
    systemGuard_ = guards_->HoldSystem(form().SystemHandle(), form().Caption()).guard;
}

// The target's drive to its worker alone. A drive that another program has to itself is not
// flashed: the user is told which one, and the update cannot succeed.
bool TQuiverMain::ClaimDrive(int slot, AtapiDevice& target) {
    Guarded claim = target.NativeDrive() != nullptr ? guards_->ClaimOpenDrive(*target.NativeDrive())
                                                    : guards_->ClaimDrive(target.DeviceHandle());
    if (claim.result != GuardResult::Busy) {
        driveGuards_[slot] = std::move(claim.guard);
        return true;
    }
    const DriveRecord* r = Device_->RecordAt(target.SelectedIndex());
    application().MessageDlg(
        "The drive\n" + (r != nullptr ? DriveListLine(*r) : std::string()) + "\n" + kDriveInUse,
        ui::DialogKind::Warning, ui::DialogButtons::Ok);
    return false;
}

// After the last worker: the drives, then the system, are given back.
void TQuiverMain::ReleaseGuards() {
    for (auto& guard : driveGuards_) {
        guard.reset();
    }
    systemGuard_.reset();
    holdingSystem_ = false;
}

int RunQuiver(ui::Application& application, TQuiverMain::Options options) {
    std::unique_ptr<TQuiverMain> window;
    try {
        window = std::make_unique<TQuiverMain>(application, std::move(options));
    } catch (const std::exception& e) {
        application.ShowException(e.what());
        return application.Attended() ? 0 : kExitFailed;
    }
    if (!application.Terminated()) {
        window->form().Show();
    }
    try {
        application.Run();
    } catch (const std::exception& e) {
        application.ShowException(e.what());
    }
    const int code = application.Attended() ? 0 : window->ExitCode();
    window.reset();
    if (!application.Attended()) {
        application.Report(ui::RunEvent{"exit", {{"code", std::to_string(code), true}}});
    }
    return code;
}

}  // namespace quiver
