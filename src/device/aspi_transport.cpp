#include "device/aspi_transport.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "host/immortal.h"
#include "platform/platform.h"

namespace quiver {

namespace {

// Requests and buffers that an ASPI manager still held when their drive object went away. They
// are kept for the life of the process: the manager may still write into them.
struct Abandoned {
    std::mutex mutex;
    std::vector<TransferBuffer> buffers;
    std::vector<std::unique_ptr<SRB_ExecSCSICmd>> requests;
};

Abandoned& AbandonedStore() {
    // Never destroyed: the manager may outlive every object of ours.
    static Immortal<Abandoned> store;
    return store.get();
}

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

AspiTransport::AspiTransport() : block_(std::make_unique<SRB_ExecSCSICmd>()) {}

AspiTransport::~AspiTransport() {
    if (stranded_) {
        // Close() was not called: the block still cannot be given back.
        std::lock_guard<std::mutex> lock(AbandonedStore().mutex);
        AbandonedStore().requests.emplace_back(std::move(block_));
        library_ = nullptr;
    }
    Unload();
}

void AspiTransport::Close(TransferBuffer& readBuffer, TransferBuffer& writeBuffer) {
    if (stranded_) {
        // The manager still owns a request that points into these: keep them, and keep the
        // manager loaded, for the rest of the process.
        Abandoned& store = AbandonedStore();
        std::lock_guard<std::mutex> lock(store.mutex);
        store.buffers.emplace_back(std::move(readBuffer));
        store.buffers.emplace_back(std::move(writeBuffer));
        store.requests.emplace_back(std::move(block_));
        library_ = nullptr;
        getSupportInfo_ = nullptr;
        sendCommand_ = nullptr;
        stranded_ = false;
    } else {
        readBuffer.Reset();
        writeBuffer.Reset();
        block_.reset();
    }
    Unload();
}

bool AspiTransport::Probe() {
    Platform& os = Os();
    HMODULE library = os.LoadLibraryA(kAspiLibraryName);
    if (library == nullptr) {
        return false;
    }
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(
        os.GetProcAddress(library, "GetASPI32SupportInfo"));
    auto send =
        reinterpret_cast<SendASPI32CommandFn>(os.GetProcAddress(library, "SendASPI32Command"));
    if (support == nullptr || send == nullptr) {
        os.FreeLibrary(library);
        return false;
    }
    const BYTE status = static_cast<BYTE>((support() >> 8) & 0xFF);
    os.FreeLibrary(library);
    return status == SS_COMP;
}

bool AspiTransport::Load() {
    Platform& os = Os();
    const char* text = nullptr;
    const char* caption = nullptr;

    library_ = os.LoadLibraryA(kAspiLibraryName);
    if (library_ == nullptr) {
        text = "LoadLibrary:\nWNASPI32.DLL not found.";
        caption = "Error FS 002";
    } else {
        getSupportInfo_ = reinterpret_cast<GetASPI32SupportInfoFn>(
            os.GetProcAddress(library_, "GetASPI32SupportInfo"));
        if (getSupportInfo_ == nullptr) {
            text = "GetProcAddress:\nGetASPI32SupportInfo not fount.";
            caption = "Error FS 003";
        } else {
            sendCommand_ = reinterpret_cast<SendASPI32CommandFn>(
                os.GetProcAddress(library_, "SendASPI32Command"));
            if (sendCommand_ == nullptr) {
                text = "GetProcAddress:\npfnSendASPI32Command not found.";
                caption = "Error FS 004";
            } else {
                const BYTE status = static_cast<BYTE>((getSupportInfo_() >> 8) & 0xFF);
                caption = "GetASPISupportInfo:";
                switch (status) {
                    case SS_COMP:
                        return true;
                    case SS_NO_ASPI:
                        text = "Could not find the ASPI manager.";
                        break;
                    case SS_ILLEGAL_MODE:
                        text = "ASPI for Windows does not support real mode.";
                        break;
                    case SS_OLD_MANAGER:
                        text = "Old ASPI manager.";
                        break;
                    default:
                        text = "Error initializing ASPI.";
                        break;
                }
            }
        }
    }

    os.MessageBoxA(nullptr, text, caption, MB_ICONERROR | MB_OK);
    if (library_ != nullptr) {
        os.FreeLibrary(library_);
    }
    library_ = nullptr;
    getSupportInfo_ = nullptr;
    sendCommand_ = nullptr;
    return false;
}

void AspiTransport::Unload() {
    if (library_ != nullptr) {
        Os().FreeLibrary(library_);
    }
    library_ = nullptr;
    getSupportInfo_ = nullptr;
    sendCommand_ = nullptr;
}

void AspiTransport::AwaitStatus(SRB_ExecSCSICmd& srb, HiTimer& timer, std::uint32_t timeLimit) {
    // Polled in 1 ms pauses within the command's time limit, which the pauses bound on their
    // own where there is no performance counter to measure it.
    const DWORD limit = WaitMillis(timeLimit);
    for (DWORD paused = 0; RequestStatus(srb.SRB_Status) == SS_PENDING && paused < limit &&
                           timer.Elapsed() <= static_cast<double>(timeLimit);
         ++paused) {
        Os().Sleep(1);
    }
}

TransportResult AspiTransport::Execute(const TransportRequest& request, HiTimer& timer) {
    SRB_ExecSCSICmd& srb = *block_;
    std::memset(&srb, 0, sizeof srb);
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_HaId = static_cast<BYTE>(request.address.adapter & 0xFF);
    srb.SRB_Target = static_cast<BYTE>(request.address.target & 0xFF);
    srb.SRB_Lun = static_cast<BYTE>(request.address.lun & 0xFF);
    srb.SRB_Flags = request.direction == SCSI_IOCTL_DATA_IN    ? SRB_DIR_IN
                    : request.direction == SCSI_IOCTL_DATA_OUT ? SRB_DIR_OUT
                                                               : 0;
    srb.SRB_BufLen = request.length;
    srb.SRB_BufPointer = static_cast<BYTE*>(request.buffer);
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = kCommandBlockBytes;
    std::memcpy(srb.CDBByte, request.commandBlock, kCommandBlockBytes);

    Platform& os = Os();
    timer.Start(true);
    HANDLE event = os.CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event != nullptr) {
        srb.SRB_Flags |= SRB_EVENT_NOTIFY;
        srb.SRB_PostProc = event;
        sendCommand_(&srb);
        if (RequestStatus(srb.SRB_Status) == SS_PENDING) {
            // The status tells the end of the request, not the event: a manager stores the
            // status and then signals, so a signal can reach a new event late, through a handle
            // value reused from a request that had already ended. A wake-up with the request
            // still pending is waited out.
            if (os.WaitForSingleObject(event, WaitMillis(request.timeLimit)) == WAIT_OBJECT_0) {
                AwaitStatus(srb, timer, request.timeLimit);
            }
        }
    } else {
        sendCommand_(&srb);
        AwaitStatus(srb, timer, request.timeLimit);
    }
    timer.Stop();

    TransportResult result;
    result.duration = timer.Total();
    const BYTE status = RequestStatus(srb.SRB_Status);
    if (status == SS_PENDING) {
        // The manager still holds the request: it may write the block, the sense area and the
        // buffer at any time, and signal the event. None of them may be reused.
        stranded_ = true;
        result.status = TransportStatus::TimedOut;
        return result;
    }
    if (event != nullptr) {
        os.CloseHandle(event);
    }

    result.senseKey = srb.SenseArea[2] & 0x0F;
    result.asc = srb.SenseArea[12];
    result.ascq = srb.SenseArea[13];
    if (static_cast<double>(request.timeLimit) < result.duration) {
        result.status = TransportStatus::TimedOut;
    } else if (status == SS_COMP && result.senseKey == 0) {
        result.status = TransportStatus::Good;
        // The manager leaves the bytes the data phase moved in the request.
        result.transferred = srb.SRB_BufLen < request.length ? srb.SRB_BufLen : request.length;
    } else if (result.senseKey != 0) {
        // A non-zero sense key is the drive's answer, whatever the request's status says.
        result.status = TransportStatus::CheckCondition;
    } else {
        result.status = TransportStatus::TransportFailure;
    }
    return result;
}

}  // namespace quiver
