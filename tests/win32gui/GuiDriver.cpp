#include "GuiDriver.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace ts::wingui {

namespace {

fs::path TestFolder() {
    wchar_t buf[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, buf, static_cast<DWORD>(std::size(buf)));
    return fs::path(buf).parent_path();
}

std::wstring Quoted(const fs::path& p) { return L"\"" + p.wstring() + L"\""; }

// Runs a command line and waits for it; the exit code, -1 on a timeout.
int RunAndWait(const std::wstring& commandLine, int ms, DWORD* elapsed = nullptr) {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = commandLine;
    const ULONGLONG start = GetTickCount64();
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return -2;
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, static_cast<DWORD>(ms)) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else
        TerminateProcess(pi.hProcess, 99);
    if (elapsed) *elapsed = static_cast<DWORD>(GetTickCount64() - start);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(code);
}

bool IsClass(HWND hwnd, const wchar_t* name) {
    wchar_t cls[64] = {};
    GetClassNameW(hwnd, cls, 64);
    return lstrcmpiW(cls, name) == 0;
}

struct PopupSearch {
    DWORD pid;
    HWND main;
    HWND found;
};

BOOL CALLBACK FindPopup(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<PopupSearch*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid && hwnd != s->main && IsWindowVisible(hwnd) && IsClass(hwnd, L"#32770")) {
        s->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

struct MainSearch {
    DWORD pid;
    HWND found;
    int count;
};

BOOL CALLBACK FindMain(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<MainSearch*>(lp);
    if (!IsClass(hwnd, L"CTagsmithApp")) return TRUE;
    ++s->count;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (s->pid == 0 || pid == s->pid) s->found = hwnd;
    return TRUE;
}

}  // namespace

bool WaitFor(const std::function<bool()>& done, int ms) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(50);
    }
}

Station::Station(const std::string& name) {
    wchar_t tmp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, tmp);
    root_ = fs::path(tmp) / ("tagsmith-gui-" + name + "-" + std::to_string(GetCurrentProcessId()));
    std::error_code ec;
    fs::remove_all(root_, ec);
    app_ = root_ / "app";
    sim_ = root_ / "line";
    fs::create_directories(app_);
    fs::create_directories(sim_);
    const fs::path from = TestFolder();
    for (const char* f : {"tagsmith.exe", "tagsmith-cli.exe", "modhost.dll", "Volkit.dll",
                          "ulpkData.bin", "tagsmith.cfg"})
        fs::copy_file(from / f, app_ / f, fs::copy_options::overwrite_existing, ec);
}

