// Runs a Windows program and answers its message boxes, for the smoke test of quiver.exe:
//
//   dialog_driver PROGRAM EXPECTED_TEXT
//
// Starts PROGRAM (a Unix path is taken as one on Wine's Z: drive), and while it runs presses
// OK (or No, on a Yes/No box) on every message box it opens, printing each box's caption and
// text. Succeeds when a box began with EXPECTED_TEXT and the program then ended with exit code
// 0 within 60 seconds; otherwise the program is ended and the driver fails.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>

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

struct Search {
    DWORD pid;
    HWND dialog;
};

BOOL CALLBACK FindDialog(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<Search*>(lParam);
    char cls[32] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == search->pid && std::string(cls) == "#32770" && IsWindowVisible(hwnd)) {
        search->dialog = hwnd;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: dialog_driver PROGRAM EXPECTED_TEXT\n");
        return 2;
    }
    const std::string program = WindowsPath(argv[1]);
    const std::string expected = argv[2];
    std::string commandLine = "\"" + program + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "dialog_driver: cannot start %s (error %lu)\n", program.c_str(),
                     GetLastError());
        return 2;
    }
    bool seen = false;
    HWND answered = nullptr;
    const ULONGLONG until = GetTickCount64() + 60000;
    while (WaitForSingleObject(process.hProcess, 50) == WAIT_TIMEOUT) {
        if (GetTickCount64() > until) {
            std::fprintf(stderr, "dialog_driver: the program did not end; ending it\n");
            TerminateProcess(process.hProcess, 99);
            return 1;
        }
        Search search{process.dwProcessId, nullptr};
        EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
        if (search.dialog == nullptr || search.dialog == answered) {
            continue;
        }
        char caption[256] = {};
        char text[2048] = {};
        GetWindowTextA(search.dialog, caption, sizeof caption);
        GetDlgItemTextA(search.dialog, 0xFFFF, text, sizeof text);
        std::printf("dialog \"%s\": %s\n", caption, text);
        std::fflush(stdout);
        seen = seen || std::string(text).rfind(expected, 0) == 0;
        // A Yes/No box has no OK: answer No.
        const int button = GetDlgItem(search.dialog, IDOK) != nullptr ? IDOK : IDNO;
        PostMessageA(search.dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
        answered = search.dialog;
    }
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("exit code %lu\n", code);
    if (!seen) {
        std::fprintf(stderr, "dialog_driver: no box began with \"%s\"\n", expected.c_str());
        return 1;
    }
    return code == 0 ? 0 : 1;
}
