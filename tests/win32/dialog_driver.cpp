// Drives quiver.exe through its window for the end-to-end tests, the way a user would, with
// FindWindow-style searches and posted messages only:
//
//   dialog_driver answer PROGRAM PREFIX [LINE...]
//       Starts PROGRAM and presses OK (or No, on a Yes/No box) on every message box it opens,
//       printing each box's caption and text. Succeeds when a box began with PREFIX and held
//       every LINE as a line of its own, and the program then ended with exit code 0.
//
//   dialog_driver flash PROGRAM DRIVE_LINE IDLE_PNG SUCCESS_PNG STATE_FILE STATE_LINE
//       The whole update: answers the notice with Yes, checks that the window lists DRIVE_LINE
//       as the selected drive with Update enabled, saves the idle window as IDLE_PNG, presses
//       Update, saves the success dialog over the window as SUCCESS_PNG and answers it, checks
//       that the window now shows the new revision as the current one, and presses Close. Any
//       other dialog, or a step that does not come within its time, fails the run. Last, the
//       drives' state that the emulated ASPI manager left in STATE_FILE (removed first) must
//       hold STATE_LINE.
//
// A Unix path is taken as one on Wine's Z: drive. Every dialog and every state of the window
// the driver sees is printed, so the test log tells the whole story.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        if (c == '/') {
            c = '\\';
        }
    }
    return path;
}

std::string ClassOf(HWND hwnd) {
    char cls[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    return cls;
}

std::string TextOf(HWND hwnd) {
    char text[4096] = {};
    GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

// --- A PNG writer: 8-bit RGB, stored (uncompressed) deflate blocks ---------------------------

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void Chunk(std::vector<std::uint8_t>& png, const char* type,
           const std::vector<std::uint8_t>& data) {
    Put32(png, static_cast<std::uint32_t>(data.size()));
    const std::size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    Put32(png, Crc32(png.data() + start, png.size() - start));
}

// rgb: width * height pixels, 3 bytes each, rows top to bottom.
bool WritePng(const std::string& path, int width, int height,
              const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> raw;
    const std::size_t row = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);  // filter: none
        raw.insert(raw.end(), rgb.begin() + static_cast<std::ptrdiff_t>(y * row),
                   rgb.begin() + static_cast<std::ptrdiff_t>((y + 1) * row));
    }
    std::vector<std::uint8_t> z = {0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - offset);
        const bool last = offset + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<std::uint8_t>(n));
        z.push_back(static_cast<std::uint8_t>(n >> 8));
        z.push_back(static_cast<std::uint8_t>(~n));
        z.push_back(static_cast<std::uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                 raw.begin() + static_cast<std::ptrdiff_t>(offset + n));
        offset += n;
    } while (offset < raw.size());
    std::uint32_t a = 1, b = 0;
    for (std::uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    Put32(z, (b << 16) | a);

    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    Put32(header, static_cast<std::uint32_t>(width));
    Put32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", z);
    Chunk(png, "IEND", {});
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    const bool written = std::fwrite(png.data(), 1, png.size(), out) == png.size();
    return std::fclose(out) == 0 && written;
}

// Saves what the screen shows inside `rect`.
bool SaveScreen(const RECT& rect, const std::string& path) {
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(width) * height * 4);
    const int rows =
        GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), bgrx.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height) {
        return false;
    }
    std::vector<std::uint8_t> rgb;
    rgb.reserve(static_cast<std::size_t>(width) * height * 3);
    for (std::size_t i = 0; i < bgrx.size(); i += 4) {
        rgb.insert(rgb.end(), {bgrx[i + 2], bgrx[i + 1], bgrx[i]});
    }
    return WritePng(path, width, height, rgb);
}

// --- The program under test -------------------------------------------------------------------

