// The emulated drive: taking a command block under the drive's lock, faults and stand-ins, the
// dispatch to the command handlers, and the drive's state as the machine and the tests change
// and inspect it.
#include "sim/drive.h"

#include <algorithm>
#include <cstring>

#include "sim/drive_codes.h"

namespace sim {

using namespace drive_detail;
Drive::Drive(Clock& clock, DriveConfig config)
    : clock_(clock),
      config_(std::move(config)),
      revision_(Padded(config_.revision, 4)),
      trayOpen_(config_.trayOpen),
      mediumPresent_(config_.mediumPresent),
      lockedByOther_(config_.lockedByOtherProgram),
      buffer_(config_.bufferBytes, 0) {
    Reset(config_.powerOnReadySeconds);
}

CommandResult Drive::Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDir dir,
                             std::uint8_t* data, std::uint32_t length) {
    std::lock_guard<std::mutex> command(commandMutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (Drive* other = AnsweringInstead(cdb, cdbLength)) {
        lock.unlock();
        return other->Execute(cdb, cdbLength, dir, data, length);
    }
    const CommandResult result = ExecuteLocked(cdb, cdbLength, dir, data, length, lock);
    if (observer_) {
        const CommandObserver observer = observer_;
        const LoggedCommand entry = log_.back();
        lock.unlock();
        observer(entry);
    }
    return result;
}

Drive* Drive::AnsweringInstead(const std::uint8_t* cdb, std::size_t cdbLength) {
    if (replacement_ != nullptr || cdb == nullptr || cdbLength == 0) {
        return replacement_.get();
    }
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const Fault& f = faults_[i];
        if (f.kind != Fault::Kind::Replaced || f.by == nullptr ||
            (f.opcode != -1 && f.opcode != cdb[0])) {
            continue;
        }
        if (!Fires(f, ++faultMatches_[i])) {
            continue;
        }
        ++faultFirings_[i];
        replacement_ = std::make_unique<Drive>(clock_, f.by->config);
        for (const Fault& own : f.by->faults) {
            replacement_->AddFault(own);
        }
        replacement_->SetCommandObserver(observer_);
        return replacement_.get();
    }
    return nullptr;
}

CommandResult Drive::ExecuteLocked(const std::uint8_t* cdb, std::size_t cdbLength, DataDir dir,
                                   std::uint8_t* data, std::uint32_t length,
                                   std::unique_lock<std::mutex>& lock) {
    LoggedCommand entry;
    std::array<std::uint8_t, 16> c{};
    const std::size_t kept = cdb == nullptr ? 0 : std::min(cdbLength, c.size());
    if (kept > 0) {
        std::memcpy(c.data(), cdb, kept);
    }
    entry.cdb = c;
    entry.cdbLength = static_cast<std::uint8_t>(kept);
    entry.dir = dir;
    entry.length = length;
    entry.startNanos = clock_.NowNanos();
    const std::int64_t sleptAtStart = sleptNanos_;

    Carrier carrier{kept, dir, data, length};
    if (data == nullptr) {
        carrier.length = 0;  // nothing to read from or write to
    }

    Outcome out;
    std::vector<std::uint8_t> stagedSense;  // a fault's sense bytes, sent as they are
    bool onBus = true;
    if (vanished_) {
        out = {Completion::TransportFailure, sense::kNone, 0, true};
        onBus = false;
    } else if (kept == 0) {
        out = Check(sense::kInvalidOpcode);
    } else {
        bool vanish = false;
        bool transportFailure = false;
        std::optional<Sense> injected;
        std::vector<std::uint8_t> injectedBytes;
        double delay = 0.0;
        for (std::size_t i = 0; i < faults_.size(); ++i) {
            const Fault& f = faults_[i];
            if (f.kind == Fault::Kind::ReadBackDiffers || f.kind == Fault::Kind::Replaced) {
                continue;  // matched by READ BUFFER itself, or before the command
            }
            if (f.kind == Fault::Kind::ShortTransfer && dir == DataDir::None) {
                continue;  // only commands with data
            }
            if (f.opcode != -1 && f.opcode != c[0]) {
                continue;
            }
            if (!Fires(f, ++faultMatches_[i])) {
                continue;
            }
            ++faultFirings_[i];
            switch (f.kind) {
                case Fault::Kind::Vanish:
                    vanish = true;
                    break;
                case Fault::Kind::TransportFailure:
                    transportFailure = true;
                    break;
                case Fault::Kind::SenseData:
                    if (!injected) {
                        injected = f.sense;
                        injectedBytes = f.senseBytes;
                    }
                    break;
                case Fault::Kind::Delay:
                    delay += f.seconds;
                    break;
                case Fault::Kind::ShortTransfer:
                    carrier.moves = std::min(carrier.moves, f.bytes);
                    carrier.reportsAll = carrier.reportsAll || f.reportsAll;
                    break;
                case Fault::Kind::ReadBackDiffers:
                case Fault::Kind::Replaced:
                    break;
            }
        }
        if (vanish) {
            vanished_ = true;
            out = {Completion::TransportFailure, sense::kNone, 0, true};
            onBus = false;
        } else if (transportFailure) {
            out = {Completion::TransportFailure, sense::kNone, 0, false};
        } else {
            SleepUnlocked(delay, lock);
            if (vanished_) {
                out = {Completion::TransportFailure, sense::kNone, 0, true};
                onBus = false;
            } else if (injected) {
                out = Check(*injected);
                stagedSense = std::move(injectedBytes);
            } else {
                out = Dispatch(c, carrier, lock);
                onBus = !out.vanished;
            }
        }
    }

    if (onBus) {
        double busSeconds = config_.secondsPerCommand;
        if (config_.bytesPerSecond > 0.0) {
            busSeconds += static_cast<double>(out.transferred) / config_.bytesPerSecond;
        }
        if (busSeconds > 0.0) {
            SleepUnlocked(Nanos(busSeconds) - WorkSince(entry.startNanos, sleptAtStart), lock);
        }
    }

    CommandResult result;
    if (out.completion == Completion::CheckCondition) {
        result.senseData = stagedSense.empty()
                               ? SenseData::Fixed(out.sense)
                               : SenseData::Raw(stagedSense.data(), stagedSense.size());
    }
    entry.completion = out.completion;
    entry.sense =
        out.completion == Completion::CheckCondition ? result.senseData.Decoded() : sense::kNone;
    entry.transferred = out.transferred;
    if (carrier.data != nullptr && out.transferred > 0) {
        entry.dataDigest = DataDigest(carrier.data, std::min(out.transferred, carrier.length));
    }
    entry.endNanos = clock_.NowNanos();
    log_.push_back(entry);

    result.completion = out.completion;
    result.sense = entry.sense;
    // The log keeps what the data phase moved; the carrier hears what the drive reports.
    result.transferred =
        carrier.reportsAll && out.completion == Completion::Good ? carrier.length : out.transferred;
    result.vanished = out.vanished;
    return result;
}

