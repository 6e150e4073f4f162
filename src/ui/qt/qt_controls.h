// What the Qt toolkit's controls and timers share: a widget on the form with its bounds,
// visibility, tab order and font, and the timer on a QTimer. For the toolkit's own files.
#pragma once

#include <QPalette>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <memory>

#include "ui/qt/qt_painting.h"
#include "ui/qt/qt_toolkit.h"

namespace quiver::ui::qt {

class QtForm::ControlBase : public NativeControl {
  public:
    explicit ControlBase(QtForm& form) : form_(form) {}
    ~ControlBase() override { delete widget_; }
    QWidget* Widget() const override { return widget_; }
    int TabOrder() const { return tabOrder_; }

    // The form's font changed: a control without a font of its own follows it.
    void ParentFontChanged() {
        if (!ownFont_) {
            font_ = form_.FormFont();
            ApplyFont();
        }
    }

  protected:
    void Adopt(QWidget* widget) {
        widget_ = widget;
        widget_->setParent(form_.Widget());
        widget_->setGeometry(0, 0, 0, 0);
        widget_->show();
        font_ = form_.FormFont();
        ApplyFont();
    }
    void ApplyFont() {
        widget_->setFont(MakeQFont(font_));
        QPalette palette = widget_->palette();
        palette.setColor(QPalette::WindowText, ToQColor(font_.color));
        palette.setColor(QPalette::ButtonText, ToQColor(font_.color));
        palette.setColor(QPalette::Text, ToQColor(font_.color));
        widget_->setPalette(palette);
        FontApplied();
    }
    virtual void FontApplied() {}
    virtual void BoundsChanged() {}

    void DoSetBounds(const Bounds& bounds) {
        bounds_ = bounds;
        widget_->setGeometry(bounds.left, bounds.top, std::max(0, bounds.width),
                             std::max(0, bounds.height));
        BoundsChanged();
    }
    void DoSetVisible(bool visible) {
        visible_ = visible;
        widget_->setVisible(visible);
    }
    void DoSetEnabled(bool enabled) {
        enabled_ = enabled;
        widget_->setEnabled(enabled);
    }
    void DoSetTabOrder(int order) {
        tabOrder_ = order;
        form_.Retab();
    }
    void DoSetFont(const Font& font) {
        ownFont_ = true;
        font_ = font;
        ApplyFont();
    }

    QtForm& form_;
    QWidget* widget_ = nullptr;
    Bounds bounds_;
    bool visible_ = true;
    bool enabled_ = true;
    int tabOrder_ = -1;
    Font font_;
    bool ownFont_ = false;
};

// The common Control operations on top of ControlBase, for each seam type.
template <class Seam>
class ControlImpl : public Seam, public QtForm::ControlBase {
  public:
    using ControlBase::ControlBase;
    void SetBounds(const Bounds& bounds) override { DoSetBounds(bounds); }
    Bounds GetBounds() const override { return bounds_; }
    void SetVisible(bool visible) override { DoSetVisible(visible); }
    bool Visible() const override { return visible_; }
    void SetEnabled(bool enabled) override { DoSetEnabled(enabled); }
    bool Enabled() const override { return enabled_; }
    void SetTabOrder(int order) override { DoSetTabOrder(order); }
    void SetFont(const Font& font) override { DoSetFont(font); }
    Font GetFont() const override { return font_; }
    void SetName(const std::string& name) override { widget_->setObjectName(Q(name)); }
};

class QtForm::TimerImpl : public Timer {
  public:
    explicit TimerImpl(QtApplication& app) : timer_(new QTimer) {
        QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(),
                         [this, &app] { app.Guarded([this] { Fire(); }); });
    }
    void SetInterval(int milliseconds) override {
        interval_ = std::max(0, milliseconds);
        Update();
    }
    int Interval() const override { return interval_; }
    void SetEnabled(bool enabled) override {
        enabled_ = enabled;
        Update();
    }
    bool Enabled() const override { return enabled_; }
    void SetName(const std::string& name) override { timer_->setObjectName(Q(name)); }

  private:
    void Fire() {
        // A handler that waits in a dialog is not entered again.
        if (!enabled_ || running_) {
            return;
        }
        const Handler handler = OnTimer;
        if (!handler) {
            return;
        }
        running_ = true;
        struct Reset {
            bool& flag;
            ~Reset() { flag = false; }
        } reset{running_};
        handler(static_cast<Timer*>(this));
    }
    void Update() {
        if (enabled_ && interval_ > 0) {
            timer_->start(interval_);
        } else {
            timer_->stop();
        }
    }

    std::unique_ptr<QTimer> timer_;
    int interval_ = 1000;
    bool enabled_ = false;
    bool running_ = false;
};

}  // namespace quiver::ui::qt
