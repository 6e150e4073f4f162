// The flashing worker: one thread per target drive that runs the firmware download on the
// drive's own drive object and leaves the outcome there as its flash result code.
#pragma once

#include <cstdint>

#include "worker/thread.h"

namespace quiver {

class AtapiDevice;

struct FlashJob {
    AtapiDevice* drive = nullptr;        // the target's own drive object, opened on its drive
    const std::uint8_t* data = nullptr;  // the first byte of the bank's image
    std::int32_t size = 0;               // bytes of the image
    bool withBootCode = false;           // the package asks for the boot code
    void* window = nullptr;              // carried along; not used by the worker
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
    bool TryFlash();

    FlashJob job_;
    AtapiDevice* drive_ = nullptr;
};

}  // namespace quiver
