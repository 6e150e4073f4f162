#include "sim/drive.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/firmware_image.h"
#include "formats/flash_profile_format.h"

namespace sim {

namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllow = 0x1E;
constexpr std::uint8_t kWriteBuffer = 0x3B;
constexpr std::uint8_t kReadBuffer = 0x3C;
constexpr std::uint8_t kGetConfiguration = 0x46;
constexpr std::uint8_t kGetEventStatus = 0x4A;
constexpr std::uint8_t kReportLuns = 0xA0;
constexpr std::uint8_t kReadFlashId = 0xDF;

constexpr std::uint8_t kFlashIdSubcommand = 0x11;
constexpr std::uint32_t kFlashIdReplyBytes = 128;
constexpr std::uint32_t kInquiryBytes = 96;

// WRITE BUFFER control bytes of the download.
constexpr std::uint8_t kControlData = 0x00;
constexpr std::uint8_t kControlProfile = 0x7F;
constexpr std::uint8_t kControlProgram = 0x80;
constexpr std::uint8_t kControlProgramWithBoot = 0xA0;
// A control-0 write of anything but a whole block here carries a short flash profile.
constexpr std::uint32_t kShortProfileOffset = 0x080000;

// Media event codes of GET EVENT STATUS NOTIFICATION.
constexpr std::uint8_t kEventNewMedia = 2;
constexpr std::uint8_t kEventMediaRemoval = 3;

// The smallest command block that holds the fields of an opcode's group.
std::size_t GroupCdbLength(std::uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 2;  // reserved and vendor-specific groups: opcode and one field byte
    }
}

std::uint32_t Be24(const std::array<std::uint8_t, 16>& c, std::size_t at) {
    return (std::uint32_t{c[at]} << 16) | (std::uint32_t{c[at + 1]} << 8) | c[at + 2];
}

std::uint32_t Be16(const std::array<std::uint8_t, 16>& c, std::size_t at) {
    return (std::uint32_t{c[at]} << 8) | c[at + 1];
}

// Copies `text` into `width` bytes, blank-padded (cut when longer).
void PutText(std::uint8_t* to, std::size_t width, const std::string& text) {
    for (std::size_t i = 0; i < width; ++i) {
        to[i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
    }
}

std::string Padded(const std::string& text, std::size_t width) {
    std::string out = text.substr(0, std::min(width, text.size()));
    out.resize(width, ' ');
    return out;
}

int AttentionRank(const Sense& s) {
    return s.asc == 0x29 ? 2 : 1;
}

bool Fires(const Fault& fault, std::uint32_t match) {
    const std::uint64_t first = std::max<std::uint32_t>(fault.first, 1);
    if (match < first) {
        return false;
    }
    return fault.count == 0 || match < first + fault.count;
}

std::int64_t Nanos(double seconds) {
    return seconds > 0.0 ? static_cast<std::int64_t>(std::llround(seconds * 1e9)) : 0;
}

}  // namespace

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

Drive::Outcome Drive::Inquiry(const std::array<std::uint8_t, 16>& c, const Carrier& carrier) {
    const bool cmdDt = (c[1] & 0x02) != 0;
    const bool evpd = (c[1] & 0x01) != 0;
    const std::uint8_t page = c[2];
    const std::uint32_t allocation = Be16(c, 3);
    if (cmdDt) {
        return Check(sense::kInvalidFieldInCdb);
    }
    if (!evpd) {
        if (page != 0) {
            return Check(sense::kInvalidFieldInCdb);
        }
        const std::uint32_t length = std::min(config_.inquiryLength, kInquiryBytes);
        std::array<std::uint8_t, kInquiryBytes> reply{};
        reply[0] = 0x05;  // qualifier 0, CD/DVD device
        reply[1] = 0x80;  // removable medium
        reply[2] = 0x00;  // ATAPI
        reply[3] = 0x21;
        reply[4] = static_cast<std::uint8_t>(length > 5 ? length - 5 : 0);
        PutText(&reply[8], 8, config_.vendor);
        PutText(&reply[16], 16, config_.product);
        PutText(&reply[32], 4, revision_);
        PutText(&reply[36], 16, config_.vendorSpecific);
        return Reply(reply.data(), length, allocation, carrier);
    }
    const bool hasSerial = !config_.serialNumber.empty();
    if (page == 0x00) {
        const std::uint8_t reply[] = {
            0x05, 0x00, 0x00, hasSerial ? std::uint8_t{2} : std::uint8_t{1}, 0x00, 0x80};
        return Reply(reply, hasSerial ? sizeof reply : sizeof reply - 1, allocation, carrier);
    }
    if (page == 0x80 && hasSerial) {
        const std::size_t serialLength = std::min<std::size_t>(config_.serialNumber.size(), 251);
        std::vector<std::uint8_t> reply(4 + serialLength, 0);
        reply[0] = 0x05;
        reply[1] = 0x80;
        reply[3] = static_cast<std::uint8_t>(serialLength);
        PutText(&reply[4], serialLength, config_.serialNumber);
        return Reply(reply.data(), reply.size(), allocation, carrier);
    }
    return Check(sense::kInvalidFieldInCdb);
}

