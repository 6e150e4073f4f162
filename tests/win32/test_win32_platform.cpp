// The platform seam on the real Win32 API, run on Windows (or Wine). Facts that hold on any
// Windows with no optical drive at E: and that the updater relies on. ExitWindowsEx is never
// called: it would end the session.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/win32/win32_platform.h"

namespace quiver {
namespace {

class Win32PlatformTest : public ::testing::Test {
  protected:
    Win32Platform os;
};

// The drive strings: "X:\" entries, each ended by a NUL, the list by another.
std::vector<std::string> DriveStrings(Platform& os) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    const DWORD length = os.GetLogicalDriveStringsA(sizeof buffer, buffer);
    std::vector<std::string> drives;
    if (length == 0 || length >= sizeof buffer) {
        return drives;
    }
    EXPECT_EQ(buffer[length], '\0');
    for (const char* p = buffer; *p != '\0'; p += std::strlen(p) + 1) {
        drives.emplace_back(p);
    }
    return drives;
}

TEST_F(Win32PlatformTest, DriveStringsListRootsAndReportTheNeededSize) {
    const std::vector<std::string> drives = DriveStrings(os);
    ASSERT_FALSE(drives.empty());
    bool hasC = false;
    for (const std::string& drive : drives) {
        ASSERT_EQ(drive.size(), 3u) << drive;
        EXPECT_EQ(drive.substr(1), ":\\") << drive;
        hasC = hasC || drive == "C:\\";
    }
    EXPECT_TRUE(hasC);
    // A buffer too small is left alone and the size with the final NUL is returned.
    char small[2] = {'x', 'x'};
    const DWORD needed = os.GetLogicalDriveStringsA(sizeof small, small);
    EXPECT_EQ(needed, 4 * drives.size() + 1);
    EXPECT_EQ(small[0], 'x');
}

TEST_F(Win32PlatformTest, DriveTypes) {
    EXPECT_EQ(os.GetDriveTypeA("C:\\"), DRIVE_FIXED);
    // A root that does not exist.
    const std::vector<std::string> drives = DriveStrings(os);
    for (char letter = 'Q'; letter <= 'Y'; ++letter) {
        const std::string root = std::string(1, letter) + ":\\";
        bool listed = false;
        for (const std::string& d : drives) {
            listed = listed || d == root;
        }
        if (!listed) {
            EXPECT_EQ(os.GetDriveTypeA(root.c_str()), 1u) << root;  // DRIVE_NO_ROOT_DIR
            break;
        }
    }
}

TEST_F(Win32PlatformTest, OpeningAnAbsentDeviceFailsWithAnError) {
    os.SetLastError(0);
    HANDLE h = os.CreateFileA("\\\\.\\E:", GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING,
                              0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(os.GetLastError(), 0u);
    if (h != INVALID_HANDLE_VALUE) {
        os.CloseHandle(h);
    }
}

TEST_F(Win32PlatformTest, VersionIsNt) {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(os.GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_GE(info.dwMajorVersion, 5u);
}

TEST_F(Win32PlatformTest, ShutdownPrivilegeCanBeEnabled) {
    HANDLE token = nullptr;
    ASSERT_TRUE(
        os.OpenProcessToken(os.GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    ASSERT_NE(token, nullptr);
    TOKEN_PRIVILEGES privileges{};
    ASSERT_TRUE(
        os.LookupPrivilegeValueA(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid));
    EXPECT_TRUE(privileges.Privileges[0].Luid.LowPart != 0 ||
                privileges.Privileges[0].Luid.HighPart != 0);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    os.SetLastError(12345);
    EXPECT_TRUE(os.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    // Success leaves 0, or ERROR_NOT_ALL_ASSIGNED when the privilege is not held.
    const DWORD error = os.GetLastError();
    EXPECT_TRUE(error == 0 || error == ERROR_NOT_ALL_ASSIGNED) << error;
    EXPECT_TRUE(os.CloseHandle(token));

    LUID unknown{};
    EXPECT_FALSE(os.LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &unknown));
}

TEST_F(Win32PlatformTest, CompareStringIsLinguisticAndHonoursLengths) {
    EXPECT_EQ(os.CompareStringA(LOCALE_USER_DEFAULT, 0, "a", -1, "B", -1), CSTR_LESS_THAN);
    EXPECT_EQ(os.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM0F", -1, "QM03", -1), CSTR_GREATER_THAN);
    EXPECT_EQ(os.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM03", -1, "QM03", -1), CSTR_EQUAL);
    // Counted strings compare only their counted part.
    EXPECT_EQ(os.CompareStringA(LOCALE_USER_DEFAULT, 0, "QM03xyz", 4, "QM03abc", 4), CSTR_EQUAL);
}

TEST_F(Win32PlatformTest, CounterEventsAndHeap) {
    LARGE_INTEGER frequency{};
    ASSERT_TRUE(os.QueryPerformanceFrequency(&frequency));
    EXPECT_GT(frequency.QuadPart, 0);
    LARGE_INTEGER a{}, b{};
    ASSERT_TRUE(os.QueryPerformanceCounter(&a));
    os.Sleep(2);
    ASSERT_TRUE(os.QueryPerformanceCounter(&b));
    EXPECT_GT(b.QuadPart, a.QuadPart);

    HANDLE event = os.CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(os.WaitForSingleObject(event, 1), WAIT_TIMEOUT);
    EXPECT_TRUE(os.CloseHandle(event));

    HANDLE heap = os.GetProcessHeap();
    void* block = os.HeapAlloc(heap, 0, 64);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(os.HeapFree(heap, 0, block));
}

TEST_F(Win32PlatformTest, LibrariesComeFromTheSystemOrNotAtAll) {
    HMODULE kernel = os.LoadLibraryA("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_NE(os.GetProcAddress(kernel, "GetVersionExA"), nullptr);
    EXPECT_EQ(os.GetProcAddress(kernel, "NoSuchExport"), nullptr);
    EXPECT_TRUE(os.FreeLibrary(kernel));
    EXPECT_EQ(os.LoadLibraryA("quiver-no-such-library.dll"), nullptr);
}

}  // namespace
}  // namespace quiver
