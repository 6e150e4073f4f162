// The Qt toolkit's controls: label, drop-down list, button, bevel and progress bar, and how the
// form adds them.
#include "ui/qt/qt_controls.h"

#include <QComboBox>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <type_traits>

namespace quiver::ui::qt {

namespace {

// How many items the drop-down list shows when it is open.
constexpr int kDroppedItems = 8;

class QtLabel : public ControlImpl<Label> {
  public:
    explicit QtLabel(QtForm& form) : ControlImpl(form), label_(new QLabel) {
        label_->setTextFormat(Qt::PlainText);
        label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        label_->setWordWrap(false);
        label_->setMargin(0);
        label_->setIndent(0);
        Adopt(label_);
    }
    void SetText(const std::string& text) override {
        text_ = text;
        label_->setText(Q(text));
        Fit();
    }
    std::string Text() const override { return text_; }
    void SetAutoSize(bool autoSize) override {
        autoSize_ = autoSize;
        Fit();
    }

  private:
    void FontApplied() override { Fit(); }
    void BoundsChanged() override { Fit(); }
    // A label with AutoSize takes the size of its text; its left and top stay. One without
    // keeps its bounds, but its widget grows to the whole text where the face standing in for
    // the named one is wider: the text is never cut.
    void Fit() {
        const QFontMetrics metrics(label_->font());
        const QString measured = text_.empty() ? QStringLiteral(" ") : Q(text_);
        int width = 0;
        const QStringList lines = measured.split(QLatin1Char('\n'));
        for (const QString& line : lines) {
            width = std::max(width, metrics.horizontalAdvance(line));
        }
        const int height = static_cast<int>(lines.size()) * metrics.height();
        if (autoSize_) {
            bounds_.width = width;
            bounds_.height = height;
        }
        label_->setGeometry(bounds_.left, bounds_.top, std::max(bounds_.width, width),
                            std::max(bounds_.height, height));
    }

    QLabel* label_;
    std::string text_;
    bool autoSize_ = false;
};

class QtComboBox : public ControlImpl<ComboBox> {
  public:
    QtComboBox(QtForm& form, QtApplication& app) : ControlImpl(form), combo_(new QComboBox) {
        combo_->setEditable(false);
        combo_->setMaxVisibleItems(kDroppedItems);
        combo_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        Adopt(combo_);
        // activated: only what the user chooses, never a choice made in code.
        QObject::connect(combo_, &QComboBox::activated, combo_,
                         [this, &app](int) { app.Guarded([this] { Changed(); }); });
    }
    void Clear() override { combo_->clear(); }
    void AddItem(const std::string& text) override {
        combo_->addItem(Q(text));
        ApplyItemHeight(combo_->count() - 1);
    }
    int ItemCount() const override { return combo_->count(); }
    std::string Item(int index) const override {
        return index >= 0 && index < combo_->count() ? combo_->itemText(index).toStdString()
                                                     : std::string();
    }
    int ItemIndex() const override { return combo_->currentIndex(); }
    void SetItemIndex(int index) override {
        combo_->setCurrentIndex(index >= 0 && index < combo_->count() ? index : -1);
    }
    void SetItemHeight(int height) override {
        itemHeight_ = std::max(1, height);
        for (int i = 0; i < combo_->count(); ++i) {
            ApplyItemHeight(i);
        }
    }
    void UserChoose(int index) override {
        if (!enabled_ || index < 0 || index >= ItemCount()) {
            return;
        }
        combo_->setCurrentIndex(index);
        Changed();
    }

  private:
    void Changed() {
        const Handler handler = OnChange;
        if (handler) {
            handler(static_cast<ComboBox*>(this));
        }
    }
    void ApplyItemHeight(int index) {
        if (itemHeight_ > 0) {
            combo_->setItemData(index, QSize(0, itemHeight_), Qt::SizeHintRole);
        }
    }

