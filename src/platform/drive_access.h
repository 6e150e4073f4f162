// Drive enumeration and access on a system that names its drives itself (Linux: sr0, sr1 ...):
// the optical drives the system lists, with their names, identities and addresses, and one
// open drive that takes SCSI command blocks. Errors stay the system's own (errno values).
//
// This is also the stable way for a program of its own to see what the updater sees: list the
// drives (DriveAccess::ListDrives), open one (DriveAccess::Open) and send it one command
// (OpenDrive::Send).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quiver {

// One optical drive as the system lists it.
struct DriveEntry {
    std::string name;  // the system's name of the drive: "sr0"
    std::string node;  // the device node the drive is opened through: "/dev/sr0"
    // The identity the system keeps for the drive (the drive's own answer is read by INQUIRY).
    std::string vendor;
    std::string model;
    std::string revision;
    // host, channel, target, LUN; all -1 when the system reports no address.
    int host = -1;
    int channel = -1;
    int target = -1;
    int lun = -1;
    // Why the drive cannot be opened ("/dev/sr0: permission denied"); empty when it can.
    std::string problem;
    // With a problem: one line on the access that is missing and how to get it.
    std::string missingAccess;
};

enum class DataDirection : std::uint8_t { None, ToDrive, FromDrive };

struct DriveCommand {
    const std::uint8_t* block = nullptr;
    std::uint8_t blockLength = 12;
    DataDirection direction = DataDirection::None;
    void* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t timeLimit = 0;  // seconds; 0: the system's default
};

struct DriveReply {
    // The system's error of the request (errno); 0 when the request reached the drive.
    int error = 0;
    std::uint8_t status = 0;         // the SCSI status
    std::uint16_t hostStatus = 0;    // the host adapter's status; 0: none
    std::uint16_t driverStatus = 0;  // the driver's status; 0: none
    std::uint8_t sense[32] = {};
    std::uint8_t senseLength = 0;
    std::uint32_t transferred = 0;  // bytes the data phase moved
};

// The host adapter and driver statuses that carry a meaning of their own.
constexpr std::uint16_t kHostNoConnect = 0x01;
constexpr std::uint16_t kHostBusBusy = 0x02;
constexpr std::uint16_t kHostTimeOut = 0x03;
constexpr std::uint16_t kDriverTimeOut = 0x06;
constexpr std::uint16_t kDriverSense = 0x08;

// An open drive. Send may be called from one thread at a time.
class OpenDrive {
  public:
    virtual ~OpenDrive() = default;
    virtual const DriveEntry& Entry() const = 0;
    virtual DriveReply Send(const DriveCommand& command) = 0;
    // After a request the system refused for want of access: one line on the access that is
    // missing and how to get it; empty otherwise.
    virtual std::string MissingAccess() const = 0;
    // The drive to this process alone: 0, or the system's error (EBUSY: another program has it).
    // Claiming again is a no-op; the claim goes with the object.
    virtual int ClaimExclusive() = 0;
    virtual void ReleaseExclusive() = 0;
};

class DriveAccess {
  public:
    virtual ~DriveAccess() = default;
    // The optical drives, in the system's order.
    virtual std::vector<DriveEntry> ListDrives() = 0;
    // Opens a drive by name; null, with `problem` set ("/dev/sr0: permission denied"), when it
    // cannot be.
    virtual std::unique_ptr<OpenDrive> Open(const std::string& name, std::string* problem) = 0;
};

}  // namespace quiver
