// The window toolkit seam: what the main window needs of a window toolkit, written once and
// realised three times (ui/headless for tests and the emulated PC, ui/win32, ui/qt).
//
// The model is a classic form toolkit: an application object with a message loop, a form that
// owns its controls, labels, a choose-only drop-down list, buttons, a bevel, a progress bar, a
// timer, modal message dialogs of a kind and the plain message box. Everything here is used on
// the window thread only. Workers reach the window thread through WindowThreadQueue
// (host/window_thread_queue.h): every toolkit runs the handed-over completions in its message loop,
// in its modal dialogs' loops and in ProcessMessages().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quiver::ui {

class FormBackend;

struct Color {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    bool operator==(const Color&) const = default;
};

constexpr Color kBlack{0, 0, 0};
constexpr Color kNavy{0, 0, 128};
constexpr Color kMaroon{128, 0, 0};

struct Font {
    std::string face = "MS Sans Serif";
    int points = 8;
    bool bold = false;
    Color color = kBlack;
    bool operator==(const Font&) const = default;
};

// Left, top, width, height in pixels, from the top-left of the form's client area.
struct Bounds {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Bounds&) const = default;
};

// A small picture, 0xAARRGGBB per pixel, row by row.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
};

// Handlers get the control that raised the event as sender (null when code calls them).
using Handler = std::function<void(void* sender)>;

class Control {
  public:
    virtual ~Control() = default;
    virtual void SetBounds(const Bounds& bounds) = 0;
    virtual Bounds GetBounds() const = 0;
    virtual void SetVisible(bool visible) = 0;
    virtual bool Visible() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetTabOrder(int order) = 0;
    virtual void SetFont(const Font& font) = 0;
    virtual Font GetFont() const = 0;
    // The name the window gives the control ("lblMsg"); toolkits that show or log it use it.
    virtual void SetName(const std::string& name) { (void)name; }
};

class Label : public Control {
  public:
    virtual void SetText(const std::string& text) = 0;
    virtual std::string Text() const = 0;
    // A label that grows with its text.
    virtual void SetAutoSize(bool autoSize) = 0;
    // The colour of the font alone.
    void SetFontColor(Color color) {
        Font f = GetFont();
        f.color = color;
        SetFont(f);
    }
};

// A drop-down list whose text cannot be typed: the user can only choose an item.
class ComboBox : public Control {
  public:
    virtual void Clear() = 0;
    virtual void AddItem(const std::string& text) = 0;
    virtual int ItemCount() const = 0;
    virtual std::string Item(int index) const = 0;
    // -1: no selection.
    virtual int ItemIndex() const = 0;
    // Selecting in code does not raise OnChange.
    virtual void SetItemIndex(int index) = 0;
    virtual void SetItemHeight(int height) = 0;
    // Raised when the user chooses an item.
    Handler OnChange;
    // What the user does: choose item `index` (raises OnChange).
    virtual void UserChoose(int index) = 0;
};

enum class ButtonKind {
    Normal,
    Close,  // the toolkit's close kind: pressing it closes the form
};

class Button : public Control {
  public:
    virtual void SetCaption(const std::string& caption) = 0;  // '&' marks the access key
    virtual std::string Caption() const = 0;
    virtual void SetKind(ButtonKind kind) = 0;
    virtual void SetPicture(const Picture& normal, const Picture& disabled) = 0;
    Handler OnClick;
    // What the user does: press the button (nothing when it is disabled).
    virtual void UserClick() = 0;

  protected:
    // A press, once the realisation has accepted it: the click handler runs, then a button of
    // the close kind closes `form`. The kind is the one the press began with; the handler may
    // change the kind, replace itself or close the form on its own.
    void Pressed(ButtonKind kind, FormBackend& form);
};

// A framed bevel, drawn behind the controls it frames.
class Bevel : public Control {};

class ProgressBar : public Control {
  public:
    virtual void SetRange(int min, int max) = 0;
    virtual int Min() const = 0;
    virtual int Max() const = 0;
    virtual void SetStep(int step) = 0;
    virtual void StepIt() = 0;  // advances by the step, never past the maximum
    virtual void SetPosition(int position) = 0;
    virtual int Position() const = 0;
    virtual void SetSmooth(bool smooth) = 0;
};

class Timer {
  public:
    virtual ~Timer() = default;
    virtual void SetInterval(int milliseconds) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;
    virtual void SetName(const std::string& name) { (void)name; }
    Handler OnTimer;
};

