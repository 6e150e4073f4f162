// The emulated ASPI manager: the two entry points of WNASPI32, host adapters holding drives at
// adapter, target and LUN, and requests that complete at once or on a thread of the manager's
// own. It works on the request blocks as the manager library does, by their byte layout
// (sim/aspi_srb.h).
//
// Completion: the manager writes SRB_Status last, with a release store, and never touches a
// request block after that. A caller that reads SRB_Status while the request may still be
// running (right after SendCommand, or in a poll) must read it with an acquire load
// (std::atomic_ref<std::uint8_t> on the byte, or sim::srb::LoadSrbStatus); a caller that waits
// for the request's event may read the block plainly after the wait has seen the event.
//
// A request block, its data buffer and its sense area must stay alive until its SRB_Status is
// no longer SS_PENDING. On destruction the manager lets a request that is executing finish and
// drops the queued ones without touching them: their blocks may be gone by then.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/clock.h"

namespace sim {

class Drive;

struct AspiDevice {
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    std::uint8_t deviceType = 5;  // 5 CD-ROM; anything else for other devices
    Drive* drive = nullptr;       // the device that executes the commands (may be null for a
                                  // device that answers only the type query)
};

struct AspiAdapter {
    std::string identifier = "EMULATED HA";
    std::uint8_t scsiId = 7;
    std::vector<AspiDevice> devices;
};

struct AspiConfig {
    bool installed = true;              // the library loads
    bool hasSupportInfoEntry = true;    // exports GetASPI32SupportInfo
    bool hasSendCommandEntry = true;    // exports SendASPI32Command
    std::uint8_t supportStatus = 0x01;  // status of GetASPI32SupportInfo (SS_COMP)
    bool asynchronous = true;           // SC_EXEC_SCSI_CMD completes on the manager's thread
    // The status of a command the device answered with CHECK CONDITION: SS_ERR, or for a
    // manager that leaves the sense data alone to tell, SS_COMP.
    std::uint8_t checkConditionStatus = 0x04;  // SS_ERR
    std::vector<AspiAdapter> adapters;
};

class AspiManager {
  public:
    // `signal` sets the event handle a request names in SRB_PostProc (SRB_EVENT_NOTIFY).
    AspiManager(Clock& clock, std::function<void(void* event)> signal);
    ~AspiManager();

    AspiManager(const AspiManager&) = delete;
    AspiManager& operator=(const AspiManager&) = delete;

    AspiConfig& config() { return config_; }
    const AspiConfig& config() const { return config_; }

    // GetASPI32SupportInfo: status in bits 8..15, adapter count in bits 0..7.
    std::uint32_t GetSupportInfo() const;
    // SendASPI32Command on a request block laid out as the ASPI interface defines it.
    std::uint32_t SendCommand(void* srb);

    // Requests handed to the manager's thread that have not completed yet and are not held:
    // queued ones (unless Hold is on) and the one executing.
    int Busy() const;
    // Hold(true) keeps every queued asynchronous request unexecuted until Hold(false) (to model
    // a manager that keeps a request past the caller's wait). A request already executing
    // finishes.
    void Hold(bool hold);
    // Queued requests, held or not, that have not started.
    int Queued() const;
    // Requests received, per SC_ code (0..7), for tests.
    std::uint32_t RequestCount(std::uint8_t command) const;

  private:
    struct Request {
        void* srb = nullptr;
        Drive* drive = nullptr;
    };

    void Run();
    // Executes an SC_EXEC_SCSI_CMD request on its drive and completes it; returns the status.
    // Once the status is stored the block belongs to the caller again.
    std::uint8_t Execute(const Request& request);
    std::uint8_t Inquire(void* srb) const;
    std::uint8_t DeviceType(void* srb) const;
    std::uint8_t Abort(void* srb);
    // Checks an exec request and finds its drive; SS_COMP when it can run.
    std::uint8_t Resolve(void* srb, Drive** drive) const;
    const AspiDevice* FindDevice(std::uint8_t ha, std::uint8_t target, std::uint8_t lun) const;
    // Stores the final status and signals the request's event when it asks for one.
    void Complete(void* srb, std::uint8_t status);

    Clock& clock_;
    std::function<void(void*)> signal_;
    AspiConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Request> queue_;
    int executing_ = 0;
    bool hold_ = false;
    bool stop_ = false;
    std::uint32_t counts_[8] = {};
    std::thread thread_;
};

}  // namespace sim