Station::~Station() {
    if (pi_.hProcess) {
        if (Running() && main_) PostMessageW(main_, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(pi_.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(pi_.hProcess, 99);
        CloseHandle(pi_.hThread);
        CloseHandle(pi_.hProcess);
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void Station::AddSettings(const std::string& lines) const {
    std::ofstream(app_ / "tagsmith.cfg", std::ios::binary | std::ios::app) << lines;
}

std::string Station::ReadConfig() const {
    std::ifstream in(app_ / "tagsmith.cfg", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

fs::path Station::WriteFile(const std::string& name, const std::string& content) const {
    const fs::path p = root_ / name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
}

bool Station::Start() {
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring cmd = Quoted(app_ / "tagsmith.exe") + L" --simulate " + Quoted(sim_);
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi_))
        return false;
    return WaitFor([&] {
        MainSearch s{pi_.dwProcessId, nullptr, 0};
        EnumWindows(FindMain, reinterpret_cast<LPARAM>(&s));
        main_ = s.found;
        return main_ && IsWindowVisible(main_);
    });
}

int Station::StartAnother(int ms, DWORD* elapsedMs) {
    const int code =
        RunAndWait(Quoted(app_ / "tagsmith.exe") + L" --simulate " + Quoted(sim_), ms, elapsedMs);
    MainSearch s{0, nullptr, 0};
    EnumWindows(FindMain, reinterpret_cast<LPARAM>(&s));
    processes_ = s.count;
    return code == 0 && s.count == 1 ? 0 : (code != 0 ? code : 100 + s.count);
}

bool Station::Running() const {
    return pi_.hProcess && WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT;
}

bool Station::WaitExit(int ms) {
    return pi_.hProcess &&
           WaitForSingleObject(pi_.hProcess, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}

int Station::Cli(const std::wstring& args) const {
    return RunAndWait(
        Quoted(app_ / "tagsmith-cli.exe") + L" --simulate " + Quoted(sim_) + L" " + args, 60000);
}

void Station::Plug() const { Cli(L"sim new E"); }

void Station::Unplug(const fs::path& keep) {
    const size_t before = LogCount(L"请插入新设备");
    Cli(keep.empty() ? L"sim unplug E" : L"sim unplug E --keep " + Quoted(keep));
    WaitLog(L"请插入新设备", before + 1);
}

HWND Station::Control(int id, int page) const {
    if (!main_) return nullptr;
    if (page < 0) return GetDlgItem(main_, id);
    static const int kMarks[3] = {1004, 1011, 1020};
    for (HWND child = FindWindowExW(main_, nullptr, L"#32770", nullptr); child;
         child = FindWindowExW(main_, child, L"#32770", nullptr)) {
        if (GetDlgItem(child, kMarks[page])) return GetDlgItem(child, id);
    }
    return nullptr;
}

std::wstring Station::Text(HWND hwnd) const {
    if (!hwnd) return L"<no control>";
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &n)) return {};
    std::vector<wchar_t> buf(n + 1);
    DWORD_PTR got = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                        SMTO_ABORTIFHUNG, 5000, &got);
    return std::wstring(buf.data(), got);
}

void Station::SetText(int id, int page, const std::wstring& text) const {
    SendMessageW(Control(id, page), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

bool Station::Enabled(int id, int page) const {
    HWND c = Control(id, page);
    return c && IsWindowEnabled(c);
}

bool Station::Click(int id, int page) const {
    HWND b = Control(id, page);
    if (!b || !IsWindowEnabled(b)) return false;
    PostMessageW(GetParent(b), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(b));
    return true;
}

size_t Station::LogCount(const std::wstring& line) const {
    const std::wstring log = Log();
    size_t n = 0;
    for (size_t at = log.find(line); at != std::wstring::npos; at = log.find(line, at + 1)) ++n;
    return n;
}

bool Station::WaitLog(const std::wstring& line, size_t count) const {
    return WaitFor([&] { return LogCount(line) >= count; });
}

HWND Station::Popup() const {
    PopupSearch s{pi_.dwProcessId, main_, nullptr};
    EnumWindows(FindPopup, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND Station::WaitPopup() const {
    HWND found = nullptr;
    WaitFor([&] { return (found = Popup()) != nullptr; });
    return found;
}

std::wstring Station::BoxText(HWND box) const { return Text(GetDlgItem(box, 0xFFFF)); }

void Station::Answer(HWND box, int command) const { PostMessageW(box, WM_COMMAND, command, 0); }

void Station::Screenshot(HWND window, const std::string& name) const {
    // The picture is taken on the display's side (the runner watches for
    // requests): what the X server shows is what a person would see.
    char dir[MAX_PATH] = {};
    if (!GetEnvironmentVariableA("TAGSMITH_SCREENSHOTS", dir, MAX_PATH) || !window) return;
    Sleep(300);  // let the window paint
    RECT r;
    GetWindowRect(window, &r);
    const fs::path request = fs::path(dir) / (name + ".req");
    {
        std::ofstream out(request, std::ios::binary);
        out << (r.right - r.left) << "x" << (r.bottom - r.top) << "+" << r.left << "+" << r.top
            << "\n";
    }
    WaitFor([&] { return !fs::exists(request); }, 10000);
}

}  // namespace ts::wingui
