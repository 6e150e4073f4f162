// The Windows headers as the Win32 toolkit's files include them, and the few names those files
// share: the handle conversion, the form's window class and its window procedure.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <commctrl.h>
// clang-format on

// The seam's operation of that name, not the system's macro.
#undef MessageBox

namespace quiver::ui::win32 {

inline HWND H(void* handle) {
    return static_cast<HWND>(handle);
}

constexpr char kFormClass[] = "QuiverForm";

// The window procedure of the form's class: hands each message to its Win32Form.
LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace quiver::ui::win32
