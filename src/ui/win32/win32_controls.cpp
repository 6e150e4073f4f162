// The Win32 toolkit's controls: label, drop-down list, button, bevel and progress bar on the
// system's control classes, and how the form adds them.
#include "ui/win32/win32_controls.h"

#include <cstdint>

namespace quiver::ui::win32 {

namespace {

// How many items the drop-down list shows when it is open.
constexpr int kDroppedItems = 8;

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
    void Clicked() { Pressed(kind_, form_); }
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

}  // namespace quiver::ui::win32
