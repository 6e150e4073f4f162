#include "ui/headless/headless.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <stdexcept>

#include "host/hi_timer.h"
#include "platform/platform.h"
#include "host/window_thread_queue.h"
#include "worker/thread.h"

namespace quiver::ui::headless {

namespace {

// The application of the calling thread: set on the window thread only, so that the message
// hook finds nothing on any other thread.
thread_local HeadlessApplication* t_current = nullptr;

void ProcessWindowMessages() {
    if (t_current != nullptr) {
        t_current->ProcessMessages();
    }
}

constexpr std::int64_t kNanosPerMilli = 1'000'000;

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
    return out;
}

bool SamePicture(const Picture& a, const Picture& b) {
    return a.width == b.width && a.height == b.height && a.pixels == b.pixels;
}

int Flag(bool b) {
    return b ? 1 : 0;
}

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "Unknown exception";
    }
}

using LabelBase = ControlBase<Label>;
using ComboBoxBase = ControlBase<ComboBox>;
using ButtonBase = ControlBase<Button>;
using BevelBase = ControlBase<Bevel>;
using ProgressBarBase = ControlBase<ProgressBar>;

}  // namespace

// --- Events ------------------------------------------------------------------------------------

const char* KindName(EventKind kind) {
    switch (kind) {
#define QUIVER_HEADLESS_NAME(name) \
    case EventKind::name:          \
        return #name;
        QUIVER_HEADLESS_EVENT_KINDS(QUIVER_HEADLESS_NAME)
#undef QUIVER_HEADLESS_NAME
    }
    return "?";
}

const char* ResultName(DialogResult result) {
    switch (result) {
        case DialogResult::Ok:
            return "Ok";
        case DialogResult::Yes:
            return "Yes";
        case DialogResult::No:
            return "No";
        case DialogResult::Cancel:
            return "Cancel";
    }
    return "?";
}

std::string ToString(const UiEvent& event) {
    std::string out = KindName(event.kind);
    if (!event.control.empty()) {
        out += ' ';
        out += event.control;
    }
    if (!event.text.empty()) {
        out += " \"" + Escape(event.text) + '"';
    }
    if (!event.detail.empty()) {
        out += " \"" + Escape(event.detail) + '"';
    }
    for (int v : event.values) {
        out += ' ';
        out += std::to_string(v);
    }
    return out;
}

void ControlCore::Record(EventKind kind, std::string text, std::vector<int> values,
                         std::string detail) const {
    form_->Record(kind, name_, std::move(text), std::move(values), std::move(detail));
}

// --- Controls ----------------------------------------------------------------------------------

template <class Interface>
void ControlBase<Interface>::SetBounds(const Bounds& bounds) {
    ChangeBounds(bounds);
}

template <class Interface>
void ControlBase<Interface>::ChangeBounds(const Bounds& bounds) {
    if (bounds == bounds_) {
        return;
    }
    bounds_ = bounds;
    Record(kinds_.bounds, {}, {bounds.left, bounds.top, bounds.width, bounds.height});
}

template <class Interface>
void ControlBase<Interface>::SetVisible(bool visible) {
    if (visible == visible_) {
        return;
    }
    visible_ = visible;
    Record(kinds_.visible, {}, {Flag(visible)});
}

template <class Interface>
void ControlBase<Interface>::SetEnabled(bool enabled) {
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    Record(kinds_.enabled, {}, {Flag(enabled)});
}

template <class Interface>
void ControlBase<Interface>::SetTabOrder(int order) {
    if (order == tabOrder_) {
        return;
    }
    tabOrder_ = order;
    Record(kinds_.tabOrder, {}, {order});
}

template <class Interface>
void ControlBase<Interface>::SetFont(const Font& font) {
    parentFont_ = false;
    ChangeFont(font);
}

template <class Interface>
void ControlBase<Interface>::ParentFontChanged(const Font& font) {
    if (parentFont_) {
        ChangeFont(font);
    }
}

