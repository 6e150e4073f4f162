// The Win32 window toolkit, run on Windows (or Wine): what the controls really are, the frame and
// its system menu, the loops that run worker completions, and the modal boxes, answered by a
// helper thread that finds the dialog window and presses its button.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "host/hi_timer.h"
#include "host/window_thread_queue.h"
#include "ui/win32/win32_toolkit.h"

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
#undef MessageBox

namespace quiver::ui::win32 {
namespace {

HWND H(void* handle) {
    return static_cast<HWND>(handle);
}

template <class T>
HWND Of(T& control) {
    return H(dynamic_cast<NativeControl&>(control).Handle());
}

// A click as the button reports it to its window (BN_CLICKED in WM_COMMAND). BM_CLICK would
// go through the mouse capture and focus, which Wine grants only to a window that is active.
void Click(HWND button) {
    SendMessageA(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

std::string WindowText(HWND hwnd) {
    char text[512] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

LOGFONTA FontOf(HWND hwnd) {
    LOGFONTA font{};
    auto handle = reinterpret_cast<HFONT>(SendMessageA(hwnd, WM_GETFONT, 0, 0));
    GetObjectA(handle, sizeof font, &font);
    return font;
}

// A message box of this process, answered from another thread: it waits for the box, reads its
// caption and text, and presses `button` (IDOK, IDYES, IDNO).
class DialogAnswer {
  public:
    explicit DialogAnswer(int button, std::function<void()> beforeAnswer = {})
        : beforeAnswer_(std::move(beforeAnswer)) {
        thread_ = std::thread([this, button] {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (std::chrono::steady_clock::now() < until) {
                HWND dialog = FindOwnDialog();
                if (dialog != nullptr && IsWindowVisible(dialog)) {
                    caption = WindowText(dialog);
                    char buffer[1024] = {};
                    GetDlgItemTextA(dialog, 0xFFFF, buffer, sizeof buffer);
                    text = buffer;
                    if (beforeAnswer_) {
                        beforeAnswer_();
                    }
                    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
                    found = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    ~DialogAnswer() { Join(); }
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::atomic<bool> found{false};
    std::string caption;
    std::string text;

  private:
    // Runs on the answering thread once the box shows, before the answer.
    std::function<void()> beforeAnswer_;

    static HWND FindOwnDialog() {
        HWND dialog = nullptr;
        while ((dialog = FindWindowExA(nullptr, dialog, "#32770", nullptr)) != nullptr) {
            DWORD pid = 0;
            GetWindowThreadProcessId(dialog, &pid);
            if (pid == GetCurrentProcessId()) {
                return dialog;
            }
        }
        return nullptr;
    }
    std::thread thread_;
};

class Win32ToolkitTest : public ::testing::Test {
  protected:
    Win32Application app;
    std::unique_ptr<FormBackend> form = app.CreateFormBackend();
    HWND Frame() { return H(dynamic_cast<Win32Form&>(*form).Handle()); }
};

TEST_F(Win32ToolkitTest, FrameSizeCentringAndSystemMenu) {
    form->SetOuterSize(460, 167);
    form->CenterOnScreen();
    form->SetSystemMenuOnlyFrame();
    form->SetCaption("Quiver");
    EXPECT_EQ(WindowText(Frame()), "Quiver");

    RECT r{};
    GetWindowRect(Frame(), &r);
    EXPECT_EQ(r.right - r.left, 460);
    EXPECT_EQ(r.bottom - r.top, 167);
    EXPECT_NEAR((r.left + r.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
    EXPECT_NEAR((r.top + r.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

    const LONG_PTR style = GetWindowLongPtrA(Frame(), GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME),
              static_cast<LONG_PTR>(WS_CAPTION | WS_SYSMENU | WS_THICKFRAME));
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);

    // Removing the entries at 5 twice takes Close away (its separator and Close on Windows,
    // whatever extra entries a system menu has elsewhere): the frame can no longer close.
    EXPECT_TRUE(form->FrameCanClose());
    const int entries = GetMenuItemCount(GetSystemMenu(Frame(), FALSE));
    EXPECT_FALSE(form->DeleteSystemMenuItem(entries));
    EXPECT_FALSE(form->DeleteSystemMenuItem(-1));
    ASSERT_TRUE(form->DeleteSystemMenuItem(5));
    ASSERT_TRUE(form->DeleteSystemMenuItem(5));
    EXPECT_FALSE(form->FrameCanClose());
    EXPECT_EQ(GetMenuItemCount(GetSystemMenu(Frame(), FALSE)), entries - 2);
}

TEST_F(Win32ToolkitTest, FrameClosesTheMainFormOnlyWhileItCan) {
    form->Show();
    EXPECT_TRUE(form->Showing());
    form->DeleteSystemMenuItem(5);
    form->DeleteSystemMenuItem(5);
    ASSERT_FALSE(form->FrameCanClose());
    SendMessageA(Frame(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(form->Showing());
    EXPECT_FALSE(app.Terminated());
    // Close from code (the Close button) still ends the program.
    form->Close();
    EXPECT_FALSE(form->Showing());
    EXPECT_TRUE(app.Terminated());
}

TEST_F(Win32ToolkitTest, FrameCloseEndsTheProgramWhileCloseIsInTheMenu) {
    form->Show();
    SendMessageA(Frame(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(form->Showing());
    EXPECT_TRUE(app.Terminated());
}

TEST_F(Win32ToolkitTest, LabelsTextFontColourAndAutoSize) {
    form->SetFont(Font{"MS Sans Serif", 8, false, kBlack});
    Label& label = form->AddLabel();
    label.SetBounds({12, 4, 128, 14});
    label.SetText("Please & select");
    EXPECT_EQ(WindowText(Of(label)), "Please & select");
    EXPECT_EQ(label.GetBounds(), (Bounds{12, 4, 128, 14}));

    // A label follows the form's font until it has its own.
    EXPECT_STREQ(FontOf(Of(label)).lfFaceName, "MS Sans Serif");
    form->SetFont(Font{"Arial", 8, false, kBlack});
    EXPECT_STREQ(FontOf(Of(label)).lfFaceName, "Arial");
    label.SetFont(Font{"Tahoma", 8, true, kNavy});
    form->SetFont(Font{"MS Sans Serif", 8, false, kBlack});
    const LOGFONTA font = FontOf(Of(label));
    EXPECT_STREQ(font.lfFaceName, "Tahoma");
    EXPECT_EQ(font.lfWeight, FW_BOLD);
    HDC screen = GetDC(nullptr);
    EXPECT_EQ(font.lfHeight, -MulDiv(8, GetDeviceCaps(screen, LOGPIXELSY), 72));
    ReleaseDC(nullptr, screen);

    // The colour is the font's, drawn on the form's background.
    label.SetFontColor(kMaroon);
    HDC dc = CreateCompatibleDC(nullptr);
    const LRESULT brush = SendMessageA(Frame(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                       reinterpret_cast<LPARAM>(Of(label)));
    EXPECT_EQ(GetTextColor(dc), RGB(128, 0, 0));
    EXPECT_EQ(brush, reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE)));
    DeleteDC(dc);

    // AutoSize: the text's size, the left and top kept.
    label.SetAutoSize(true);
    label.SetText("QM0F");
    const Bounds one = label.GetBounds();
    EXPECT_EQ(one.left, 12);
    EXPECT_EQ(one.top, 4);
    EXPECT_GT(one.width, 0);
    EXPECT_LT(one.width, 128);
    label.SetText("QM0F QM0F QM0F\nsecond line");
    const Bounds two = label.GetBounds();
    EXPECT_GT(two.width, one.width);
    EXPECT_GT(two.height, one.height + one.height / 2);
    RECT r{};
    GetWindowRect(Of(label), &r);
    EXPECT_EQ(r.right - r.left, two.width);
}

TEST_F(Win32ToolkitTest, AFixedLabelKeepsItsBoundsButNeverCutsItsText) {
    Label& label = form->AddLabel();
    label.SetFont(Font{"Tahoma", 8, true, kNavy});
    label.SetBounds({143, 56, 28, 13});
    label.SetText("QM0F QM0F QM0F");
    EXPECT_EQ(label.GetBounds(), (Bounds{143, 56, 28, 13}));
    RECT r{};
    GetWindowRect(Of(label), &r);
    EXPECT_GT(r.right - r.left, 28 * 2);

    // A text that fits leaves the window at the bounds, also after a wider one.
    label.SetText("Q");
    GetWindowRect(Of(label), &r);
    EXPECT_EQ(r.right - r.left, 28);
    EXPECT_EQ(r.bottom - r.top, 13);
    label.SetBounds({143, 56, 40, 13});
    GetWindowRect(Of(label), &r);
    EXPECT_EQ(r.right - r.left, 40);
}

TEST_F(Win32ToolkitTest, DropDownListChoosesOnlyAndReportsUserChoicesOnly) {
    ComboBox& list = form->AddComboBox();
    list.SetFont(Font{"Courier New", 10, false, kBlack});
    list.SetBounds({12, 20, 428, 24});
    list.SetItemHeight(16);
    EXPECT_EQ(GetWindowLongPtrA(Of(list), GWL_STYLE) & 0x3, CBS_DROPDOWNLIST);
    EXPECT_STREQ(FontOf(Of(list)).lfFaceName, "Courier New");
    EXPECT_EQ(list.GetBounds(), (Bounds{12, 20, 428, 24}));

    int changes = 0;
    list.OnChange = [&](void* sender) {
        EXPECT_EQ(sender, static_cast<void*>(&list));
        ++changes;
    };
    EXPECT_EQ(list.ItemIndex(), -1);
    list.AddItem(" 1-0-0-0 E:Korvane");
    list.AddItem(" 1-0-1-0 F:Other");
    EXPECT_EQ(list.ItemCount(), 2);
    EXPECT_EQ(SendMessageA(Of(list), CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(list.Item(1), " 1-0-1-0 F:Other");
    EXPECT_THROW(list.Item(2), std::out_of_range);

    list.SetItemIndex(1);
    EXPECT_EQ(list.ItemIndex(), 1);
    EXPECT_EQ(changes, 0);
    list.SetItemIndex(7);
    EXPECT_EQ(list.ItemIndex(), -1);

    // The user's choice arrives as CBN_SELCHANGE.
    SendMessageA(Of(list), CB_SETCURSEL, 0, 0);
    SendMessageA(Frame(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(Of(list)), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(Of(list)));
    EXPECT_EQ(changes, 1);
    list.UserChoose(1);
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(list.ItemIndex(), 1);
    list.Clear();
    EXPECT_EQ(list.ItemCount(), 0);
    EXPECT_EQ(SendMessageA(Of(list), CB_GETCOUNT, 0, 0), 0);
}

Picture TwoByTwo(std::uint32_t opaque) {
    return Picture{2, 2, {opaque, 0x00000000u, opaque, 0x80FFFFFFu}};
}

std::uint32_t PixelOf(HBITMAP bitmap, int x, int y) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = 2;
    info.bmiHeader.biHeight = -2;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::uint32_t pixels[4] = {};
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, bitmap, 0, 2, pixels, &info, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    return pixels[y * 2 + x] & 0xFFFFFFu;
}

TEST_F(Win32ToolkitTest, ButtonsClickShowTheirPictureAndCloseKindCloses) {
    Button& update = form->AddButton();
    update.SetCaption("&Update");
    update.SetPicture(TwoByTwo(0xFF1E9E3Cu), TwoByTwo(0xFFA0A0A0u));
    EXPECT_EQ(WindowText(Of(update)), "&Update");
    int clicks = 0;
    update.OnClick = [&](void*) { ++clicks; };

    auto shown = [&] {
        return reinterpret_cast<HBITMAP>(SendMessageA(Of(update), BM_GETIMAGE, IMAGE_BITMAP, 0));
    };
    ASSERT_NE(shown(), nullptr);
    EXPECT_EQ(PixelOf(shown(), 0, 0), 0x1E9E3Cu);
    // Transparent pixels take the button face.
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    EXPECT_EQ(PixelOf(shown(), 1, 0),
              static_cast<std::uint32_t>((GetRValue(face) << 16) | (GetGValue(face) << 8) |
                                         GetBValue(face)));

    Click(Of(update));
    EXPECT_EQ(clicks, 1);
    update.SetEnabled(false);
    EXPECT_FALSE(IsWindowEnabled(Of(update)));
    EXPECT_EQ(PixelOf(shown(), 0, 0), 0xA0A0A0u);
    update.UserClick();
    EXPECT_EQ(clicks, 1);
    update.SetEnabled(true);
    EXPECT_EQ(PixelOf(shown(), 0, 0), 0x1E9E3Cu);
    update.UserClick();
    EXPECT_EQ(clicks, 2);
    EXPECT_FALSE(app.Terminated());

    Button& close = form->AddButton();
    close.SetKind(ButtonKind::Close);
    form->Show();
    bool closeClicked = false;
    close.OnClick = [&](void*) { closeClicked = true; };
    Click(Of(close));
    EXPECT_TRUE(closeClicked);
    EXPECT_FALSE(form->Showing());
    EXPECT_TRUE(app.Terminated());
}

// The button as it paints itself (WM_PRINTCLIENT), as 0xRRGGBB pixels, rows top to bottom.
std::vector<std::uint32_t> Rendered(HWND hwnd, int width, int height) {
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageA(hwnd, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT | PRF_ERASEBKGND);
    GdiFlush();
    std::vector<std::uint32_t> pixels(static_cast<const std::uint32_t*>(bits),
                                      static_cast<const std::uint32_t*>(bits) + width * height);
    for (std::uint32_t& p : pixels) {
        p &= 0xFFFFFFu;
    }
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return pixels;
}

// Columns [from, to) of the picture that hold the colour.
bool ColourIn(const std::vector<std::uint32_t>& pixels, int width, int from, int to,
              std::uint32_t colour) {
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const int x = static_cast<int>(i) % width;
        if (x >= from && x < to && pixels[i] == colour) {
            return true;
        }
    }
    return false;
}

TEST_F(Win32ToolkitTest, PictureButtonsShowThePictureAndTheCaptionSideBySide) {
    Button& update = form->AddButton();
    update.SetBounds({368, 24, 77, 25});
    update.SetCaption("&Update");
    Picture green{18, 18, std::vector<std::uint32_t>(18 * 18, 0xFF1E9E3Cu)};
    Picture grey{18, 18, std::vector<std::uint32_t>(18 * 18, 0xFFA0A0A0u)};
    update.SetPicture(green, grey);
    form->Show();
    const auto text = static_cast<std::uint32_t>(GetSysColor(COLOR_BTNTEXT));
    const std::uint32_t textRgb =
        (GetRValue(text) << 16) | (GetGValue(text) << 8) | GetBValue(text);

    // The picture on the left, the caption in the button's text colour to its right.
    std::vector<std::uint32_t> shown = Rendered(Of(update), 77, 25);
    EXPECT_TRUE(ColourIn(shown, 77, 0, 38, 0x1E9E3Cu));
    EXPECT_FALSE(ColourIn(shown, 77, 38, 77, 0x1E9E3Cu));
    EXPECT_TRUE(ColourIn(shown, 77, 30, 74, textRgb));

    // Disabled: the grey picture, and no caption in the enabled text colour.
    update.SetEnabled(false);
    shown = Rendered(Of(update), 77, 25);
    EXPECT_TRUE(ColourIn(shown, 77, 0, 38, 0xA0A0A0u));
    EXPECT_FALSE(ColourIn(shown, 77, 0, 77, 0x1E9E3Cu));
    EXPECT_FALSE(ColourIn(shown, 77, 30, 74, textRgb));

    // The close kind brings a picture of its own.
    Button& close = form->AddButton();
    close.SetBounds({368, 52, 77, 25});
    close.SetCaption("&Close");
    close.SetKind(ButtonKind::Close);
    EXPECT_NE(SendMessageA(Of(close), BM_GETIMAGE, IMAGE_BITMAP, 0), 0);
    shown = Rendered(Of(close), 77, 25);
    EXPECT_TRUE(ColourIn(shown, 77, 0, 38, 0xC00000u));
    EXPECT_TRUE(ColourIn(shown, 77, 30, 74, textRgb));
}

TEST_F(Win32ToolkitTest, BevelStaysBehindAndTabOrderStacksTheControls) {
    ComboBox& list = form->AddComboBox();
    ProgressBar& bar = form->AddProgressBar();
    Bevel& bevel = form->AddBevel();
    Button& button = form->AddButton();
    EXPECT_EQ(GetWindowLongPtrA(Of(bevel), GWL_STYLE) & SS_TYPEMASK, SS_ETCHEDFRAME);
    button.SetTabOrder(2);
    bar.SetTabOrder(1);
    list.SetTabOrder(0);
    EXPECT_EQ(GetWindow(Frame(), GW_CHILD), Of(list));
    EXPECT_EQ(GetWindow(Of(list), GW_HWNDNEXT), Of(bar));
    EXPECT_EQ(GetWindow(Of(bar), GW_HWNDNEXT), Of(button));
    EXPECT_EQ(GetWindow(Frame(), GW_CHILD) != nullptr, true);
    HWND last = GetWindow(Of(list), GW_HWNDLAST);
    EXPECT_EQ(last, Of(bevel));
}

TEST_F(Win32ToolkitTest, ProgressBarIsSmoothAndStopsAtItsMaximum) {
    ProgressBar& bar = form->AddProgressBar();
    bar.SetSmooth(true);
    EXPECT_NE(GetWindowLongPtrA(Of(bar), GWL_STYLE) & PBS_SMOOTH, 0);
    bar.SetRange(0, 330);
    bar.SetStep(100);
    EXPECT_EQ(SendMessageA(Of(bar), PBM_GETRANGE, FALSE, 0), 330);
    bar.StepIt();
    bar.StepIt();
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 300);
    bar.StepIt();
    EXPECT_EQ(bar.Position(), 330);
    EXPECT_EQ(SendMessageA(Of(bar), PBM_GETPOS, 0, 0), 330);
    bar.SetPosition(-5);
    EXPECT_EQ(bar.Position(), 0);
    bar.SetSmooth(false);
    EXPECT_EQ(GetWindowLongPtrA(Of(bar), GWL_STYLE) & PBS_SMOOTH, 0);
}

TEST_F(Win32ToolkitTest, TimersTickInTheLoopOnlyWhileEnabled) {
    Timer& timer = form->AddTimer();
    EXPECT_FALSE(timer.Enabled());
    int ticks = 0;
    timer.OnTimer = [&](void*) {
        if (++ticks == 3) {
            timer.SetEnabled(false);
            app.Terminate();
        }
    };
    timer.SetInterval(10);
    Sleep(40);
    app.ProcessMessages();
    EXPECT_EQ(ticks, 0);
    timer.SetEnabled(true);
    app.Run();
    EXPECT_EQ(ticks, 3);
    Sleep(40);
    app.ProcessMessages();
    EXPECT_EQ(ticks, 3);
}

TEST_F(Win32ToolkitTest, CompletionsRunOnTheWindowThreadInTheLoop) {
    const DWORD windowThread = GetCurrentThreadId();
    DWORD ranOn = 0;
    std::thread worker([&] {
        WindowThreadQueue::RunOnWindowThread([&] {
            ranOn = GetCurrentThreadId();
            app.Terminate();
        });
    });
    app.Run();
    worker.join();
    EXPECT_EQ(ranOn, windowThread);
}

TEST_F(Win32ToolkitTest, ProcessMessagesHookRunsCompletionsOnTheWindowThreadOnly) {
    // The hook does nothing on a worker thread, where a completion would never be its to run.
    std::atomic<bool> ran{false};
    std::thread worker([&] { WindowThreadQueue::RunOnWindowThread([&] { ran = true; }); });
    std::thread other([] {
        for (int i = 0; i < 20; ++i) {
            GetProcessMessagesHook()();
            Sleep(5);
        }
    });
    other.join();
    EXPECT_FALSE(ran);
    // On the window thread it runs them: HiTimer::Delay calls it on every pass of its wait.
    for (int i = 0; i < 200 && !ran; ++i) {
        GetProcessMessagesHook()();
        Sleep(5);
    }
    EXPECT_TRUE(ran);
    worker.join();
}

TEST_F(Win32ToolkitTest, DialogsCarryKindCaptionAndRunCompletionsWhileOpen) {
    std::atomic<bool> ranInDialog{false};
    std::thread worker;
    // Handed over while the box is open: the box's own loop runs it.
    DialogAnswer answer(IDNO, [&] {
        worker =
            std::thread([&] { WindowThreadQueue::RunOnWindowThread([&] { ranInDialog = true; }); });
        for (int i = 0; i < 500 && !ranInDialog; ++i) {
            Sleep(10);
        }
    });
    const DialogResult result =
        app.MessageDlg("Do you wish to continue ?", DialogKind::Warning, DialogButtons::YesNo);
    answer.Join();
    worker.join();
    EXPECT_TRUE(answer.found);
    EXPECT_EQ(result, DialogResult::No);
    EXPECT_EQ(answer.caption, "Warning");
    EXPECT_EQ(answer.text, "Do you wish to continue ?");
    EXPECT_TRUE(ranInDialog);

    DialogAnswer ok(IDOK);
    EXPECT_EQ(app.MessageDlg("Done", DialogKind::Information, DialogButtons::Ok), DialogResult::Ok);
    ok.Join();
    EXPECT_EQ(ok.caption, "Information");

    DialogAnswer plain(IDOK);
    EXPECT_EQ(app.MessageBox("Device object initialize failed !", "Error ...", MB_OK), IDOK);
    plain.Join();
    EXPECT_EQ(plain.caption, "Error ...");
    EXPECT_EQ(plain.text, "Device object initialize failed !");
}

TEST_F(Win32ToolkitTest, AnExceptionFromAHandlerIsShownAndTheLoopGoesOn) {
    Button& button = form->AddButton();
    button.OnClick = [](void*) { throw std::runtime_error("handler failed"); };
    DialogAnswer answer(IDOK);
    Click(Of(button));
    answer.Join();
    EXPECT_TRUE(answer.found);
    EXPECT_EQ(answer.caption, "Error");
    EXPECT_EQ(answer.text, "handler failed");
    EXPECT_FALSE(app.Terminated());
}

}  // namespace
}  // namespace quiver::ui::win32
