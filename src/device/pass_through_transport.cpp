#include "device/pass_through_transport.h"

#include <cstddef>
#include <cstring>

#include "platform/platform.h"

namespace quiver {

TransportResult PassThroughTransport::Execute(const TransportRequest& request, HiTimer& timer) {
    SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER& block = block_;
    std::memset(&block, 0, sizeof block);
    SCSI_PASS_THROUGH_DIRECT& sptd = block.sptd;
    sptd.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    // The handle designates the drive: the address fields carry no routing.
    sptd.PathId = static_cast<UCHAR>(request.address.adapter & 0xFF);
    sptd.TargetId = static_cast<UCHAR>(request.address.target & 0xFF);
    sptd.Lun = 0;
    sptd.CdbLength = kCommandBlockBytes;
    sptd.SenseInfoLength = 24;
    sptd.DataIn = request.direction;
    sptd.DataTransferLength = request.length;
    sptd.TimeOutValue = request.timeLimit;
    sptd.DataBuffer = request.buffer;
    sptd.SenseInfoOffset = offsetof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER, ucSenseBuf);
    std::memcpy(sptd.Cdb, request.commandBlock, kCommandBlockBytes);

    Platform& os = Os();
    timer.Start(true);
    DWORD returned = 0;
    const BOOL ok =
        os.DeviceIoControl(request.address.handle, IOCTL_SCSI_PASS_THROUGH_DIRECT, &block,
                           sizeof block, &block, sizeof block, &returned, nullptr);
    timer.Stop();

    TransportResult result;
    result.duration = timer.Total();
    result.senseKey = block.ucSenseBuf[2] & 0x0F;
    result.asc = block.ucSenseBuf[12];
    result.ascq = block.ucSenseBuf[13];
    if (static_cast<double>(request.timeLimit) < result.duration) {
        result.status = TransportStatus::TimedOut;
    } else if (!ok) {
        result.status = TransportStatus::OsError;
        result.osError = os.GetLastError();
    } else if (result.senseKey != 0) {
        result.status = TransportStatus::CheckCondition;
    } else if (sptd.ScsiStatus != 0) {
        // A status other than GOOD without sense data (BUSY, for one) is no success.
        result.status = TransportStatus::TransportFailure;
    } else {
        result.status = TransportStatus::Good;
        result.transferred = sptd.DataTransferLength;
    }
    return result;
}

}  // namespace quiver
