#include "platform/sim/sim_platform.h"

#include "platform/collation.h"
#include "platform/device_requests.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

namespace quiver {

namespace {

constexpr std::uintptr_t kAspiModule = 0x0E00;

// The privilege the restart needs, by the identifier the system gives it.
// The longest time limit the pass-through driver accepts, in seconds.

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The SimPlatform whose WNASPI32 the entry points below serve.
std::atomic<SimPlatform*> g_aspiOwner{nullptr};

DWORD AspiSupportInfoEntry() {
    SimPlatform* owner = g_aspiOwner.load(std::memory_order_acquire);
    if (owner == nullptr) {
        return static_cast<DWORD>(SS_NO_ASPI) << 8;
    }
    return owner->machine().aspi().GetSupportInfo();
}

DWORD AspiSendCommandEntry(void* srb) {
    SimPlatform* owner = g_aspiOwner.load(std::memory_order_acquire);
    if (owner == nullptr) {
        return SS_NO_ASPI;
    }
    return owner->machine().aspi().SendCommand(srb);
}

bool EqualNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

bool IsDriveLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// "E:\" or "E:" names the root of drive E.
bool RootLetter(const char* root, char* letter) {
    if (root == nullptr || !IsDriveLetter(root[0]) || root[1] != ':') {
        return false;
    }
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) {
        return false;
    }
    *letter = root[0];
    return true;
}

// "\\.\E:" names the device of drive E.
bool DevicePathLetter(const char* path, char* letter) {
    if (path == nullptr || std::strncmp(path, "\\\\.\\", 4) != 0) {
        return false;
    }
    if (!IsDriveLetter(path[4]) || path[5] != ':' || path[6] != '\0') {
        return false;
    }
    *letter = path[4];
    return true;
}

}  // namespace

struct SimPlatform::HandleEntry {
    enum class Kind { Device, Event, Token, Mutex };
    Kind kind = Kind::Device;
    char letter = 0;        // Device
    int drive = -1;         // Device
    DWORD access = 0;       // Device, Token
    void* event = nullptr;  // Event: the machine's event
    std::string name;       // Mutex: its name; empty for a mutex without one
};

SimPlatform::SimPlatform(sim::Machine& machine) : machine_(machine) {}

SimPlatform::~SimPlatform() {
    SimPlatform* self = this;
    g_aspiOwner.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    // A request the manager still carries out may write into heap blocks that a drive object
    // left behind: the heap goes only once the manager has nothing left to run.
    while (machine_.aspi().Busy() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& [value, entry] : handles_) {
        if (entry->kind == HandleEntry::Kind::Event) {
            machine_.CloseEvent(entry->event);
        }
    }
}

