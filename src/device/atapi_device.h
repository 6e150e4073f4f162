// The drive object: the program's handle on the optical drives of the machine. It chooses how
// the drives are reached (the OS's SCSI pass-through, or the ASPI manager), holds the table of
// detected drives, selects one drive at a time and sends it SCSI commands.
//
// It is a facade over pieces kept apart: the routes of the command transport (aspi_transport,
// pass_through_transport) under one ExecuteCommand (transport.cpp); the single commands, one per
// command block (commands.cpp, command_blocks.h); the operations made of several commands
// (sequences.cpp); the discovery (discovery.cpp). The firmware download is a class of its own
// that uses the object.
//
// An object is used by one thread at a time and takes no lock. Operations report success as a
// bool and never throw; the outcome and sense data of the last command stay in the object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "device/aspi_transport.h"
#include "device/drive_record.h"
#include "device/pass_through_transport.h"
#include "device/sgio_transport.h"
#include "device/transfer_buffer.h"
#include "host/hi_timer.h"
#include "host/os_info.h"
#include "platform/winapi.h"

namespace quiver {

class DriveAccess;
class OpenDrive;

// Data directions of the transport; the values are those of the Windows pass-through request.
constexpr std::uint8_t kDataOut = SCSI_IOCTL_DATA_OUT;
constexpr std::uint8_t kDataIn = SCSI_IOCTL_DATA_IN;
constexpr std::uint8_t kNoData = SCSI_IOCTL_DATA_UNSPECIFIED;

constexpr std::uint32_t kTransferBufferBytes = 65536;
constexpr std::uint32_t kDefaultTimeLimit = 108000;  // seconds
constexpr std::int16_t kNoSelection = 127;
constexpr std::int16_t kSelectionFailed = -1;

// Outcomes of the last command.
constexpr std::uint8_t kOutcomeFailed = 0;
constexpr std::uint8_t kOutcomeGood = 1;
constexpr std::uint8_t kOutcomeCheckCondition = 2;

struct LastCommand {
    std::uint8_t outcome = kOutcomeFailed;
    std::uint8_t senseKey = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    double duration = 0.0;  // seconds, as the command timer measured the last attempt
    std::uint32_t transferred = 0;
    bool timedOut = false;
    std::uint8_t commandBlock[12] = {};
};

// The flash result codes a worker leaves in the drive object.
constexpr std::uint8_t kFlashSucceeded = 0;
constexpr std::uint8_t kFlashFailed = 42;
// The drive that answered when the worker started was not the admitted one, or the package no
// longer admits it: nothing was written to it.
constexpr std::uint8_t kFlashNotAdmitted = 43;

class AtapiDevice {
  public:
    // Builds the object and chooses its route; scans for drives when `scan` is true. Throws
    // std::bad_alloc when the process heap cannot give the transfer buffers.
    explicit AtapiDevice(bool scan);
    ~AtapiDevice();

    AtapiDevice(const AtapiDevice&) = delete;
    AtapiDevice& operator=(const AtapiDevice&) = delete;

    // --- The drive table and the selection ---
    // Takes over another object's route settings and drive table; nothing is selected after.
    void CopyFrom(const AtapiDevice& source);
    std::uint16_t RecordCount() const { return recordCount_; }
    // The record, or null when the index (taken as unsigned) is not below RecordCount() or the
    // record is not in use.
    const DriveRecord* RecordAt(int index) const;
    DriveRecord* RecordAt(int index);
    // The whole table, for the package matching.
    DriveRecord* Records() { return table_; }
    bool SelectDrive(int index);
    void ReleaseDrive();
    std::int16_t SelectedIndex() const { return selectedIndex_; }

    // --- The ASPI manager ---
    bool ProbeAspi();
    bool LoadAspi();
    void UnloadAspi();

