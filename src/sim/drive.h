// An emulated optical drive: an MMC device that answers the standard commands the way a real
// drive does (sense codes, tray and medium states, unit attentions), plus, for the KMR-730T
// model, the vendor flash identification, the drive-side download buffer, flash profiles and
// the programming of its flash.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/clock.h"
#include "sim/scsi.h"

namespace sim {

enum class DriveModel : std::uint8_t {
    Kmr730t,  // the drive we flash
    Other,    // any other maker's or model's drive
};

// What a drive of another model does with the vendor flash identification command.
enum class FlashIdReply : std::uint8_t {
    InvalidOpcode,  // 5/20/00
    Zeros,          // GOOD with 128 zero bytes
};

struct DriveConfig {
    DriveModel model = DriveModel::Kmr730t;
    std::string vendor = "Korvane ";                 // 8 characters, blank-padded on use
    std::string product = "DVDRW KMR-730T  ";        // 16
    std::string revision = "QM01";                   // 4
    std::string vendorSpecific = "2004/01/09 KV01";  // up to 16
    // The unit serial number page (0x80); empty: the drive has no such page.
    std::string serialNumber = "KV730T000001";
    // What INQUIRY reports as the revision once the flash is programmed; empty: the revision
    // the programmed image carries.
    std::string revisionAfterProgram;
    // The bytes of the standard INQUIRY reply the drive sends, up to 96: a shorter reply lacks
    // the fields beyond it. The texts above may hold any bytes.
    std::uint32_t inquiryLength = 96;

    // KMR-730T: the 4-byte identification of its flash chip.
    std::array<std::uint8_t, 4> flashId{0xC2, 0xB6, 0x00, 0x03};
    FlashIdReply otherFlashIdReply = FlashIdReply::InvalidOpcode;

    // Tray and medium.
    bool mediumPresent = false;  // a disc is in the tray
    bool trayOpen = false;
    bool lockedByOtherProgram = false;  // PREVENT MEDIUM REMOVAL held by somebody else

    // Timing, in emulated seconds.
    double powerOnReadySeconds = 0.0;  // NOT READY, becoming ready after power-on
    double loadReadySeconds = 2.0;     // becoming ready after the tray closes on a disc
    double programSeconds = 6.0;       // the program command: writing the flash
    double resetReadySeconds = 3.0;    // becoming ready after the reset that follows

    // Bus model: each command costs this much plus its data at this rate (0 = free). On a
    // scaled clock the emulator's own work on a command (copying, checking an image to program)
    // is part of these times and of programSeconds, not added to them.
    double secondsPerCommand = 0.0;
    double bytesPerSecond = 0.0;

    // The size of the drive-side download buffer.
    std::uint32_t bufferBytes = 2u << 20;
};

struct Replacement;

// A fault to inject. A fault applies to the commands it matches, counted from 1: it fires on
// match number `first` and on the `count - 1` matches after it (count 0: on every match from
// `first` on). Every fault counts its own matches. A ReadBackDiffers fault ignores `opcode`: its
// matches are the READ BUFFER (mode 1) commands that return part of image block `block` during
// the image attempt it names and that return byte `byte` of that block. Image attempts are
// counted from 1 since the drive was made: each image write at buffer offset 0 starts the next
// one.
struct Fault {
    enum class Kind : std::uint8_t {
        TransportFailure,  // the command never completes; no sense data
        SenseData,         // CHECK CONDITION with `sense`
        Delay,             // the command takes `seconds` longer, then completes normally
        Vanish,            // the drive disappears before the command: from now on every
                           // command fails in the transport and the device no longer opens
        ReadBackDiffers,   // READ BUFFER of image block `block` during attempt `attempt`
                           // returns its byte `byte` changed (attempt 0: every attempt)
        ShortTransfer,     // a data command moves only `bytes` of its data, then completes
                           // normally; with `reportsAll` it reports every byte as moved
        Replaced,          // from this command on, the drive `by` answers in this one's place;
                           // `count` does not apply: the other drive stays
    };

