#include "sim/aspi.h"

#include <algorithm>
#include <cstring>

#include "sim/aspi_srb.h"
#include "sim/drive.h"
#include "sim/scsi.h"

namespace sim {

namespace {

constexpr char kManagerId[] = "ASPI for WIN32";
constexpr std::uint32_t kMaxTransfer = 0x00020000;  // reported in HA_Unique

void CopyPadded(std::uint8_t* dest, std::size_t size, const std::string& text) {
    std::memset(dest, ' ', size);
    std::memcpy(dest, text.data(), std::min(size, text.size()));
}

DataDir DirFromFlags(std::uint8_t flags) {
    // Both direction bits at once means "direction from the command" in the ASPI interface; the
    // emulated devices need a direction, so such a request moves no data.
    const std::uint8_t dir = flags & (srb::kDirIn | srb::kDirOut);
    if (dir == srb::kDirIn) {
        return DataDir::In;
    }
    if (dir == srb::kDirOut) {
        return DataDir::Out;
    }
    return DataDir::None;
}

}  // namespace

AspiManager::AspiManager(Clock& clock, std::function<void(void* event)> signal)
    : clock_(clock), signal_(std::move(signal)) {
    thread_ = std::thread([this] { Run(); });
}

AspiManager::~AspiManager() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
    // Requests still queued are dropped as they are: their blocks may already be freed.
}

std::uint32_t AspiManager::GetSupportInfo() const {
    const auto count = std::min<std::size_t>(config_.adapters.size(), 0xFF);
    return (static_cast<std::uint32_t>(config_.supportStatus) << 8) |
           static_cast<std::uint32_t>(count);
}

std::uint32_t AspiManager::SendCommand(void* block) {
    if (block == nullptr) {
        return srb::kInvalidSrb;
    }
    auto* header = static_cast<srb::Header*>(block);
    const std::uint8_t command = header->SRB_Cmd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (command < std::size(counts_)) {
            ++counts_[command];
        }
    }

    std::uint8_t status = srb::kInvalidCmd;
    switch (command) {
        case srb::kHaInquiry:
            status = Inquire(block);
            break;
        case srb::kGetDevType:
            status = DeviceType(block);
            break;
        case srb::kRescanScsiBus:
            status = header->SRB_HaId < config_.adapters.size() ? srb::kComp : srb::kInvalidHa;
            break;
        case srb::kAbortSrb:
            status = Abort(block);
            break;
        case srb::kExecScsiCmd: {
            Drive* drive = nullptr;
            status = Resolve(block, &drive);
            if (status != srb::kComp) {
                break;
            }
            if (config_.asynchronous) {
                srb::StoreSrbStatus(block, srb::kPending);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    queue_.push_back(Request{block, drive});
                }
                cv_.notify_all();
                return srb::kPending;
            }
            // Synchronous: complete on the caller's thread before returning.
            return Execute(Request{block, drive});
        }
        default:
            status = srb::kInvalidCmd;
            break;
    }
    srb::StoreSrbStatus(block, status);
    return status;
}

std::uint8_t AspiManager::Inquire(void* block) const {
    auto* req = static_cast<srb::HAInquiry*>(block);
    if (req->SRB_HaId >= config_.adapters.size()) {
        return srb::kInvalidHa;
    }
    const AspiAdapter& adapter = config_.adapters[req->SRB_HaId];
    req->HA_Count = static_cast<std::uint8_t>(std::min<std::size_t>(config_.adapters.size(), 0xFF));
    req->HA_SCSI_ID = adapter.scsiId;
    CopyPadded(req->HA_ManagerId, sizeof req->HA_ManagerId, kManagerId);
    CopyPadded(req->HA_Identifier, sizeof req->HA_Identifier, adapter.identifier);
    std::memset(req->HA_Unique, 0, sizeof req->HA_Unique);
    req->HA_Unique[3] = 16;  // targets per bus
    for (int i = 0; i < 4; ++i) {
        req->HA_Unique[4 + i] = static_cast<std::uint8_t>(kMaxTransfer >> (8 * i));
    }
    return srb::kComp;
}

std::uint8_t AspiManager::DeviceType(void* block) const {
    auto* req = static_cast<srb::GDEVBlock*>(block);
    if (req->SRB_HaId >= config_.adapters.size()) {
        return srb::kInvalidHa;
    }
    const AspiDevice* device = FindDevice(req->SRB_HaId, req->SRB_Target, req->SRB_Lun);
    if (device == nullptr) {
        return srb::kNoDevice;
    }
    req->SRB_DeviceType = device->deviceType;
    return srb::kComp;
}