HANDLE SimPlatform::AddHandle(std::unique_ptr<HandleEntry> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t value = handleValues_.Next(handles_);
    if (value == 0) {
        return nullptr;
    }
    handles_[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

// --- Drive strings, types and device access -------------------------------------------------

DWORD SimPlatform::GetLogicalDriveStringsA(DWORD nBufferLength, char* lpBuffer) {
    std::string letters;
    for (const sim::Letter& entry : machine_.letters) {
        letters.push_back(
            static_cast<char>(std::toupper(static_cast<unsigned char>(entry.letter))));
    }
    std::sort(letters.begin(), letters.end());
    letters.erase(std::unique(letters.begin(), letters.end()), letters.end());

    std::vector<std::string> roots;
    for (char letter : letters) {
        roots.push_back(std::string(1, letter) + ":\\");
    }
    return CopyDriveStrings(roots, nBufferLength, lpBuffer);
}

UINT SimPlatform::GetDriveTypeA(const char* lpRootPathName) {
    char letter = 0;
    if (!RootLetter(lpRootPathName, &letter)) {
        return DRIVE_NO_ROOT_DIR;
    }
    const sim::Letter* entry = machine_.FindLetter(letter);
    return entry == nullptr ? DRIVE_NO_ROOT_DIR : static_cast<UINT>(entry->type);
}

HANDLE SimPlatform::CreateFileA(const char* lpFileName, DWORD dwDesiredAccess, DWORD, void*,
                                DWORD dwCreationDisposition, DWORD, HANDLE) {
    char letter = 0;
    const sim::Letter* entry = nullptr;
    if (DevicePathLetter(lpFileName, &letter)) {
        entry = machine_.FindLetter(letter);
    }
    const bool opens = entry != nullptr && entry->type == sim::LetterType::CdRom &&
                       !entry->openFails && entry->drive >= 0 &&
                       static_cast<std::size_t>(entry->drive) < machine_.DriveCount() &&
                       !machine_.drive(static_cast<std::size_t>(entry->drive)).Vanished();
    if (!opens) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {  // devices are only ever opened
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (machine_.locks().VolumeHolder(static_cast<std::size_t>(entry->drive)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);  // the volume is locked
        return INVALID_HANDLE_VALUE;
    }
    auto handle = std::make_unique<HandleEntry>();
    handle->kind = HandleEntry::Kind::Device;
    handle->letter = entry->letter;
    handle->drive = entry->drive;
    handle->access = dwDesiredAccess;
    HANDLE result = AddHandle(std::move(handle));
    if (result == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return result;
}

BOOL SimPlatform::DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, void* lpInBuffer,
                                  DWORD nInBufferSize, void* lpOutBuffer, DWORD nOutBufferSize,
                                  DWORD* lpBytesReturned, void*) {
    DWORD returned = 0;
    DWORD* out = lpBytesReturned != nullptr ? lpBytesReturned : &returned;
    *out = 0;

    HandleEntry device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hDevice));
        if (it == handles_.end() || it->second->kind != HandleEntry::Kind::Device) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        device = *it->second;
    }
    const auto drive = static_cast<std::size_t>(device.drive);
    const auto self = reinterpret_cast<std::uintptr_t>(hDevice);
    switch (dwIoControlCode) {
        case FSCTL_LOCK_VOLUME:
            if (!machine_.locks().LockVolume(drive, self)) {
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
            return TRUE;
        case FSCTL_UNLOCK_VOLUME:
            if (!machine_.locks().UnlockVolume(drive, self)) {
                SetLastError(ERROR_NOT_LOCKED);
                return FALSE;
            }
            return TRUE;
        default:
            break;
    }
    // A locked volume answers only the handle that locked it.
    const std::uintptr_t holder = machine_.locks().VolumeHolder(drive);
    if (holder != 0 && holder != self) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    switch (dwIoControlCode) {
        case IOCTL_SCSI_GET_ADDRESS:
            return ScsiGetAddress(device, lpOutBuffer, nOutBufferSize, out);
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return StorageQuery(device, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                                out);
        case IOCTL_SCSI_PASS_THROUGH_DIRECT:
            return PassThrough(device, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, out);
        default:
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
    }
}

BOOL SimPlatform::ScsiGetAddress(const HandleEntry& device, void* out, DWORD outSize,
                                 DWORD* returned) {
    const sim::Letter* entry = machine_.FindLetter(device.letter);
    if (entry == nullptr || machine_.drive(static_cast<std::size_t>(device.drive)).Vanished()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (out == nullptr || outSize < sizeof(SCSI_ADDRESS)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    SCSI_ADDRESS address{};
    switch (entry->addressReply) {
        case sim::AddressReply::Fails:
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        case sim::AddressReply::ZeroLength:
            address.Length = 0;
            break;
        case sim::AddressReply::Address:
            address.Length = sizeof(SCSI_ADDRESS);
            address.PortNumber = entry->port;
            address.PathId = entry->path;
            address.TargetId = entry->target;
            address.Lun = entry->lun;
            break;
    }
    std::memcpy(out, &address, sizeof address);
    *returned = sizeof address;
    return TRUE;
}

BOOL SimPlatform::StorageQuery(const HandleEntry& device, const void* in, DWORD inSize, void* out,
                               DWORD outSize, DWORD* returned) {
    StorageQueryKind kind = StorageQueryKind::Exists;
    if (const DWORD error = ReadStorageQuery(in, inSize, out, outSize, &kind);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    if (kind == StorageQueryKind::Exists) {
        return TRUE;
    }
    sim::Drive& drive = machine_.drive(static_cast<std::size_t>(device.drive));
    if (drive.Vanished()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    *returned = WriteStorageDescriptor(drive.config().vendor, drive.config().product,
                                       drive.Revision(), BusTypeAtapi, out, outSize);
    return TRUE;
}

BOOL SimPlatform::PassThrough(const HandleEntry& device, const void* in, DWORD inSize, void* out,
                              DWORD outSize, DWORD* returned) {
    SCSI_PASS_THROUGH_DIRECT sptd{};
    if (const DWORD error = ReadPassThrough(in, inSize, out, outSize, &sptd);
        error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    sim::Drive& drive = machine_.drive(static_cast<std::size_t>(device.drive));
    if (drive.Vanished()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }

    sim::DataDir dir = sim::DataDir::None;
    if (sptd.DataIn == SCSI_IOCTL_DATA_IN) {
        dir = sim::DataDir::In;
    } else if (sptd.DataIn == SCSI_IOCTL_DATA_OUT) {
        dir = sim::DataDir::Out;
    }
    auto* data = dir == sim::DataDir::None ? nullptr : static_cast<std::uint8_t*>(sptd.DataBuffer);
    const std::int64_t start = machine_.clock.NowNanos();
    const sim::CommandResult result =
        drive.Execute(sptd.Cdb, sptd.CdbLength, dir, data, sptd.DataTransferLength);
    const std::int64_t took = machine_.clock.NowNanos() - start;

    if (took > static_cast<std::int64_t>(sptd.TimeOutValue) * 1'000'000'000) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    if (result.completion == sim::Completion::TransportFailure) {
        SetLastError(result.vanished ? ERROR_DEVICE_NOT_CONNECTED : ERROR_IO_DEVICE);
        return FALSE;
    }
    sptd.DataTransferLength = result.transferred;
    const bool checked = result.completion == sim::Completion::CheckCondition;
    sptd.ScsiStatus = checked ? 2 : 0;
    const sim::SenseData& sense = result.senseData;
    *returned = WritePassThroughReply(sptd, sense.bytes.data(), checked ? sense.length : 0, out);
    return TRUE;
}

BOOL SimPlatform::CloseHandle(HANDLE hObject) {
    std::unique_ptr<HandleEntry> entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hObject));
        if (it == handles_.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        entry = std::move(it->second);
        handles_.erase(it);
    }
    if (entry->kind == HandleEntry::Kind::Event) {
        machine_.CloseEvent(entry->event);
    } else if (entry->kind == HandleEntry::Kind::Mutex && !entry->name.empty()) {
        machine_.locks().CloseMutex(entry->name);
    } else if (entry->kind == HandleEntry::Kind::Device) {
        // Closing the handle that locked the volume unlocks it.
        machine_.locks().UnlockVolume(static_cast<std::size_t>(entry->drive),
                                      reinterpret_cast<std::uintptr_t>(hObject));
    }
    return TRUE;
}

DWORD SimPlatform::GetLastError() {
    return t_lastError;
}

void SimPlatform::SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// --- The process heap ---------------------------------------------------------------------

HANDLE SimPlatform::GetProcessHeap() {
    if (machine_.os.heapFails) {
        return nullptr;
    }
    return ProcessHeap::Handle();
}

void* SimPlatform::HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) {
    if (machine_.os.heapFails) {
        return nullptr;
    }
    // Fresh memory is not zero on the real heap either: make reliance on it show.
    const std::size_t limit = machine_.os.heapBytes != 0 ? machine_.os.heapBytes : SIZE_MAX;
    return heap_.Alloc(hHeap, dwFlags, dwBytes, 0xCD, limit);
}

BOOL SimPlatform::HeapFree(HANDLE hHeap, DWORD, void* lpMem) {
    const DWORD error = heap_.Free(hHeap, lpMem);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// --- Libraries ------------------------------------------------------------------------------

HMODULE SimPlatform::LoadLibraryA(const char* lpLibFileName) {
    const bool aspi = lpLibFileName != nullptr && (EqualNoCase(lpLibFileName, kAspiLibraryName) ||
                                                   EqualNoCase(lpLibFileName, "wnaspi32.dll"));
    if (!aspi || !machine_.aspi().config().installed) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++libraryLoads_;
        ++totalLibraryLoads_;
    }
    g_aspiOwner.store(this, std::memory_order_release);
    return reinterpret_cast<HMODULE>(kAspiModule);
}

FARPROC SimPlatform::GetProcAddress(HMODULE hModule, const char* lpProcName) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (reinterpret_cast<std::uintptr_t>(hModule) != kAspiModule || libraryLoads_ == 0) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
    }
    // A value below 64 KiB is an ordinal, not a name; the manager exports nothing by ordinal.
    const bool named = reinterpret_cast<std::uintptr_t>(lpProcName) >= 0x10000;
    const sim::AspiConfig& config = machine_.aspi().config();
    if (named && config.hasSupportInfoEntry &&
        std::strcmp(lpProcName, "GetASPI32SupportInfo") == 0) {
        return reinterpret_cast<FARPROC>(&AspiSupportInfoEntry);
    }
    if (named && config.hasSendCommandEntry && std::strcmp(lpProcName, "SendASPI32Command") == 0) {
        return reinterpret_cast<FARPROC>(&AspiSendCommandEntry);
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL SimPlatform::FreeLibrary(HMODULE hLibModule) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (reinterpret_cast<std::uintptr_t>(hLibModule) != kAspiModule || libraryLoads_ == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (--libraryLoads_ == 0) {
        SimPlatform* self = this;
        g_aspiOwner.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    }
    return TRUE;
}

// --- Events -----------------------------------------------------------------------------------

HANDLE SimPlatform::CreateEventA(void*, BOOL bManualReset, BOOL bInitialState, const char*) {
    if (machine_.os.eventCreateFails) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // The handle is the machine's own event value: the ASPI manager signals the handle a
    // request names, without going through this platform.
    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleEntry::Kind::Event;
    entry->event = machine_.CreateEvent(bManualReset != FALSE,
                                        bInitialState != FALSE || machine_.os.staleEventSignals);
    void* event = entry->event;
    std::lock_guard<std::mutex> lock(mutex_);
    handles_[reinterpret_cast<std::uintptr_t>(event)] = std::move(entry);
    return event;
}

DWORD SimPlatform::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    void* event = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hHandle));
        if (it == handles_.end() || it->second->kind != HandleEntry::Kind::Event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        event = it->second->event;
    }
    const std::int64_t timeout =
        dwMilliseconds == INFINITE ? -1 : static_cast<std::int64_t>(dwMilliseconds) * 1'000'000;
    return machine_.WaitEvent(event, timeout) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

// --- Time ---------------------------------------------------------------------------------------

BOOL SimPlatform::QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!machine_.os.hasPerformanceCounter) {
        lpFrequency->QuadPart = 0;
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lpFrequency->QuadPart = sim::Clock::kCounterFrequency;
    return TRUE;
}

