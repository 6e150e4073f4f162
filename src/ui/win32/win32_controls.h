// What the Win32 toolkit's controls and timers share: a child window of the form with its
// bounds, visibility, tab order and font, and the timer on the form's WM_TIMER. For the
// toolkit's own files.
#pragma once

#include <algorithm>
#include <stdexcept>
#include <string>

#include "ui/win32/win32_painting.h"
#include "ui/win32/win32_system.h"
#include "ui/win32/win32_toolkit.h"

namespace quiver::ui::win32 {

class Win32Form::ControlBase : public NativeControl {
  public:
    ControlBase(Win32Form& form, int id) : form_(form), id_(id) {}
    ~ControlBase() override {
        if (hwnd_ != nullptr) {
            SetWindowLongPtrA(hwnd_, GWLP_USERDATA, 0);
            DestroyWindow(hwnd_);
        }
    }
    void* Handle() const override { return hwnd_; }
    int Id() const { return id_; }
    int TabOrder() const { return tabOrder_; }
    virtual bool IsBevel() const { return false; }

    // The form's font changed: a control without a font of its own follows it.
    void ParentFontChanged() {
        if (!ownFont_) {
            font_ = form_.FormFont();
            ApplyFont();
        }
    }
    // WM_COMMAND from the control.
    virtual void Command(int notification) { (void)notification; }
    // WM_DRAWITEM for an owner-drawn control; false when the control draws itself.
    virtual bool Draw(const DRAWITEMSTRUCT& item) {
        (void)item;
        return false;
    }
    // WM_CTLCOLORSTATIC: sets the colours, returns the background brush.
    HBRUSH ColorStatic(HDC dc) {
        SetTextColor(dc, Ref(font_.color));
        SetBkMode(dc, TRANSPARENT);
        return GetSysColorBrush(COLOR_BTNFACE);
    }

  protected:
    void Create(const char* windowClass, DWORD style, DWORD exStyle = 0) {
        hwnd_ = CreateWindowExA(
            exStyle, windowClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, 0, 0, 0, 0,
            H(form_.Handle()), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id_)),
            static_cast<HINSTANCE>(form_.App().Instance()), nullptr);
        if (hwnd_ == nullptr) {
            throw std::runtime_error(std::string("cannot create a ") + windowClass + " control");
        }
        SetWindowLongPtrA(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        font_ = form_.FormFont();
        ApplyFont();
    }
    void ApplyFont() {
        SendMessageA(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(form_.App().FontHandle(font_)),
                     TRUE);
        FontApplied();
    }
    virtual void FontApplied() { InvalidateRect(hwnd_, nullptr, TRUE); }
    // The window's own height for the given bounds (the drop-down list's is taller).
    virtual int WindowHeight(const Bounds& bounds) const { return bounds.height; }
    void Place() {
        SetWindowPos(hwnd_, nullptr, bounds_.left, bounds_.top, bounds_.width,
                     WindowHeight(bounds_), SWP_NOZORDER | SWP_NOACTIVATE);
    }

    // The common properties, shared by every kind.
    void DoSetBounds(const Bounds& bounds) {
        bounds_ = bounds;
        Place();
    }
    void DoSetVisible(bool visible) {
        visible_ = visible;
        ShowWindow(hwnd_, visible ? SW_SHOWNA : SW_HIDE);
    }
    void DoSetEnabled(bool enabled) {
        enabled_ = enabled;
        EnableWindow(hwnd_, enabled ? TRUE : FALSE);
    }
    void DoSetTabOrder(int order) {
        tabOrder_ = order;
        LONG_PTR style = GetWindowLongPtrA(hwnd_, GWL_STYLE);
        SetWindowLongPtrA(hwnd_, GWL_STYLE, style | WS_TABSTOP);
        form_.Restack();
    }
    void DoSetFont(const Font& font) {
        ownFont_ = true;
        font_ = font;
        ApplyFont();
    }

    Win32Form& form_;
    const int id_;
    HWND hwnd_ = nullptr;
    Bounds bounds_;
    bool visible_ = true;
    bool enabled_ = true;
    int tabOrder_ = -1;
    Font font_;
    bool ownFont_ = false;
};

// The common Control operations on top of ControlBase, for each seam type.
template <class Seam>
class ControlImpl : public Seam, public Win32Form::ControlBase {
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
};

class Win32Form::TimerImpl : public Timer {
  public:
    TimerImpl(Win32Form& form, UINT_PTR id) : form_(form), id_(id) {}
    ~TimerImpl() override { Stop(); }
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
    UINT_PTR Id() const { return id_; }
    void Fire() {
        const Handler handler = OnTimer;
        if (enabled_ && handler) {
            handler(static_cast<Timer*>(this));
        }
    }

  private:
    void Update() {
        Stop();
        if (enabled_ && interval_ > 0) {
            running_ = SetTimer(H(form_.Handle()), id_, static_cast<UINT>(interval_), nullptr) != 0;
        }
    }
    void Stop() {
        if (running_) {
            KillTimer(H(form_.Handle()), id_);
            running_ = false;
        }
    }

    Win32Form& form_;
    const UINT_PTR id_;
    int interval_ = 1000;
    bool enabled_ = false;
    bool running_ = false;
};

}  // namespace quiver::ui::win32