Drive::Outcome Drive::TestUnitReady() {
    if (BecomingReady()) {
        return Check(sense::kBecomingReady);
    }
    if (trayOpen_) {
        return Check(sense::kNoMediumTrayOpen);
    }
    if (!mediumPresent_) {
        return Check(sense::kNoMediumTrayClosed);
    }
    return {};
}

Drive::Outcome Drive::RequestSense(const std::array<std::uint8_t, 16>& c, const Carrier& carrier) {
    if ((c[1] & 0x01) != 0) {
        return Check(sense::kInvalidFieldInCdb);  // descriptor format is not supported
    }
    Sense s = sense::kNone;
    if (pendingAttention_) {
        s = *pendingAttention_;
        pendingAttention_.reset();
    }
    const auto bytes = FixedSense(s);
    return Reply(bytes.data(), bytes.size(), c[4], carrier);
}

Drive::Outcome Drive::ReportLuns(const std::array<std::uint8_t, 16>& c, const Carrier& carrier) {
    const std::uint32_t allocation = (std::uint32_t{c[6]} << 24) | (std::uint32_t{c[7]} << 16) |
                                     (std::uint32_t{c[8]} << 8) | c[9];
    if (allocation < 16) {
        return Check(sense::kInvalidFieldInCdb);
    }
    std::array<std::uint8_t, 16> reply{};
    reply[3] = 8;  // one LUN: 0
    return Reply(reply.data(), reply.size(), allocation, carrier);
}

Drive::Outcome Drive::GetConfiguration(const std::array<std::uint8_t, 16>& c,
                                       const Carrier& carrier) {
    // The feature header only: data length and the current profile (DVD-ROM with a disc that
    // is ready, none otherwise).
    std::array<std::uint8_t, 8> reply{};
    reply[3] = 4;
    const bool ready = !BecomingReady() && !trayOpen_ && mediumPresent_;
    reply[7] = ready ? 0x10 : 0x00;
    return Reply(reply.data(), reply.size(), Be16(c, 7), carrier);
}

Drive::Outcome Drive::GetEventStatus(const std::array<std::uint8_t, 16>& c,
                                     const Carrier& carrier) {
    if ((c[1] & 0x01) == 0) {
        return Check(sense::kInvalidFieldInCdb);  // polled mode only
    }
    const std::uint32_t allocation = Be16(c, 7);
    if ((c[4] & 0x10) == 0) {
        // No class we support was asked for: the header alone, No Event Available.
        const std::uint8_t reply[] = {0x00, 0x02, 0x80, 0x10};
        return Reply(reply, sizeof reply, allocation, carrier);
    }
    std::uint8_t reply[8] = {0x00, 0x06, 0x04, 0x10, 0, 0, 0, 0};
    reply[4] = mediaEvent_;
    reply[5] = static_cast<std::uint8_t>((trayOpen_ ? 0x01 : 0x00) |
                                         (mediumPresent_ && !trayOpen_ ? 0x02 : 0x00));
    Outcome out = Reply(reply, sizeof reply, allocation, carrier);
    if (out.transferred > 4) {
        mediaEvent_ = 0;  // reported; an event cut off by the allocation length stays
    }
    return out;
}

