// The update workflow of the main window: the targets, the disc and tray check, the workers and
// the progress display.
#include <string>

#include "app/frm_quiver.h"
#include "app/frm_quiver_detail.h"
#include "device/command_set.h"

namespace quiver {

using detail::Bounded;

namespace {

constexpr int kProgressTicks = 330;

}  // namespace

void TQuiverMain::cmdUpdateClick(void* /*sender*/) {
    // The last update's workers have all completed.
    DisposeWorkers();
    TargetCount_ = 0;

    auto makeTarget = [this](int index) -> bool {
        std::unique_ptr<AtapiDevice> target;
        try {
            target = options_.makeDevice ? options_.makeDevice(false)
                                         : std::make_unique<AtapiDevice>(false);
        } catch (const std::bad_alloc&) {
            target.reset();
        }
        if (!target) {
            return false;
        }
        target->CopyFrom(*Device_);
        target->SelectDrive(index);
        TargetDevices_[TargetCount_ - 1] = std::move(target);
        targetChecks_[TargetCount_ - 1] = TargetCheck{index, {}, {}};
        return true;
    };
    // Whatever the table holds, no drive gets two workers: a record of a drive already chosen
    // through another letter is left out.
    auto alreadyChosen = [this](const DriveRecord& r) {
        for (int k = 0; k < TargetCount_; ++k) {
            const DriveRecord* chosen = Device_->RecordAt(targetChecks_[k].record);
            if (chosen != nullptr && SameDrive(*chosen, r)) {
                return true;
            }
        }
        return false;
    };

    if (flags_.auto_mode != 0 || Unattended()) {
        for (int i = 0; i < Device_->RecordCount() && TargetCount_ < kMaxDrives; ++i) {
            const DriveRecord* r = Device_->RecordAt(i);
            if (r == nullptr || r->in_use != 1 || r->allowed != 1 || alreadyChosen(*r) ||
                (Unattended() && !TakeUnattended(*r))) {
                continue;
            }
            ++TargetCount_;
            if (!makeTarget(i)) {
                return;
            }
        }
        if (TargetCount_ == 0 && Unattended()) {
            recorder_->NothingToDo();
            Terminate();
            return;
        }
    } else {
        const int index = cboDrives.ItemIndex();
        const DriveRecord* r = Device_->RecordAt(index);
        if (r == nullptr || r->allowed == 0) {
            return;  // nothing that may be updated is chosen
        }
        if (r->up_to_date == 1 && flags_.n2o_message != 0) {
            if (application().MessageDlg(kUpToDateQuestion, ui::DialogKind::Warning,
                                         ui::DialogButtons::YesNo) != ui::DialogResult::Yes) {
                Terminate();
                return;
            }
        }
        TargetCount_ = 1;
        if (!makeTarget(index)) {
            return;
        }
    }

    HoldSystem();
    RunningWorkers_ = 0;
    startingWorkers_ = true;
    heldCompletions_ = 0;
    int notStarted = 0;
    for (int i = 0; i < TargetCount_; ++i) {
        AtapiDevice& target = *TargetDevices_[i];
        const DriveRecord* r = Device_->RecordAt(target.SelectedIndex());
        if (r == nullptr) {
            // The drive could not be opened: nothing is sent to it, and the update cannot
            // succeed.
            target.SetFlashResult(kFlashFailed);
            ++notStarted;
            continue;
        }
        const int bank = r->image_index + 1;
        FlashJob job;
        job.drive = &target;
        job.data = package_.ImageArea() + package_.ImageStart(bank);
        job.size = package_.ImageSize(bank);
        job.withBootCode = flags_.boot_code != 0;
        job.window = this;
        job.admitted = *r;
        job.package = package_.block();
        job.observer = &recorder_->Begin(i, *r, Bounded(r->revision, sizeof r->revision),
                                         package_.NewRevision(bank));
        targetChecks_[i].oldRevision = Bounded(r->revision, sizeof r->revision);
        targetChecks_[i].newRevision = package_.NewRevision(bank);
        if (flags_.chk_disc == 1 && !DiscAndTrayCheck(target)) {
            target.SetFlashResult(kFlashFailed);
            ++notStarted;
            continue;
        }
        if (!ClaimDrive(i, target)) {
            target.SetFlashResult(kFlashFailed);
            ++notStarted;
            continue;
        }
        Workers_[i] = std::make_unique<Parser>(job, [this](TThread* sender) { FlashDone(sender); });
        ++RunningWorkers_;
    }
    startingWorkers_ = false;

    if (RunningWorkers_ != 0) {
        pbar.SetRange(0, kProgressTicks);
        pbar.SetStep(1);
        tmr.SetEnabled(true);
        cmdUpdate.SetEnabled(false);
        cmdClose.SetEnabled(false);
        lblMsg.SetFontColor(ui::kMaroon);
    } else if (notStarted != 0) {
        // No worker runs, so no completion will come: complete the update now, as failed.
        Complete();
        return;
    }

    // Completions that came while the workers were being started.
    while (heldCompletions_ > 0) {
        --heldCompletions_;
        FlashDone(nullptr);
    }
}

// Without a person: only the drives named, and a drive that already has the new revision only
// when the question whether to go on is answered Yes.
bool TQuiverMain::TakeUnattended(const DriveRecord& r) {
    if (!recorder_->Wanted(r)) {
        return false;
    }
    if (r.up_to_date == 1 && flags_.n2o_message != 0 &&
        application().MessageDlg(kUpToDateQuestion, ui::DialogKind::Warning,
                                 ui::DialogButtons::YesNo) != ui::DialogResult::Yes) {
        recorder_->UpToDate(r);
        return false;
    }
    return true;
}

bool TQuiverMain::DiscAndTrayCheck(AtapiDevice& d) {
    // Said once per check; the later passes show only the steps they take.
    lblMsg.SetText("Check Disc & Tray Status...");
    for (int pass = 0; pass < kMaxDiscCheckPasses; ++pass) {
        const bool noMedium = d.NoMedium();
        if (noMedium && !d.TrayOpen()) {
            return true;
        }
        if (!noMedium) {
            lblMsg.SetText("Tray Out ...");
            d.EjectTray();
            d.WaitReady(120);
            if (d.SenseIs(kNotReady, kMediumNotPresent)) {
                application().MessageDlg("Please remove the disc.", ui::DialogKind::Warning,
                                         ui::DialogButtons::Ok);
                if (Unattended()) {
                    return false;  // nobody is there to take the disc out
                }
            } else {
                application().MessageDlg(
                    "Disc detected in drive. Unable to eject the disc , maybe locked by other "
                    "program\n\nPlease remove the disc manually.",
                    ui::DialogKind::Warning, ui::DialogButtons::Ok);
                if (Unattended()) {
                    return false;
                }
            }
        }
        lblMsg.SetText("Tray In ...");
        d.LoadTray();
        lblMsg.SetText("Waiting Drive Ready ...");
        d.WaitReady(120);
        if (d.TrayOpen()) {
            application().MessageDlg("Please push the tray in.", ui::DialogKind::Warning,
                                     ui::DialogButtons::Ok);
            if (Unattended()) {
                return false;
            }
        }
    }
    // The drive never came to an empty, closed state: it is not flashed.
    return false;
}

void TQuiverMain::tmrTimer(void* /*sender*/) {
    if (pbar.Position() == pbar.Max()) {
        lblMsg.SetText("Programming ..........");
        return;
    }
    pbar.StepIt();
    const int position = pbar.Position();
    const int max = pbar.Max() != 0 ? pbar.Max() : 1;
    lblPercent.SetText(std::to_string(position * 100 / max) + " %");
    lblMsg.SetText("Programming " + std::string(static_cast<std::size_t>(position % 10), '.'));
}

}  // namespace quiver
