// The emulated ASPI manager: the two entry points of WNASPI32, host adapters holding drives at
// adapter, target and LUN, and requests that complete at once or on a thread of the manager's
// own. It works on the request blocks as the manager library does, by their byte layout.
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

    // Requests handed to the manager's thread that have not completed yet.
    int Busy() const;
    // Holds every asynchronous request until Release (to model a manager that keeps a request
    // past the caller's wait).
    void Hold(bool hold);
    // Commands executed, per SC_ code, for tests.
    std::uint32_t RequestCount(std::uint8_t command) const;

  private:
    void Run();
    void Execute(void* srb);

    Clock& clock_;
    std::function<void(void*)> signal_;
    AspiConfig config_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<void*> queue_;
    int busy_ = 0;
    bool hold_ = false;
    bool stop_ = false;
    std::uint32_t counts_[8] = {};
    std::thread thread_;
};

}  // namespace sim