    Kind kind = Kind::TransportFailure;
    int opcode = -1;  // -1: any command
    std::uint32_t first = 1;
    std::uint32_t count = 1;
    Sense sense;
    // SenseData: these bytes as they are, instead of fixed-format data of `sense` (empty).
    std::vector<std::uint8_t> senseBytes;
    double seconds = 0.0;
    std::uint32_t block = 0;
    std::uint32_t attempt = 1;
    std::uint32_t byte = 0;  // in the block, 0 to 16,383
    std::uint32_t bytes = 0;
    // The bytes the drive says it moved: all it was asked for, whatever `bytes` it moved (as a
    // carrier that leaves the request's length as it was given reports them).
    bool reportsAll = false;
    std::shared_ptr<const Replacement> by;
};

// The drive that a Replaced fault puts behind another drive's letters and addresses: a drive
// just plugged in, with a power-on unit attention pending.
struct Replacement {
    DriveConfig config;
    std::vector<Fault> faults;
};

// Readiness as TEST UNIT READY reports it: a pending unit attention first, then NOT READY
// (becoming ready) while the drive boots or the disc spins up, then no medium (tray open or
// closed), else GOOD. A power-on or the reset after programming makes 6/29/00 pending at once
// and the drive becomes ready afterwards; a tray closing on a disc spins it up first and raises
// 6/28/00 once it is ready. A reset loses the download buffer, the loaded profile and our own
// medium lock.
class Drive {
  public:
    Drive(Clock& clock, DriveConfig config);

    Drive(const Drive&) = delete;
    Drive& operator=(const Drive&) = delete;

    // Executes one command. `data` is the carrier's data buffer of `length` bytes (the source
    // of a data-out command, the destination of a data-in command); it may be null when length
    // is 0 or dir is None. Thread-safe: commands are executed one at a time.
    CommandResult Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDir dir,
                          std::uint8_t* data, std::uint32_t length);

    void AddFault(const Fault& fault);
    void ClearFaults();
    // How often each fault fired so far, in the order the faults were added.
    std::vector<std::uint32_t> FaultFirings() const;

    // The drive is gone (unplugged): commands fail in the transport, opens fail. After a
    // Replaced fault: whether the other drive is gone.
    bool Vanished() const;
    void Vanish();

    // The drive that answers in this one's place since a Replaced fault fired; null before.
    // This drive's own state, log and counters stay as they were when it was replaced.
    Drive* ReplacedBy() const;

    // State as a test sees it.
    std::string Revision() const;  // the revision INQUIRY reports now (at this drive's place)
    // The configuration the drive was made with (tray, medium and locks change on their own
    // afterwards: see the accessors below).
    const DriveConfig& config() const { return config_; }
    bool TrayOpen() const;
    bool MediumPresent() const;
    // Somebody puts a disc in or takes it out. With the tray open that is all; with it closed
    // the drive sees a medium change, as if the tray had cycled.
    void SetMedium(bool present);
    void SetLockedByOtherProgram(bool locked);
    // Somebody presses the drive's button (open) or pushes the tray in (close), as the
    // commands would move it. A locked medium keeps the tray closed: false then.
    bool MoveTrayByHand(bool open);
    // Power-on reset: pending 6/29/00, becoming ready for powerOnReadySeconds; the lock, the
    // buffer, the loaded profile and undelivered events are lost.
    void PowerCycle();

    std::uint32_t ProgramCount() const;  // successful program commands so far
    bool LastProgramWithBootCode() const;
    std::optional<int> LoadedProfile() const;  // number of the accepted flash profile, if any
    // The bytes the drive's flash holds now (the last programmed image; empty before).
    std::vector<std::uint8_t> FlashContents() const;

    // A copy of the buffer bytes [offset, offset + length).
    std::vector<std::uint8_t> BufferBytes(std::uint32_t offset, std::uint32_t length) const;

    std::vector<LoggedCommand> Log() const;
    void ClearLog();

    // Called with each command's log entry once it has been logged, on the thread that sent the
    // command. The drive's state lock is released by then, but the call happens while the drive
    // still serialises commands, so the calls for one drive come one at a time and in command
    // order. The observer may read the drive's state; it must neither send the drive commands
    // nor set the observer. Setting the observer waits for a command in progress, so once it
    // returns the old observer is not running and is never called again. An empty function
    // removes the observer.
    using CommandObserver = std::function<void(const LoggedCommand&)>;
    void SetCommandObserver(CommandObserver observer);

  private:
    // The outcome of one command before the bus time is charged.
    struct Outcome {
        Completion completion = Completion::Good;
        Sense sense;
        std::uint32_t transferred = 0;
        bool vanished = false;
    };

