// The Linux platform: its drives' roots and the handle table, the last error, the process heap,
// libraries (none), events and time.
#include "platform/linux/linux_platform.h"

#include <dirent.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/linux/linux_platform_detail.h"

namespace quiver {

using linux_detail::ReadLine;

namespace {

constexpr int kHighestSrNumber = 35;

thread_local DWORD t_lastError = ERROR_SUCCESS;

// "srN" -> N; -1 for any other name.
int SrNumberOfName(const char* name) {
    if (std::strncmp(name, "sr", 2) != 0 || name[2] == '\0') {
        return -1;
    }
    int n = 0;
    for (const char* p = name + 2; *p != '\0'; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p)) || n > 100000) {
            return -1;
        }
        n = n * 10 + (*p - '0');
    }
    if (name[2] == '0' && name[3] != '\0') {
        return -1;  // no leading zeros: "sr01" is not sr1
    }
    return n;
}

}  // namespace

namespace linux_detail {

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
        case EFAULT:
        case EOVERFLOW:
            return ERROR_INVALID_PARAMETER;
        case ENOTTY:
        case ENOSYS:
            return ERROR_INVALID_FUNCTION;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case ENOMEDIUM:
        case EBUSY:
            return ERROR_NOT_READY;
        default:
            return ERROR_IO_DEVICE;
    }
}

// The first line of a small sysfs file, without the line break; nothing when it cannot be read.
bool ReadLine(const std::string& path, std::string* line) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::getline(in, *line);
    return !in.bad();
}

}  // namespace linux_detail

LinuxPlatform::LinuxPlatform(std::string root, Hooks hooks)
    : root_(std::move(root)), hooks_(std::move(hooks)) {
    if (!hooks_.mayRestart) {
        hooks_.mayRestart = linux_detail::RealMayRestart;
    }
    if (!hooks_.restart) {
        hooks_.restart = linux_detail::RealRestart;
    }
    if (!hooks_.messageBox) {
        hooks_.messageBox = linux_detail::StderrMessageBox;
    }
    if (!hooks_.report) {
        hooks_.report = linux_detail::StderrReport;
    }
}

LinuxPlatform::~LinuxPlatform() = default;

std::string LinuxPlatform::RootForSrNumber(int n) {
    if (n < 0 || n > kHighestSrNumber) {
        return {};
    }
    const char c = n < 10 ? static_cast<char>('0' + n) : static_cast<char>('A' + n - 10);
    return std::string(1, c) + ":";
}

int LinuxPlatform::SrNumberForRoot(const char* root) {
    if (root == nullptr || root[0] == '\0' || root[1] != ':') {
        return -1;
    }
    if (root[2] != '\0' && !(root[2] == '\\' && root[3] == '\0')) {
        return -1;
    }
    const unsigned char c = static_cast<unsigned char>(root[0]);
    if (std::isdigit(c)) {
        return c - '0';
    }
    if (std::isalpha(c)) {
        return std::toupper(c) - 'A' + 10;
    }
    return -1;
}

std::string LinuxPlatform::Path(const std::string& relative) const {
    std::string path = root_;
    if (path.empty() || path.back() != '/') {
        path += '/';
    }
    return path + relative;
}

std::string LinuxPlatform::SysBlock(int sr) const {
    return Path("sys/class/block/sr" + std::to_string(sr));
}

bool LinuxPlatform::IsOptical(int sr) const {
    std::string type;
    return sr >= 0 && ReadLine(SysBlock(sr) + "/device/type", &type) && type == "5";
}

