// quiver.exe: the updater on Windows. A GUI program (-mwindows); MinGW's start-up code calls
// main for it as for a console program, so no WinMain is needed.
#include "app/frm_quiver.h"
#include "platform/platform.h"
#include "platform/win32/win32_platform.h"
#include "ui/win32/win32_toolkit.h"

int main() {
    quiver::Win32Platform platform;
    quiver::ScopedPlatform installed(platform);
    quiver::ui::win32::Win32Application application;
    return quiver::RunQuiver(application);
}