    QComboBox* combo_;
    int itemHeight_ = 0;
};

class QtButton : public ControlImpl<Button> {
  public:
    QtButton(QtForm& form, QtApplication& app) : ControlImpl(form), button_(new QPushButton) {
        button_->setAutoDefault(false);
        Adopt(button_);
        QObject::connect(button_, &QPushButton::clicked, button_, [this, &app](bool) {
            if (enabled_) {
                app.Guarded([this] { Clicked(); });
            }
        });
    }
    void SetCaption(const std::string& caption) override {
        caption_ = caption;
        button_->setText(Q(caption));
    }
    std::string Caption() const override { return caption_; }
    void SetKind(ButtonKind kind) override {
        kind_ = kind;
        if (!hasPicture_) {
            // The close kind shows the style's close picture.
            button_->setIcon(kind == ButtonKind::Close
                                 ? button_->style()->standardIcon(QStyle::SP_DialogCloseButton)
                                 : QIcon());
        }
    }
    void SetPicture(const Picture& normal, const Picture& disabled) override {
        QIcon icon;
        const QPixmap shown = MakePixmap(normal);
        icon.addPixmap(shown, QIcon::Normal);
        const QPixmap grey = MakePixmap(disabled);
        if (!grey.isNull()) {
            icon.addPixmap(grey, QIcon::Disabled);
        }
        hasPicture_ = !shown.isNull();
        button_->setIcon(icon);
        if (hasPicture_) {
            button_->setIconSize(QSize(normal.width, normal.height));
        }
    }
    void UserClick() override {
        if (!visible_ || !enabled_) {
            return;
        }
        Clicked();
    }

  private:
    void Clicked() { Pressed(kind_, form_); }

    QPushButton* button_;
    std::string caption_;
    ButtonKind kind_ = ButtonKind::Normal;
    bool hasPicture_ = false;
};

class QtBevel : public ControlImpl<Bevel> {
  public:
    explicit QtBevel(QtForm& form) : ControlImpl(form), frame_(new QFrame) {
        frame_->setFrameShape(QFrame::Box);
        frame_->setFrameShadow(QFrame::Sunken);
        frame_->setFocusPolicy(Qt::NoFocus);
        Adopt(frame_);
        // Drawn behind the controls it frames.
        frame_->lower();
    }

  private:
    QFrame* frame_;
};

class QtProgressBar : public ControlImpl<ProgressBar> {
  public:
    explicit QtProgressBar(QtForm& form) : ControlImpl(form), bar_(new QProgressBar) {
        bar_->setTextVisible(false);
        Adopt(bar_);
        Update();
    }
    void SetRange(int min, int max) override {
        min_ = min;
        max_ = std::max(min, max);
        position_ = std::clamp(position_, min_, max_);
        Update();
    }
    int Min() const override { return min_; }
    int Max() const override { return max_; }
    void SetStep(int step) override { step_ = step; }
    // Stops at the maximum.
    void StepIt() override { SetPosition(position_ + step_); }
    void SetPosition(int position) override {
        position_ = std::clamp(position, min_, max_);
        bar_->setValue(position_);
    }
    int Position() const override { return position_; }
    // Qt's bars are drawn continuous by the usual styles; the setting is kept.
    void SetSmooth(bool smooth) override { smooth_ = smooth; }

  private:
    void Update() {
        bar_->setRange(min_, max_);
        bar_->setValue(position_);
    }

    QProgressBar* bar_;
    int min_ = 0;
    int max_ = 100;
    int step_ = 10;
    int position_ = 0;
    bool smooth_ = false;
};

}  // namespace

template <class T>
T& QtForm::Add() {
    std::unique_ptr<T> control;
    if constexpr (std::is_constructible_v<T, QtForm&, QtApplication&>) {
        control = std::make_unique<T>(*this, *application_);
    } else {
        control = std::make_unique<T>(*this);
    }
    T& ref = *control;
    controls_.push_back(std::move(control));
    return ref;
}

Label& QtForm::AddLabel() {
    return Add<QtLabel>();
}
ComboBox& QtForm::AddComboBox() {
    return Add<QtComboBox>();
}
Button& QtForm::AddButton() {
    return Add<QtButton>();
}
Bevel& QtForm::AddBevel() {
    return Add<QtBevel>();
}
ProgressBar& QtForm::AddProgressBar() {
    return Add<QtProgressBar>();
}
Timer& QtForm::AddTimer() {
    timers_.push_back(std::make_unique<TimerImpl>(*application_));
    return *timers_.back();
}

}  // namespace quiver::ui::qt
