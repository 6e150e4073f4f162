// The command transport: one 12-byte command block to the selected drive, through the OS's SCSI
// pass-through or through the ASPI manager, timed against the object's time limit.
#include <atomic>
#include <cstring>
#include <limits>

#include "device/atapi_device.h"
#include "platform/platform.h"

namespace quiver {

namespace {

constexpr std::size_t kCommandBlockBytes = 12;

// The manager completes a request on a thread of its own: its status is read afresh each time.
BYTE RequestStatus(BYTE& status) {
    return std::atomic_ref<BYTE>(status).load(std::memory_order_acquire);
}

DWORD WaitMillis(std::uint32_t seconds) {
    const std::uint64_t millis = static_cast<std::uint64_t>(seconds) * 1000u;
    // INFINITE is not a wait of 49.7 days; keep a huge limit finite.
    const std::uint64_t longest = static_cast<std::uint64_t>(INFINITE) - 1;
    return static_cast<DWORD>(millis < longest ? millis : longest);
}

}  // namespace

void AtapiDevice::RecordWithoutCall(const std::uint8_t* commandBlock) {
    last_ = LastCommand{};
    last_.outcome = kOutcomeFailed;
    std::memcpy(last_.commandBlock, commandBlock, kCommandBlockBytes);
}

bool AtapiDevice::ExecuteCommand(const std::uint8_t* commandBlock, std::uint8_t direction,
                                 std::uint32_t length) {
    void* buffer = nullptr;
    if (length != 0) {
        if (direction == kDataIn) {
            buffer = readBuffer_;
        } else if (direction == kDataOut) {
            buffer = writeBuffer_;
        }
    }
    if (osInfo_.IsNTFamily() && !useAspi_) {
        return ExecutePassThrough(commandBlock, direction, length, buffer);
    }
    return ExecuteAspi(commandBlock, direction, length, buffer);
}

bool AtapiDevice::ExecutePassThrough(const std::uint8_t* commandBlock, std::uint8_t direction,
                                     std::uint32_t length, void* buffer) {
    // Refused outright: the record keeps the previous command's values.
    if (deviceHandle_ == nullptr && transferMark_) {
        return false;
    }
    // Never hand the system a missing buffer, or one smaller than the transfer.
    const std::uint32_t capacity = direction == kDataIn    ? readCapacity_
                                   : direction == kDataOut ? writeCapacity_
                                                           : 0;
    if (aspiStranded_ || direction > kNoData ||
        (direction != kNoData && length != 0 && (buffer == nullptr || length > capacity))) {
        RecordWithoutCall(commandBlock);
        return false;
    }

    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block = passThroughBlock_;
    std::memset(&block, 0, sizeof block);
    SCSI_PASS_THROUGH_DIRECT& request = block.sptd;
    request.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    request.PathId = static_cast<UCHAR>(adapter_ & 0xFF);
    request.TargetId = static_cast<UCHAR>(target_ & 0xFF);
    request.Lun = 0;
    request.CdbLength = kCommandBlockBytes;
    request.SenseInfoLength = 24;
    request.DataIn = direction;
    request.DataTransferLength = length;
    request.TimeOutValue = timeLimit_;
    request.DataBuffer = buffer;
    request.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
    std::memcpy(request.Cdb, commandBlock, kCommandBlockBytes);
    const SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER filled = block;

    for (int attempt = 1;; ++attempt) {
        commandTimer_.Start(true);
        DWORD returned = 0;
        const BOOL ok =
            Os().DeviceIoControl(deviceHandle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                                 sizeof block, &block, sizeof block, &returned, nullptr);
        commandTimer_.Stop();

        std::memcpy(last_.commandBlock, commandBlock, kCommandBlockBytes);
        last_.duration = commandTimer_.Total();
        last_.timedOut = static_cast<double>(timeLimit_) < last_.duration;
        last_.transferred = request.DataTransferLength;
        last_.senseKey = block.ucSenseBuf[2] & 0x0F;
        last_.asc = block.ucSenseBuf[12];
        last_.ascq = block.ucSenseBuf[13];

        // A status other than GOOD without sense data (BUSY, for one) is no success.
        const bool good = request.ScsiStatus == 0;
        if (ok && good && last_.senseKey == 0 && !last_.timedOut) {
            last_.outcome = kOutcomeGood;
            return true;
        }
        last_.transferred = 0;
        if (ok && last_.senseKey != 0 && !last_.timedOut) {
            last_.outcome = kOutcomeCheckCondition;
            return false;
        }
        last_.outcome = kOutcomeFailed;
        if (transferMark_ && !last_.timedOut && attempt == 1) {
            block = filled;  // the same request again, as it was before the system wrote to it
            continue;
        }
        return false;
    }
}

DWORD AtapiDevice::SendAspi(void* srb) {
    return sendCommand_(srb);
}

void AtapiDevice::AwaitStatus(SRB_ExecSCSICmd& srb) {
    // Polled in 1 ms pauses within the command's time limit, which the pauses bound on their
    // own where there is no performance counter to measure it.
    const DWORD limit = WaitMillis(timeLimit_);
    for (DWORD paused = 0; RequestStatus(srb.SRB_Status) == SS_PENDING && paused < limit &&
                           commandTimer_.Elapsed() <= static_cast<double>(timeLimit_);
         ++paused) {
        Os().Sleep(1);
    }
}

bool AtapiDevice::ExecuteAspi(const std::uint8_t* commandBlock, std::uint8_t direction,
                              std::uint32_t length, void* buffer) {
    if ((adapter_ == -1 || target_ == -1) && transferMark_) {
        return false;
    }
    // No manager to call, a request block the manager may still own, or no usable buffer:
    // fail without calling anything.
    const std::uint32_t capacity = direction == kDataIn    ? readCapacity_
                                   : direction == kDataOut ? writeCapacity_
                                                           : 0;
    if (sendCommand_ == nullptr || aspiBlock_ == nullptr || aspiStranded_ || direction > kNoData ||
        (direction != kNoData && length != 0 && (buffer == nullptr || length > capacity))) {
        RecordWithoutCall(commandBlock);
        return false;
    }

    SRB_ExecSCSICmd& srb = *aspiBlock_;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = static_cast<BYTE>(adapter_ & 0xFF);
    srb.SRB_Target = static_cast<BYTE>(target_ & 0xFF);
    srb.SRB_Lun = static_cast<BYTE>(lun_ & 0xFF);
    srb.SRB_Flags = direction == kDataIn ? SRB_DIR_IN : direction == kDataOut ? SRB_DIR_OUT : 0;
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = static_cast<BYTE*>(buffer);
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = kCommandBlockBytes;
    std::memcpy(srb.CDBByte, commandBlock, kCommandBlockBytes);
    const SRB_ExecSCSICmd filled = srb;

    Platform& os = Os();
    for (int attempt = 1;; ++attempt) {
        commandTimer_.Start(true);
        HANDLE event = os.CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (event != nullptr) {
            srb.SRB_Flags |= SRB_EVENT_NOTIFY;
            srb.SRB_PostProc = event;
            SendAspi(&srb);
            if (RequestStatus(srb.SRB_Status) == SS_PENDING) {
                // The status tells the end of the request, not the event: a manager stores the
                // status and then signals, so a signal can reach a new event late, through a
                // handle value reused from a request that had already ended. A wake-up with
                // the request still pending is waited out.
                if (os.WaitForSingleObject(event, WaitMillis(timeLimit_)) == WAIT_OBJECT_0) {
                    AwaitStatus(srb);
                }
            }
        } else {
            SendAspi(&srb);
            AwaitStatus(srb);
        }
        commandTimer_.Stop();
        const BYTE status = RequestStatus(srb.SRB_Status);
        if (status == SS_PENDING) {
            // The manager still holds the request: it may write the block, the sense area and
            // the buffer at any time, and signal the event. None of them may be reused.
            aspiStranded_ = true;
            last_ = LastCommand{};
            std::memcpy(last_.commandBlock, commandBlock, kCommandBlockBytes);
            last_.duration = commandTimer_.Total();
            last_.timedOut = true;
            last_.outcome = kOutcomeFailed;
            return false;
        }
        if (event != nullptr) {
            os.CloseHandle(event);
        }

        std::memcpy(last_.commandBlock, commandBlock, kCommandBlockBytes);
        last_.duration = commandTimer_.Total();
        last_.timedOut = static_cast<double>(timeLimit_) < last_.duration;
        last_.senseKey = srb.SenseArea[2] & 0x0F;
        last_.asc = srb.SenseArea[12];
        last_.ascq = srb.SenseArea[13];

        if (status == SS_COMP && last_.senseKey == 0 && !last_.timedOut) {
            // The manager leaves the bytes the data phase moved in the request.
            last_.transferred = srb.SRB_BufLen < length ? srb.SRB_BufLen : length;
            last_.outcome = kOutcomeGood;
            return true;
        }
        last_.transferred = 0;
        if (last_.senseKey != 0 && !last_.timedOut) {
            last_.outcome = kOutcomeCheckCondition;
            return false;
        }
        last_.outcome = kOutcomeFailed;
        if (transferMark_ && !last_.timedOut && attempt == 1) {
            // Flags, buffer and command as before; status and sense start clean again, so that
            // the second answer is not read against the first one's sense data.
            srb = filled;
            continue;
        }
        return false;
    }
}

}  // namespace quiver
