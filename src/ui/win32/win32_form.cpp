// The Win32 toolkit's form: a top-level window with its caption, size, font, frame and system
// menu, and the messages it hands to its controls and timers.
#include <algorithm>
#include <stdexcept>

#include "ui/win32/win32_controls.h"

namespace quiver::ui::win32 {

LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* form = reinterpret_cast<Win32Form*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (form != nullptr && form->Handle() == hwnd) {
        return static_cast<LRESULT>(form->Dispatch(message, wParam, lParam));
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// --- The form ----------------------------------------------------------------------------------

namespace {

constexpr DWORD kClassicFrame =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
constexpr DWORD kSystemMenuOnlyFrame = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;

}  // namespace

Win32Form::Win32Form(Win32Application& application) : application_(&application) {
    hwnd_ = CreateWindowExA(0, kFormClass, "", kClassicFrame | WS_CLIPCHILDREN, CW_USEDEFAULT,
                            CW_USEDEFAULT, 320, 240, nullptr, nullptr,
                            static_cast<HINSTANCE>(application.Instance()), this);
    if (hwnd_ == nullptr) {
        throw std::runtime_error("cannot create the form's window");
    }
    application.FormMade(*this);
}

Win32Form::~Win32Form() {
    timers_.clear();
    controls_.clear();
    SetWindowLongPtrA(H(hwnd_), GWLP_USERDATA, 0);
    application_->FormGone(*this);
    DestroyWindow(H(hwnd_));
}

void Win32Form::SetCaption(const std::string& caption) {
    caption_ = caption;
    SetWindowTextA(H(hwnd_), caption.c_str());
}

std::string Win32Form::Caption() const {
    return caption_;
}

void Win32Form::SetOuterSize(int width, int height) {
    SetWindowPos(H(hwnd_), nullptr, 0, 0, width, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (centered_) {
        CenterOnScreen();
    }
}

void Win32Form::CenterOnScreen() {
    centered_ = true;
    RECT r{};
    GetWindowRect(H(hwnd_), &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(H(hwnd_), nullptr, std::max(0, left), std::max(0, top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Form::SetFont(const Font& font) {
    font_ = font;
    for (auto& control : controls_) {
        control->ParentFontChanged();
    }
}

void Win32Form::SetSystemMenuOnlyFrame() {
    RECT r{};
    GetWindowRect(H(hwnd_), &r);
    SetWindowLongPtrA(H(hwnd_), GWL_STYLE, kSystemMenuOnlyFrame | WS_CLIPCHILDREN);
    // The outer size stays what it was.
    SetWindowPos(H(hwnd_), nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

bool Win32Form::DeleteSystemMenuItem(int position) {
    HMENU menu = GetSystemMenu(H(hwnd_), FALSE);
    if (menu == nullptr || position < 0 || position >= GetMenuItemCount(menu)) {
        return false;
    }
    if (!RemoveMenu(menu, static_cast<UINT>(position), MF_BYPOSITION)) {
        return false;
    }
    DrawMenuBar(H(hwnd_));
    return true;
}

bool Win32Form::FrameCanClose() const {
    HMENU menu = GetSystemMenu(H(hwnd_), FALSE);
    return menu != nullptr && GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) != static_cast<UINT>(-1);
}

void Win32Form::Show() {
    ShowWindow(H(hwnd_), SW_SHOW);
    UpdateWindow(H(hwnd_));
}

bool Win32Form::Showing() const {
    return IsWindowVisible(H(hwnd_)) != FALSE;
}

void Win32Form::Close() {
    const bool main = IsMain();
    ShowWindow(H(hwnd_), SW_HIDE);
    if (main) {
        application_->MainFormClosed();
    }
}

void Win32Form::Restack() {
    std::vector<ControlBase*> ordered;
    for (auto& control : controls_) {
        if (control->TabOrder() >= 0) {
            ordered.push_back(control.get());
        }
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](ControlBase* a, ControlBase* b) { return a->TabOrder() < b->TabOrder(); });
    HWND after = HWND_TOP;
    for (ControlBase* control : ordered) {
        SetWindowPos(H(control->Handle()), after, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = H(control->Handle());
    }
    for (auto& control : controls_) {
        if (control->IsBevel()) {
            SetWindowPos(H(control->Handle()), HWND_BOTTOM, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

std::intptr_t Win32Form::Dispatch(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    HWND hwnd = H(hwnd_);
    auto childOf = [this](HWND child) -> ControlBase* {
        for (auto& control : controls_) {
            if (control->Handle() == child) {
                return control.get();
            }
        }
        return nullptr;
    };
    switch (message) {
        case WM_COMMAND: {
            if (ControlBase* control = childOf(reinterpret_cast<HWND>(lParam))) {
                const int notification = HIWORD(wParam);
                application_->Guarded([&] { control->Command(notification); });
                return 0;
            }
            break;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (ControlBase* control = childOf(item->hwndItem)) {
                if (control->Draw(*item)) {
                    return TRUE;
                }
            }
            break;
        }
        case WM_CTLCOLORSTATIC: {
            if (ControlBase* control = childOf(reinterpret_cast<HWND>(lParam))) {
                return reinterpret_cast<std::intptr_t>(
                    control->ColorStatic(reinterpret_cast<HDC>(wParam)));
            }
            break;
        }
        case WM_TIMER: {
            for (auto& timer : timers_) {
                if (timer->Id() == wParam) {
                    TimerImpl* fired = timer.get();
                    application_->Guarded([&] { fired->Fire(); });
                    return 0;
                }
            }
            break;
        }
        case WM_CLOSE:
            // The close box, the system menu's Close and Alt+F4 close only while the frame can.
            if (FrameCanClose()) {
                Close();
            }
            return 0;
        case WM_QUERYENDSESSION: {
            // FALSE asks the system not to end the session; it may still end it by force.
            bool mayEnd = true;
            if (OnQueryEndSession) {
                application_->Guarded([&] { mayEnd = OnQueryEndSession(); });
            }
            return mayEnd ? TRUE : FALSE;
        }
        default:
            break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace quiver::ui::win32