template <class Interface>
void ControlBase<Interface>::ChangeFont(const Font& font) {
    if (font == font_) {
        return;
    }
    Font colourless = font_;
    colourless.color = font.color;
    font_ = font;
    const Color c = font.color;
    if (colourless == font) {
        Record(kinds_.color, {}, {c.red, c.green, c.blue});
    } else {
        Record(kinds_.font, font.face, {font.points, Flag(font.bold), c.red, c.green, c.blue});
    }
    FontChanged();
}

template class ControlBase<Label>;
template class ControlBase<ComboBox>;
template class ControlBase<Button>;
template class ControlBase<Bevel>;
template class ControlBase<ProgressBar>;

HeadlessLabel::HeadlessLabel(HeadlessForm& form, std::string name, Font font)
    : LabelBase(form, std::move(name),
                {EventKind::LabelBounds, EventKind::LabelVisible, EventKind::LabelEnabled,
                 EventKind::LabelTabOrder, EventKind::LabelFont, EventKind::LabelColor},
                std::move(font)) {}

void HeadlessLabel::SetText(const std::string& text) {
    if (text == text_) {
        return;
    }
    text_ = text;
    Record(EventKind::LabelText, text);
    Fit();
}

void HeadlessLabel::SetAutoSize(bool autoSize) {
    if (autoSize == autoSize_) {
        return;
    }
    autoSize_ = autoSize;
    Record(EventKind::LabelAutoSize, {}, {Flag(autoSize)});
    Fit();
}

void HeadlessLabel::SetBounds(const Bounds& bounds) {
    Bounds b = bounds;
    if (autoSize_) {
        const Bounds extent = TextExtent(text_, font_);
        b.width = extent.width;
        b.height = extent.height;
    }
    ChangeBounds(b);
}

void HeadlessLabel::Fit() {
    if (autoSize_) {
        SetBounds(bounds_);
    }
}

Bounds HeadlessLabel::TextExtent(const std::string& text, const Font& font) {
    const int points = std::max(font.points, 1);
    const int pixelHeight = (points * 96 + 71) / 72;
    const double average = pixelHeight * (font.bold ? 0.47 : 0.42);
    std::size_t longest = 0;
    int lines = 1;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        const std::size_t length = (end == std::string::npos ? text.size() : end) - start;
        longest = std::max(longest, length);
        if (end == std::string::npos) {
            break;
        }
        ++lines;
        start = end + 1;
    }
    Bounds extent;
    extent.width = static_cast<int>(std::ceil(static_cast<double>(longest) * average));
    extent.height = lines * (pixelHeight + 3);
    return extent;
}

HeadlessComboBox::HeadlessComboBox(HeadlessForm& form, std::string name, Font font)
    : ComboBoxBase(form, std::move(name),
                   {EventKind::ListBounds, EventKind::ListVisible, EventKind::ListEnabled,
                    EventKind::ListTabOrder, EventKind::ListFont, EventKind::ListColor},
                   std::move(font)) {}

void HeadlessComboBox::ReportItems() {
    std::string all;
    for (const std::string& item : items_) {
        all += item;
        all += '\n';
    }
    Record(EventKind::ListItems, std::move(all), {ItemCount()});
}

void HeadlessComboBox::Clear() {
    if (items_.empty()) {
        return;
    }
    items_.clear();
    ReportItems();
    Select(-1);
}

void HeadlessComboBox::AddItem(const std::string& text) {
    items_.push_back(text);
    ReportItems();
}

std::string HeadlessComboBox::Item(int index) const {
    if (index < 0 || index >= ItemCount()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
    }
    return items_[static_cast<std::size_t>(index)];
}

std::string HeadlessComboBox::Text() const {
    return itemIndex_ >= 0 ? items_[static_cast<std::size_t>(itemIndex_)] : std::string();
}