BOOL SimPlatform::QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!machine_.os.hasPerformanceCounter) {
        lpPerformanceCount->QuadPart = 0;
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = machine_.clock.ReadCounter();
    return TRUE;
}

void SimPlatform::Sleep(DWORD dwMilliseconds) {
    machine_.clock.SleepMillis(dwMilliseconds);
}

// --- System -----------------------------------------------------------------------------------

BOOL SimPlatform::GetVersionExA(OSVERSIONINFOA* lpVersionInformation) {
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (machine_.os.versionQueryFails) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    OSVERSIONINFOA& info = *lpVersionInformation;
    std::memset(info.szCSDVersion, 0, sizeof info.szCSDVersion);
    if (machine_.os.ntFamily) {
        info.dwMajorVersion = 5;
        info.dwMinorVersion = 1;
        info.dwBuildNumber = 2600;
        info.dwPlatformId = VER_PLATFORM_WIN32_NT;
        std::strcpy(info.szCSDVersion, "Service Pack 3");
    } else {
        // The 95 line keeps major and minor version in the high word of the build number.
        info.dwMajorVersion = 4;
        info.dwMinorVersion = 10;
        info.dwBuildNumber = (4u << 24) | (10u << 16) | 2222u;
        info.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
        std::strcpy(info.szCSDVersion, " A");
    }
    return TRUE;
}

