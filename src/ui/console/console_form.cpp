// The console toolkit's form and controls: values that nobody sees. The window sets them as it
// would on a screen; the events it reports are what a console run shows.
#include <algorithm>

#include "ui/console/console_detail.h"

namespace quiver::ui::console::detail {

namespace {

template <class Interface>
class ValueControl : public Interface {
  public:
    void SetBounds(const Bounds& bounds) override { bounds_ = bounds; }
    Bounds GetBounds() const override { return bounds_; }
    void SetVisible(bool visible) override { visible_ = visible; }
    bool Visible() const override { return visible_; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    bool Enabled() const override { return enabled_; }
    void SetTabOrder(int) override {}
    void SetFont(const Font& font) override { font_ = font; }
    Font GetFont() const override { return font_; }

  private:
    Bounds bounds_;
    bool visible_ = true;
    bool enabled_ = true;
    Font font_;
};

class ValueLabel : public ValueControl<Label> {
  public:
    void SetText(const std::string& text) override { text_ = text; }
    std::string Text() const override { return text_; }
    void SetAutoSize(bool) override {}

  private:
    std::string text_;
};

class ValueComboBox : public ValueControl<ComboBox> {
  public:
    void Clear() override {
        items_.clear();
        index_ = -1;
    }
    void AddItem(const std::string& text) override { items_.push_back(text); }
    int ItemCount() const override { return static_cast<int>(items_.size()); }
    std::string Item(int index) const override {
        return index >= 0 && index < ItemCount() ? items_[static_cast<std::size_t>(index)]
                                                 : std::string();
    }
    int ItemIndex() const override { return index_; }
    void SetItemIndex(int index) override {
        index_ = index >= 0 && index < ItemCount() ? index : -1;
    }
    void SetItemHeight(int) override {}
    void UserChoose(int index) override {
        SetItemIndex(index);
        if (OnChange) {
            OnChange(this);
        }
    }

  private:
    std::vector<std::string> items_;
    int index_ = -1;
};

class ValueButton : public ValueControl<Button> {
  public:
    explicit ValueButton(FormBackend& form) : form_(form) {}
    void SetCaption(const std::string& caption) override { caption_ = caption; }
    std::string Caption() const override { return caption_; }
    void SetKind(ButtonKind kind) override { kind_ = kind; }
    void SetPicture(const Picture&, const Picture&) override {}
    void UserClick() override {
        if (Enabled()) {
            Pressed(kind_, form_);
        }
    }

  private:
    FormBackend& form_;
    std::string caption_;
    ButtonKind kind_ = ButtonKind::Normal;
};

class ValueBevel : public ValueControl<Bevel> {};

class ValueProgressBar : public ValueControl<ProgressBar> {
  public:
    void SetRange(int min, int max) override {
        min_ = min;
        max_ = max;
    }
    int Min() const override { return min_; }
    int Max() const override { return max_; }
    void SetStep(int step) override { step_ = step; }
    void StepIt() override { position_ = std::min(max_, position_ + step_); }
    void SetPosition(int position) override { position_ = std::clamp(position, min_, max_); }
    int Position() const override { return position_; }
    void SetSmooth(bool) override {}

  private:
    int min_ = 0;
    int max_ = 100;
    int step_ = 10;
    int position_ = 0;
};

// A timer that never fires: the progress of a console run comes from the workers' events.
class ValueTimer : public Timer {
  public:
    void SetInterval(int milliseconds) override { interval_ = milliseconds; }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override { enabled_ = enabled; }
    bool Enabled() const override { return enabled_; }

  private:
    int interval_ = 1000;
    bool enabled_ = false;
};

class ConsoleForm : public FormBackend {
  public:
    explicit ConsoleForm(Application& application) : application_(application) {}

    Label& AddLabel() override { return Keep(std::make_unique<ValueLabel>()); }
    ComboBox& AddComboBox() override { return Keep(std::make_unique<ValueComboBox>()); }
    Button& AddButton() override { return Keep(std::make_unique<ValueButton>(*this)); }
    Bevel& AddBevel() override { return Keep(std::make_unique<ValueBevel>()); }
    ProgressBar& AddProgressBar() override { return Keep(std::make_unique<ValueProgressBar>()); }
    Timer& AddTimer() override {
        timers_.push_back(std::make_unique<ValueTimer>());
        return *timers_.back();
    }
    void SetCaption(const std::string& caption) override { caption_ = caption; }
    std::string Caption() const override { return caption_; }
    void SetOuterSize(int, int) override {}
    void CenterOnScreen() override {}
    void SetFont(const Font&) override {}
    void SetSystemMenuOnlyFrame() override {}
    bool DeleteSystemMenuItem(int) override { return false; }
    bool FrameCanClose() const override { return false; }
    void Show() override { showing_ = true; }
    bool Showing() const override { return showing_; }
    // Closing the one form ends the program.
    void Close() override {
        showing_ = false;
        application_.Terminate();
    }

  private:
    template <class T>
    T& Keep(std::unique_ptr<T> control) {
        T& kept = *control;
        controls_.push_back(std::move(control));
        return kept;
    }

    Application& application_;
    std::vector<std::unique_ptr<Control>> controls_;
    std::vector<std::unique_ptr<Timer>> timers_;
    std::string caption_;
    bool showing_ = false;
};

}  // namespace

std::unique_ptr<FormBackend> MakeForm(Application& application) {
    return std::make_unique<ConsoleForm>(application);
}

}  // namespace quiver::ui::console::detail