    // --- Discovery ---
    void Scan();
    bool ReadIdentity();
    bool RefreshIdentity();
    // One INQUIRY of the unit serial number page into the current serial number. True when the
    // drive answered: with its serial number, or with ILLEGAL REQUEST when it has no such page
    // (the serial number is then empty); false when it gave no answer to go by.
    bool ReadSerialNumber();
    // Reads the selected drive's identity and serial number again, with the attempts of the
    // scan, and tells whether they are those of `admitted`: vendor, product, revision and
    // serial number. A drive that cannot be identified is not taken for the admitted one.
    bool ConfirmIdentity(const DriveRecord& admitted);

    // --- Transport ---
    // Sends one 12-byte command block to the selected drive: data in land in the read buffer,
    // data out come from the write buffer. True only when the command completed without sense
    // data within the time limit.
    bool ExecuteCommand(const std::uint8_t* commandBlock, std::uint8_t direction,
                        std::uint32_t length);
    // Whether the route in use is done with a command's buffer when the command returns.
    bool SendsSynchronously() const;
    void SetTimeLimit(std::uint32_t seconds) { timeLimit_ = seconds; }
    std::uint32_t TimeLimit() const { return timeLimit_; }
    void SetTransferMark() { transferMark_ = true; }
    void ClearTransferMark() { transferMark_ = false; }
    bool TransferMark() const { return transferMark_; }
    const LastCommand& LastCommandRecord() const { return last_; }

    // --- Command set ---
    bool GetEventStatus(std::uint8_t polled, std::uint8_t classRequest,
                        std::uint32_t allocationLength, std::uint8_t control);
    bool Inquiry(std::uint8_t cmdDt, std::uint8_t evpd, std::uint8_t pageCode,
                 std::uint8_t allocationLength, std::uint8_t control);
    bool StartStopUnit(std::uint8_t immediate, std::uint8_t powerCondition, std::uint8_t loadEject,
                       std::uint8_t start);
    bool TestUnitReady();
    bool ReadFlashId();
    // Both fail when the data phase moved fewer bytes than `length`.
    bool ReadBuffer(std::uint32_t offset, std::uint32_t length);
    bool WriteBuffer(std::uint32_t offset, std::uint32_t length, std::uint8_t control);
    // WRITE BUFFER of `length` bytes of `data`, which must stay unchanged during the call: sent
    // from `data` itself where the route is done with it when the command returns, from the
    // write buffer otherwise. Fails, sending nothing, for a length the write buffer cannot hold.
    bool WriteBufferFrom(std::uint32_t offset, const std::uint8_t* data, std::uint32_t length);
    bool SenseIs(std::uint8_t senseKey, std::uint8_t asc) const;
    bool SenseKeyIs(std::uint8_t senseKey) const;
    bool WaitReady(int seconds);
    bool NoMedium();
    bool TrayOpen();
    bool LoadTray();
    bool EjectTray();
    bool StopUnit();
    void ClearUnitAttention();

    // --- State read by the worker, the window and the tests ---
    std::uint8_t FlashResult() const { return flashResult_; }
    void SetFlashResult(std::uint8_t code) { flashResult_ = code; }
    bool UsesAspi() const { return useAspi_; }
    bool AspiUsable() const { return aspiUsable_; }
    bool AspiLoaded() const { return aspi_.Loaded(); }
    bool HasOpenHandle() const { return deviceHandle_ != nullptr; }
    // The selected drive's open handle (pass-through route); null without one.
    HANDLE DeviceHandle() const { return deviceHandle_; }
    // The selected drive, opened through the system's own drive access; null without one.
    OpenDrive* NativeDrive() const { return nativeDrive_.get(); }
    // Whether the drives are reached through the system's own drive access.
    bool UsesNativeDrives() const { return native_ != nullptr; }
    // One line on the access the drives lack, for the user: a request the system refused on a
    // drive this object opened; empty when nothing was refused.
    std::string MissingAccess() const;
    // The same for the first drive the scan could not open at all.
    const std::string& ScanMissingAccess() const { return scanMissingAccess_; }
    // A request the ASPI manager still held when the wait for it ran out; the object then
    // refuses every further command, as the manager may still write into its request and
    // buffers.
    bool AspiRequestStranded() const { return aspi_.Stranded(); }
    std::uint32_t ReadBufferCapacity() const { return readBuffer_.capacity(); }
    std::uint32_t WriteBufferCapacity() const { return writeBuffer_.capacity(); }
    std::uint8_t* ReadBufferData() { return readBuffer_.data(); }
    std::uint8_t* WriteBufferData() { return writeBuffer_.data(); }
    // The timer of the waits (WaitReady, and the download's pause before it programs).
    HiTimer& WaitTimer() { return waitTimer_; }
    const char* CurrentVendor() const { return vendor_; }
    const char* CurrentProduct() const { return product_; }
    const char* CurrentRevision() const { return revision_; }
    const char* CurrentVendorSpecific() const { return vendorSpecific_; }
    std::int16_t CurrentAdapter() const { return adapter_; }
    std::int16_t CurrentTarget() const { return target_; }
    std::int16_t CurrentLun() const { return lun_; }
    std::int16_t CurrentPathId() const { return pathId_; }