HANDLE SimPlatform::GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL SimPlatform::OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, HANDLE* TokenHandle) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (ProcessHandle != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (TokenHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (machine_.os.tokenOpenFails) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleEntry::Kind::Token;
    entry->access = DesiredAccess;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *TokenHandle = handle;
    return TRUE;
}

BOOL SimPlatform::LookupPrivilegeValueA(const char*, const char* lpName, LUID* lpLuid) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (const DWORD error = LookupShutdownPrivilege(lpName, lpLuid); error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL SimPlatform::AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                        TOKEN_PRIVILEGES* NewState, DWORD BufferLength,
                                        TOKEN_PRIVILEGES* PreviousState, DWORD* ReturnLength) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(TokenHandle));
    if (it == handles_.end() || it->second->kind != HandleEntry::Kind::Token) {
        t_lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    const bool held = !machine_.os.lacksShutdownPrivilege;
    const PrivilegeAdjustment adjusted = AdjustShutdownPrivilege(
        it->second->access, shutdownPrivilegeEnabled_, DisableAllPrivileges, NewState, BufferLength,
        PreviousState, ReturnLength, [held](bool) { return held; });
    t_lastError = adjusted.error;
    if (adjusted.error != ERROR_SUCCESS && adjusted.error != ERROR_NOT_ALL_ASSIGNED) {
        return FALSE;
    }
    shutdownPrivilegeEnabled_ = adjusted.enabled;
    return TRUE;
}