void HeadlessComboBox::Select(int index) {
    if (index < 0 || index >= ItemCount()) {
        index = -1;
    }
    if (index == itemIndex_) {
        return;
    }
    itemIndex_ = index;
    Record(EventKind::ListSelection, Text(), {index});
}

void HeadlessComboBox::SetItemIndex(int index) {
    Select(index);
}

void HeadlessComboBox::SetItemHeight(int height) {
    if (height == itemHeight_) {
        return;
    }
    itemHeight_ = height;
    Record(EventKind::ListItemHeight, {}, {height});
}

void HeadlessComboBox::UserChoose(int index) {
    if (!visible_ || !enabled_) {
        return;
    }
    if (index < 0 || index >= ItemCount()) {
        throw std::out_of_range("No item " + std::to_string(index) + " to choose in " + name_);
    }
    Record(EventKind::UserChoose, Item(index), {index});
    Select(index);
    // A copy: the handler may replace itself.
    const Handler handler = OnChange;
    if (handler) {
        handler(static_cast<ComboBox*>(this));
    }
}

HeadlessButton::HeadlessButton(HeadlessForm& form, std::string name, Font font)
    : ButtonBase(form, std::move(name),
                 {EventKind::ButtonBounds, EventKind::ButtonVisible, EventKind::ButtonEnabled,
                  EventKind::ButtonTabOrder, EventKind::ButtonFont, EventKind::ButtonColor},
                 std::move(font)) {}

void HeadlessButton::SetCaption(const std::string& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    Record(EventKind::ButtonCaption, caption);
}

void HeadlessButton::SetKind(ButtonKind kind) {
    if (kind == kind_) {
        return;
    }
    kind_ = kind;
    Record(EventKind::ButtonKind, {}, {kind == ButtonKind::Close ? 1 : 0});
}

void HeadlessButton::SetPicture(const Picture& normal, const Picture& disabled) {
    if (SamePicture(normal, picture_) && SamePicture(disabled, disabledPicture_)) {
        return;
    }
    picture_ = normal;
    disabledPicture_ = disabled;
    Record(EventKind::ButtonPicture, {}, {normal.width, normal.height});
}

void HeadlessButton::UserClick() {
    if (!visible_ || !enabled_) {
        return;
    }
    Record(EventKind::UserClick);
    HeadlessForm& form = *form_;
    const ButtonKind kind = kind_;
    const Handler handler = OnClick;
    if (handler) {
        handler(static_cast<Button*>(this));
    }
    if (kind == ButtonKind::Close) {
        form.Close();
    }
}

HeadlessBevel::HeadlessBevel(HeadlessForm& form, std::string name, Font font)
    : BevelBase(form, std::move(name),
                {EventKind::BevelBounds, EventKind::BevelVisible, EventKind::BevelEnabled,
                 EventKind::BevelTabOrder, EventKind::BevelFont, EventKind::BevelColor},
                std::move(font)) {}

HeadlessProgressBar::HeadlessProgressBar(HeadlessForm& form, std::string name, Font font)
    : ProgressBarBase(
          form, std::move(name),
          {EventKind::ProgressBounds, EventKind::ProgressVisible, EventKind::ProgressEnabled,
           EventKind::ProgressTabOrder, EventKind::ProgressFont, EventKind::ProgressColor},
          std::move(font)) {}

void HeadlessProgressBar::SetRange(int min, int max) {
    if (max < min) {
        max = min;
    }
    if (min != min_ || max != max_) {
        min_ = min;
        max_ = max;
        Record(EventKind::ProgressRange, {}, {min, max});
    }
    ChangePosition(position_);
}

void HeadlessProgressBar::SetStep(int step) {
    if (step == step_) {
        return;
    }
    step_ = step;
    Record(EventKind::ProgressStep, {}, {step});
}

void HeadlessProgressBar::StepIt() {
    const std::int64_t next = static_cast<std::int64_t>(position_) + step_;
    ChangePosition(static_cast<int>(std::clamp<std::int64_t>(next, min_, max_)));
}

