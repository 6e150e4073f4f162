// The headless toolkit's controls and timers: each keeps its state and records what the window
// asks of it and what the user does to it.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "ui/headless/headless.h"
#include "ui/headless/headless_detail.h"

namespace quiver::ui::headless {

using detail::Flag;
using detail::kNanosPerMilli;

namespace {

bool SamePicture(const Picture& a, const Picture& b) {
    return a.width == b.width && a.height == b.height && a.pixels == b.pixels;
}

using LabelBase = ControlBase<Label>;
using ComboBoxBase = ControlBase<ComboBox>;
using ButtonBase = ControlBase<Button>;
using BevelBase = ControlBase<Bevel>;
using ProgressBarBase = ControlBase<ProgressBar>;

}  // namespace

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
    Pressed(kind_, *form_);
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

}  // namespace quiver::ui::headless
