// The headless window toolkit: the toolkit seam realised without a display, for the tests and
// the emulated PC. The window's logic runs unchanged; everything it shows is kept as state that
// can be read back, and every visible change is reported as an event.
//
// Names. Every control and timer gets a name when it is made, in creation order per kind and
// form: "Label1", "Label2", "ComboBox1", "Button1", "Bevel1", "ProgressBar1", "Timer1". The
// window renames them with SetName ("lblMsg"); events carry the name the control has at the
// time. Forms are "Form1", "Form2" ... unless renamed with HeadlessForm::SetName.
//
// Events. Each real change of state (setting the same text again is none) is appended to the
// application's log and handed to the listener, on the window thread. Controls report with the
// kinds of their own type (LabelText, ButtonEnabled, ListSelection ...). A font change that
// alters only the colour is reported as <Type>Color (values: red, green, blue); any other font
// change as <Type>Font (text: face; values: points, bold, red, green, blue).
//
// Time. Timers run on the platform's clock: the performance counter of SystemClock() when it has
// one, otherwise a clock that moves only with the toolkit's own SystemClock().Sleep calls.
// Intervals are in milliseconds of that clock. When the loop has nothing to do but wait for a
// timer, it lets the emulated time pass with SystemClock().Sleep, after a 1 ms real-time look for
// worker completions.
//
// Label sizes. A label with AutoSize takes the size of its text: one line per "\n"-separated
// line, each line 4/3 × points + 3 pixels high, and the longest line as wide as its characters
// times an average character width of 0.42 × the pixel height of the font (0.47 bold), rounded
// up. Its left and top stay.
//
// Defaults as a classic form toolkit has them, except where noted: controls visible and enabled;
// fonts follow the form's font until a control gets its own; labels without AutoSize (the
// classic default is with); progress bars 0 to 100, step 10, position 0; timers disabled
// (the classic default is enabled), interval 1000 ms; list without selection.
//
// Threads. The application belongs to the thread that made it (the window thread). Every
// control, form and the application itself must be used there only; the toolkit checks this
// when it records an event and throws std::logic_error otherwise. Workers reach the window thread
// only through WindowThreadQueue.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/toolkit.h"