class Program {
  public:
    bool Start(const std::string& path) {
        std::string commandLine = "\"" + path + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &process_)) {
            std::fprintf(stderr, "dialog_driver: cannot start %s (error %lu)\n", path.c_str(),
                         GetLastError());
            return false;
        }
        return true;
    }
    ~Program() {
        if (process_.hProcess != nullptr) {
            if (Running()) {
                TerminateProcess(process_.hProcess, 99);
            }
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
    }
    bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
    // Waits up to `millis` for the end; the exit code, or -1 when it is still running.
    long WaitEnd(DWORD millis) const {
        if (WaitForSingleObject(process_.hProcess, millis) != WAIT_OBJECT_0) {
            return -1;
        }
        DWORD code = 1;
        GetExitCodeProcess(process_.hProcess, &code);
        return static_cast<long>(code);
    }
    // The visible top-level window of the program of class #32770 (a message box), or the
    // other one (the main window).
    HWND Find(bool dialog) const {
        Search search{process_.dwProcessId, dialog, nullptr};
        EnumWindows(&Program::Visit, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    // Waits up to `millis` for a window of the kind; null when none came or the program ended.
    HWND WaitFor(bool dialog, DWORD millis) const {
        const ULONGLONG until = GetTickCount64() + millis;
        while (GetTickCount64() < until && Running()) {
            if (HWND hwnd = Find(dialog)) {
                return hwnd;
            }
            Sleep(50);
        }
        return nullptr;
    }

  private:
    struct Search {
        DWORD pid;
        bool dialog;
        HWND found;
    };
    static BOOL CALLBACK Visit(HWND hwnd, LPARAM lParam) {
        auto* s = reinterpret_cast<Search*>(lParam);
        DWORD pid = 0;
        GetWindowThreadProcessId(hwnd, &pid);
        if (pid != s->pid || !IsWindowVisible(hwnd)) {
            return TRUE;
        }
        if ((ClassOf(hwnd) == "#32770") == s->dialog) {
            s->found = hwnd;
            return FALSE;
        }
        return TRUE;
    }

    PROCESS_INFORMATION process_{};
};

struct Dialog {
    std::string caption;
    std::string text;
};

Dialog Read(HWND dialog) {
    Dialog d{TextOf(dialog), ""};
    char text[4096] = {};
    GetDlgItemTextA(dialog, 0xFFFF, text, sizeof text);
    d.text = text;
    std::printf("dialog \"%s\": %s\n", d.caption.c_str(), d.text.c_str());
    std::fflush(stdout);
    return d;
}

void Press(HWND dialog, int button) {
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The main window's controls as the user sees them.
struct WindowState {
    std::string caption;
    std::vector<std::string> items;  // the drive list
    int selected = -1;
    std::vector<std::pair<std::string, bool>> labels;  // text, visible
    bool updateEnabled = false;
    bool closeEnabled = false;
    HWND update = nullptr;
    HWND close = nullptr;

    bool HasLabel(const std::string& text) const {
        for (const auto& [t, visible] : labels) {
            if (visible && t == text) {
                return true;
            }
        }
        return false;
    }
    std::string Selected() const {
        return selected >= 0 && selected < static_cast<int>(items.size()) ? items[selected] : "";
    }
};

WindowState ReadWindow(HWND window) {
    WindowState state;
    state.caption = TextOf(window);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        const std::string cls = ClassOf(child);
        if (cls == "ComboBox") {
            const auto count = SendMessageA(child, CB_GETCOUNT, 0, 0);
            for (LRESULT i = 0; i < count; ++i) {
                // The wide form: Wine hands the narrow one over from another process as UTF-16.
                wchar_t item[256] = {};
                if (SendMessageW(child, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 255) {
                    SendMessageW(child, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                 reinterpret_cast<LPARAM>(item));
                }
                std::string narrow;
                for (const wchar_t* c = item; *c != 0; ++c) {
                    narrow += *c < 0x80 ? static_cast<char>(*c) : '?';
                }
                state.items.push_back(narrow);
            }
            state.selected = static_cast<int>(SendMessageA(child, CB_GETCURSEL, 0, 0));
        } else if (cls == "Button") {
            const std::string text = TextOf(child);
            if (text == "&Update") {
                state.update = child;
                state.updateEnabled = IsWindowEnabled(child) != FALSE;
            } else if (text == "&Close") {
                state.close = child;
                state.closeEnabled = IsWindowEnabled(child) != FALSE;
            }
        } else if (cls == "Static") {
            state.labels.emplace_back(TextOf(child), IsWindowVisible(child) != FALSE);
        }
    }
    std::printf("window \"%s\"\n", state.caption.c_str());
    for (std::size_t i = 0; i < state.items.size(); ++i) {
        std::printf("  drive %zu%s: \"%s\"\n", i,
                    static_cast<int>(i) == state.selected ? " (selected)" : "",
                    state.items[i].c_str());
    }
    for (const auto& [text, visible] : state.labels) {
        if (visible && !text.empty()) {
            std::printf("  label \"%s\"\n", text.c_str());
        }
    }
    std::printf("  Update %s, Close %s\n", state.updateEnabled ? "enabled" : "disabled",
                state.closeEnabled ? "enabled" : "disabled");
    std::fflush(stdout);
    return state;
}

void Click(HWND button) {
    PostMessageA(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

int Fail(const char* what) {
    std::fprintf(stderr, "dialog_driver: %s\n", what);
    return 1;
}

// Lets the window paint before it is photographed.
void Settle(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    Sleep(700);
}

int Answer(const std::string& program, const std::string& prefix,
           const std::vector<std::string>& lines) {
    Program p;
    if (!p.Start(program)) {
        return 2;
    }
    bool seen = false;
    HWND answered = nullptr;
    const ULONGLONG until = GetTickCount64() + 60000;
    while (p.Running()) {
        if (GetTickCount64() > until) {
            return Fail("the program did not end; ending it");
        }
        HWND dialog = p.Find(true);
        if (dialog == nullptr || dialog == answered) {
            Sleep(50);
            continue;
        }
        const Dialog d = Read(dialog);
        if (StartsWith(d.text, prefix)) {
            seen = true;
            for (const std::string& line : lines) {
                if (("\n" + d.text + "\n").find("\n" + line + "\n") == std::string::npos) {
                    std::fprintf(stderr, "dialog_driver: the box lacks the line \"%s\"\n",
                                 line.c_str());
                    seen = false;
                }
            }
        }
        // A Yes/No box has no OK: answer No.
        Press(dialog, GetDlgItem(dialog, IDOK) != nullptr ? IDOK : IDNO);
        answered = dialog;
    }
    const long code = p.WaitEnd(0);
    std::printf("exit code %ld\n", code);
    if (!seen) {
        std::fprintf(stderr, "dialog_driver: no box began with \"%s\" as expected\n",
                     prefix.c_str());
        return 1;
    }
    return code == 0 ? 0 : 1;
}

// Waits for the next dialog, checks its caption and the start of its text, and returns it.
HWND ExpectDialog(const Program& p, const char* caption, const char* prefix, DWORD millis) {
    HWND dialog = p.WaitFor(true, millis);
    if (dialog == nullptr) {
        std::fprintf(stderr, "dialog_driver: no dialog \"%s\" came\n", caption);
        return nullptr;
    }
    Sleep(200);  // the text is set while the box is made
    const Dialog d = Read(dialog);
    if (d.caption != caption || !StartsWith(d.text, prefix)) {
        std::fprintf(stderr, "dialog_driver: expected the dialog \"%s\": %s...\n", caption, prefix);
        Press(dialog, GetDlgItem(dialog, IDOK) != nullptr ? IDOK : IDNO);
        return nullptr;
    }
    return dialog;
}

RECT Union(HWND a, HWND b) {
    RECT ra{}, rb{}, r{};
    GetWindowRect(a, &ra);
    GetWindowRect(b, &rb);
    UnionRect(&r, &ra, &rb);
    return r;
}

int Flash(const std::string& program, const std::string& driveLine, const std::string& idlePng,
          const std::string& successPng, const std::string& stateFile,
          const std::string& stateLine) {
    DeleteFileA(stateFile.c_str());
    Program p;
    if (!p.Start(program)) {
        return 2;
    }
    // Part of start-up: the notice, answered with Yes.
    HWND notice = ExpectDialog(p, "Warning", "This flash utility only supports ", 60000);
    if (notice == nullptr) {
        return 1;
    }
    Press(notice, IDYES);

    HWND window = p.WaitFor(false, 30000);
    if (window == nullptr) {
        return Fail("the main window did not appear");
    }
    Sleep(300);
    if (p.Find(true) != nullptr) {
        Read(p.Find(true));
        return Fail("a dialog came before the idle window");
    }
    WindowState idle = ReadWindow(window);
    if (idle.Selected() != driveLine) {
        std::fprintf(stderr, "dialog_driver: the selected drive is not \"%s\"\n",
                     driveLine.c_str());
        return 1;
    }
    if (!idle.updateEnabled || !idle.closeEnabled || !idle.HasLabel("It will be updated from") ||
        !idle.HasLabel("QM01") || !idle.HasLabel("QM0F")) {
        return Fail("the idle window does not offer the update from QM01 to QM0F");
    }
    Settle(window);
    RECT frame{};
    GetWindowRect(window, &frame);
    if (!SaveScreen(frame, WindowsPath(idlePng))) {
        return Fail("cannot save the idle window");
    }

    Click(idle.update);
    HWND done = ExpectDialog(p, "Information", "Firmware has been updated successfully !", 180000);
    if (done == nullptr) {
        return 1;
    }
    Settle(done);
    if (!SaveScreen(Union(window, done), WindowsPath(successPng))) {
        return Fail("cannot save the success dialog");
    }
    Press(done, IDOK);

    // Idle again, with the new revision as the drive's current one.
    Sleep(500);
    if (HWND other = p.Find(true)) {
        Read(other);
        return Fail("a dialog came after the success message");
    }
    WindowState after = ReadWindow(window);
    std::string updatedLine = driveLine;
    if (updatedLine.size() >= 4) {
        updatedLine.replace(updatedLine.size() - 4, 4, "QM0F");
    }
    if (after.Selected() != updatedLine || !after.HasLabel("QM0F") || after.HasLabel("QM01") ||
        !after.HasLabel("0 %") || !after.closeEnabled) {
        return Fail("the window does not show the drive at QM0F after the update");
    }
    Click(after.close);
    const long code = p.WaitEnd(20000);
    std::printf("exit code %ld\n", code);
    if (code != 0) {
        return Fail("the program did not end with exit code 0 after Close");
    }
    std::ifstream in(stateFile);
    std::stringstream state;
    state << in.rdbuf();
    std::printf("emulated drives:\n%s", state.str().c_str());
    if (("\n" + state.str()).find("\n" + stateLine + "\n") == std::string::npos) {
        std::fprintf(stderr, "dialog_driver: the drives' state lacks \"%s\"\n", stateLine.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 3 && args[0] == "answer") {
        return Answer(WindowsPath(args[1]), args[2],
                      std::vector<std::string>(args.begin() + 3, args.end()));
    }
    if (args.size() == 7 && args[0] == "flash") {
        return Flash(WindowsPath(args[1]), args[2], args[3], args[4], WindowsPath(args[5]),
                     args[6]);
    }
    std::fprintf(stderr,
                 "usage: dialog_driver answer PROGRAM PREFIX [LINE...]\n"
                 "       dialog_driver flash PROGRAM DRIVE_LINE IDLE_PNG SUCCESS_PNG STATE_FILE "
                 "STATE_LINE\n");
    return 2;
}