BOOL SimPlatform::ExitWindowsEx(UINT uFlags, DWORD dwReason) {
    sim::RestartRequest request;
    request.flags = uFlags;
    request.reason = dwReason;
    // Logging off needs no privilege; shutting down and restarting do on the NT family.
    const bool logoff = (uFlags & (EWX_SHUTDOWN | EWX_REBOOT | EWX_POWEROFF)) == 0;
    bool privileged = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        privileged = shutdownPrivilegeEnabled_;
    }
    DWORD error = ERROR_SUCCESS;
    if (machine_.os.ntFamily && !logoff && !privileged) {
        error = ERROR_PRIVILEGE_NOT_HELD;
    } else if (machine_.os.restartRefused) {
        error = ERROR_SHUTDOWN_IN_PROGRESS;
    }
    request.accepted = error == ERROR_SUCCESS;
    machine_.RecordRestart(request);
    if (!request.accepted) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// --- Named mutexes, execution state, shutdown block reasons ----------------------------------

HANDLE SimPlatform::CreateMutexA(void*, BOOL, const char* lpName) {
    const std::string name = lpName != nullptr ? lpName : "";
    if (!machine_.os.ntFamily && name.find('\\') != std::string::npos) {
        SetLastError(ERROR_INVALID_NAME);  // no object namespaces before the NT family
        return nullptr;
    }
    bool existed = false;
    if (!name.empty()) {
        const auto& held = machine_.os.heldMutexes;
        existed = machine_.locks().OpenMutex(
            name, std::find(held.begin(), held.end(), name) != held.end());
    }
    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleEntry::Kind::Mutex;
    entry->name = name;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        if (!name.empty()) {
            machine_.locks().CloseMutex(name);
        }
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

EXECUTION_STATE SimPlatform::SetThreadExecutionState(EXECUTION_STATE esFlags) {
    const auto thread =
        static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    const EXECUTION_STATE previous = machine_.locks().SetExecutionState(thread, esFlags);
    if (previous == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    return previous;
}

BOOL SimPlatform::ShutdownBlockReasonCreate(HWND hWnd, const WCHAR* pwszReason) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (hWnd == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (pwszReason == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::string reason;
    for (const WCHAR* c = pwszReason; *c != 0; ++c) {
        reason.push_back(*c >= 0x20 && *c < 0x7F ? static_cast<char>(*c) : '?');
    }
    machine_.locks().BlockShutdown(reinterpret_cast<std::uintptr_t>(hWnd), reason);
    return TRUE;
}

BOOL SimPlatform::ShutdownBlockReasonDestroy(HWND hWnd) {
    if (!machine_.os.ntFamily) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (!machine_.locks().UnblockShutdown(reinterpret_cast<std::uintptr_t>(hWnd))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

// --- Text and message boxes -------------------------------------------------------------------

int SimPlatform::CompareStringA(LCID, DWORD dwCmpFlags, const char* lpString1, int cchCount1,
                                const char* lpString2, int cchCount2) {
    DWORD error = ERROR_SUCCESS;
    const int result =
        CollateStrings(dwCmpFlags, lpString1, cchCount1, lpString2, cchCount2, &error);
    if (result == 0) {
        SetLastError(error);
    }
    return result;
}

int SimPlatform::MessageBoxA(HWND, const char* lpText, const char* lpCaption, UINT uType) {
    const RecordedMessageBox box{lpText != nullptr ? lpText : "",
                                 lpCaption != nullptr ? lpCaption : "", uType};
    MessageBoxHandler handler;
    int answer = IDOK;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back(box);
        handler = messageBoxHandler_;
        if ((uType & 0x0F) == MB_YESNO) {
            answer = yesNoAnswer_;
        }
    }
    return handler ? handler(box) : answer;
}

// --- What the emulated OS saw ----------------------------------------------------------------

std::vector<RecordedMessageBox> SimPlatform::MessageBoxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

int SimPlatform::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(handles_.size());
}

int SimPlatform::LibraryLoadCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return libraryLoads_;
}

int SimPlatform::TotalLibraryLoads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return totalLibraryLoads_;
}

bool SimPlatform::ShutdownPrivilegeEnabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdownPrivilegeEnabled_;
}

int SimPlatform::HeapBlockCount() const {
    return heap_.BlockCount();
}

void SimPlatform::SetYesNoAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    yesNoAnswer_ = answer;
}

void SimPlatform::SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    messageBoxHandler_ = std::move(handler);
}

}  // namespace quiver