namespace quiver::ui::headless {

// clang-format off
#define QUIVER_HEADLESS_EVENT_KINDS(X) \
    /* forms */ \
    X(Caption) X(FormSize) X(FormCentered) X(FormFont) X(FormFrame) X(SystemMenu) \
    X(FormShown) X(FormClosed) X(FrameClose) X(EndSession) \
    /* labels */ \
    X(LabelText) X(LabelAutoSize) X(LabelColor) X(LabelFont) X(LabelVisible) X(LabelEnabled) \
    X(LabelBounds) X(LabelTabOrder) \
    /* drop-down lists */ \
    X(ListItems) X(ListSelection) X(ListItemHeight) X(ListColor) X(ListFont) X(ListVisible) \
    X(ListEnabled) X(ListBounds) X(ListTabOrder) X(UserChoose) \
    /* buttons */ \
    X(ButtonCaption) X(ButtonKind) X(ButtonPicture) X(ButtonColor) X(ButtonFont) \
    X(ButtonVisible) X(ButtonEnabled) X(ButtonBounds) X(ButtonTabOrder) X(UserClick) \
    /* bevels */ \
    X(BevelColor) X(BevelFont) X(BevelVisible) X(BevelEnabled) X(BevelBounds) X(BevelTabOrder) \
    /* progress bars */ \
    X(ProgressRange) X(ProgressStep) X(ProgressPosition) X(ProgressSmooth) X(ProgressColor) \
    X(ProgressFont) X(ProgressVisible) X(ProgressEnabled) X(ProgressBounds) X(ProgressTabOrder) \
    /* timers */ \
    X(TimerEnabled) X(TimerInterval) \
    /* the application */ \
    X(Dialog) X(DialogAnswer) X(MessageBox) X(MessageBoxAnswer) X(Exception) X(Terminate) \
    X(Idle)
// clang-format on

enum class EventKind {
#define QUIVER_HEADLESS_ENUM(name) name,
    QUIVER_HEADLESS_EVENT_KINDS(QUIVER_HEADLESS_ENUM)
#undef QUIVER_HEADLESS_ENUM
};

const char* KindName(EventKind kind);

// What each kind carries:
//   Caption, ButtonCaption, LabelText: text.
//   FormSize: values width, height. FormCentered, FormFrame, FormShown, FormClosed: no values.
//   SystemMenu: text = the deleted entry, values = position, entries left.
//   FrameClose: the user closed the frame; values = 1 when the form closed, 0 when refused.
//   EndSession: the system asked whether the session may end; values = 1 yes, 0 no.
//   <Type>Visible, <Type>Enabled, LabelAutoSize, ProgressSmooth, TimerEnabled: values 0 or 1.
//   <Type>Bounds: values left, top, width, height. <Type>TabOrder, ListItemHeight,
//   ProgressStep, ProgressPosition, TimerInterval: one value.
//   ListItems: text = every item, each followed by "\n"; values = item count.
//   ListSelection: values = index (-1: none); text = the chosen item.
//   UserChoose: values = index; UserClick: no values (a click on a disabled button is none).
//   ButtonKind: values 0 normal, 1 close. ButtonPicture: values width, height.
//   ProgressRange: values min, max.
//   Dialog: text, detail = caption; values = DialogKind, DialogButtons. DialogAnswer: text =
//   "Ok", "Yes", "No" or "Cancel"; values = DialogResult.
//   MessageBox: text, detail = caption; values = flags. MessageBoxAnswer: values = the answer.
//   Exception: text = the message. Terminate, Idle: nothing.
struct UiEvent {
    EventKind kind = EventKind::Caption;
    std::string control;  // name of the control or form; empty for the application
    std::string text;
    std::string detail;
    std::vector<int> values;
};

// One line, for logs: kind, control, then the texts quoted (line feeds as \n) and the values.
std::string ToString(const UiEvent& event);

struct DialogRequest {
    std::string text;
    DialogKind kind = DialogKind::Information;
    std::string caption;  // DialogCaption(kind)
    DialogButtons buttons = DialogButtons::Ok;
};

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    unsigned flags = 0;
};

const char* ResultName(DialogResult result);

class HeadlessApplication;
class HeadlessForm;

// The state common to every control, and the recording of its changes. Not used directly.
class ControlCore {
  public:
    ControlCore(HeadlessForm& form, std::string name) : form_(&form), name_(std::move(name)) {}
    virtual ~ControlCore() = default;

    const std::string& Name() const { return name_; }
    HeadlessForm& Form() const { return *form_; }
    // The form's font changed.
    virtual void ParentFontChanged(const Font& font) { (void)font; }

  protected:
    void Record(EventKind kind, std::string text = {}, std::vector<int> values = {},
                std::string detail = {}) const;

    HeadlessForm* form_;
    std::string name_;
};

// The shared half of the controls: bounds, visibility, enabling, tab order, font.
template <class Interface>
class ControlBase : public Interface, public ControlCore {
  public:
    struct Kinds {
        EventKind bounds, visible, enabled, tabOrder, font, color;
    };

    ControlBase(HeadlessForm& form, std::string name, Kinds kinds, Font font)
        : ControlCore(form, std::move(name)), kinds_(kinds), font_(std::move(font)) {}

    void SetBounds(const Bounds& bounds) override;
    Bounds GetBounds() const override { return bounds_; }
    void SetVisible(bool visible) override;
    bool Visible() const override { return visible_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return enabled_; }
    void SetTabOrder(int order) override;
    int TabOrder() const { return tabOrder_; }
    void SetFont(const Font& font) override;
    Font GetFont() const override { return font_; }
    void SetName(const std::string& name) override { name_ = name; }

    // Whether the control still follows the form's font (until it gets a font of its own).
    bool ParentFont() const { return parentFont_; }
    void ParentFontChanged(const Font& font) override;

  protected:
    void ChangeFont(const Font& font);
    // Called after the font changed.
    virtual void FontChanged() {}
    // Sets the bounds and reports a change.
    void ChangeBounds(const Bounds& bounds);

    Kinds kinds_;
    Bounds bounds_;
    bool visible_ = true;
    bool enabled_ = true;
    int tabOrder_ = -1;
    Font font_;
    bool parentFont_ = true;
};