void HeadlessProgressBar::SetPosition(int position) {
    ChangePosition(position);
}

void HeadlessProgressBar::ChangePosition(int position) {
    position = std::clamp(position, min_, max_);
    if (position == position_) {
        return;
    }
    position_ = position;
    Record(EventKind::ProgressPosition, {}, {position});
}

void HeadlessProgressBar::SetSmooth(bool smooth) {
    if (smooth == smooth_) {
        return;
    }
    smooth_ = smooth;
    Record(EventKind::ProgressSmooth, {}, {Flag(smooth)});
}

HeadlessTimer::HeadlessTimer(HeadlessForm& form, std::string name)
    : ControlCore(form, std::move(name)) {
    form.App().TimerMade(*this);
}

HeadlessTimer::~HeadlessTimer() {
    form_->App().TimerGone(*this);
}

void HeadlessTimer::Restart() {
    due_ = form_->App().NowNanos() + static_cast<std::int64_t>(interval_) * kNanosPerMilli;
}

void HeadlessTimer::SetInterval(int milliseconds) {
    milliseconds = std::max(milliseconds, 0);
    if (milliseconds == interval_) {
        return;
    }
    interval_ = milliseconds;
    Record(EventKind::TimerInterval, {}, {milliseconds});
    if (enabled_) {
        Restart();
    }
}

void HeadlessTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    Record(EventKind::TimerEnabled, {}, {Flag(enabled)});
    if (enabled) {
        Restart();
    }
}

// --- Forms -------------------------------------------------------------------------------------

namespace {
// Made-up window handles: multiples of two from 0x10010 on, as the system numbers windows, in
// the low memory where no valid pointer lies; never the same twice in a process.
std::atomic<std::uintptr_t> g_nextWindowHandle{0x10010};
}  // namespace

HeadlessForm::HeadlessForm(HeadlessApplication& application, std::string name)
    : application_(&application),
      handle_(g_nextWindowHandle.fetch_add(2)),
      name_(std::move(name)),
      systemMenu_{"Restore", "Move", "Size", "Minimize", "Maximize", "-", "Close"} {}

HeadlessForm::~HeadlessForm() {
    // The controls go first: timers leave the application's list while it still knows the form.
    controls_.clear();
    application_->FormDestroyed(*this);
}

bool HeadlessForm::IsMain() const {
    return application_->MainForm() == this;
}

void HeadlessForm::Record(EventKind kind, std::string control, std::string text,
                          std::vector<int> values, std::string detail) const {
    application_->Record(
        UiEvent{kind, std::move(control), std::move(text), std::move(detail), std::move(values)});
}

void HeadlessForm::RecordForm(EventKind kind, std::string text, std::vector<int> values) const {
    Record(kind, name_, std::move(text), std::move(values), {});
}

template <class T>
T& HeadlessForm::Add(const char* prefix, int& counter) {
    auto control = std::make_unique<T>(*this, prefix + std::to_string(++counter), font_);
    T& ref = *control;
    controls_.push_back(std::move(control));
    return ref;
}

Label& HeadlessForm::AddLabel() {
    return Add<HeadlessLabel>("Label", labels_);
}
ComboBox& HeadlessForm::AddComboBox() {
    return Add<HeadlessComboBox>("ComboBox", lists_);
}
Button& HeadlessForm::AddButton() {
    return Add<HeadlessButton>("Button", buttons_);
}
Bevel& HeadlessForm::AddBevel() {
    return Add<HeadlessBevel>("Bevel", bevels_);
}
ProgressBar& HeadlessForm::AddProgressBar() {
    return Add<HeadlessProgressBar>("ProgressBar", bars_);
}

Timer& HeadlessForm::AddTimer() {
    auto timer = std::make_unique<HeadlessTimer>(*this, "Timer" + std::to_string(++timers_));
    HeadlessTimer& ref = *timer;
    controls_.push_back(std::move(timer));
    return ref;
}

