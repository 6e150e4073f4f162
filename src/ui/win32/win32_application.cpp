// The Win32 application: the window classes, the window thread's wake-up for handed-over
// completions, the message loop, the modal dialogs and the plain message box.
#include <algorithm>
#include <stdexcept>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "ui/win32/win32_system.h"
#include "ui/win32/win32_toolkit.h"

namespace quiver::ui::win32 {

namespace {

constexpr char kWakeClass[] = "QuiverWake";
constexpr UINT kWakeMessage = WM_APP + 1;

Win32Application* g_application = nullptr;

// Each hand-over to the window thread posts the wake message.
void WakeWindowThread() {
    if (g_application != nullptr) {
        PostMessageA(H(g_application->WakeWindow()), kWakeMessage, 0, 0);
    }
}

// HiTimer::Delay's hook: the window thread's messages, and nothing on any other thread.
void ProcessWindowThreadMessages() {
    if (g_application != nullptr && g_application->OnWindowThread()) {
        g_application->ProcessMessages();
    }
}

LRESULT CALLBACK WakeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWakeMessage) {
        if (g_application != nullptr) {
            g_application->RunCompletions();
        }
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

// --- The application ---------------------------------------------------------------------------

Win32Application::Win32Application(void* instance)
    : instance_(instance != nullptr ? instance : GetModuleHandleA(nullptr)),
      windowThread_(GetCurrentThreadId()) {
    if (g_application != nullptr) {
        throw std::logic_error("one Win32 application at a time");
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    auto hinstance = static_cast<HINSTANCE>(instance_);
    WNDCLASSEXA form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = FormProc;
    form.hInstance = hinstance;
    form.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    // The program's own icon (resource 1) where it carries one, as quiver.exe does; the
    // system's application icon otherwise.
    form.hIcon = LoadIconA(hinstance, MAKEINTRESOURCEA(1));
    if (form.hIcon == nullptr) {
        form.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    }
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = kFormClass;
    RegisterClassExA(&form);  // already there from an earlier application: fine

    WNDCLASSEXA wake{};
    wake.cbSize = sizeof wake;
    wake.lpfnWndProc = WakeProc;
    wake.hInstance = hinstance;
    wake.lpszClassName = kWakeClass;
    RegisterClassExA(&wake);
    wakeWindow_ = CreateWindowExA(0, kWakeClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  hinstance, nullptr);
    if (wakeWindow_ == nullptr) {
        throw std::runtime_error("cannot create the window thread's wake-up window");
    }

    g_application = this;
    WindowThreadQueue::SetWakeUp(WakeWindowThread);
    previousHook_ = GetProcessMessagesHook();
    SetProcessMessagesHook(ProcessWindowThreadMessages);
    // Completions handed over before the wake-up was there.
    PostMessageA(H(wakeWindow_), kWakeMessage, 0, 0);
}

Win32Application::~Win32Application() {
    SetProcessMessagesHook(previousHook_);
    WindowThreadQueue::SetWakeUp(nullptr);
    g_application = nullptr;
    DestroyWindow(H(wakeWindow_));
    for (auto& [key, font] : fonts_) {
        DeleteObject(static_cast<HFONT>(font));
    }
}

std::unique_ptr<FormBackend> Win32Application::CreateFormBackend() {
    return std::make_unique<Win32Form>(*this);
}

void* Win32Application::MainWindow() const {
    return forms_.empty() ? nullptr : forms_.front()->Handle();
}

bool Win32Application::OnWindowThread() const {
    return GetCurrentThreadId() == windowThread_;
}

void Win32Application::FormGone(Win32Form& form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), &form), forms_.end());
}

namespace {

HWND DialogOwner(const Win32Application& app) {
    HWND main = H(app.MainWindow());
    return main != nullptr && IsWindowVisible(main) ? main : nullptr;
}

}  // namespace

DialogResult Win32Application::MessageDlg(const std::string& text, DialogKind kind,
                                          DialogButtons buttons) {
    UINT type = buttons == DialogButtons::YesNo ? MB_YESNO : MB_OK;
    switch (kind) {
        case DialogKind::Warning:
            type |= MB_ICONWARNING;
            break;
        case DialogKind::Error:
            type |= MB_ICONERROR;
            break;
        case DialogKind::Information:
            type |= MB_ICONINFORMATION;
            break;
    }
    switch (::MessageBoxA(DialogOwner(*this), text.c_str(), DialogCaption(kind), type)) {
        case IDOK:
            return DialogResult::Ok;
        case IDYES:
            return DialogResult::Yes;
        case IDNO:
            return DialogResult::No;
        default:
            return DialogResult::Cancel;
    }
}

int Win32Application::MessageBox(const std::string& text, const std::string& caption,
                                 unsigned flags) {
    return ::MessageBoxA(DialogOwner(*this), text.c_str(), caption.c_str(), flags);
}

void Win32Application::ShowException(const std::string& message) {
    ::MessageBoxA(DialogOwner(*this), message.c_str(), "Error", MB_OK | MB_ICONERROR);
}

void Win32Application::RunCompletions() {
    // A handler that throws leaves the rest waiting: go on with them after showing it.
    while (!Guarded([] { WindowThreadQueue::ProcessPending(); })) {
    }
}

void Win32Application::Run() {
    while (!terminated_) {
        MSG msg;
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            terminated_ = true;
            break;
        }
        HWND main = H(MainWindow());
        if (main != nullptr && IsDialogMessageA(main, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Win32Application::ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            Terminate();
            break;
        }
        HWND main = H(MainWindow());
        if (main != nullptr && IsDialogMessageA(main, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    RunCompletions();
}

void Win32Application::Terminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    // Wakes a loop that waits in GetMessage.
    PostMessageA(H(wakeWindow_), WM_NULL, 0, 0);
}

}  // namespace quiver::ui::win32
