#include "ui/win32/win32_toolkit.h"

#include <algorithm>
#include <stdexcept>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <commctrl.h>
// clang-format on

// The seam's operation of that name, not the system's macro.
#undef MessageBox

namespace quiver::ui::win32 {

namespace {

constexpr char kFormClass[] = "QuiverForm";
constexpr char kWakeClass[] = "QuiverWake";
constexpr UINT kWakeMessage = WM_APP + 1;
// How many items the drop-down list shows when it is open.
constexpr int kDroppedItems = 8;

Win32Application* g_application = nullptr;

HWND H(void* handle) {
    return static_cast<HWND>(handle);
}

COLORREF Ref(Color c) {
    return RGB(c.red, c.green, c.blue);
}

// Each hand-over to the window thread posts the wake message.
void WakeWindowThread() {
    if (g_application != nullptr) {
        PostMessageA(H(g_application->WakeWindow()), kWakeMessage, 0, 0);
    }
}

// HiTimer::Delay's hook: the window thread's messages, and nothing on any other thread.
void ProcessWindowThreadMessages() {
    if (g_application != nullptr && g_application->OnWindowThread()) {
        g_application->ProcessMessages();
    }
}

LRESULT CALLBACK WakeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kWakeMessage) {
        if (g_application != nullptr) {
            g_application->RunCompletions();
        }
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* form = reinterpret_cast<Win32Form*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (form != nullptr && form->Handle() == hwnd) {
        return static_cast<LRESULT>(form->Dispatch(message, wParam, lParam));
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// A 24-bit top-down bitmap of the picture, its transparency blended onto the button face.
HBITMAP MakeBitmap(const Picture& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.pixels.size() < static_cast<std::size_t>(picture.width) * picture.height) {
        return nullptr;
    }
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = picture.width;
    info.bmiHeader.biHeight = -picture.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr || bits == nullptr) {
        return bitmap;
    }
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const unsigned faceRgb[3] = {GetRValue(face), GetGValue(face), GetBValue(face)};
    auto* out = static_cast<std::uint32_t*>(bits);
    for (std::size_t i = 0; i < static_cast<std::size_t>(picture.width) * picture.height; ++i) {
        const std::uint32_t p = picture.pixels[i];
        const unsigned a = p >> 24;
        unsigned rgb[3] = {(p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF};
        for (int c = 0; c < 3; ++c) {
            rgb[c] = (rgb[c] * a + faceRgb[c] * (255 - a) + 127) / 255;
        }
        out[i] = (rgb[0] << 16) | (rgb[1] << 8) | rgb[2];
    }
    return bitmap;
}

}  // namespace

// --- Controls ------------------------------------------------------------------------------------

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

namespace {

class Win32Label : public ControlImpl<Label> {
  public:
    Win32Label(Win32Form& form, int id) : ControlImpl(form, id) {
        // Cut at the right edge rather than wrapped onto a line the label has no room for.
        Create("STATIC", SS_LEFTNOWORDWRAP | SS_NOPREFIX);
    }
    void SetText(const std::string& text) override {
        text_ = text;
        SetWindowTextA(hwnd_, text.c_str());
        Fit();
    }
    std::string Text() const override { return text_; }
    void SetAutoSize(bool autoSize) override {
        autoSize_ = autoSize;
        Fit();
    }
    void SetBounds(const Bounds& bounds) override {
        bounds_ = bounds;
        Fit();
    }