void HeadlessForm::SetCaption(const std::string& caption) {
    if (caption == caption_) {
        return;
    }
    caption_ = caption;
    RecordForm(EventKind::Caption, caption);
}

void HeadlessForm::SetOuterSize(int width, int height) {
    if (width == width_ && height == height_) {
        return;
    }
    width_ = width;
    height_ = height;
    RecordForm(EventKind::FormSize, {}, {width, height});
}

void HeadlessForm::CenterOnScreen() {
    if (centered_) {
        return;
    }
    centered_ = true;
    RecordForm(EventKind::FormCentered);
}

void HeadlessForm::SetFont(const Font& font) {
    if (font == font_) {
        return;
    }
    font_ = font;
    const Color c = font.color;
    RecordForm(EventKind::FormFont, font.face,
               {font.points, Flag(font.bold), c.red, c.green, c.blue});
    for (const auto& control : controls_) {
        control->ParentFontChanged(font);
    }
}

void HeadlessForm::SetSystemMenuOnlyFrame() {
    if (systemMenuOnly_) {
        return;
    }
    systemMenuOnly_ = true;
    RecordForm(EventKind::FormFrame);
}

bool HeadlessForm::DeleteSystemMenuItem(int position) {
    if (position < 0 || position >= static_cast<int>(systemMenu_.size())) {
        return false;
    }
    const auto at = systemMenu_.begin() + position;
    std::string entry = *at;
    systemMenu_.erase(at);
    RecordForm(EventKind::SystemMenu, std::move(entry),
               {position, static_cast<int>(systemMenu_.size())});
    return true;
}

bool HeadlessForm::FrameCanClose() const {
    return std::find(systemMenu_.begin(), systemMenu_.end(), "Close") != systemMenu_.end();
}

void HeadlessForm::Show() {
    if (showing_) {
        return;
    }
    showing_ = true;
    RecordForm(EventKind::FormShown);
}

void HeadlessForm::Close() {
    showing_ = false;
    RecordForm(EventKind::FormClosed);
    if (IsMain()) {
        application_->MainFormClosed();
    }
}

bool HeadlessForm::UserCloseFrame() {
    const bool can = FrameCanClose();
    RecordForm(EventKind::FrameClose, {}, {Flag(can)});
    if (can) {
        Close();
    }
    return can;
}

bool HeadlessForm::SystemEndsSession() {
    bool mayEnd = true;
    if (OnQueryEndSession) {
        application_->Guarded([&] { mayEnd = OnQueryEndSession(); });
    }
    RecordForm(EventKind::EndSession, {}, {Flag(mayEnd)});
    return mayEnd;
}

void* HeadlessForm::SystemHandle() const {
    return reinterpret_cast<void*>(handle_);
}

// --- The application ---------------------------------------------------------------------------

HeadlessApplication::HeadlessApplication() : windowThread_(std::this_thread::get_id()) {
    if (!HasPlatform()) {
        throw std::logic_error("The headless toolkit needs a platform");
    }
    LARGE_INTEGER frequency{};
    hasCounter_ = Os().QueryPerformanceFrequency(&frequency) != FALSE && frequency.QuadPart > 0;
    frequency_ = hasCounter_ ? frequency.QuadPart : 0;
    previousCurrent_ = t_current;
    t_current = this;
    previousHook_ = GetProcessMessagesHook();
    SetProcessMessagesHook(&ProcessWindowMessages);
}

HeadlessApplication::~HeadlessApplication() {
    SetProcessMessagesHook(previousHook_);
    if (t_current == this) {
        t_current = previousCurrent_;
    }
}

std::unique_ptr<FormBackend> HeadlessApplication::CreateFormBackend() {
    auto form = std::make_unique<HeadlessForm>(*this, "Form" + std::to_string(++formCount_));
    forms_.push_back(form.get());
    return form;
}