std::vector<int> LinuxPlatform::OpticalSrNumbers() const {
    std::vector<int> numbers;
    DIR* dir = opendir(Path("sys/class/block").c_str());
    if (dir == nullptr) {
        return numbers;
    }
    while (const dirent* entry = readdir(dir)) {
        const int n = SrNumberOfName(entry->d_name);
        if (n >= 0 && n <= kHighestSrNumber && IsOptical(n)) {
            numbers.push_back(n);
        }
    }
    closedir(dir);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

HANDLE LinuxPlatform::AddHandle(std::shared_ptr<HandleEntry> entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uintptr_t value = handleValues_.Next(handles_);
    if (value == 0) {
        return nullptr;
    }
    handles_[value] = std::move(entry);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<LinuxPlatform::HandleEntry> LinuxPlatform::FindHandle(HANDLE handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

DWORD LinuxPlatform::GetLastError() {
    return t_lastError;
}

void LinuxPlatform::SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

// --- The process heap -------------------------------------------------------------------------

HANDLE LinuxPlatform::GetProcessHeap() {
    return ProcessHeap::Handle();
}

void* LinuxPlatform::HeapAlloc(HANDLE hHeap, DWORD dwFlags, std::size_t dwBytes) {
    return heap_.Alloc(hHeap, dwFlags, dwBytes);
}

BOOL LinuxPlatform::HeapFree(HANDLE hHeap, DWORD, void* lpMem) {
    const DWORD error = heap_.Free(hHeap, lpMem);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

// --- Libraries --------------------------------------------------------------------------------

HMODULE LinuxPlatform::LoadLibraryA(const char*) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC LinuxPlatform::GetProcAddress(HMODULE, const char*) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL LinuxPlatform::FreeLibrary(HMODULE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

// --- Events -----------------------------------------------------------------------------------

HANDLE LinuxPlatform::CreateEventA(void*, BOOL bManualReset, BOOL bInitialState, const char*) {
    auto entry = std::make_shared<HandleEntry>();
    entry->kind = HandleEntry::Kind::Event;
    entry->event = std::make_shared<Event>();
    entry->event->manualReset = bManualReset != FALSE;
    entry->event->signalled = bInitialState != FALSE;
    HANDLE handle = AddHandle(std::move(entry));
    if (handle == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return handle;
}

DWORD LinuxPlatform::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const std::shared_ptr<HandleEntry> entry = FindHandle(hHandle);
    if (entry == nullptr || entry->kind != HandleEntry::Kind::Event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Event& event = *entry->event;
    std::unique_lock<std::mutex> lock(event.mutex);
    const auto signalled = [&] { return event.signalled; };
    if (dwMilliseconds == INFINITE) {
        event.cv.wait(lock, signalled);
    } else if (!event.cv.wait_for(lock, std::chrono::milliseconds(dwMilliseconds), signalled)) {
        return WAIT_TIMEOUT;
    }
    if (!event.manualReset) {
        event.signalled = false;
    }
    return WAIT_OBJECT_0;
}

// --- Time ---------------------------------------------------------------------------------------

std::int64_t LinuxPlatform::NowNanos() const {
    if (hooks_.monotonicNanos) {
        return hooks_.monotonicNanos();
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

BOOL LinuxPlatform::QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpFrequency->QuadPart = 1'000'000'000;  // the counter counts nanoseconds
    return TRUE;
}

BOOL LinuxPlatform::QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (lpPerformanceCount == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = NowNanos();
    return TRUE;
}

void LinuxPlatform::Sleep(DWORD dwMilliseconds) {
    if (hooks_.sleep) {
        hooks_.sleep(dwMilliseconds);
        return;
    }
    timespec left{static_cast<time_t>(dwMilliseconds / 1000),
                  static_cast<long>(dwMilliseconds % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

BOOL LinuxPlatform::SwitchToThread() {
    return sched_yield() == 0 ? TRUE : FALSE;
}

// --- For tests --------------------------------------------------------------------------------

int LinuxPlatform::OpenHandleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(handles_.size());
}

int LinuxPlatform::HeapBlockCount() const {
    return heap_.BlockCount();
}

bool LinuxPlatform::UsedGenericNode(HANDLE device) const {
    const std::shared_ptr<HandleEntry> entry = FindHandle(device);
    if (entry == nullptr || entry->kind != HandleEntry::Kind::Device) {
        return false;
    }
    std::lock_guard<std::mutex> lock(entry->device->sgMutex);
    return entry->device->sgFd >= 0;
}

}  // namespace quiver