Drive::Outcome Drive::StartStopUnit(const std::array<std::uint8_t, 16>& c) {
    const std::uint8_t powerCondition = c[4] >> 4;
    const bool loadEject = (c[4] & 0x02) != 0;
    const bool start = (c[4] & 0x01) != 0;
    if (powerCondition != 0) {
        return {};
    }
    if (loadEject && !start) {
        if (Locked()) {
            return Check(mediumPresent_ ? sense::kRemovalPrevented
                                        : sense::kRemovalPreventedNoMedium);
        }
        OpenTray();
        return {};
    }
    if (loadEject) {
        CloseTray();
        return {};
    }
    if (!start) {
        return {};
    }
    if (trayOpen_) {
        return Check(sense::kNoMediumTrayOpen);
    }
    if (!mediumPresent_) {
        return Check(sense::kNoMediumTrayClosed);
    }
    return {};
}

Drive::Outcome Drive::PreventAllow(const std::array<std::uint8_t, 16>& c) {
    locked_ = (c[4] & 0x01) != 0;
    return {};
}

Drive::Outcome Drive::ReadFlashId(const std::array<std::uint8_t, 16>& c, const Carrier& carrier) {
    std::array<std::uint8_t, kFlashIdReplyBytes> reply{};
    if (config_.model != DriveModel::Kmr730t) {
        if (config_.otherFlashIdReply == FlashIdReply::InvalidOpcode) {
            return Check(sense::kInvalidOpcode);
        }
        return Reply(reply.data(), reply.size(), kFlashIdReplyBytes, carrier);
    }
    if (c[1] != kFlashIdSubcommand) {
        return Check(sense::kInvalidFieldInCdb);
    }
    std::copy(config_.flashId.begin(), config_.flashId.end(), reply.begin());
    return Reply(reply.data(), reply.size(), kFlashIdReplyBytes, carrier);
}

Drive::Outcome Drive::WriteBuffer(const std::array<std::uint8_t, 16>& c, const Carrier& carrier,
                                  std::unique_lock<std::mutex>& lock) {
    if (config_.model != DriveModel::Kmr730t) {
        return Check(sense::kInvalidFieldInCdb);
    }
    const std::uint8_t mode = c[1] & 0x1F;
    const std::uint8_t bufferId = c[2];
    const std::uint32_t offset = Be24(c, 3);
    const std::uint32_t length = Be24(c, 6);
    const std::uint8_t control = c[9];
    if (mode != 5 || bufferId != 1) {
        return Check(sense::kInvalidFieldInCdb);
    }

    if (control == kControlProgram || control == kControlProgramWithBoot) {
        if (offset != 0 || length != 0) {
            return Check(sense::kInvalidFieldInCdb);
        }
        return Program(control == kControlProgramWithBoot, lock);
    }
    if (control != kControlData && control != kControlProfile) {
        return Check(sense::kInvalidFieldInCdb);
    }
    if (control == kControlProfile && offset != 0) {
        return Check(sense::kInvalidFieldInCdb);
    }
    const bool shortProfile =
        control == kControlData && offset == kShortProfileOffset && length != kImageBlock;
    if (control == kControlData && !shortProfile &&
        std::uint64_t{offset} + length > buffer_.size()) {
        return Check(sense::kInvalidFieldInCdb);
    }

    // The data phase: the carrier must deliver every byte the command announces.
    if (length > 0 && (carrier.dir != DataDir::Out || carrier.length < length)) {
        return Check(sense::kParameterListLengthError);
    }

    // What reaches the drive of the announced bytes.
    const std::uint32_t moved = std::min(length, carrier.moves);
    if (control == kControlProfile || shortProfile) {
        Outcome out = LoadProfile(carrier.data, moved, control == kControlProfile);
        out.transferred = moved;
        return out;
    }
    if (offset == 0) {
        ++imageAttempt_;
    }
    if (moved > 0) {
        std::memcpy(buffer_.data() + offset, carrier.data, moved);
    }
    Outcome out;
    out.transferred = moved;
    return out;
}

