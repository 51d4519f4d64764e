// tagsmith.exe: the application object. One copy runs per desktop (a named
// mutex); a second start brings the first copy's window forward and ends.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "MainWindow.h"
#include "WinPorts.h"
#include "app/StartUp.h"
#include "deviceops/StationState.h"
#include "platform/Codepage.h"
#include "sim/SimLine.h"

namespace {

constexpr wchar_t kInstanceName[] = L"CTagsmithApp";

// Brings the running copy's window forward: it may not exist yet, so look
// up to six times, 100 ms apart.
void ActivateRunningCopy() {
    HWND w = nullptr;
    for (int attempt = 0; attempt < 6; ++attempt) {
        if (attempt > 0) Sleep(100);
        w = FindWindowW(kInstanceName, nullptr);
        if (w) break;
    }
    if (!w) return;
    ShowWindow(w, IsZoomed(w) ? SW_SHOWMAXIMIZED : IsIconic(w) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(w);
}

// The main window's class: the dialog class under the application's name,
// so that a second start finds the window by it.
bool RegisterWindowClass(HINSTANCE instance) {
    WNDCLASSW wc = {};
    if (!GetClassInfoW(instance, L"#32770", &wc) && !GetClassInfoW(nullptr, L"#32770", &wc))
        return false;
    wc.lpszClassName = kInstanceName;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(128));
    return RegisterClassW(&wc) != 0;
}

std::string Utf8Of(const std::wstring& wide) { return ts::WideToUtf8(ts::win32::U16(wide)); }

void ShowStartError(const std::u16string& text) {
    std::fprintf(stderr, "tagsmith: %s\n", ts::WideToUtf8(text).c_str());
    MessageBoxW(nullptr, ts::win32::W(text).c_str(), ts::win32::W(ts::kAppTitle).c_str(),
                MB_OK | MB_ICONERROR);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> words;
    for (int i = 1; argv && i < argc; ++i) words.push_back(Utf8Of(argv[i]));
    if (argv) LocalFree(argv);
    ts::StartArgs args;
    if (!ts::ParseStartArgs(words, &args)) {
        std::fputs(ts::kStartUsage, stderr);
        return ts::kStartUsageError;
    }
    if (args.debug) ts::SendDebugToStderr();

    // The handle is never closed: the mutex marks this copy as long as it runs.
    SetLastError(0);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceName);
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        ActivateRunningCopy();
        return ts::kStartOk;
    }

    // After a crash or an update the system may start the program again,
    // with the same arguments; nothing else is recovered.
    {
        const wchar_t* full = GetCommandLineW();
        int n = 0;
        wchar_t** parts = CommandLineToArgvW(full, &n);
        std::wstring again;
        for (int i = 1; parts && i < n; ++i)
            again += (i > 1 ? L" \"" : L"\"") + std::wstring(parts[i]) + L"\"";
        if (parts) LocalFree(parts);
        RegisterApplicationRestart(again.empty() ? nullptr : again.c_str(), 0);
    }

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof icc;
    icc.dwICC = 0xFF;
    InitCommonControlsEx(&icc);
    RegisterWindowClass(instance);

    ts::AppFolderLock lock;
    const ts::AppFolderCheck check = ts::CheckAppFolder(ts::ExecutableFolder(), lock, true);
    if (!check.Ok()) {
        ShowStartError(ts::StartProblemText(check));
        return ts::kStartRefused;
    }

    std::unique_ptr<ts::DriveSystem> drives =
        args.simDir ? ts::MakeSimLine(*args.simDir) : ts::MakeSystemDrives();
    if (args.simDir && !drives) {
        ShowStartError(ts::SimLineProblemText(*args.simDir));
        return ts::kStartUsageError;
    }

    ts::win32::MainWindow window(instance, std::move(drives));
    if (args.simDir) window.EnableTrainingBench(*args.simDir);
    if (!window.Create()) {
        std::fprintf(stderr, "tagsmith: the main window cannot be created (error %lu)\n",
                     GetLastError());
        return ts::kStartRefused;
    }
    return window.Run();
}
