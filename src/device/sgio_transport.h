// The route of a system that names its drives itself: one command on the open drive of the
// system's drive access (on Linux, SG_IO on the drive's block or generic node). The system's
// errors are kept as they are: an errno value stays an errno value.
#pragma once

#include "device/command_transport.h"

namespace quiver {

class SgioTransport final : public CommandTransport {
  public:
    bool Reaches(const DriveAddress& address) const override { return address.drive != nullptr; }
    bool Ready() const override { return true; }
    bool Synchronous() const override { return true; }
    TransportResult Execute(const TransportRequest& request, HiTimer& timer) override;
};

}  // namespace quiver
