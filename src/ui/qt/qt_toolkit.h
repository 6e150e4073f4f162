// The window toolkit on Qt 6 Widgets: the form is a top-level QWidget, labels are QLabels, the
// drop-down list a QComboBox that cannot be typed in, buttons QPushButtons with the picture as
// their icon, the bevel an etched QFrame, the progress bar a QProgressBar without text, timers
// QTimers and the dialogs QMessageBoxes.
//
// Layout. Positions and sizes are pixels, as the window gives them. Fonts are sized in pixels as
// a classic toolkit makes them on a 96 dpi screen (8 pt: 11 pixels), so that texts fit the
// boxes the layout gives them whatever the screen's density. A named face that is not installed
// is replaced by the nearest installed one (see ResolvedFace). The form's outer size includes
// the frame that the window system draws, once it is known; without a window manager (offscreen,
// a bare X server) the frame is empty and the client area takes the whole size. A label keeps
// the bounds it is given, but draws its whole text where the face standing in for the named one
// is wider than the box.
//
// The frame. Qt has no system menu of its own: the form keeps the entries of the classic one
// (Restore, Move, Size, Minimize, Maximize, a separator, Close), and DeleteSystemMenuItem
// removes them by position. Once Close is gone the close box is taken off the title bar where
// the window manager obeys, and any close request of the frame (close box, Alt+F4, the window
// manager's menu) is refused; only Close() closes the form.
//
// Threads. The application belongs to the thread that made it (the window thread); so do its
// forms and controls. Worker completions reach that thread through WindowThreadQueue: each
// hand-over writes to an eventfd that a socket notifier of the window thread watches, and the
// notifier runs the pending completions. Every event loop of that thread therefore runs them:
// Run(), the loop of a modal dialog, ProcessMessages() and HiTimer::Delay on the window thread
// (the application installs the process-messages hook; on any other thread the hook does
// nothing). The worker waits in WindowThreadQueue until its completion has returned.
//
// Exceptions that escape a handler never cross Qt's frames: they are shown with ShowException
// and the loop goes on.
//
// The header includes no Qt header: widgets are passed as forward-declared pointers.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/toolkit.h"

class QApplication;
class QEventLoop;
class QSocketNotifier;
class QWidget;

namespace quiver::ui::qt {

class QtForm;

// What every Qt control offers beside the seam: its widget, for the tests.
class NativeControl {
  public:
    virtual ~NativeControl() = default;
    virtual QWidget* Widget() const = 0;
};

class QtApplication : public Application {
  public:
    // Makes the QApplication when there is none yet (it then belongs to this object and goes
    // with it), the wake-up of the window thread, and installs the wake-up and the
    // process-messages hook. `argc` and `argv` are Qt's (-platform offscreen, -display ...).
    QtApplication(int& argc, char** argv);
    // Restores the wake-up and the hook it replaced.
    ~QtApplication() override;

    QtApplication(const QtApplication&) = delete;
    QtApplication& operator=(const QtApplication&) = delete;

    std::unique_ptr<FormBackend> CreateFormBackend() override;

    // A QMessageBox with the kind's icon and caption and "OK", or "&Yes" and "&No"; owned by the
    // main form when it shows. Closing it without a button (Escape) answers Cancel for Yes/No
    // and Ok for OK.
    DialogResult MessageDlg(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
    // A QMessageBox with the caption, the icon and buttons of the flags (the values of the Win32
    // message box: OK, OK/Cancel, Yes/No, Yes/No/Cancel; the error, question, warning and
    // information icons); returns the Win32 answer (IDOK 1, IDCANCEL 2, IDYES 6, IDNO 7).
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    // An error box with the message.
    void ShowException(const std::string& message) override;

    void Run() override;
    void ProcessMessages() override;
    void Terminate() override;
    bool Terminated() const override { return terminated_; }

    bool OnWindowThread() const;
    // The main form's widget (the first form made and still alive); null when there is none.
    QWidget* MainWidget() const;

    // The installed face that stands in for `face`: the face itself when installed, otherwise
    // the nearest of its known replacements ("Courier New": Liberation Mono, then DejaVu Sans
    // Mono ...), otherwise the face the system's font matching picks for the name.
    static std::string ResolvedFace(const std::string& face);

    // For the forms and controls.
    void FormMade(QtForm& form) { forms_.push_back(&form); }
    void FormGone(QtForm& form);
    void MainFormClosed() { Terminate(); }
    // Runs the completions handed over so far; exceptions are shown.
    void RunCompletions();

  private:
    std::unique_ptr<QApplication> ownApplication_;
    int wakeFd_ = -1;
    std::unique_ptr<QSocketNotifier> wakeNotifier_;
    QEventLoop* mainLoop_ = nullptr;
    bool terminated_ = false;
    void (*previousHook_)() = nullptr;
    std::vector<QtForm*> forms_;
};

// The form: a top-level QWidget on the window colour of the style.
class QtForm : public FormBackend {
  public:
    explicit QtForm(QtApplication& application);
    ~QtForm() override;

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

    QWidget* Widget() const;
    QtApplication& App() const { return *application_; }
    const Font& FormFont() const { return font_; }
    bool IsMain() const;
    // The entries of the system menu left; for the tests.
    const std::vector<std::string>& SystemMenu() const { return systemMenu_; }
    // Re-orders the tab chain: by tab order, then the controls without one.
    void Retab();

    class ControlBase;
    class TimerImpl;
    class Window;

  private:
    template <class T>
    T& Add();
    void ApplyFlags();
    void ApplySize();
    // The window system reported the window's place or frame.
    void FrameChanged();

    QtApplication* application_;
    std::unique_ptr<Window> window_;
    std::string caption_;
    Font font_;
    int outerWidth_ = 0;
    int outerHeight_ = 0;
    // The frame (outer less client size) that the last sizing allowed for.
    int frameWidth_ = 0;
    int frameHeight_ = 0;
    bool centered_ = false;
    bool systemMenuOnly_ = false;
    bool closing_ = false;
    std::vector<std::string> systemMenu_;
    std::vector<std::unique_ptr<ControlBase>> controls_;
    std::vector<std::unique_ptr<TimerImpl>> timers_;
};

}  // namespace quiver::ui::qt