void HeadlessApplication::FormDestroyed(HeadlessForm& form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), &form), forms_.end());
}

void HeadlessApplication::TimerMade(HeadlessTimer& timer) {
    timers_.push_back(&timer);
}

void HeadlessApplication::TimerGone(HeadlessTimer& timer) {
    timers_.erase(std::remove(timers_.begin(), timers_.end(), &timer), timers_.end());
}

void HeadlessApplication::Record(UiEvent event) {
    if (!OnWindowThread()) {
        throw std::logic_error("The window was used off the window thread (" + event.control + ")");
    }
    log_.push_back(event);
    if (listener_) {
        listener_(log_.back());
    }
}

std::vector<UiEvent> HeadlessApplication::Events(EventKind kind) const {
    std::vector<UiEvent> out;
    for (const UiEvent& e : log_) {
        if (e.kind == kind) {
            out.push_back(e);
        }
    }
    return out;
}

std::int64_t HeadlessApplication::NowNanos() {
    if (hasCounter_) {
        LARGE_INTEGER count{};
        if (Os().QueryPerformanceCounter(&count) != FALSE) {
            const std::int64_t c = count.QuadPart;
            return c / frequency_ * 1'000'000'000 + c % frequency_ * 1'000'000'000 / frequency_;
        }
    }
    return ownClock_;
}

void HeadlessApplication::SleepUntil(std::int64_t nanos) {
    const std::int64_t now = NowNanos();
    if (nanos <= now) {
        return;
    }
    const std::int64_t millis = (nanos - now + kNanosPerMilli - 1) / kNanosPerMilli;
    Os().Sleep(static_cast<DWORD>(std::min<std::int64_t>(millis, 0x7FFFFFFF)));
    if (!hasCounter_) {
        ownClock_ += millis * kNanosPerMilli;
    }
}

DialogResult HeadlessApplication::MessageDlg(const std::string& text, DialogKind kind,
                                             DialogButtons buttons) {
    const DialogRequest request{text, kind, DialogCaption(kind), buttons};
    Record(UiEvent{EventKind::Dialog,
                   {},
                   text,
                   request.caption,
                   {static_cast<int>(kind), static_cast<int>(buttons)}});
    // The dialog's own message loop: what the window thread has been handed runs now.
    ProcessMessages();
    DialogResult result = buttons == DialogButtons::YesNo ? DialogResult::Yes : DialogResult::Ok;
    if (dialogAnswerer_) {
        result = dialogAnswerer_(request);
    }
    Record(
        UiEvent{EventKind::DialogAnswer, {}, ResultName(result), {}, {static_cast<int>(result)}});
    return result;
}

int HeadlessApplication::MessageBox(const std::string& text, const std::string& caption,
                                    unsigned flags) {
    const MessageBoxRequest request{text, caption, flags};
    Record(UiEvent{EventKind::MessageBox, {}, text, caption, {static_cast<int>(flags)}});
    ProcessMessages();
    int answer = (flags & 0x0F) == MB_YESNO ? IDYES : IDOK;
    if (messageBoxAnswerer_) {
        answer = messageBoxAnswerer_(request);
    }
    Record(UiEvent{EventKind::MessageBoxAnswer, {}, {}, {}, {answer}});
    return answer;
}

void HeadlessApplication::ShowException(const std::string& message) {
    Record(UiEvent{EventKind::Exception, {}, message, {}, {}});
}

void HeadlessApplication::Terminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    Record(UiEvent{EventKind::Terminate, {}, {}, {}, {}});
}

void HeadlessApplication::QueueUserAction(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(actionsMutex_);
    actions_.push_back(std::move(action));
}

std::size_t HeadlessApplication::PendingUserActions() const {
    std::lock_guard<std::mutex> lock(actionsMutex_);
    return actions_.size();
}

