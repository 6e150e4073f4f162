// The command transport above its routes: one 12-byte command block to the selected drive,
// through the OS's SCSI pass-through or through the ASPI manager, with the refusals, the second
// attempt under the transfer mark, and the last-command record kept once for both.
#include <cstring>

#include "device/atapi_device.h"
#include "device/command_set.h"

namespace quiver {

namespace {

// While the image is transferred a command that failed without an answer is sent once more,
// except the one that programs the flash: a drive whose answer was lost may be writing its
// flash already, and must not be told to do it again.
bool Resendable(const std::uint8_t* commandBlock) {
    return !(commandBlock[0] == kOpWriteBuffer && IsProgramControl(commandBlock[9]));
}

std::uint8_t OutcomeOf(TransportStatus status) {
    switch (status) {
        case TransportStatus::Good:
            return kOutcomeGood;
        case TransportStatus::CheckCondition:
            return kOutcomeCheckCondition;
        default:
            return kOutcomeFailed;
    }
}

}  // namespace

CommandTransport& AtapiDevice::Route() {
    return const_cast<CommandTransport&>(static_cast<const AtapiDevice*>(this)->Route());
}

const CommandTransport& AtapiDevice::Route() const {
    if (native_ != nullptr) {
        return sgio_;
    }
    if (osInfo_.IsNTFamily() && !useAspi_) {
        return passThrough_;
    }
    return aspi_;
}

bool AtapiDevice::SendsSynchronously() const {
    return Route().Synchronous();
}

void AtapiDevice::RecordWithoutCall(const std::uint8_t* commandBlock) {
    last_ = LastCommand{};
    last_.outcome = kOutcomeFailed;
    std::memcpy(last_.commandBlock, commandBlock, kCommandBlockBytes);
}

void AtapiDevice::Record(const std::uint8_t* commandBlock, const TransportResult& result) {
    std::memcpy(last_.commandBlock, commandBlock, kCommandBlockBytes);
    last_.outcome = OutcomeOf(result.status);
    last_.senseKey = result.senseKey;
    last_.asc = result.asc;
    last_.ascq = result.ascq;
    last_.duration = result.duration;
    last_.timedOut = result.status == TransportStatus::TimedOut;
    last_.transferred = result.status == TransportStatus::Good ? result.transferred : 0;
}

bool AtapiDevice::ExecuteCommand(const std::uint8_t* commandBlock, std::uint8_t direction,
                                 std::uint32_t length) {
    TransferBuffer* buffer = direction == kDataIn    ? &readBuffer_
                             : direction == kDataOut ? &writeBuffer_
                                                     : nullptr;
    if (buffer == nullptr || length == 0) {
        return Execute(commandBlock, direction, length, nullptr, 0);
    }
    return Execute(commandBlock, direction, length, buffer->data(), buffer->capacity());
}

bool AtapiDevice::Execute(const std::uint8_t* commandBlock, std::uint8_t direction,
                          std::uint32_t length, void* buffer, std::uint32_t capacity) {
    CommandTransport& route = Route();
    const DriveAddress address{deviceHandle_, nativeDrive_.get(), adapter_, target_, lun_};
    // Refused outright: the record keeps the previous command's values.
    if (transferMark_ && !route.Reaches(address)) {
        return false;
    }
    // A route that cannot take a request, a request the ASPI manager may still own, or no
    // usable buffer: fail without calling anything. The system is never handed a missing
    // buffer, or one smaller than the transfer.
    if (!route.Ready() || aspi_.Stranded() || direction > kNoData ||
        (direction != kNoData && length != 0 && (buffer == nullptr || length > capacity))) {
        RecordWithoutCall(commandBlock);
        return false;
    }

    const TransportRequest request{commandBlock, direction, buffer, length, timeLimit_, address};
    for (int attempt = 1;; ++attempt) {
        const TransportResult result = route.Execute(request, commandTimer_);
        Record(commandBlock, result);
        switch (result.status) {
            case TransportStatus::Good:
                return true;
            case TransportStatus::CheckCondition:
            case TransportStatus::TimedOut:
                return false;
            case TransportStatus::TransportFailure:
            case TransportStatus::OsError:
                break;
        }
        if (!transferMark_ || attempt != 1 || !Resendable(commandBlock)) {
            return false;
        }
    }
}

}  // namespace quiver