// What a toolkit realises for a form.
class FormBackend {
  public:
    virtual ~FormBackend() = default;
    virtual Label& AddLabel() = 0;
    virtual ComboBox& AddComboBox() = 0;
    virtual Button& AddButton() = 0;
    virtual Bevel& AddBevel() = 0;
    virtual ProgressBar& AddProgressBar() = 0;
    virtual Timer& AddTimer() = 0;
    virtual void SetCaption(const std::string& caption) = 0;
    virtual std::string Caption() const = 0;
    // Outer size, frame included; centred on the screen.
    virtual void SetOuterSize(int width, int height) = 0;
    virtual void CenterOnScreen() = 0;
    virtual void SetFont(const Font& font) = 0;
    // A sizeable frame whose title bar has the system menu only.
    virtual void SetSystemMenuOnlyFrame() = 0;
    // Deletes the system menu entry at `position` (from 0); false when there is no system
    // menu or no such entry.
    virtual bool DeleteSystemMenuItem(int position) = 0;
    // Whether the frame (close box, system menu, Alt+F4) can still close the form.
    virtual bool FrameCanClose() const = 0;
    virtual void Show() = 0;
    virtual bool Showing() const = 0;
    // Closes the form; closing the main form ends the program.
    virtual void Close() = 0;

    // The form's window as the system knows it (a window handle on Windows), for the calls that
    // name it; null where the toolkit has none to give.
    virtual void* SystemHandle() const { return nullptr; }
    // Asked when the system is about to end the session (log off, shut down, restart): false
    // asks it not to. Without a handler the session may end.
    std::function<bool()> OnQueryEndSession;
};

enum class DialogKind { Warning, Error, Information };
enum class DialogButtons { Ok, YesNo };
enum class DialogResult { Ok, Yes, No, Cancel };

// The caption that a dialog of the kind carries: "Warning", "Error" or "Information".
const char* DialogCaption(DialogKind kind);

// One event of a run, for machines and for a log: a drive found, a stage reached, a result. A
// kind and its fields in order; a field is a text or a number.
struct RunEvent {
    struct Field {
        std::string name;
        std::string text;
        bool number = false;
    };
    std::string kind;
    std::vector<Field> fields;
};

// Flags of the plain message box (the values of the Win32 message box).
constexpr unsigned kMbOk = 0x00000000;
constexpr unsigned kMbIconError = 0x00000010;

class Application {
  public:
    virtual ~Application() = default;

    virtual std::unique_ptr<FormBackend> CreateFormBackend() = 0;

    // A modal message dialog of a kind; returns the button pressed.
    virtual DialogResult MessageDlg(const std::string& text, DialogKind kind,
                                    DialogButtons buttons) = 0;
    // The plain message box.
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned flags) = 0;
    // The toolkit's standard message for an exception that escaped a handler.
    virtual void ShowException(const std::string& message) = 0;

    // Runs the message loop until Terminate() has been asked for.
    virtual void Run() = 0;
    // Processes the pending messages of the window thread once, then returns.
    virtual void ProcessMessages() = 0;
    // Asks the application to end: the message loop ends as soon as it runs.
    virtual void Terminate() = 0;
    virtual bool Terminated() const = 0;

    // Whether a person is there to answer the dialogs. Without one (the console toolkit) the
    // dialogs are answered by rule, and nothing may wait for a person to act on a drive.
    virtual bool Attended() const { return true; }
    // Reports an event of the run. May be called from any thread. Toolkits that show a window
    // leave it to the window.
    virtual void Report(const RunEvent& event) { (void)event; }

    // Runs `fn` for an event of the loop: an exception that escapes it is shown with
    // ShowException and goes no further. Returns whether `fn` ended normally.
    bool Guarded(const std::function<void()>& fn);
};

// The form class of the seam. A window derives from it and builds its controls in its
// constructor; the form owns them.
class TForm {
  public:
    explicit TForm(Application& application);
    virtual ~TForm();

    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    Application& application() { return application_; }
    FormBackend& form() { return *backend_; }

    // Runs when the form is destroyed, before its controls go.
    Handler OnDestroy;

  protected:
    // Derived windows call this first in their destructor, so that OnDestroy sees them whole.
    void Destroying();

  private:
    Application& application_;
    std::unique_ptr<FormBackend> backend_;
    bool destroyed_ = false;
};

}  // namespace quiver::ui
