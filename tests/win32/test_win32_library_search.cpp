// Where the seam loads the ASPI manager from: the program's folder or the system's, never the
// current directory, where anybody may have put a library of that name. Run with Wine's own
// manager switched off (WINEDLLOVERRIDES=wnaspi32=n) and the emulated manager's path in
// QUIVER_TEST_WNASPI32.
// The seam's declarations come first: the system headers turn many of their names into macros.
#include "platform/win32/win32_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace quiver {
namespace {

std::string ModulePath(::HMODULE module) {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(module, path, sizeof path);
    return path;
}

TEST(Win32LibrarySearch, TheAspiManagerIsNeverTakenFromTheCurrentDirectory) {
    const char* manager = std::getenv("QUIVER_TEST_WNASPI32");
    ASSERT_NE(manager, nullptr) << "QUIVER_TEST_WNASPI32 names the emulated manager";
    char temp[MAX_PATH] = {};
    ASSERT_NE(::GetTempPathA(sizeof temp, temp), 0u);
    const std::string folder =
        std::string(temp) + "quiver-cwd-" + std::to_string(::GetCurrentProcessId());
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    // The manager's own name, and one no system folder has (Wine keeps a stand-in for every
    // library of its own in the system folder, which a plain search finds first).
    const std::string planted = folder + "\\wnaspi32.dll";
    const std::string other = folder + "\\quiver-planted.dll";
    ASSERT_TRUE(::CopyFileA(manager, planted.c_str(), FALSE));
    ASSERT_TRUE(::CopyFileA(manager, other.c_str(), FALSE));
    char previous[MAX_PATH] = {};
    ::GetCurrentDirectoryA(sizeof previous, previous);
    ASSERT_TRUE(::SetCurrentDirectoryA(folder.c_str()));

    Win32Platform os;
    HMODULE loaded = os.LoadLibraryA(kAspiLibraryName);
    HMODULE loadedOther = os.LoadLibraryA("quiver-planted");
    // The check means something: the system's own search takes a library from there.
    ::HMODULE plain = ::LoadLibraryA("quiver-planted");
    const DWORD plainError = ::GetLastError();

    ::SetCurrentDirectoryA(previous);
    EXPECT_EQ(loaded, nullptr) << ModulePath(static_cast<::HMODULE>(loaded));
    EXPECT_EQ(loadedOther, nullptr) << ModulePath(static_cast<::HMODULE>(loadedOther));
    ASSERT_NE(plain, nullptr) << "error " << plainError;
    EXPECT_EQ(::lstrcmpiA(ModulePath(plain).c_str(), other.c_str()), 0) << ModulePath(plain);
    for (HMODULE module : {loaded, loadedOther}) {
        if (module != nullptr) {
            os.FreeLibrary(module);
        }
    }
    ::FreeLibrary(plain);
    EXPECT_TRUE(::DeleteFileA(planted.c_str()));
    EXPECT_TRUE(::DeleteFileA(other.c_str()));
    EXPECT_TRUE(::RemoveDirectoryA(folder.c_str()));
}

}  // namespace
}  // namespace quiver
