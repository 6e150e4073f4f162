#include "worker/parser.h"

#include "device/atapi_device.h"

namespace quiver {

Parser::Parser(const FlashJob& job, TerminateHandler completion) : TThread(true) {
    drive_ = nullptr;
    job_ = job;
    drive_ = job_.drive;
    FreeOnTerminate = true;
    OnTerminate = std::move(completion);  // attached before the thread runs: no end unreported
    Start();
}

void Parser::Execute() {
    RunFlashJob();
}

void Parser::RunFlashJob() {
    drive_->SetFlashResult(kFlashSucceeded);
    bool result = false;
    try {
        result = TryFlash();
    } catch (const ErrCodeException&) {
        result = false;
    } catch (...) {
        // Any other failure inside the download is a failed flash, never a success.
        result = false;
    }
    if (!result) {
        drive_->SetFlashResult(kFlashFailed);
    }
}

bool Parser::TryFlash() {
    if (drive_->DownloadFirmware(job_.data, job_.size, job_.withBootCode)) {
        return true;
    }
    if (drive_->TransferMark()) {
        throw ErrCodeException(kFlashFailed);
    }
    return false;
}

}  // namespace quiver