const AspiDevice* AspiManager::FindDevice(std::uint8_t ha, std::uint8_t target,
                                          std::uint8_t lun) const {
    if (ha >= config_.adapters.size()) {
        return nullptr;
    }
    for (const AspiDevice& device : config_.adapters[ha].devices) {
        if (device.target == target && device.lun == lun) {
            return &device;
        }
    }
    return nullptr;
}

std::uint8_t AspiManager::Resolve(void* block, Drive** drive) const {
    const auto* req = static_cast<const srb::ExecSCSICmd*>(block);
    if (req->SRB_HaId >= config_.adapters.size()) {
        return srb::kInvalidHa;
    }
    const AspiDevice* device = FindDevice(req->SRB_HaId, req->SRB_Target, req->SRB_Lun);
    if (device == nullptr || device->drive == nullptr) {
        return srb::kNoDevice;
    }
    // A request the manager cannot carry out safely is refused before it reaches the device.
    if (req->SRB_CDBLen == 0 || req->SRB_CDBLen > sizeof req->CDBByte) {
        return srb::kInvalidSrb;
    }
    if (DirFromFlags(req->SRB_Flags) != DataDir::None && req->SRB_BufLen > 0 &&
        req->SRB_BufPointer == nullptr) {
        return srb::kInvalidSrb;
    }
    *drive = device->drive;
    return srb::kComp;
}

std::uint8_t AspiManager::Abort(void* block) {
    void* target = static_cast<srb::Abort*>(block)->SRB_ToAbort;
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = std::find_if(queue_.begin(), queue_.end(),
                           [target](const Request& r) { return r.srb == target; });
    if (target == nullptr || it == queue_.end()) {
        return srb::kAbortFail;
    }
    queue_.erase(it);
    lock.unlock();
    Complete(target, srb::kAborted);
    return srb::kComp;
}

std::uint8_t AspiManager::Execute(const Request& request) {
    auto* req = static_cast<srb::ExecSCSICmd*>(request.srb);
    const DataDir dir = DirFromFlags(req->SRB_Flags);
    std::uint8_t* data = dir == DataDir::None ? nullptr : req->SRB_BufPointer;
    const CommandResult result =
        request.drive->Execute(req->CDBByte, req->SRB_CDBLen, dir, data, req->SRB_BufLen);
    // The request leaves with the bytes its data phase actually moved.
    if (dir != DataDir::None) {
        req->SRB_BufLen = result.transferred;
    }

    std::uint8_t status = srb::kComp;
    switch (result.completion) {
        case Completion::Good:
            req->SRB_HaStat = srb::kHaStatOk;
            req->SRB_TargStat = srb::kTargStatGood;
            break;
        case Completion::CheckCondition: {
            req->SRB_HaStat = srb::kHaStatOk;
            req->SRB_TargStat = srb::kTargStatCheckCondition;
            // The sense area runs SRB_SenseLen bytes from SenseArea, as the interface defines
            // it; the manager delivers at most the bytes the drive sent.
            const SenseData& sense = result.senseData;
            std::memcpy(req->SenseArea, sense.bytes.data(),
                        std::min<std::size_t>(req->SRB_SenseLen, sense.length));
            status = config_.checkConditionStatus;
            break;
        }
        case Completion::TransportFailure:
            req->SRB_HaStat = srb::kHaStatSelectionTimeout;
            req->SRB_TargStat = srb::kTargStatGood;
            status = srb::kErr;
            break;
    }
    Complete(request.srb, status);
    return status;
}

void AspiManager::Complete(void* block, std::uint8_t status) {
    // Everything needed after the status store is read before it: from then on the block may
    // be reused or freed by its owner.
    const auto* req = static_cast<const srb::ExecSCSICmd*>(block);
    void* event = nullptr;
    if (req->SRB_Cmd == srb::kExecScsiCmd && (req->SRB_Flags & srb::kEventNotify) != 0) {
        event = req->SRB_PostProc;
    }
    srb::StoreSrbStatus(block, status);
    if (event != nullptr && signal_) {
        signal_(event);
    }
}

void AspiManager::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || (!hold_ && !queue_.empty()); });
        if (stop_) {
            return;
        }
        const Request request = queue_.front();
        queue_.pop_front();
        ++executing_;
        lock.unlock();
        // The event is signalled inside Execute, before the request stops counting as busy:
        // a waiter that sees Busy() == 0 has already had its chance to see the event.
        Execute(request);
        lock.lock();
        --executing_;
        cv_.notify_all();
    }
}

int AspiManager::Busy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return executing_ + (hold_ ? 0 : static_cast<int>(queue_.size()));
}

int AspiManager::Queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(queue_.size());
}

void AspiManager::Hold(bool hold) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = hold;
    }
    cv_.notify_all();
}

std::uint32_t AspiManager::RequestCount(std::uint8_t command) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return command < std::size(counts_) ? counts_[command] : 0;
}

}  // namespace sim