bool HeadlessApplication::RunCompletions() {
    bool ran = false;
    for (;;) {
        try {
            return WindowThreadQueue::ProcessPending() > 0 || ran;
        } catch (...) {
            // The failed one is off the queue; the others still wait for their turn.
            ShowException(ExceptionMessage(std::current_exception()));
            ran = true;
        }
    }
}

bool HeadlessApplication::FireDueTimers() {
    const std::int64_t now = NowNanos();
    bool fired = false;
    const std::vector<HeadlessTimer*> snapshot = timers_;
    for (HeadlessTimer* timer : snapshot) {
        if (terminated_) {
            break;
        }
        // A handler that ran before may have destroyed this timer.
        if (std::find(timers_.begin(), timers_.end(), timer) == timers_.end()) {
            continue;
        }
        if (!timer->Active() || timer->running_ || timer->due_ > now) {
            continue;
        }
        // Ticks missed while the thread was busy come as one, as the system's timers do.
        const std::int64_t interval = static_cast<std::int64_t>(timer->interval_) * kNanosPerMilli;
        timer->due_ += interval;
        if (timer->due_ <= now) {
            timer->due_ = now + interval;
        }
        ++timer->fires_;
        timer->running_ = true;
        const Handler handler = timer->OnTimer;
        Guarded([&] { handler(static_cast<Timer*>(timer)); });
        if (std::find(timers_.begin(), timers_.end(), timer) != timers_.end()) {
            timer->running_ = false;
        }
        fired = true;
    }
    return fired;
}

bool HeadlessApplication::AnyTimerActive() const {
    return std::any_of(timers_.begin(), timers_.end(),
                       [](const HeadlessTimer* t) { return t->Active(); });
}

std::int64_t HeadlessApplication::NextDue() const {
    std::int64_t next = INT64_MAX;
    for (const HeadlessTimer* t : timers_) {
        if (t->Active() && !t->running_) {
            next = std::min(next, t->due_);
        }
    }
    return next;
}

bool HeadlessApplication::RunUserAction() {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(actionsMutex_);
        if (actions_.empty()) {
            return false;
        }
        action = std::move(actions_.front());
        actions_.pop_front();
    }
    Guarded([&] { action(); });
    return true;
}

void HeadlessApplication::ProcessMessages() {
    RunCompletions();
    FireDueTimers();
}

void HeadlessApplication::Run() {
    using Steady = std::chrono::steady_clock;
    Steady::time_point lastWork = Steady::now();
    while (!terminated_) {
        if (RunCompletions() || (!terminated_ && FireDueTimers())) {
            lastWork = Steady::now();
            continue;
        }
        if (terminated_) {
            break;
        }
        if (AnyTimerActive()) {
            // Give the workers a moment of real time, then let the emulated time pass. While a
            // worker works the time is its to move: on a virtual clock a window thread that
            // slept to its next tick would move it on under the worker's timed waits, and the
            // more so the slower the host runs the worker.
            if (TThread::Working() != 0) {
                // Looking at the time (a counter read) moves a virtual clock on a little too:
                // look seldom.
                WindowThreadQueue::WaitForPending(std::chrono::milliseconds(10));
            } else if (!WindowThreadQueue::WaitForPending(std::chrono::milliseconds(1))) {
                const std::int64_t due = NextDue();
                if (due != INT64_MAX) {
                    SleepUntil(due);
                }
            }
            lastWork = Steady::now();
            continue;
        }
        if (RunUserAction()) {
            lastWork = Steady::now();
            continue;
        }
        const auto slice = std::min(idleTimeout_, std::chrono::milliseconds(10));
        if (WindowThreadQueue::WaitForPending(std::max(slice, std::chrono::milliseconds(1)))) {
            continue;
        }
        if (endWhenIdle_ && Steady::now() - lastWork >= idleTimeout_ && PendingUserActions() == 0) {
            Record(UiEvent{EventKind::Idle, {}, {}, {}, {}});
            Terminate();
        }
    }
}

}  // namespace quiver::ui::headless
