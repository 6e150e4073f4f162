// A test bench for the drive object: an emulated PC with optical drives on letters and on the
// ASPI manager, installed as the process's platform, and helpers to read back what the drives
// received.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "device/atapi_device.h"
#include "platform/application_tag.h"
#include "platform/sim/sim_platform.h"
#include "sim/machine.h"

namespace quiver::rig {

constexpr std::uint32_t kMiB = 1u << 20;

// The emulated platform with a few probes: how often a device path was opened, the last
// pass-through request as the system received it, a switch that puts another status (BUSY, say)
// in place of GOOD, one that makes the request for a command of the given opcode throw, as an
// allocation that fails would, and one that hands a successful reply back only so many seconds
// after the command ended, as a system whose own time-out is coarser than the program's may.
class SpyPlatform : public SimPlatform {
  public:
    using SimPlatform::SimPlatform;

    HANDLE CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                       void* lpSecurityAttributes, DWORD dwCreationDisposition,
                       DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) override {
        ++createFileCalls;
        return SimPlatform::CreateFileA(lpFileName, dwDesiredAccess, dwShareMode,
                                        lpSecurityAttributes, dwCreationDisposition,
                                        dwFlagsAndAttributes, hTemplateFile);
    }

    BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                         DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                         DWORD* lpBytesReturned, void* lpOverlapped) override {
        const bool passThrough = dwIoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
        if (passThrough && lpInBuffer != nullptr &&
            nInBufferSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
            std::lock_guard<std::mutex> lock(mutex_);
            std::memcpy(&lastRequest_, lpInBuffer, sizeof lastRequest_);
            lastInSize_ = nInBufferSize;
            lastOutSize_ = nOutBufferSize;
            if (lastRequest_.Cdb[0] == throwOnOpcode) {
                throw std::bad_alloc();
            }
        }
        const BOOL ok = SimPlatform::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer,
                                                     nInBufferSize, lpOutBuffer, nOutBufferSize,
                                                     lpBytesReturned, lpOverlapped);
        if (ok && passThrough && lateSeconds != 0) {
            machine().clock.SleepSeconds(lateSeconds);
        }
        if (ok && passThrough && statusForGood != 0 && lpOutBuffer != nullptr &&
            nOutBufferSize >= sizeof(SCSI_PASS_THROUGH_DIRECT)) {
            auto* reply = static_cast<SCSI_PASS_THROUGH_DIRECT*>(lpOutBuffer);
            if (reply->ScsiStatus == 0) {
                reply->ScsiStatus = statusForGood;
            }
        }
        return ok;
    }

    SCSI_PASS_THROUGH_DIRECT LastRequest() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastRequest_;
    }
    DWORD LastInSize() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastInSize_;
    }
    DWORD LastOutSize() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastOutSize_;
    }

    std::atomic<int> createFileCalls{0};
    std::atomic<std::uint8_t> statusForGood{0};
    std::atomic<int> throwOnOpcode{-1};
    std::atomic<std::uint32_t> lateSeconds{0};

  private:
    mutable std::mutex mutex_;
    SCSI_PASS_THROUGH_DIRECT lastRequest_{};
    DWORD lastInSize_ = 0;
    DWORD lastOutSize_ = 0;
};

// A KMR-730T, with a disc in it unless told otherwise.
inline sim::DriveConfig Kmr730t(bool medium = true) {
    sim::DriveConfig config;
    config.mediumPresent = medium;
    return config;
}

// Some other maker's drive.
inline sim::DriveConfig OtherDrive(const std::string& vendor, const std::string& product) {
    sim::DriveConfig config;
    config.model = sim::DriveModel::Other;
    config.vendor = vendor;
    config.product = product;
    config.revision = "1.00";
    config.mediumPresent = true;
    return config;
}

inline sim::Fault MakeFault(sim::Fault::Kind kind, int opcode, std::uint32_t first = 1,
                            std::uint32_t count = 1, sim::Sense sense = {}) {
    sim::Fault fault;
    fault.kind = kind;
    fault.opcode = opcode;
    fault.first = first;
    fault.count = count;
    fault.sense = sense;
    return fault;
}

// A CHECK CONDITION with these sense bytes, sent as they are.
inline sim::Fault StagedSense(int opcode, std::vector<std::uint8_t> bytes, std::uint32_t first = 1,
                              std::uint32_t count = 1) {
    sim::Fault fault = MakeFault(sim::Fault::Kind::SenseData, opcode, first, count);
    fault.senseBytes = std::move(bytes);
    return fault;
}

// The bench. Every drive object a test makes must be gone before the bench is: declare them in
// the test body or in a fixture derived from this one.
class DriveRig : public ::testing::Test {
  protected:
    DriveRig() {
        SetApplicationTag(0);
        // A counter read moves the virtual clock on by a millisecond, so that the one-second
        // pause before programming is a thousand passes: each pass yields the processor, which
        // on a busy host can cost a whole time slice.
        machine_.clock.SetVirtual(1'000'000);
        machine_.AddLetter('C', sim::LetterType::Fixed);
    }
    ~DriveRig() override { SetApplicationTag(0); }

    // A drive on a CD-ROM letter whose address request answers with the given address.
    // Returns the drive's index on the machine.
    int AddOptical(char letter, sim::DriveConfig config, std::uint8_t port = 0,
                   std::uint8_t target = 0, std::uint8_t path = 0, std::uint8_t lun = 0) {
        machine_.AddDrive(std::move(config));
        const int index = static_cast<int>(machine_.DriveCount()) - 1;
        sim::Letter& l = machine_.AddLetter(letter, sim::LetterType::CdRom, index);
        l.port = port;
        l.target = target;
        l.path = path;
        l.lun = lun;
        return index;
    }

    sim::Drive& drive(int index = 0) { return machine_.drive(static_cast<std::size_t>(index)); }

    // The command blocks drive `index` received, as "3B 05 01 ..." texts (each as long as the
    // command block length the carrier declared).
    std::vector<std::string> Cdbs(int index = 0) {
        std::vector<std::string> out;
        for (const sim::LoggedCommand& c : drive(index).Log()) {
            out.push_back(c.CdbHex());
        }
        return out;
    }

    // The commands with the given opcode that drive `index` received.
    std::vector<sim::LoggedCommand> Sent(std::uint8_t opcode, int index = 0) {
        std::vector<sim::LoggedCommand> out;
        for (const sim::LoggedCommand& c : drive(index).Log()) {
            if (c.cdb[0] == opcode) {
                out.push_back(c);
            }
        }
        return out;
    }

    std::size_t CountSent(std::uint8_t opcode, int index = 0) { return Sent(opcode, index).size(); }

    // Selects `record` of `device`, lets the drive report its power-on unit attention and
    // clears the drive's log, so that a test sees only its own commands.
    void Prepare(AtapiDevice& device, int record = 0, int driveIndex = 0) {
        ASSERT_TRUE(device.SelectDrive(record));
        device.ClearUnitAttention();
        drive(driveIndex).ClearLog();
    }

    sim::Machine machine_;
    SpyPlatform os_{machine_};
    ScopedPlatform scope_{os_};
};

}  // namespace quiver::rig
