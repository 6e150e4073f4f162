// The emulated drive's command handlers: INQUIRY, TEST UNIT READY, REQUEST SENSE and the other
// standard commands, the flash identification, and the download buffer with its flash profiles
// and the programming of the flash.
#include <algorithm>
#include <cstring>

#include "formats/firmware_image.h"
#include "formats/flash_profile_format.h"
#include "sim/drive.h"
#include "sim/drive_codes.h"

namespace sim {

using namespace drive_detail;
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

}  // namespace sim
