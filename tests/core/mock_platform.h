// A GoogleMock platform for tests of the logic above the OS seam, with small fakes for the
// counter and the text collation.
#pragma once

#include <gmock/gmock.h>

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace quiver::testing {

class MockPlatform : public Platform {
  public:
    MOCK_METHOD(DWORD, GetLogicalDriveStringsA, (DWORD, char*), (override));
    MOCK_METHOD(UINT, GetDriveTypeA, (const char*), (override));
    MOCK_METHOD(HANDLE, CreateFileA, (const char*, DWORD, DWORD, void*, DWORD, DWORD, HANDLE),
                (override));
    MOCK_METHOD(BOOL, DeviceIoControl, (HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, void*),
                (override));
    MOCK_METHOD(BOOL, CloseHandle, (HANDLE), (override));
    MOCK_METHOD(DWORD, GetLastError, (), (override));
    MOCK_METHOD(void, SetLastError, (DWORD), (override));
    MOCK_METHOD(HANDLE, GetProcessHeap, (), (override));
    MOCK_METHOD(void*, HeapAlloc, (HANDLE, DWORD, std::size_t), (override));
    MOCK_METHOD(BOOL, HeapFree, (HANDLE, DWORD, void*), (override));
    MOCK_METHOD(HMODULE, LoadLibraryA, (const char*), (override));
    MOCK_METHOD(FARPROC, GetProcAddress, (HMODULE, const char*), (override));
    MOCK_METHOD(BOOL, FreeLibrary, (HMODULE), (override));
    MOCK_METHOD(HANDLE, CreateEventA, (void*, BOOL, BOOL, const char*), (override));
    MOCK_METHOD(DWORD, WaitForSingleObject, (HANDLE, DWORD), (override));
    MOCK_METHOD(BOOL, QueryPerformanceFrequency, (LARGE_INTEGER*), (override));
    MOCK_METHOD(BOOL, QueryPerformanceCounter, (LARGE_INTEGER*), (override));
    MOCK_METHOD(void, Sleep, (DWORD), (override));
    MOCK_METHOD(BOOL, SwitchToThread, (), (override));
    MOCK_METHOD(BOOL, GetVersionExA, (OSVERSIONINFOA*), (override));
    MOCK_METHOD(HANDLE, GetCurrentProcess, (), (override));
    MOCK_METHOD(BOOL, OpenProcessToken, (HANDLE, DWORD, HANDLE*), (override));
    MOCK_METHOD(BOOL, LookupPrivilegeValueA, (const char*, const char*, LUID*), (override));
    MOCK_METHOD(BOOL, AdjustTokenPrivileges,
                (HANDLE, BOOL, TOKEN_PRIVILEGES*, DWORD, TOKEN_PRIVILEGES*, DWORD*), (override));
    MOCK_METHOD(BOOL, ExitWindowsEx, (UINT, DWORD), (override));
    MOCK_METHOD(HANDLE, CreateMutexA, (void*, BOOL, const char*), (override));
    MOCK_METHOD(EXECUTION_STATE, SetThreadExecutionState, (EXECUTION_STATE), (override));
    MOCK_METHOD(BOOL, ShutdownBlockReasonCreate, (HWND, const WCHAR*), (override));
    MOCK_METHOD(BOOL, ShutdownBlockReasonDestroy, (HWND), (override));
    MOCK_METHOD(BOOL, SetConsoleCtrlHandler, (PHANDLER_ROUTINE, BOOL), (override));
    MOCK_METHOD(int, CompareStringA, (LCID, DWORD, const char*, int, const char*, int), (override));
    MOCK_METHOD(int, MessageBoxA, (HWND, const char*, const char*, UINT), (override));

    // CompareStringA over zero-terminated texts by their bytes: the order the user's collation
    // gives texts of digits and capitals, and what the tests need.
    void UseByteCollation() {
        ON_CALL(*this, CompareStringA)
            .WillByDefault([](LCID, DWORD, const char* a, int, const char* b, int) {
                const int c = std::strcmp(a, b);
                return c < 0 ? CSTR_LESS_THAN : c == 0 ? CSTR_EQUAL : CSTR_GREATER_THAN;
            });
    }

    // A performance counter at `frequency` counts a second that moves on by `tick` counts on
    // every read, plus whatever the test adds to `now`.
    void UseCounter(std::int64_t frequency, std::int64_t tick) {
        tick_ = tick;
        ON_CALL(*this, QueryPerformanceFrequency).WillByDefault([frequency](LARGE_INTEGER* f) {
            f->QuadPart = frequency;
            return TRUE;
        });
        ON_CALL(*this, QueryPerformanceCounter).WillByDefault([this](LARGE_INTEGER* c) {
            now += tick_;
            c->QuadPart = now;
            return TRUE;
        });
    }

    std::int64_t now = 0;

  private:
    std::int64_t tick_ = 0;
};

}  // namespace quiver::testing
