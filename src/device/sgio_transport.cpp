#include "device/sgio_transport.h"

#include <cerrno>

#include "device/atapi_device.h"
#include "platform/drive_access.h"

namespace quiver {

namespace {

// Sense key, ASC and ASCQ of fixed-format (0x70, 0x71) or descriptor-format (0x72, 0x73) sense.
void TakeSense(const DriveReply& reply, TransportResult& result) {
    const std::uint8_t* sense = reply.sense;
    const std::uint8_t length = reply.senseLength;
    if (length == 0) {
        return;
    }
    const std::uint8_t code = sense[0] & 0x7F;
    if (code == 0x72 || code == 0x73) {
        result.senseKey = length > 1 ? sense[1] & 0x0F : 0;
        result.asc = length > 2 ? sense[2] : 0;
        result.ascq = length > 3 ? sense[3] : 0;
        return;
    }
    result.senseKey = length > 2 ? sense[2] & 0x0F : 0;
    result.asc = length > 12 ? sense[12] : 0;
    result.ascq = length > 13 ? sense[13] : 0;
}

DataDirection DirectionOf(std::uint8_t direction, std::uint32_t length) {
    if (length == 0) {
        return DataDirection::None;
    }
    return direction == kDataIn    ? DataDirection::FromDrive
           : direction == kDataOut ? DataDirection::ToDrive
                                   : DataDirection::None;
}

}  // namespace

TransportResult SgioTransport::Execute(const TransportRequest& request, HiTimer& timer) {
    TransportResult result;
    if (request.address.drive == nullptr) {
        result.status = TransportStatus::OsError;
        result.osError = ENODEV;
        return result;
    }
    DriveCommand command;
    command.block = request.commandBlock;
    command.blockLength = kCommandBlockBytes;
    command.direction = DirectionOf(request.direction, request.length);
    command.data = command.direction == DataDirection::None ? nullptr : request.buffer;
    command.length = command.direction == DataDirection::None ? 0 : request.length;
    command.timeLimit = request.timeLimit;

    timer.Start(true);
    const DriveReply reply = request.address.drive->Send(command);
    timer.Stop();
    result.duration = timer.Total();
    TakeSense(reply, result);

    const std::uint16_t driver = reply.driverStatus & 0x0F;
    if (reply.error != 0) {
        result.status = TransportStatus::OsError;
        result.osError = static_cast<std::uint32_t>(reply.error);
    } else if (static_cast<double>(request.timeLimit) < result.duration ||
               reply.hostStatus == kHostTimeOut || driver == kDriverTimeOut) {
        result.status = TransportStatus::TimedOut;
    } else if (reply.hostStatus != 0 || (driver != 0 && driver != kDriverSense)) {
        result.status = TransportStatus::TransportFailure;
    } else if (result.senseKey != 0) {
        result.status = TransportStatus::CheckCondition;
    } else if (reply.status != 0) {
        // A status other than GOOD without sense data (BUSY, for one) is no success.
        result.status = TransportStatus::TransportFailure;
    } else {
        result.status = TransportStatus::Good;
        result.transferred =
            reply.transferred < command.length ? reply.transferred : command.length;
    }
    return result;
}

}  // namespace quiver
