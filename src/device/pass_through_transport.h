// The pass-through route: one synchronous IOCTL_SCSI_PASS_THROUGH_DIRECT request on the open
// handle of the selected drive.
#pragma once

#include "device/command_transport.h"

namespace quiver {

class PassThroughTransport final : public CommandTransport {
  public:
    bool Reaches(const DriveAddress& address) const override { return address.handle != nullptr; }
    bool Ready() const override { return true; }
    bool Synchronous() const override { return true; }
    TransportResult Execute(const TransportRequest& request, HiTimer& timer) override;

  private:
    // The request area the system reads and writes.
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER block_{};
};

}  // namespace quiver