Drive::Outcome Drive::Dispatch(const std::array<std::uint8_t, 16>& c, const Carrier& carrier,
                               std::unique_lock<std::mutex>& lock) {
    CatchUp();
    const std::uint8_t op = c[0];
    if (carrier.cdbLength < GroupCdbLength(op)) {
        return Check(sense::kInvalidFieldInCdb);
    }

    const bool exempt = op == kInquiry || op == kReportLuns || op == kGetConfiguration ||
                        op == kGetEventStatus || op == kRequestSense;
    if (!exempt && pendingAttention_) {
        const Sense s = *pendingAttention_;
        pendingAttention_.reset();
        return Check(s);
    }

    switch (op) {
        case kTestUnitReady:
            return TestUnitReady();
        case kRequestSense:
            return RequestSense(c, carrier);
        case kInquiry:
            return Inquiry(c, carrier);
        case kStartStopUnit:
            return StartStopUnit(c);
        case kPreventAllow:
            return PreventAllow(c);
        case kWriteBuffer:
            return WriteBuffer(c, carrier, lock);
        case kReadBuffer:
            return ReadBuffer(c, carrier);
        case kGetConfiguration:
            return GetConfiguration(c, carrier);
        case kGetEventStatus:
            return GetEventStatus(c, carrier);
        case kReportLuns:
            return ReportLuns(c, carrier);
        case kReadFlashId:
            return ReadFlashId(c, carrier);
        default:
            return Check(sense::kInvalidOpcode);
    }
}

Drive::Outcome Drive::Reply(const std::uint8_t* reply, std::size_t replyLength,
                            std::uint32_t allocation, const Carrier& carrier) {
    Outcome out;
    if (carrier.dir != DataDir::In || carrier.data == nullptr) {
        return out;
    }
    const std::size_t n =
        std::min<std::size_t>({replyLength, allocation, carrier.length, carrier.moves});
    if (n > 0) {
        std::memcpy(carrier.data, reply, n);
    }
    out.transferred = static_cast<std::uint32_t>(n);
    return out;
}

Drive::Outcome Drive::Check(Sense s) {
    Outcome out;
    out.completion = Completion::CheckCondition;
    out.sense = s;
    return out;
}

void Drive::RaiseAttention(Sense s) {
    if (!pendingAttention_ || AttentionRank(s) > AttentionRank(*pendingAttention_)) {
        pendingAttention_ = s;
    }
}

void Drive::CatchUp() {
    if (readyAttention_ && !BecomingReady()) {
        RaiseAttention(*readyAttention_);
        readyAttention_.reset();
    }
}

bool Drive::BecomingReady() const {
    const std::int64_t now = clock_.NowNanos();
    if (now < notReadyUntil_) {
        return true;
    }
    return !trayOpen_ && mediumPresent_ && now < spinUpUntil_;
}