  private:
    void FontApplied() override {
        Fit();
        InvalidateRect(hwnd_, nullptr, TRUE);
    }
    // A label with AutoSize takes the size of its text; its left and top stay. One without
    // keeps its bounds, but its window grows to the whole text where the face on this system
    // is wider than the one the layout was made for: a revision is never shown cut.
    void Fit() {
        HDC dc = GetDC(hwnd_);
        HGDIOBJ old = SelectObject(dc, static_cast<HFONT>(form_.App().FontHandle(font_)));
        RECT r{0, 0, 0, 0};
        const std::string measured = text_.empty() ? std::string(" ") : text_;
        DrawTextA(dc, measured.c_str(), static_cast<int>(measured.size()), &r,
                  DT_CALCRECT | DT_LEFT | DT_NOPREFIX);
        SelectObject(dc, old);
        ReleaseDC(hwnd_, dc);
        const int width = text_.empty() ? 0 : r.right - r.left;
        const int height = r.bottom - r.top;
        if (autoSize_) {
            bounds_.width = width;
            bounds_.height = height;
            Place();
            return;
        }
        SetWindowPos(hwnd_, nullptr, bounds_.left, bounds_.top, std::max(bounds_.width, width),
                     std::max(bounds_.height, height), SWP_NOZORDER | SWP_NOACTIVATE);
    }

