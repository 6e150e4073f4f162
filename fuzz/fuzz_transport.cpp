// The transport, the sense fields and the identity over arbitrary drive replies: an emulated PC
// whose pass-through answers every command from the fuzz input (whether the call succeeds, the
// SCSI status, the sense bytes, the residual and the data), while opening devices and the
// address requests stay those of the emulated system. The drive object then scans, reads the
// identity and the flash identification and waits for the drive, all with bounded loops.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "device/atapi_device.h"
#include "platform/application_tag.h"
#include "platform/sim/sim_platform.h"

namespace {

using namespace quiver;

class FuzzedReplies : public SimPlatform {
  public:
    using SimPlatform::SimPlatform;

    FuzzedDataProvider* input = nullptr;
    int calls = 0;

    BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                         DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                         DWORD* lpBytesReturned, void* lpOverlapped) override {
        if (dwIoControlCode != IOCTL_SCSI_PASS_THROUGH_DIRECT || input == nullptr) {
            return SimPlatform::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                                lpOutBuffer, nOutBufferSize, lpBytesReturned,
                                                lpOverlapped);
        }
        ++calls;
        if (lpOutBuffer == nullptr ||
            nOutBufferSize < sizeof(SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER)) {
            return FALSE;
        }
        auto* area = static_cast<SCSI_PASS_THROUGH_DIRECT_WITH_BUFFER*>(lpOutBuffer);
        SCSI_PASS_THROUGH_DIRECT& r = area->sptd;
        if (input->remaining_bytes() == 0) {
            // Out of input: a drive that is ready and has nothing to say.
            r.ScsiStatus = 0;
            if (lpBytesReturned != nullptr) {
                *lpBytesReturned = sizeof *area;
            }
            return TRUE;
        }
        const std::uint8_t how = input->ConsumeIntegral<std::uint8_t>();
        if ((how & 0x01) != 0) {
            SetLastError(ERROR_IO_DEVICE);
            return FALSE;
        }
        r.ScsiStatus = (how & 0x02) != 0 ? 2 : (how & 0x04) != 0 ? 8 : 0;
        if ((how & 0x08) != 0) {
            const std::vector<std::uint8_t> sense =
                input->ConsumeBytes<std::uint8_t>(sizeof area->ucSenseBuf);
            if (!sense.empty()) {
                std::memcpy(area->ucSenseBuf, sense.data(), sense.size());
            }
        }
        const std::uint32_t asked = r.DataTransferLength;
        if ((how & 0x10) != 0) {
            // The residual, and now and then a count beyond what was asked.
            r.DataTransferLength = input->ConsumeIntegralInRange<std::uint32_t>(0, asked * 2 + 1);
        }
        if (r.DataIn == SCSI_IOCTL_DATA_IN && r.DataBuffer != nullptr && asked != 0) {
            const std::vector<std::uint8_t> bytes = input->ConsumeBytes<std::uint8_t>(
                std::min<std::size_t>(asked, input->ConsumeIntegral<std::uint8_t>() * 2u));
            if (!bytes.empty()) {
                std::memcpy(r.DataBuffer, bytes.data(), bytes.size());
            }
        }
        if ((how & 0x20) != 0) {
            // The command takes a while: the command timer sees it.
            machine().clock.SleepMillis(input->ConsumeIntegral<std::uint16_t>());
        }
        if (lpBytesReturned != nullptr) {
            *lpBytesReturned = sizeof *area;
        }
        return TRUE;
    }
};

// One emulated PC for the whole run: a KMR-730T at E:.
struct World {
    World() {
        machine.AddLetter('C', sim::LetterType::Fixed);
        machine.AddDrive(sim::DriveConfig{});
        machine.AddLetter('E', sim::LetterType::CdRom, 0);
        SetApplicationTag(0);
    }
    sim::Machine machine;
    FuzzedReplies os{machine};
    ScopedPlatform scope{os};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    FuzzedDataProvider input(data, size);
    world.os.input = &input;
    world.os.calls = 0;
    {
        AtapiDevice device(true);
        if (device.RecordCount() > kMaxDrives) {
            __builtin_trap();
        }
        for (int i = 0; i < device.RecordCount(); ++i) {
            const DriveRecord* r = device.RecordAt(i);
            if (r != nullptr && (r->vendor[8] != 0 || r->product[16] != 0 || r->revision[4] != 0 ||
                                 r->vendor_specific[16] != 0)) {
                __builtin_trap();
            }
        }
        if (device.SelectDrive(0)) {
            device.Inquiry(0, 0, 0, 0x60, 0);
            device.ReadIdentity();
            device.RefreshIdentity();
            device.ReadFlashId();
            device.TestUnitReady();
            device.ClearUnitAttention();
            device.WaitReady(5);
            device.NoMedium();
            const LastCommand& last = device.LastCommandRecord();
            if (last.outcome > kOutcomeCheckCondition || last.senseKey > 0x0F) {
                __builtin_trap();
            }
            if (std::strlen(device.CurrentVendor()) > 8 ||
                std::strlen(device.CurrentProduct()) > 16 ||
                std::strlen(device.CurrentRevision()) > 4 ||
                std::strlen(device.CurrentVendorSpecific()) > 16) {
                __builtin_trap();
            }
        }
    }
    // Every loop of the drive object is bounded: a few hundred commands at most.
    if (world.os.calls > 2000) {
        __builtin_trap();
    }
    world.os.input = nullptr;
    return 0;
}
