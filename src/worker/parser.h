// The flashing worker: one thread per target drive that runs the firmware download on the
// drive's own drive object and leaves the outcome there as its flash result code.
#pragma once

#include <cstdint>

#include "device/drive_record.h"
#include "worker/thread.h"

namespace quiver {

class AtapiDevice;
class DownloadObserver;

struct FlashJob {
    AtapiDevice* drive = nullptr;        // the target's own drive object, opened on its drive
    const std::uint8_t* data = nullptr;  // the first byte of the bank's image
    std::int32_t size = 0;               // bytes of the image
    bool withBootCode = false;           // the package asks for the boot code
    void* window = nullptr;              // carried along; not used by the worker
    // The drive's record as the scan made it and the package matching marked it: the drive
    // that was admitted, and the bank (its image index) whose image `data` is.
    DriveRecord admitted{};
    // The package block whose matching must admit that drive again.
    const std::uint8_t* package = nullptr;
    // Hears of the download's stages and blocks on the worker's thread; null: nobody.
    DownloadObserver* observer = nullptr;
};

// Carries a failure out of the download to the worker's thread body. Used only in a worker.
class ErrCodeException {
  public:
    explicit ErrCodeException(std::uint8_t code) : code(code) {}
    std::uint8_t code;
};

class Parser : public TThread {
  public:
    // Creates the worker and starts it. `completion` runs on the window thread when the
    // download is over, with this worker as its argument; the worker then destroys itself.
    Parser(const FlashJob& job, TerminateHandler completion);

    const FlashJob& job() const { return job_; }

  protected:
    void Execute() override;

  private:
    void RunFlashJob();
    // Before anything is written: the drive that answers now is the admitted one, and the
    // package admits it again with the bank of the job's image.
    bool StillAdmitted();
    bool TryFlash();

    FlashJob job_;
    AtapiDevice* drive_ = nullptr;
};

}  // namespace quiver