    std::string text_;
    bool autoSize_ = false;
};

class Win32ComboBox : public ControlImpl<ComboBox> {
  public:
    Win32ComboBox(Win32Form& form, int id) : ControlImpl(form, id) {
        Create("COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP);
    }
    void Clear() override {
        SendMessageA(hwnd_, CB_RESETCONTENT, 0, 0);
        items_.clear();
    }
    void AddItem(const std::string& text) override {
        SendMessageA(hwnd_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        items_.push_back(text);
    }
    int ItemCount() const override { return static_cast<int>(items_.size()); }
    std::string Item(int index) const override {
        if (index < 0 || index >= ItemCount()) {
            throw std::out_of_range("list index out of bounds");
        }
        return items_[static_cast<std::size_t>(index)];
    }
    int ItemIndex() const override {
        return static_cast<int>(SendMessageA(hwnd_, CB_GETCURSEL, 0, 0));
    }
    void SetItemIndex(int index) override {
        if (index < -1 || index >= ItemCount()) {
            index = -1;
        }
        SendMessageA(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    void SetItemHeight(int height) override {
        itemHeight_ = height;
        SendMessageA(hwnd_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), height);
        SendMessageA(hwnd_, CB_SETITEMHEIGHT, 0, height);
        Place();
    }
    void UserChoose(int index) override {
        if (!enabled_ || index < 0 || index >= ItemCount()) {
            return;
        }
        SendMessageA(hwnd_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        Changed();
    }
    void Command(int notification) override {
        if (notification == CBN_SELCHANGE) {
            Changed();
        }
    }

  private:
    void Changed() {
        const Handler handler = OnChange;
        if (handler) {
            handler(static_cast<ComboBox*>(this));
        }
    }
    // The window of a drop-down list includes the list it drops.
    int WindowHeight(const Bounds& bounds) const override {
        return bounds.height + kDroppedItems * std::max(itemHeight_, 13) + 2;
    }

    std::vector<std::string> items_;
    int itemHeight_ = 13;
};

class Win32Button : public ControlImpl<Button> {
  public:
    // Drawn by us: the system's push buttons show either a picture (BS_BITMAP) or a caption,
    // never both, without the common controls' version 6. BS_BITMAP is kept as a flag so that
    // BM_SETIMAGE and BM_GETIMAGE tell which picture is shown.
    Win32Button(Win32Form& form, int id) : ControlImpl(form, id) {
        Create("BUTTON", BS_OWNERDRAW | BS_BITMAP | WS_TABSTOP);
    }
    ~Win32Button() override { FreeBitmaps(); }
    void SetCaption(const std::string& caption) override {
        caption_ = caption;
        SetWindowTextA(hwnd_, caption.c_str());
    }
    std::string Caption() const override { return caption_; }
    void SetKind(ButtonKind kind) override {
        kind_ = kind;
        if (kind == ButtonKind::Close && normal_ == nullptr) {
            normal_ = MakeBitmap(ClosePicture(0xFFC00000u));
            disabled_ = MakeBitmap(ClosePicture(0xFF808080u));
            ShowPicture();
        }
    }
    void SetPicture(const Picture& normal, const Picture& disabled) override {
        FreeBitmaps();
        normal_ = MakeBitmap(normal);
        disabled_ = MakeBitmap(disabled);
        ShowPicture();
    }
    void SetEnabled(bool enabled) override {
        DoSetEnabled(enabled);
        ShowPicture();
    }
    void UserClick() override {
        if (!visible_ || !enabled_) {
            return;
        }
        Clicked();
    }
    void Command(int notification) override {
        if (notification == BN_CLICKED && enabled_) {
            Clicked();
        }
    }
    // The picture, then the caption, centred together; the caption's & underlines its key.
    bool Draw(const DRAWITEMSTRUCT& item) override {
        HDC dc = item.hDC;
        RECT r = item.rcItem;
        const bool pushed = (item.itemState & ODS_SELECTED) != 0;
        const bool disabled = (item.itemState & ODS_DISABLED) != 0;
        DrawFrameControl(dc, &r, DFC_BUTTON, DFCS_BUTTONPUSH | (pushed ? DFCS_PUSHED : 0));
        const int shift = pushed ? 1 : 0;

        HBITMAP picture = Shown();
        BITMAP bm{};
        if (picture != nullptr) {
            GetObjectA(picture, sizeof bm, &bm);
        }
        HGDIOBJ oldFont = SelectObject(dc, static_cast<HFONT>(form_.App().FontHandle(font_)));
        RECT textSize{0, 0, 0, 0};
        DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &textSize,
                  DT_CALCRECT | DT_SINGLELINE);
        const int textWidth = textSize.right - textSize.left;
        const int gap = picture != nullptr && !caption_.empty() ? 4 : 0;
        const int total = bm.bmWidth + gap + textWidth;
        int x = r.left + (r.right - r.left - total) / 2 + shift;
        if (picture != nullptr) {
            HDC memory = CreateCompatibleDC(dc);
            HGDIOBJ oldBitmap = SelectObject(memory, picture);
            BitBlt(dc, x, r.top + (r.bottom - r.top - bm.bmHeight) / 2 + shift, bm.bmWidth,
                   bm.bmHeight, memory, 0, 0, SRCCOPY);
            SelectObject(memory, oldBitmap);
            DeleteDC(memory);
            x += bm.bmWidth + gap;
        }
        RECT text{x, r.top + shift, x + textWidth + 1, r.bottom + shift};
        SetBkMode(dc, TRANSPARENT);
        if (disabled) {
            // The engraved look of a disabled caption.
            RECT light = text;
            OffsetRect(&light, 1, 1);
            SetTextColor(dc, GetSysColor(COLOR_BTNHIGHLIGHT));
            DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &light,
                      DT_SINGLELINE | DT_VCENTER | DT_LEFT);
            SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
        } else {
            SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
        }
        DrawTextA(dc, caption_.c_str(), static_cast<int>(caption_.size()), &text,
                  DT_SINGLELINE | DT_VCENTER | DT_LEFT);
        SelectObject(dc, oldFont);
        if ((item.itemState & ODS_FOCUS) != 0) {
            RECT focus = r;
            InflateRect(&focus, -4, -4);
            DrawFocusRect(dc, &focus);
        }
        return true;
    }
    // The bitmap the button shows now; for the tests.
    HBITMAP Shown() const {
        return reinterpret_cast<HBITMAP>(SendMessageA(hwnd_, BM_GETIMAGE, IMAGE_BITMAP, 0));
    }
    HBITMAP NormalBitmap() const { return normal_; }
    HBITMAP DisabledBitmap() const { return disabled_; }

  private:
    // The close kind's picture: a cross of the given colour.
    static Picture ClosePicture(std::uint32_t colour) {
        constexpr int kSize = 18;
        Picture p{kSize, kSize, std::vector<std::uint32_t>(kSize * kSize, 0u)};
        for (int i = 4; i <= 13; ++i) {
            for (int w = 0; w <= 1; ++w) {
                p.pixels[static_cast<std::size_t>(i * kSize + i + w)] = colour;
                p.pixels[static_cast<std::size_t>(i * kSize + (kSize - 1 - i) - w)] = colour;
            }
        }
        return p;
    }
    void Clicked() {
        Win32Form& form = form_;
        const ButtonKind kind = kind_;
        const Handler handler = OnClick;
        if (handler) {
            handler(static_cast<Button*>(this));
        }
        if (kind == ButtonKind::Close) {
            form.Close();
        }
    }
    void ShowPicture() {
        HBITMAP shown = enabled_ || disabled_ == nullptr ? normal_ : disabled_;
        SendMessageA(hwnd_, BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(shown));
        InvalidateRect(hwnd_, nullptr, TRUE);
    }
    void FreeBitmaps() {
        SendMessageA(hwnd_, BM_SETIMAGE, IMAGE_BITMAP, 0);
        for (HBITMAP* b : {&normal_, &disabled_}) {
            if (*b != nullptr) {
                DeleteObject(*b);
                *b = nullptr;
            }
        }
    }

    std::string caption_;
    ButtonKind kind_ = ButtonKind::Normal;
    HBITMAP normal_ = nullptr;
    HBITMAP disabled_ = nullptr;
};

class Win32Bevel : public ControlImpl<Bevel> {
  public:
    Win32Bevel(Win32Form& form, int id) : ControlImpl(form, id) {
        Create("STATIC", SS_ETCHEDFRAME);
        SetWindowSubclass(hwnd_, &Win32Bevel::Proc, 1, reinterpret_cast<DWORD_PTR>(this));
        form_.Restack();
    }
    ~Win32Bevel() override { RemoveWindowSubclass(hwnd_, &Win32Bevel::Proc, 1); }
    bool IsBevel() const override { return true; }
    // The frame alone leaves the inside unpainted (the form clips its children): paint it with
    // the face colour and the frame over it. The controls in front are clipped out.
    void PaintInside() {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(hwnd_, &ps);
        RECT r;
        GetClientRect(hwnd_, &r);
        FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
        DrawEdge(dc, &r, EDGE_ETCHED, BF_RECT);
        EndPaint(hwnd_, &ps);
    }

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                 DWORD_PTR self) {
        if (message == WM_PAINT) {
            reinterpret_cast<Win32Bevel*>(self)->PaintInside();
            return 0;
        }
        if (message == WM_ERASEBKGND) {
            return 1;
        }
        return DefSubclassProc(hwnd, message, wParam, lParam);
    }
};

class Win32ProgressBar : public ControlImpl<ProgressBar> {
  public:
    Win32ProgressBar(Win32Form& form, int id) : ControlImpl(form, id) {
        Create(PROGRESS_CLASSA, 0);
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
    void SetStep(int step) override {
        step_ = step;
        SendMessageA(hwnd_, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
    }
    // The system's bar starts over past its maximum; ours stops there.
    void StepIt() override { SetPosition(position_ + step_); }
    void SetPosition(int position) override {
        position_ = std::clamp(position, min_, max_);
        SendMessageA(hwnd_, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
    }
    int Position() const override { return position_; }
    void SetSmooth(bool smooth) override {
        LONG_PTR style = GetWindowLongPtrA(hwnd_, GWL_STYLE);
        style = smooth ? (style | PBS_SMOOTH) : (style & ~static_cast<LONG_PTR>(PBS_SMOOTH));
        SetWindowLongPtrA(hwnd_, GWL_STYLE, style);
        InvalidateRect(hwnd_, nullptr, TRUE);
    }

  private:
    void Update() {
        SendMessageA(hwnd_, PBM_SETRANGE32, static_cast<WPARAM>(min_), max_);
        SendMessageA(hwnd_, PBM_SETSTEP, static_cast<WPARAM>(step_), 0);
        SendMessageA(hwnd_, PBM_SETPOS, static_cast<WPARAM>(position_), 0);
    }

    int min_ = 0;
    int max_ = 100;
    int step_ = 10;
    int position_ = 0;
};

}  // namespace

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

// --- The form ----------------------------------------------------------------------------------

namespace {
constexpr DWORD kClassicFrame =
    WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;
constexpr DWORD kSystemMenuOnlyFrame = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
}  // namespace

Win32Form::Win32Form(Win32Application& application) : application_(&application) {
    hwnd_ = CreateWindowExA(0, kFormClass, "", kClassicFrame | WS_CLIPCHILDREN, CW_USEDEFAULT,
                            CW_USEDEFAULT, 320, 240, nullptr, nullptr,
                            static_cast<HINSTANCE>(application.Instance()), this);
    if (hwnd_ == nullptr) {
        throw std::runtime_error("cannot create the form's window");
    }
    application.FormMade(*this);
}

Win32Form::~Win32Form() {
    timers_.clear();
    controls_.clear();
    SetWindowLongPtrA(H(hwnd_), GWLP_USERDATA, 0);
    application_->FormGone(*this);
    DestroyWindow(H(hwnd_));
}

template <class T>
T& Win32Form::Add() {
    auto control = std::make_unique<T>(*this, nextId_++);
    T& ref = *control;
    controls_.push_back(std::move(control));
    return ref;
}

Label& Win32Form::AddLabel() {
    return Add<Win32Label>();
}
ComboBox& Win32Form::AddComboBox() {
    return Add<Win32ComboBox>();
}
Button& Win32Form::AddButton() {
    return Add<Win32Button>();
}
Bevel& Win32Form::AddBevel() {
    return Add<Win32Bevel>();
}
ProgressBar& Win32Form::AddProgressBar() {
    return Add<Win32ProgressBar>();
}
Timer& Win32Form::AddTimer() {
    timers_.push_back(std::make_unique<TimerImpl>(*this, static_cast<UINT_PTR>(nextId_++)));
    return *timers_.back();
}

void Win32Form::SetCaption(const std::string& caption) {
    caption_ = caption;
    SetWindowTextA(H(hwnd_), caption.c_str());
}

std::string Win32Form::Caption() const {
    return caption_;
}

void Win32Form::SetOuterSize(int width, int height) {
    SetWindowPos(H(hwnd_), nullptr, 0, 0, width, height,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    if (centered_) {
        CenterOnScreen();
    }
}

void Win32Form::CenterOnScreen() {
    centered_ = true;
    RECT r{};
    GetWindowRect(H(hwnd_), &r);
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    const int left = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    SetWindowPos(H(hwnd_), nullptr, std::max(0, left), std::max(0, top), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Form::SetFont(const Font& font) {
    font_ = font;
    for (auto& control : controls_) {
        control->ParentFontChanged();
    }
}

void Win32Form::SetSystemMenuOnlyFrame() {
    RECT r{};
    GetWindowRect(H(hwnd_), &r);
    SetWindowLongPtrA(H(hwnd_), GWL_STYLE, kSystemMenuOnlyFrame | WS_CLIPCHILDREN);
    // The outer size stays what it was.
    SetWindowPos(H(hwnd_), nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

bool Win32Form::DeleteSystemMenuItem(int position) {
    HMENU menu = GetSystemMenu(H(hwnd_), FALSE);
    if (menu == nullptr || position < 0 || position >= GetMenuItemCount(menu)) {
        return false;
    }
    if (!RemoveMenu(menu, static_cast<UINT>(position), MF_BYPOSITION)) {
        return false;
    }
    DrawMenuBar(H(hwnd_));
    return true;
}

bool Win32Form::FrameCanClose() const {
    HMENU menu = GetSystemMenu(H(hwnd_), FALSE);
    return menu != nullptr && GetMenuState(menu, SC_CLOSE, MF_BYCOMMAND) != static_cast<UINT>(-1);
}

void Win32Form::Show() {
    ShowWindow(H(hwnd_), SW_SHOW);
    UpdateWindow(H(hwnd_));
}

bool Win32Form::Showing() const {
    return IsWindowVisible(H(hwnd_)) != FALSE;
}

void Win32Form::Close() {
    const bool main = IsMain();
    ShowWindow(H(hwnd_), SW_HIDE);
    if (main) {
        application_->MainFormClosed();
    }
}

void Win32Form::Restack() {
    std::vector<ControlBase*> ordered;
    for (auto& control : controls_) {
        if (control->TabOrder() >= 0) {
            ordered.push_back(control.get());
        }
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](ControlBase* a, ControlBase* b) { return a->TabOrder() < b->TabOrder(); });
    HWND after = HWND_TOP;
    for (ControlBase* control : ordered) {
        SetWindowPos(H(control->Handle()), after, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        after = H(control->Handle());
    }
    for (auto& control : controls_) {
        if (control->IsBevel()) {
            SetWindowPos(H(control->Handle()), HWND_BOTTOM, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        }
    }
}

std::intptr_t Win32Form::Dispatch(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
    HWND hwnd = H(hwnd_);
    auto childOf = [this](HWND child) -> ControlBase* {
        for (auto& control : controls_) {
            if (control->Handle() == child) {
                return control.get();
            }
        }
        return nullptr;
    };
    switch (message) {
        case WM_COMMAND: {
            if (ControlBase* control = childOf(reinterpret_cast<HWND>(lParam))) {
                const int notification = HIWORD(wParam);
                application_->Guarded([&] { control->Command(notification); });
                return 0;
            }
            break;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (ControlBase* control = childOf(item->hwndItem)) {
                if (control->Draw(*item)) {
                    return TRUE;
                }
            }
            break;
        }
        case WM_CTLCOLORSTATIC: {
            if (ControlBase* control = childOf(reinterpret_cast<HWND>(lParam))) {
                return reinterpret_cast<std::intptr_t>(
                    control->ColorStatic(reinterpret_cast<HDC>(wParam)));
            }
            break;
        }
        case WM_TIMER: {
            for (auto& timer : timers_) {
                if (timer->Id() == wParam) {
                    TimerImpl* fired = timer.get();
                    application_->Guarded([&] { fired->Fire(); });
                    return 0;
                }
            }
            break;
        }
        case WM_CLOSE:
            // The close box, the system menu's Close and Alt+F4 close only while the frame can.
            if (FrameCanClose()) {
                Close();
            }
            return 0;
        case WM_QUERYENDSESSION: {
            // FALSE asks the system not to end the session; it may still end it by force.
            bool mayEnd = true;
            if (OnQueryEndSession) {
                application_->Guarded([&] { mayEnd = OnQueryEndSession(); });
            }
            return mayEnd ? TRUE : FALSE;
        }
        default:
            break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// --- The application ---------------------------------------------------------------------------

Win32Application::Win32Application(void* instance)
    : instance_(instance != nullptr ? instance : GetModuleHandleA(nullptr)),
      windowThread_(GetCurrentThreadId()) {
    if (g_application != nullptr) {
        throw std::logic_error("one Win32 application at a time");
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    auto hinstance = static_cast<HINSTANCE>(instance_);
    WNDCLASSEXA form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = FormProc;
    form.hInstance = hinstance;
    form.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    // The program's own icon (resource 1) where it carries one, as quiver.exe does; the
    // system's application icon otherwise.
    form.hIcon = LoadIconA(hinstance, MAKEINTRESOURCEA(1));
    if (form.hIcon == nullptr) {
        form.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    }
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = kFormClass;
    RegisterClassExA(&form);  // already there from an earlier application: fine

    WNDCLASSEXA wake{};
    wake.cbSize = sizeof wake;
    wake.lpfnWndProc = WakeProc;
    wake.hInstance = hinstance;
    wake.lpszClassName = kWakeClass;
    RegisterClassExA(&wake);
    wakeWindow_ = CreateWindowExA(0, kWakeClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  hinstance, nullptr);
    if (wakeWindow_ == nullptr) {
        throw std::runtime_error("cannot create the window thread's wake-up window");
    }

    g_application = this;
    WindowThreadQueue::SetWakeUp(WakeWindowThread);
    previousHook_ = GetProcessMessagesHook();
    SetProcessMessagesHook(ProcessWindowThreadMessages);
    // Completions handed over before the wake-up was there.
    PostMessageA(H(wakeWindow_), kWakeMessage, 0, 0);
}

Win32Application::~Win32Application() {
    SetProcessMessagesHook(previousHook_);
    WindowThreadQueue::SetWakeUp(nullptr);
    g_application = nullptr;
    DestroyWindow(H(wakeWindow_));
    for (auto& [key, font] : fonts_) {
        DeleteObject(static_cast<HFONT>(font));
    }
}

std::unique_ptr<FormBackend> Win32Application::CreateFormBackend() {
    return std::make_unique<Win32Form>(*this);
}

void* Win32Application::MainWindow() const {
    return forms_.empty() ? nullptr : forms_.front()->Handle();
}

bool Win32Application::OnWindowThread() const {
    return GetCurrentThreadId() == windowThread_;
}

void Win32Application::FormGone(Win32Form& form) {
    forms_.erase(std::remove(forms_.begin(), forms_.end(), &form), forms_.end());
}

void* Win32Application::FontHandle(const Font& font) {
    const auto key = std::make_tuple(font.face, font.points, font.bold);
    auto it = fonts_.find(key);
    if (it != fonts_.end()) {
        return it->second;
    }
    HDC screen = GetDC(nullptr);
    const int height = -MulDiv(font.points, GetDeviceCaps(screen, LOGPIXELSY), 72);
    ReleaseDC(nullptr, screen);
    HFONT handle = CreateFontA(height, 0, 0, 0, font.bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                               FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, font.face.c_str());
    fonts_.emplace(key, handle);
    return handle;
}

namespace {

HWND DialogOwner(const Win32Application& app) {
    HWND main = H(app.MainWindow());
    return main != nullptr && IsWindowVisible(main) ? main : nullptr;
}

}  // namespace

DialogResult Win32Application::MessageDlg(const std::string& text, DialogKind kind,
                                          DialogButtons buttons) {
    UINT type = buttons == DialogButtons::YesNo ? MB_YESNO : MB_OK;
    switch (kind) {
        case DialogKind::Warning:
            type |= MB_ICONWARNING;
            break;
        case DialogKind::Error:
            type |= MB_ICONERROR;
            break;
        case DialogKind::Information:
            type |= MB_ICONINFORMATION;
            break;
    }
    switch (::MessageBoxA(DialogOwner(*this), text.c_str(), DialogCaption(kind), type)) {
        case IDOK:
            return DialogResult::Ok;
        case IDYES:
            return DialogResult::Yes;
        case IDNO:
            return DialogResult::No;
        default:
            return DialogResult::Cancel;
    }
}

int Win32Application::MessageBox(const std::string& text, const std::string& caption,
                                 unsigned flags) {
    return ::MessageBoxA(DialogOwner(*this), text.c_str(), caption.c_str(), flags);
}

void Win32Application::ShowException(const std::string& message) {
    ::MessageBoxA(DialogOwner(*this), message.c_str(), "Error", MB_OK | MB_ICONERROR);
}

void Win32Application::RunCompletions() {
    // A handler that throws leaves the rest waiting: go on with them after showing it.
    while (!Guarded([] { WindowThreadQueue::ProcessPending(); })) {
    }
}

void Win32Application::Run() {
    while (!terminated_) {
        MSG msg;
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            terminated_ = true;
            break;
        }
        HWND main = H(MainWindow());
        if (main != nullptr && IsDialogMessageA(main, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Win32Application::ProcessMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            Terminate();
            break;
        }
        HWND main = H(MainWindow());
        if (main != nullptr && IsDialogMessageA(main, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    RunCompletions();
}

void Win32Application::Terminate() {
    if (terminated_) {
        return;
    }
    terminated_ = true;
    // Wakes a loop that waits in GetMessage.
    PostMessageA(H(wakeWindow_), WM_NULL, 0, 0);
}

}  // namespace quiver::ui::win32