    // The carrier's side of one command.
    struct Carrier {
        std::size_t cdbLength = 0;
        DataDir dir = DataDir::None;
        std::uint8_t* data = nullptr;
        std::uint32_t length = 0;
        // The most bytes the data phase moves (a ShortTransfer fault lowers it).
        std::uint32_t moves = 0xFFFFFFFF;
        // A ShortTransfer fault with reportsAll: the command reports its whole length as moved.
        bool reportsAll = false;
    };

    CommandResult ExecuteLocked(const std::uint8_t* cdb, std::size_t cdbLength, DataDir dir,
                                std::uint8_t* data, std::uint32_t length,
                                std::unique_lock<std::mutex>& lock);
    // The drive that answers in this one's place, made when a Replaced fault fires on this
    // command; null while this drive answers itself. Called with the state mutex held.
    Drive* AnsweringInstead(const std::uint8_t* cdb, std::size_t cdbLength);
    Outcome Dispatch(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier,
                     std::unique_lock<std::mutex>& lock);

    Outcome Inquiry(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome TestUnitReady();
    Outcome RequestSense(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome ReportLuns(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome GetConfiguration(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome GetEventStatus(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome StartStopUnit(const std::array<std::uint8_t, 16>& cdb);
    Outcome PreventAllow(const std::array<std::uint8_t, 16>& cdb);
    Outcome ReadFlashId(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome WriteBuffer(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier,
                        std::unique_lock<std::mutex>& lock);
    Outcome ReadBuffer(const std::array<std::uint8_t, 16>& cdb, const Carrier& carrier);
    Outcome Program(bool withBootCode, std::unique_lock<std::mutex>& lock);
    Outcome LoadProfile(const std::uint8_t* bytes, std::uint32_t length, bool withSize);

    // Copies a reply to the carrier, cut to the allocation length and the carrier's length.
    static Outcome Reply(const std::uint8_t* reply, std::size_t replyLength,
                         std::uint32_t allocation, const Carrier& carrier);
    static Outcome Check(Sense s);

    // Raises a unit attention unless a pending one outranks or equals it.
    void RaiseAttention(Sense s);
    // Raises the attention that waits for the end of a becoming-ready period once it is over.
    void CatchUp();
    bool BecomingReady() const;
    bool Locked() const { return locked_ || lockedByOther_; }
    // The tray's movements, with the media events and the spin-up they bring.
    void OpenTray();
    void CloseTray();
    // Power-on or reset: the drive reboots and becomes ready again after `readySeconds`.
    // `clearBuffer` false: the caller has cleared the buffer already.
    void Reset(double readySeconds, bool clearBuffer = true);
    // Lets emulated time pass with the state mutex released.
    void SleepUnlocked(double seconds, std::unique_lock<std::mutex>& lock);
    void SleepUnlocked(std::int64_t nanos, std::unique_lock<std::mutex>& lock);
    // On a scaled clock: the emulated time since `start` that the emulator spent working on the
    // command (not sleeping), which counts toward the time the drive model charges, as a real
    // drive's own processing would. On a virtual clock the work takes no time: 0.
    std::int64_t WorkSince(std::int64_t start, std::int64_t sleptAtStart) const;

    Clock& clock_;
    const DriveConfig config_;
    // Serialises commands; held for the whole of a command, including its emulated time.
    std::mutex commandMutex_;
    // Guards the state below; released while a command lets emulated time pass.
    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
    std::vector<std::uint32_t> faultMatches_;
    std::vector<std::uint32_t> faultFirings_;
    std::vector<LoggedCommand> log_;
    CommandObserver observer_;
    std::unique_ptr<Drive> replacement_;

    // Device state.
    std::string revision_;
    bool trayOpen_ = false;
    bool mediumPresent_ = false;
    bool locked_ = false;  // our own PREVENT MEDIUM REMOVAL
    bool lockedByOther_ = false;
    bool vanished_ = false;
    std::optional<Sense> pendingAttention_;
    std::optional<Sense> readyAttention_;  // raised once the drive is ready again
    std::int64_t notReadyUntil_ = 0;       // emulated nanoseconds: booting after power-on/reset
    std::int64_t spinUpUntil_ = 0;         // the disc spins up after the tray closed on it
    std::uint8_t mediaEvent_ = 0;          // media event code not yet reported
    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> flash_;
    std::optional<int> loadedProfile_;
    std::uint32_t imageAttempt_ = 0;  // counts image writes at offset 0
    std::uint32_t programCount_ = 0;
    std::int64_t sleptNanos_ = 0;  // emulated time the drive has spent asleep, in all
    bool lastWithBootCode_ = false;
};

}  // namespace sim