Drive::Outcome Drive::LoadProfile(const std::uint8_t* bytes, std::uint32_t length, bool withSize) {
    loadedProfile_.reset();
    const std::uint32_t header = withSize ? 6 : 4;
    if (bytes == nullptr || length < header ||
        !std::equal(config_.flashId.begin(), config_.flashId.end(), bytes)) {
        return Check(sense::kInvalidFieldInParameterList);
    }
    const std::uint8_t* body = bytes + header;
    const std::size_t bodyLength = length - header;
    if (withSize && bodyLength >= 8) {
        // The size in the header must be the one the profile carries itself.
        const std::uint32_t announced = (std::uint32_t{bytes[4]} << 8) | bytes[5];
        const std::uint32_t own = (std::uint32_t{body[6]} << 8) | body[7];
        if (announced != own) {
            return Check(sense::kInvalidFieldInParameterList);
        }
    }
    int number = -1;
    if (!PlaceholderProfileServes(body, bodyLength, config_.flashId, &number)) {
        return Check(sense::kInvalidFieldInParameterList);
    }
    loadedProfile_ = number;
    return {};
}

Drive::Outcome Drive::Program(bool withBootCode, std::unique_lock<std::mutex>& lock) {
    const std::int64_t start = clock_.NowNanos();
    const std::int64_t sleptAtStart = sleptNanos_;
    if (!loadedProfile_) {
        return Check(sense::kCommandSequenceError);
    }
    const std::optional<ImageInfo> info = ParseFirmwareImage(buffer_.data(), buffer_.size());
    if (!info) {
        return Check(sense::kInvalidFieldInParameterList);
    }
    std::vector<std::uint8_t> image(buffer_.begin(), buffer_.begin() + info->size);
    // The buffer does not outlive the reset that ends the programming; it is cleared now, so
    // that clearing it, like checking the image, is part of the programming time.
    std::fill(buffer_.begin(), buffer_.end(), 0);

    SleepUnlocked(Nanos(config_.programSeconds) - WorkSince(start, sleptAtStart), lock);
    if (vanished_) {
        // Unplugged while writing: the command never completes and the flash keeps its
        // old contents.
        return {Completion::TransportFailure, sense::kNone, 0, true};
    }

    flash_ = std::move(image);
    revision_ = Padded(
        config_.revisionAfterProgram.empty() ? info->revision : config_.revisionAfterProgram, 4);
    ++programCount_;
    lastWithBootCode_ = withBootCode;
    Reset(config_.resetReadySeconds, false);
    return {};
}

Drive::Outcome Drive::ReadBuffer(const std::array<std::uint8_t, 16>& c, const Carrier& carrier) {
    if (config_.model != DriveModel::Kmr730t) {
        return Check(sense::kInvalidFieldInCdb);
    }
    const std::uint8_t mode = c[1] & 0x1F;
    const std::uint8_t bufferId = c[2];
    const std::uint32_t offset = Be24(c, 3);
    const std::uint32_t allocation = Be24(c, 6);
    if (bufferId != 1 || (mode != 1 && mode != 3)) {
        return Check(sense::kInvalidFieldInCdb);
    }
    if (mode == 3) {
        const auto capacity =
            static_cast<std::uint32_t>(std::min<std::size_t>(buffer_.size(), 0xFFFFFF));
        const std::uint8_t reply[] = {0x00, static_cast<std::uint8_t>(capacity >> 16),
                                      static_cast<std::uint8_t>(capacity >> 8),
                                      static_cast<std::uint8_t>(capacity)};
        return Reply(reply, sizeof reply, allocation, carrier);
    }
    if (std::uint64_t{offset} + allocation > buffer_.size()) {
        return Check(sense::kInvalidFieldInCdb);
    }
    Outcome out = Reply(buffer_.data() + offset, allocation, allocation, carrier);

    const std::uint64_t begin = offset;
    const std::uint64_t end = begin + out.transferred;
    for (std::size_t i = 0; i < faults_.size(); ++i) {
        const Fault& f = faults_[i];
        if (f.kind != Fault::Kind::ReadBackDiffers) {
            continue;
        }
        if (f.attempt != 0 && f.attempt != imageAttempt_) {
            continue;
        }
        const std::uint64_t at = std::uint64_t{f.block} * kImageBlock + f.byte;
        if (f.byte >= kImageBlock || at < begin || at >= end) {
            continue;  // does not return that byte of the block
        }
        if (Fires(f, ++faultMatches_[i])) {
            ++faultFirings_[i];
            carrier.data[at - begin] ^= 0xFF;
        }
    }
    return out;
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