class HeadlessLabel : public ControlBase<Label> {
  public:
    HeadlessLabel(HeadlessForm& form, std::string name, Font font);

    void SetText(const std::string& text) override;
    std::string Text() const override { return text_; }
    void SetAutoSize(bool autoSize) override;
    bool AutoSize() const { return autoSize_; }
    void SetBounds(const Bounds& bounds) override;

    // The size the label takes for `text` in `font` when it grows with its text.
    static Bounds TextExtent(const std::string& text, const Font& font);

  private:
    void FontChanged() override { Fit(); }
    void Fit();

    std::string text_;
    bool autoSize_ = false;
};

class HeadlessComboBox : public ControlBase<ComboBox> {
  public:
    HeadlessComboBox(HeadlessForm& form, std::string name, Font font);

    void Clear() override;
    void AddItem(const std::string& text) override;
    int ItemCount() const override { return static_cast<int>(items_.size()); }
    // Throws std::out_of_range for an index outside the list.
    std::string Item(int index) const override;
    int ItemIndex() const override { return itemIndex_; }
    // An index outside the list clears the selection, as the native list does.
    void SetItemIndex(int index) override;
    void SetItemHeight(int height) override;
    int ItemHeight() const { return itemHeight_; }
    // Nothing happens on a hidden or disabled list (the user cannot reach it). Throws
    // std::out_of_range for an index outside the list. Raises OnChange also when the item was
    // already selected, as the native list does.
    void UserChoose(int index) override;

    const std::vector<std::string>& Items() const { return items_; }
    // The selected item's text; empty with no selection.
    std::string Text() const;

  private:
    void Select(int index);
    void ReportItems();

    std::vector<std::string> items_;
    int itemIndex_ = -1;
    int itemHeight_ = 16;
};

class HeadlessButton : public ControlBase<Button> {
  public:
    HeadlessButton(HeadlessForm& form, std::string name, Font font);

    void SetCaption(const std::string& caption) override;
    std::string Caption() const override { return caption_; }
    void SetKind(ButtonKind kind) override;
    ButtonKind Kind() const { return kind_; }
    void SetPicture(const Picture& normal, const Picture& disabled) override;
    const Picture& NormalPicture() const { return picture_; }
    const Picture& DisabledPicture() const { return disabledPicture_; }
    // Nothing on a hidden or disabled button. Otherwise runs OnClick; a close-kind button then
    // closes its form.
    void UserClick() override;

  private:
    std::string caption_;
    ButtonKind kind_ = ButtonKind::Normal;
    Picture picture_;
    Picture disabledPicture_;
};

class HeadlessBevel : public ControlBase<Bevel> {
  public:
    HeadlessBevel(HeadlessForm& form, std::string name, Font font);
};

class HeadlessProgressBar : public ControlBase<ProgressBar> {
  public:
    HeadlessProgressBar(HeadlessForm& form, std::string name, Font font);

    // A maximum below the minimum is taken as equal to it. The position is kept in the range.
    void SetRange(int min, int max) override;
    int Min() const override { return min_; }
    int Max() const override { return max_; }
    void SetStep(int step) override;
    int Step() const { return step_; }
    void StepIt() override;
    void SetPosition(int position) override;
    int Position() const override { return position_; }
    void SetSmooth(bool smooth) override;
    bool Smooth() const { return smooth_; }

  private:
    void ChangePosition(int position);

    int min_ = 0;
    int max_ = 100;
    int step_ = 10;
    int position_ = 0;
    bool smooth_ = false;
};

class HeadlessTimer : public Timer, public ControlCore {
  public:
    HeadlessTimer(HeadlessForm& form, std::string name);
    ~HeadlessTimer() override;

    void SetInterval(int milliseconds) override;
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override;
    bool Enabled() const override { return enabled_; }
    void SetName(const std::string& name) override { name_ = name; }

    // Enabled with a positive interval and a handler: it fires.
    bool Active() const { return enabled_ && interval_ > 0 && static_cast<bool>(OnTimer); }
    // How often OnTimer ran.
    int FireCount() const { return fires_; }

  private:
    friend class HeadlessApplication;
    void Restart();

