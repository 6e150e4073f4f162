#include "worker/parser.h"

#include "device/atapi_device.h"
#include "flash/firmware_download.h"
#include "package/match_drives.h"

namespace quiver {

Parser::Parser(const FlashJob& job, TerminateHandler completion)
    : TThread(true), job_(job), drive_(job.drive) {
    OnTerminate = std::move(completion);  // attached before the thread runs: no end unreported
    Start();
}

void Parser::Execute() {
    RunFlashJob();
}

void Parser::RunFlashJob() {
    drive_->SetFlashResult(kFlashSucceeded);
    bool admitted = false;
    bool result = false;
    try {
        admitted = StillAdmitted();
        result = admitted && TryFlash();
    } catch (const ErrCodeException&) {
        result = false;
    } catch (...) {
        // Any other failure inside the download is a failed flash, never a success.
        result = false;
    }
    if (!admitted) {
        drive_->SetFlashResult(kFlashNotAdmitted);
    } else if (!result) {
        drive_->SetFlashResult(kFlashFailed);
    }
}

bool Parser::StillAdmitted() {
    const DriveRecord& admitted = job_.admitted;
    if (job_.package == nullptr || admitted.in_use == 0 || admitted.allowed == 0 ||
        !drive_->ConfirmIdentity(admitted)) {
        return false;
    }
    DriveRecord again = admitted;
    again.allowed = 0;
    MatchDrives(job_.package, &again, 1);
    return again.allowed == 1 && again.image_index == admitted.image_index;
}

bool Parser::TryFlash() {
    if (FirmwareDownload(*drive_, job_.observer)
            .DownloadFirmware(job_.data, job_.size, job_.withBootCode)) {
        return true;
    }
    if (drive_->TransferMark()) {
        throw ErrCodeException(kFlashFailed);
    }
    return false;
}

}  // namespace quiver