void Drive::Reset(double readySeconds, bool clearBuffer) {
    RaiseAttention(sense::kPowerOnReset);
    readyAttention_.reset();
    notReadyUntil_ = clock_.NowNanos() + Nanos(readySeconds);
    spinUpUntil_ = 0;
    locked_ = false;
    mediaEvent_ = 0;
    loadedProfile_.reset();
    if (clearBuffer) {
        std::fill(buffer_.begin(), buffer_.end(), 0);
    }
}

void Drive::SleepUnlocked(double seconds, std::unique_lock<std::mutex>& lock) {
    SleepUnlocked(Nanos(seconds), lock);
}

void Drive::SleepUnlocked(std::int64_t nanos, std::unique_lock<std::mutex>& lock) {
    if (nanos <= 0) {
        return;
    }
    const std::int64_t before = clock_.NowNanos();
    lock.unlock();
    clock_.SleepNanos(nanos);
    lock.lock();
    sleptNanos_ += clock_.NowNanos() - before;
}

std::int64_t Drive::WorkSince(std::int64_t start, std::int64_t sleptAtStart) const {
    if (clock_.mode() != Clock::Mode::Scaled) {
        return 0;  // the emulator's work takes no virtual time
    }
    const std::int64_t work = clock_.NowNanos() - start - (sleptNanos_ - sleptAtStart);
    return work > 0 ? work : 0;
}

void Drive::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
    faultMatches_.push_back(0);
    faultFirings_.push_back(0);
}

void Drive::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    faultMatches_.clear();
    faultFirings_.clear();
}

std::vector<std::uint32_t> Drive::FaultFirings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faultFirings_;
}

bool Drive::Vanished() const {
    if (const Drive* other = ReplacedBy()) {
        return other->Vanished();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return vanished_;
}

Drive* Drive::ReplacedBy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replacement_.get();  // never reset once made
}

void Drive::Vanish() {
    std::lock_guard<std::mutex> lock(mutex_);
    vanished_ = true;
}

std::string Drive::Revision() const {
    if (const Drive* other = ReplacedBy()) {
        return other->Revision();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return revision_;
}

bool Drive::TrayOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trayOpen_;
}

bool Drive::MediumPresent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mediumPresent_;
}

void Drive::SetMedium(bool present) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (present == mediumPresent_) {
        return;
    }
    mediumPresent_ = present;
    if (trayOpen_) {
        return;  // the drive notices when the tray closes
    }
    if (present) {
        spinUpUntil_ = clock_.NowNanos() + Nanos(config_.loadReadySeconds);
        readyAttention_ = sense::kMediumChanged;
        mediaEvent_ = kEventNewMedia;
    } else {
        spinUpUntil_ = 0;
        readyAttention_.reset();
        mediaEvent_ = kEventMediaRemoval;
    }
}

void Drive::OpenTray() {
    if (!trayOpen_) {
        trayOpen_ = true;
        spinUpUntil_ = 0;
        readyAttention_.reset();
        if (mediumPresent_) {
            mediaEvent_ = kEventMediaRemoval;
        }
    }
}

void Drive::CloseTray() {
    if (trayOpen_) {
        trayOpen_ = false;
        if (mediumPresent_) {
            spinUpUntil_ = clock_.NowNanos() + Nanos(config_.loadReadySeconds);
            readyAttention_ = sense::kMediumChanged;
            mediaEvent_ = kEventNewMedia;
        }
    }
}

bool Drive::MoveTrayByHand(bool open) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (open && Locked()) {
        return false;
    }
    if (open) {
        OpenTray();
    } else {
        CloseTray();
    }
    return true;
}

void Drive::SetLockedByOtherProgram(bool locked) {
    std::lock_guard<std::mutex> lock(mutex_);
    lockedByOther_ = locked;
}

void Drive::PowerCycle() {
    std::lock_guard<std::mutex> lock(mutex_);
    Reset(config_.powerOnReadySeconds);
}

std::uint32_t Drive::ProgramCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return programCount_;
}

bool Drive::LastProgramWithBootCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastWithBootCode_;
}

std::optional<int> Drive::LoadedProfile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loadedProfile_;
}

std::vector<std::uint8_t> Drive::FlashContents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_;
}

std::vector<std::uint8_t> Drive::BufferBytes(std::uint32_t offset, std::uint32_t length) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset >= buffer_.size()) {
        return {};
    }
    const std::size_t n = std::min<std::size_t>(length, buffer_.size() - offset);
    return {buffer_.begin() + offset, buffer_.begin() + offset + n};
}

std::vector<LoggedCommand> Drive::Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

void Drive::ClearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
}

void Drive::SetCommandObserver(CommandObserver observer) {
    std::lock_guard<std::mutex> command(commandMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    observer_ = std::move(observer);
    if (replacement_ != nullptr) {
        replacement_->SetCommandObserver(observer_);  // the other drive answers in our place
    }
}

}  // namespace sim