    int interval_ = 1000;
    bool enabled_ = false;
    std::int64_t due_ = 0;  // clock nanoseconds at which it fires next
    int fires_ = 0;
    bool running_ = false;  // its handler is running: it does not fire again inside
};

class HeadlessForm : public FormBackend {
  public:
    HeadlessForm(HeadlessApplication& application, std::string name);
    ~HeadlessForm() override;

    Label& AddLabel() override;
    ComboBox& AddComboBox() override;
    Button& AddButton() override;
    Bevel& AddBevel() override;
    ProgressBar& AddProgressBar() override;
    Timer& AddTimer() override;

    void SetCaption(const std::string& caption) override;
    std::string Caption() const override { return caption_; }
    void SetOuterSize(int width, int height) override;
    int Width() const { return width_; }
    int Height() const { return height_; }
    void CenterOnScreen() override;
    bool Centered() const { return centered_; }
    void SetFont(const Font& font) override;
    Font GetFont() const { return font_; }
    void SetSystemMenuOnlyFrame() override;
    bool SystemMenuOnlyFrame() const { return systemMenuOnly_; }
    bool DeleteSystemMenuItem(int position) override;
    // The system menu's entries; a new form has the standard seven: "Restore", "Move", "Size",
    // "Minimize", "Maximize", "-" (separator), "Close".
    const std::vector<std::string>& SystemMenu() const { return systemMenu_; }
    bool FrameCanClose() const override;
    void Show() override;
    bool Showing() const override { return showing_; }
    // Hides the form; closing the application's main form (its first) terminates it.
    void Close() override;

    // What the user does on the frame: the close box, the system menu's Close or Alt+F4.
    // Closes the form when the frame can; returns whether it did.
    bool UserCloseFrame();
    // What the system does before it logs off, shuts down or restarts: asks the form whether the
    // session may end (OnQueryEndSession). Returns the answer.
    bool SystemEndsSession();
    // A made-up window handle, never a valid pointer, distinct per form.
    void* SystemHandle() const override;

    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    HeadlessApplication& App() const { return *application_; }
    // The application's main form.
    bool IsMain() const;

    // The control or timer of the given name and type; null when there is none.
    template <class T>
    T* Find(const std::string& name) const;

    void Record(EventKind kind, std::string control, std::string text, std::vector<int> values,
                std::string detail) const;

  private:
    template <class T>
    T& Add(const char* prefix, int& counter);
    void RecordForm(EventKind kind, std::string text = {}, std::vector<int> values = {}) const;

    HeadlessApplication* application_;
    std::uintptr_t handle_;
    std::string name_;
    std::vector<std::unique_ptr<ControlCore>> controls_;
    int labels_ = 0, lists_ = 0, buttons_ = 0, bevels_ = 0, bars_ = 0, timers_ = 0;
    std::string caption_;
    int width_ = 0;
    int height_ = 0;
    bool centered_ = false;
    Font font_;
    bool systemMenuOnly_ = false;
    std::vector<std::string> systemMenu_;
    bool showing_ = false;
};

template <class T>
T* HeadlessForm::Find(const std::string& name) const {
    for (const auto& control : controls_) {
        if (control->Name() == name) {
            if (auto* typed = dynamic_cast<T*>(control.get())) {
                return typed;
            }
        }
    }
    return nullptr;
}

class HeadlessApplication : public Application {
  public:
    using Listener = std::function<void(const UiEvent&)>;
    using DialogAnswerer = std::function<DialogResult(const DialogRequest&)>;
    using MessageBoxAnswerer = std::function<int(const MessageBoxRequest&)>;

    // Binds the application to the calling thread (the window thread) and installs the hook
    // that lets HiTimer::Delay process this thread's messages. A platform must be installed.
    HeadlessApplication();
    // Restores the hook it replaced. On the window thread only.
    ~HeadlessApplication() override;

    HeadlessApplication(const HeadlessApplication&) = delete;
    HeadlessApplication& operator=(const HeadlessApplication&) = delete;

    std::unique_ptr<FormBackend> CreateFormBackend() override;

