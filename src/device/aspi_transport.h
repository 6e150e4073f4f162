// The ASPI route: commands handed to the ASPI manager ("WNASPI32") as SRB_ExecSCSICmd requests,
// their end awaited on an event. The route loads and unloads the manager and owns the request
// block that the manager reads and writes.
#pragma once

#include <memory>

#include "device/command_transport.h"
#include "device/transfer_buffer.h"

namespace quiver {

class AspiTransport final : public CommandTransport {
  public:
    // Throws std::bad_alloc when the request block cannot be had.
    AspiTransport();
    ~AspiTransport() override;
    AspiTransport(const AspiTransport&) = delete;
    AspiTransport& operator=(const AspiTransport&) = delete;

    // Whether a manager is installed and answers; it is not kept loaded.
    static bool Probe();
    // Loads the manager and takes its entry points; tells the user why when it cannot.
    bool Load();
    void Unload();
    bool Loaded() const { return library_ != nullptr; }
    // The manager's SendASPI32Command, for the discovery's own requests; null when not loaded.
    SendASPI32CommandFn SendCommand() const { return sendCommand_; }

    // A request the manager still held when the wait for it ran out: the route then takes no
    // further request, as the manager may still write into the block and its buffer.
    bool Stranded() const { return stranded_; }
    // Ends the route for good. A stranded request keeps its block, the manager stays loaded and
    // `buffers` are kept, all for the rest of the process; otherwise all are given back.
    void Close(TransferBuffer& readBuffer, TransferBuffer& writeBuffer);

    bool Reaches(const DriveAddress& address) const override {
        return address.adapter != -1 && address.target != -1;
    }
    bool Ready() const override { return sendCommand_ != nullptr && block_ && !stranded_; }
    bool Synchronous() const override { return false; }
    TransportResult Execute(const TransportRequest& request, HiTimer& timer) override;

  private:
    // Waits, within the time limit, for the manager to end a request it still holds.
    void AwaitStatus(SRB_ExecSCSICmd& srb, HiTimer& timer, std::uint32_t timeLimit);

    std::unique_ptr<SRB_ExecSCSICmd> block_;
    HMODULE library_ = nullptr;
    GetASPI32SupportInfoFn getSupportInfo_ = nullptr;
    SendASPI32CommandFn sendCommand_ = nullptr;
    bool stranded_ = false;
};

}  // namespace quiver
