#include "platform/win32/win32_console.h"

#include <windows.h>

#include <cstdio>

namespace quiver {

bool AttachParentConsole() {
    if (AttachConsole(ATTACH_PARENT_PROCESS) == FALSE) {
        return false;
    }
    // The standard streams of a program built for the window system lead nowhere until they
    // are opened on the console; those the parent redirected to files or pipes stay.
    auto reopen = [](DWORD which, const char* mode, std::FILE* stream) {
        const HANDLE handle = GetStdHandle(which);
        if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
            std::FILE* ignored = nullptr;
            ignored = std::freopen("CONOUT$", mode, stream);
            (void)ignored;
        }
    };
    reopen(STD_OUTPUT_HANDLE, "w", stdout);
    reopen(STD_ERROR_HANDLE, "w", stderr);
    return true;
}

}  // namespace quiver