    // Modal: processes the window thread's messages once (the completions handed over so far,
    // then the due timers), as a dialog's own loop would, then asks the answerer (default: Yes
    // for Yes/No, Ok for OK). Both the dialog and the answer are recorded. The answerer may call
    // ProcessMessages() itself to let more happen while the dialog is open. No emulated time
    // passes in a dialog.
    DialogResult MessageDlg(const std::string& text, DialogKind kind,
                            DialogButtons buttons) override;
    // Like MessageDlg; the default answer is IDOK (1), or IDYES (6) for a Yes/No box. The box is
    // the toolkit's own: nothing reaches the platform's MessageBoxA.
    int MessageBox(const std::string& text, const std::string& caption, unsigned flags) override;
    // Recorded as an Exception event; the loop goes on.
    void ShowException(const std::string& message) override;

    // Runs until Terminate(). Each pass: the handed-over completions; else the due timers; else,
    // when the window is idle (no active timer, nothing handed over), the next user action; else
    // it waits: for the next timer on the emulated clock, or for a completion in real time. With
    // end-when-idle on, a loop with no active timer, no action and no completion for the idle
    // timeout records Idle and terminates. Exceptions that escape a handler are shown with
    // ShowException and the loop goes on.
    void Run() override;
    // Runs the handed-over completions once and fires the due timers once; never waits.
    void ProcessMessages() override;
    void Terminate() override;
    bool Terminated() const override { return terminated_; }

    // What the user does next, run by Run() when the window is idle. Callable from any thread.
    void QueueUserAction(std::function<void()> action);
    std::size_t PendingUserActions() const;

    void SetListener(Listener listener) { listener_ = std::move(listener); }
    void SetDialogAnswerer(DialogAnswerer answerer) { dialogAnswerer_ = std::move(answerer); }
    void SetMessageBoxAnswerer(MessageBoxAnswerer answerer) {
        messageBoxAnswerer_ = std::move(answerer);
    }
    // On by default.
    void SetEndWhenIdle(bool end) { endWhenIdle_ = end; }
    // Real time without anything to do after which an idle loop ends; 200 ms by default.
    void SetIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout_ = timeout; }

    const std::vector<UiEvent>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // The events of the given kind, in order.
    std::vector<UiEvent> Events(EventKind kind) const;

    // The forms made so far and still alive; the first is the main form.
    const std::vector<HeadlessForm*>& Forms() const { return forms_; }
    HeadlessForm* MainForm() const { return forms_.empty() ? nullptr : forms_.front(); }
    // A control or timer of the main form; null when there is none.
    template <class T>
    T* Find(const std::string& name) const {
        return MainForm() ? MainForm()->Find<T>(name) : nullptr;
    }

    // The emulated clock the timers run on, in nanoseconds.
    std::int64_t NowNanos();

    bool OnWindowThread() const { return std::this_thread::get_id() == windowThread_; }

    // For the forms, controls and timers.
    void Record(UiEvent event);
    void FormDestroyed(HeadlessForm& form);
    void TimerMade(HeadlessTimer& timer);
    void TimerGone(HeadlessTimer& timer);
    void MainFormClosed() { Terminate(); }

  private:
    // Each returns whether it did something.
    bool RunCompletions();
    bool FireDueTimers();
    bool RunUserAction();
    bool AnyTimerActive() const;
    std::int64_t NextDue() const;
    void SleepUntil(std::int64_t nanos);

    std::thread::id windowThread_;
    HeadlessApplication* previousCurrent_ = nullptr;
    void (*previousHook_)() = nullptr;
    bool hasCounter_ = false;
    std::int64_t frequency_ = 0;
    std::int64_t ownClock_ = 0;  // nanoseconds, without a performance counter

    bool terminated_ = false;
    bool endWhenIdle_ = true;
    std::chrono::milliseconds idleTimeout_{200};

    Listener listener_;
    DialogAnswerer dialogAnswerer_;
    MessageBoxAnswerer messageBoxAnswerer_;
    std::vector<UiEvent> log_;

    std::vector<HeadlessForm*> forms_;
    int formCount_ = 0;
    std::vector<HeadlessTimer*> timers_;

    mutable std::mutex actionsMutex_;
    std::deque<std::function<void()>> actions_;
};

}  // namespace quiver::ui::headless
