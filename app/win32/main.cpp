// tagsmith.exe: the application object. One copy runs per desktop (a named
// mutex); a second start brings the first copy's window forward and ends.
#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>
#include <string>

#include "MainWindow.h"
#include "WinPorts.h"
#include "deviceops/StationState.h"
#include "platform/AppFolder.h"
#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "platform/Profile.h"
#include "platform/RegularFile.h"
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

std::wstring WideOf(const std::string& utf8) { return ts::win32::W(ts::Utf8ToWide(utf8)); }

std::string Utf8Of(const std::wstring& wide) { return ts::WideToUtf8(ts::win32::U16(wide)); }

void ShowStartError(const std::wstring& text) {
    std::fprintf(stderr, "tagsmith: %s\n", Utf8Of(text).c_str());
    MessageBoxW(nullptr, text.c_str(), ts::win32::W(ts::kAppTitle).c_str(), MB_OK | MB_ICONERROR);
}

// Why the application folder cannot be used, or empty.
std::wstring CheckAppFolder(const std::string& appDir, ts::AppFolderLock& lock) {
    if (!ts::AnsiCodepageAvailable()) return L"系统缺少 CP936 字符集转换模块，程序无法启动！";
    switch (lock.Acquire(appDir)) {
        case ts::AppFolderLock::Status::Held:
            break;
        case ts::AppFolderLock::Status::Busy:
            return L"程序目录 " + WideOf(appDir) + L" 正被另一个进程使用，程序无法启动！";
        case ts::AppFolderLock::Status::Failed:
            return L"无法使用程序目录中的锁文件 " + WideOf(lock.Path()) + L"，程序无法启动！";
    }
    const std::string config = ts::ConfigPathIn(appDir);
    const ts::FileKind kind = ts::KindOf(config);
    if (kind != ts::FileKind::Regular && kind != ts::FileKind::Missing)
        return L"配置文件 " + WideOf(config) + L" 不是普通文件，程序无法启动！";
    return {};
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::string simDir;
    bool simulate = false;
    for (int i = 1; argv && i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--simulate" && i + 1 < argc) {
            simulate = true;
            simDir = Utf8Of(argv[++i]);
        } else if (a == L"--debug") {
            ts::SetDebugSink([](std::string_view line) {
                std::fwrite(line.data(), 1, line.size(), stderr);
                if (line.empty() || line.back() != '\n') std::fputc('\n', stderr);
                std::fflush(stderr);
            });
        } else {
            std::fprintf(stderr, "usage: tagsmith [--simulate DIR] [--debug]\n");
            LocalFree(argv);
            return 2;
        }
    }
    if (argv) LocalFree(argv);

    // The handle is never closed: the mutex marks this copy as long as it runs.
    SetLastError(0);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kInstanceName);
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        ActivateRunningCopy();
        return 0;
    }

    // After a crash or an update the system may start the program again,
    // with the same arguments; nothing else is recovered.
    {
        const wchar_t* full = GetCommandLineW();
        int n = 0;
        wchar_t** parts = CommandLineToArgvW(full, &n);
        std::wstring args;
        for (int i = 1; parts && i < n; ++i)
            args += (i > 1 ? L" \"" : L"\"") + std::wstring(parts[i]) + L"\"";
        if (parts) LocalFree(parts);
        RegisterApplicationRestart(args.empty() ? nullptr : args.c_str(), 0);
    }

    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof icc;
    icc.dwICC = 0xFF;
    InitCommonControlsEx(&icc);
    RegisterWindowClass(instance);

    const std::optional<std::string> appDir = ts::ExecutableFolder();
    ts::AppFolderLock lock;
    const std::wstring problem =
        appDir ? CheckAppFolder(*appDir, lock) : L"无法确定程序所在的目录，程序无法启动！";
    if (!problem.empty()) {
        ShowStartError(problem);
        return 1;
    }

    std::unique_ptr<ts::DriveSystem> drives =
        simulate ? ts::MakeSimLine(simDir) : ts::MakeSystemDrives();
    if (simulate && !drives) {
        ShowStartError(L"模拟产线目录 " + WideOf(simDir) + L" 不是文件夹，程序无法启动！");
        return 2;
    }

    ts::win32::MainWindow window(instance, std::move(drives));
    if (!window.Create()) {
        std::fprintf(stderr, "tagsmith: the main window cannot be created (error %lu)\n",
                     GetLastError());
        return 1;
    }
    return window.Run();
}