    // Bound on ClearUnitAttention: a drive that keeps reporting unit attentions is given up on
    // after this many.
    static constexpr int kMaxUnitAttentions = 32;
    // Bound on the number of INQUIRY attempts per drive.
    static constexpr int kIdentityAttempts = 10;

  private:
    // Discovery helpers.
    void ScanPassThrough();
    void ScanNative();
    void ScanAspi();
    std::int16_t CountOpticalLetters();
    enum class AddressResult { NotFound, WithoutAddress, WithAddress };
    AddressResult QueryScsiAddress(const char* root, SCSI_ADDRESS* address);
    bool QueryStorageDescriptor(const char* root);
    void SortRecords();
    // Keeps the first record, in table order, of each drive that several records reach.
    void MergeRecordsOfOneDrive();
    void TakeIdentityInto(DriveRecord& record) const;
    bool ReadSerialNumberRetried();

    // The transport above its routes: the refusals, the second attempt under the transfer mark
    // and the last-command record. `buffer` holds `capacity` bytes.
    bool Execute(const std::uint8_t* commandBlock, std::uint8_t direction, std::uint32_t length,
                 void* buffer, std::uint32_t capacity);
    CommandTransport& Route();
    const CommandTransport& Route() const;
    void Record(const std::uint8_t* commandBlock, const TransportResult& result);
    void RecordWithoutCall(const std::uint8_t* commandBlock);

    void ClearAddress();

    HiTimer waitTimer_;
    HiTimer commandTimer_;
    PassThroughTransport passThrough_;
    SgioTransport sgio_;
    DriveAccess* native_ = nullptr;
    std::unique_ptr<OpenDrive> nativeDrive_;
    // The missing-access line of the first drive the scan could not open.
    std::string scanMissingAccess_;
    // The missing-access line of a request refused on a drive this object has since released.
    std::string driveMissingAccess_;
    AspiTransport aspi_;
    std::uint16_t recordCount_ = 0;
    std::int16_t selectedIndex_ = kNoSelection;
    char vendor_[9] = {};
    char product_[17] = {};
    char revision_[5] = {};
    char vendorSpecific_[17] = {};
    char serial_[kSerialNumberBytes] = {};
    std::uint8_t serialLength_ = 0;
    DriveRecord table_[kMaxDrives] = {};
    std::uint32_t timeLimit_ = kDefaultTimeLimit;
    std::int16_t adapter_ = -1;
    std::int16_t target_ = -1;
    std::int16_t lun_ = -1;
    std::int16_t pathId_ = -1;
    HANDLE deviceHandle_ = nullptr;
    TransferBuffer readBuffer_;
    TransferBuffer writeBuffer_;
    OSInfo osInfo_;
    bool useAspi_ = false;
    bool aspiUsable_ = false;
    bool transferMark_ = false;
    LastCommand last_{};
    std::uint8_t flashResult_ = kFlashSucceeded;
};

}  // namespace quiver
