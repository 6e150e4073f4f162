// The headless toolkit's form: its controls, frame and system menu, and what the user does to
// the frame.
#include <algorithm>
#include <atomic>

#include "ui/headless/headless.h"
#include "ui/headless/headless_detail.h"

namespace quiver::ui::headless {

using detail::Flag;
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

}  // namespace quiver::ui::headless
