// The window toolkit on plain Win32 controls: the form is a top-level window of its own class,
// labels are STATIC controls, the drop-down list a COMBOBOX (CBS_DROPDOWNLIST), buttons are
// BUTTON controls with a bitmap from the picture's pixels, the bevel an etched STATIC frame, the
// progress bar the common controls' one, timers are window timers and the dialogs MessageBoxA.
//
// Threads. The application belongs to the thread that made it (the window thread); so do its
// forms and controls. Worker completions reach that thread through WindowThreadQueue: each
// hand-over posts a private message to a message-only window of the application, and the
// window's procedure runs the pending completions. Every loop that dispatches the thread's
// messages therefore runs them: Run(), the modal loop of a message box, ProcessMessages() and
// HiTimer::Delay on the window thread (the application installs the process-messages hook; on
// any other thread the hook does nothing).
//
// Fonts are made with CreateFont at the point size on the screen's pixel density and kept until
// the application goes. A label's colour is applied in WM_CTLCOLORSTATIC on the form's
// background. Exceptions that escape a handler never cross the system's frames: they are shown
// with ShowException and the loop goes on.
//
// The header does not include <windows.h>: handles are passed as void*.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "ui/toolkit.h"

namespace quiver::ui::win32 {

class Win32Form;

// What every Win32 control offers beside the seam: its window handle, for the tests.
class NativeControl {
  public:
    virtual ~NativeControl() = default;
    virtual void* Handle() const = 0;
};

class Win32Application : public Application {
  public:
    // Registers the window classes, initialises the common controls, makes the message-only
    // window that wakes the window thread and installs the wake-up and the process-messages
    // hook. `instance`: the module's instance handle (null: the program's).
    explicit Win32Application(void* instance = nullptr);
    // Restores the wake-up and the hook it replaced and frees the fonts and the window.
    ~Win32Application() override;

    Win32Application(const Win32Application&) = delete;
    Win32Application& operator=(const Win32Application&) = delete;

    std::unique_ptr<FormBackend> CreateFormBackend() override;

    // MessageBoxA with the kind's icon and caption, owned by the main form when it shows.
    DialogResult MessageDlg(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    // An error box with the message.
    void ShowException(const std::string& message) override;

    void Run() override;
    void ProcessMessages() override;
    void Terminate() override;
    bool Terminated() const override { return terminated_; }

    // The message-only window that the hand-overs wake; for the tests.
    void* WakeWindow() const { return wakeWindow_; }
    void* Instance() const { return instance_; }
    // The main form's window (the first form made and still alive); null when there is none.
    void* MainWindow() const;
    bool OnWindowThread() const;

    // For the forms and controls.
    // A font made once and kept until the application goes.
    void* FontHandle(const Font& font);
    void FormMade(Win32Form& form) { forms_.push_back(&form); }
    void FormGone(Win32Form& form);
    void MainFormClosed() { Terminate(); }
    // Runs the completions handed over so far; exceptions are shown.
    void RunCompletions();

  private:
    void* instance_ = nullptr;
    void* wakeWindow_ = nullptr;
    unsigned long windowThread_ = 0;
    bool terminated_ = false;
    void (*previousHook_)() = nullptr;
    std::vector<Win32Form*> forms_;
    std::map<std::tuple<std::string, int, bool>, void*> fonts_;
};

// The form: a top-level window of class "QuiverForm" on the button face colour.
class Win32Form : public FormBackend {
  public:
    explicit Win32Form(Win32Application& application);
    ~Win32Form() override;

    Label& AddLabel() override;
    ComboBox& AddComboBox() override;
    Button& AddButton() override;
    Bevel& AddBevel() override;
    ProgressBar& AddProgressBar() override;
    Timer& AddTimer() override;
    void SetCaption(const std::string& caption) override;
    std::string Caption() const override;
    void SetOuterSize(int width, int height) override;
    void CenterOnScreen() override;
    void SetFont(const Font& font) override;
    void SetSystemMenuOnlyFrame() override;
    bool DeleteSystemMenuItem(int position) override;
    bool FrameCanClose() const override;
    void Show() override;
    bool Showing() const override;
    void Close() override;

    void* Handle() const { return hwnd_; }
    void* SystemHandle() const override { return hwnd_; }
    Win32Application& App() const { return *application_; }
    const Font& FormFont() const { return font_; }
    bool IsMain() const { return App().MainWindow() == hwnd_; }

    // The window procedure's work.
    std::intptr_t Dispatch(unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    // Re-stacks the controls: tab order first, bevels behind everything.
    void Restack();

    class ControlBase;
    class TimerImpl;

  private:
    template <class T>
    T& Add();

    Win32Application* application_;
    void* hwnd_ = nullptr;
    std::string caption_;
    Font font_;
    bool centered_ = false;
    std::vector<std::unique_ptr<ControlBase>> controls_;
    std::vector<std::unique_ptr<TimerImpl>> timers_;
    int nextId_ = 100;
};

}  // namespace quiver::ui::win32
