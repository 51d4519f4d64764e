#include "MainWindow.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "resource.h"
#include "sim/SimLine.h"

namespace ts::win32 {

namespace {

constexpr UINT kDeviceEventsMsg = WM_APP + 1;
// A task from Post: its lParam owns a std::function<void()>.
constexpr UINT kPostedTaskMsg = WM_APP + 2;
constexpr int kTabCount = 3;
const int kPageTemplates[kTabCount] = {IDD_DLG_CH1, IDD_DLG_CH2, IDD_DLG_CH3};

// The owner-drawn labels: filled with the window colour, one line, centred,
// cut with an ellipsis.
bool IsTranStatic(int id) {
    return id == IDC_STATIC_SCAN || id == IDC_STATIC_PREFIX || id == IDC_STATIC_COUNTER ||
           id == IDC_STATIC_SUFFIX;
}

// The edits the keyboard never reaches (the program writes them).
bool IsReadOnlyEdit(HWND hwnd) {
    const int id = GetDlgCtrlID(hwnd);
    if (id != IDC_EDIT_LOG && id != IDC_EDIT_IDFILE && id != IDC_EDIT_CURID) return false;
    wchar_t cls[16] = {};
    GetClassNameW(hwnd, cls, 16);
    return lstrcmpiW(cls, L"Edit") == 0;
}

void SetCheck(HWND dlg, int id, bool checked) {
    HWND b = GetDlgItem(dlg, id);
    const LRESULT want = checked ? BST_CHECKED : BST_UNCHECKED;
    if (b && SendMessageW(b, BM_GETCHECK, 0, 0) != want) SendMessageW(b, BM_SETCHECK, want, 0);
}

void Enable(HWND dlg, int id, bool enable) {
    HWND c = GetDlgItem(dlg, id);
    if (c && (IsWindowEnabled(c) != FALSE) != enable) EnableWindow(c, enable ? TRUE : FALSE);
}

COLORREF Colour(uint32_t rgb) { return RGB((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff); }

// The dialog's font in another pixel height, bold.
HFONT BoldFont(HWND dlg, int pixels) {
    LOGFONTW lf = {};
    if (HFONT base = reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0)))
        GetObjectW(base, sizeof lf, &lf);
    lf.lfHeight = -pixels;
    lf.lfWidth = 0;
    lf.lfWeight = FW_BOLD;
    lf.lfQuality = CLEARTYPE_QUALITY;
    return CreateFontIndirectW(&lf);
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, std::unique_ptr<DriveSystem> drives)
    : instance_(instance), controller_(*this, std::move(drives)) {
    windowBrush_ = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
    icon_ =
        static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    MainDialog& model = controller_.Model();
    model.m_page1.onChange = [this] { RefreshPage(0); };
    model.m_page2.onChange = [this] { RefreshPage(1); };
    model.m_page3.onChange = [this] { RefreshPage(2); };
}

MainWindow::~MainWindow() {
    StopEventWatch();
    // Tasks still queued go with the window.
    MSG queued;
    while (hwnd_ && PeekMessageW(&queued, hwnd_, kPostedTaskMsg, kPostedTaskMsg, PM_REMOVE))
        delete reinterpret_cast<std::function<void()>*>(queued.lParam);
    MainDialog& model = controller_.Model();
    model.m_page1.onChange = nullptr;
    model.m_page2.onChange = nullptr;
    model.m_page3.onChange = nullptr;
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    for (HGDIOBJ o : {static_cast<HGDIOBJ>(windowBrush_), static_cast<HGDIOBJ>(headlineFont_),
                      static_cast<HGDIOBJ>(idFont_), static_cast<HGDIOBJ>(countsFont_)}) {
        if (o) DeleteObject(o);
    }
    if (icon_) DestroyIcon(icon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
}

void MainWindow::EnableTrainingBench(const std::string& folder) {
    controller_.EnableBench(folder, {SimPlug, SimUnplug, SimReplug, SimSetFaults});
}

bool MainWindow::Create() {
    hwnd_ = CreateDialogParamW(instance_, MAKEINTRESOURCEW(IDD_TAGSMITH_DIALOG), nullptr, MainProc,
                               reinterpret_cast<LPARAM>(this));
    if (!hwnd_) return false;
    ShowWindow(hwnd_, SW_SHOW);
    SetForegroundWindow(hwnd_);
    return true;
}

int MainWindow::Run() {
    MSG msg;
    while (!runEnded_ && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (PreTranslate(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    StopEventWatch();
    controller_.Finish();
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    return 0;
}

bool MainWindow::PreTranslate(MSG& msg) {
    if (!hwnd_ || !(msg.hwnd == hwnd_ || IsChild(hwnd_, msg.hwnd))) return false;
    if (msg.message == WM_KEYDOWN) {
        // The log box and the page's path and ID boxes take no key at all.
        if (IsReadOnlyEdit(msg.hwnd)) return true;
        // Enter and Esc never press a button or end the window.
        if (msg.wParam == VK_RETURN || msg.wParam == VK_ESCAPE) return true;
    }
    return IsDialogMessageW(hwnd_, &msg) != FALSE;
}

// ------------------------------------------------------------ event loops ---

void MainWindow::Drain() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (PreTranslate(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void MainWindow::PumpRepaint() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&msg);
}

void MainWindow::SleepRepainting(uint32_t ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        PumpRepaint();
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_PAINT);
    }
}

void MainWindow::WaitHandling(uint32_t ms, const std::function<bool()>& goOn) {
    const ULONGLONG end = GetTickCount64() + ms;
    // The device events stay queued until the wait is over.
    auto next = [](MSG* msg) {
        return PeekMessageW(msg, nullptr, 0, kDeviceEventsMsg - 1, PM_REMOVE) != FALSE ||
               PeekMessageW(msg, nullptr, kDeviceEventsMsg + 1, 0xFFFF, PM_REMOVE) != FALSE;
    };
    bool go = goOn();
    while (go) {
        MSG msg;
        while (go && next(&msg)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return;
            }
            if (!PreTranslate(msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            // The wait ends right after the message that stopped it.
            go = goOn();
        }
        const ULONGLONG now = GetTickCount64();
        if (!go || now >= end) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    }
}

// ------------------------------------------------------------ main window ---

INT_PTR CALLBACK MainWindow::MainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, lp);
        auto* self = reinterpret_cast<MainWindow*>(lp);
        self->hwnd_ = hwnd;
        self->OnInitDialog();
        return TRUE;
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->OnMainMessage(msg, wp, lp) : FALSE;
}

void MainWindow::OnInitDialog() {
    log_.Attach(GetDlgItem(hwnd_, IDC_EDIT_LOG));
    boxer_.SetOwner(hwnd_);

    if (HMENU sys = GetSystemMenu(hwnd_, FALSE)) {
        wchar_t about[64] = {};
        if (LoadStringW(instance_, IDS_ABOUTBOX, about, 64) > 0 && about[0]) {
            AppendMenuW(sys, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(sys, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    HWND tab = GetDlgItem(hwnd_, IDC_TAB_PAGES);
    for (int i = 0; i < kTabCount; ++i) {
        std::wstring title = W(kTabTitles[static_cast<size_t>(i)]);
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = title.data();
        SendMessageW(tab, TCM_INSERTITEMW, i, reinterpret_cast<LPARAM>(&item));
    }
    RECT r;
    GetWindowRect(tab, &r);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&r), 2);
    r.top += 21;
    r.bottom -= 4;
    r.left += 2;
    r.right -= 4;
    for (int i = 0; i < kTabCount; ++i) {
        creatingPage_ = i;
        pages_[i] = CreateDialogParamW(instance_, MAKEINTRESOURCEW(kPageTemplates[i]), hwnd_,
                                       PageProc, reinterpret_cast<LPARAM>(this));
        creatingPage_ = -1;
        if (pages_[i])
            SetWindowPos(pages_[i], HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top, 0);
    }
    if (pages_[0]) ShowWindow(pages_[0], SW_SHOW);
    SetWindowTextW(hwnd_, W(kWindowTitle).c_str());
    CreateSideColumn();

    controller_.Open(std::string(), log_, boxer_);
    for (int i = 0; i < kTabCount; ++i) RefreshPage(i);
    ShowBench();
    StartEventWatch();
}

void MainWindow::CreateSideColumn() {
    const SideColumn side = controller_.Layout();
    auto place = [this](const DialogRect& d) {
        RECT r = {d.x, d.y, d.x + d.width, d.y + d.height};
        MapDialogRect(hwnd_, &r);
        return r;
    };
    HFONT dialogFont = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
    auto make = [&](const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, int id,
                    RECT r) {
        HWND c =
            CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, r.left, r.top,
                            r.right - r.left, r.bottom - r.top, hwnd_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
        if (c) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(dialogFont), FALSE);
        return c;
    };
    headlineFont_ = BoldFont(hwnd_, 34);
    idFont_ = BoldFont(hwnd_, 20);
    countsFont_ = BoldFont(hwnd_, 16);

    // The window grows to the right to hold the column.
    RECT width = {0, 0, side.windowWidth, 0};
    MapDialogRect(hwnd_, &width);
    RECT client;
    GetClientRect(hwnd_, &client);
    RECT frame = {0, 0, width.right, client.bottom};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
    SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    make(L"Static", L"", SS_OWNERDRAW | SS_NOTIFY, 0, IDC_STATIC_RESULT, place(side.result));
    HWND counts = make(L"Static", L"", SS_CENTER | SS_CENTERIMAGE, WS_EX_STATICEDGE,
                       IDC_STATIC_COUNTS, place(side.counts));
    if (counts) SendMessageW(counts, WM_SETFONT, reinterpret_cast<WPARAM>(countsFont_), FALSE);
    make(L"Static", L"", SS_OWNERDRAW, 0, IDC_PROGRESS, place(side.progress));
    make(L"Button", L"多设备同时烧写", BS_AUTOCHECKBOX | WS_TABSTOP, 0, IDC_CHECK_GANG,
         place(side.gangBox));
    clientHeight_ = client.bottom;
    if (HWND strip = make(WC_LISTVIEWW, L"", LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL,
                          WS_EX_CLIENTEDGE, IDC_LIST_PORTS, place(side.strip))) {
        SendMessageW(strip, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
        struct Column {
            const wchar_t* title;
            int units;
        };
        const Column columns[] = {{L"驱动器", 40}, {L"状态", 80}, {L"ID", 420}, {L"用时", 60}};
        int index = 0;
        for (const Column& c : columns) {
            RECT w = {0, 0, c.units, 0};
            MapDialogRect(hwnd_, &w);
            LVCOLUMNW col = {};
            col.mask = LVCF_TEXT | LVCF_WIDTH;
            col.cx = w.right;
            col.pszText = const_cast<wchar_t*>(c.title);
            SendMessageW(strip, LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&col));
        }
    }
    PlaceStrip();

    BenchModel* bench = controller_.Bench();
    if (!bench) return;
    const DialogRect& b = side.bench;
    const int half = (b.width - 16) / 2;
    make(L"Button", W(bench->Title()).c_str(), BS_GROUPBOX, 0, IDC_GROUP_BENCH, place(b));
    struct Button {
        int id;
        const wchar_t* text;
        int column, row;
    };
    const Button buttons[] = {{IDC_BTN_BENCH_BLANK, L"插入空白设备", 0, 0},
                              {IDC_BTN_BENCH_KEPT, L"插入已有ID的设备", 1, 0},
                              {IDC_BTN_BENCH_DISK, L"插入普通U盘", 0, 1},
                              {IDC_BTN_BENCH_UNPLUG, L"拔出设备", 1, 1},
                              {IDC_BTN_BENCH_PLUG_SEVERAL, L"插入4个设备", 0, 2},
                              {IDC_BTN_BENCH_UNPLUG_SEVERAL, L"拔出4个设备", 1, 2}};
    for (const Button& k : buttons) {
        make(L"Button", k.text, BS_PUSHBUTTON | WS_TABSTOP, 0, k.id,
             place({b.x + 6 + k.column * (half + 4), b.y + 12 + k.row * 18, half, 15}));
    }
    make(L"Static", L"下一个设备的故障：", SS_LEFT, 0, IDC_STATIC_BENCH_FAULT,
         place({b.x + 6, b.y + 68, b.width - 12, 9}));
    HWND faults = make(L"ComboBox", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0,
                       IDC_COMBO_BENCH_FAULT, place({b.x + 6, b.y + 79, b.width - 12, 110}));
    for (const BenchModel::Fault& f : BenchModel::Faults())
        SendMessageW(faults, CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(W(std::u16string(f.name)).c_str()));
    make(L"Static", L"", SS_LEFT, 0, IDC_STATIC_BENCH_MESSAGE,
         place({b.x + 6, b.y + 97, b.width - 12, b.height - 103}));
}

INT_PTR MainWindow::OnMainMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND: {
            WindowController::Handling handling(controller_);
            OnCommand(LOWORD(wp), HIWORD(wp));
            return TRUE;
        }
        case WM_NOTIFY: {
            const auto* nm = reinterpret_cast<const NMHDR*>(lp);
            if (nm->idFrom == IDC_LIST_PORTS && nm->code == NM_CUSTOMDRAW) {
                auto* draw = reinterpret_cast<NMLVCUSTOMDRAW*>(lp);
                SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, DrawPortRow(*draw));
                return TRUE;
            }
            if (nm->idFrom == IDC_TAB_PAGES && nm->code == TCN_SELCHANGE) {
                const int index = static_cast<int>(SendMessageW(nm->hwndFrom, TCM_GETCURSEL, 0, 0));
                controller_.OnTabSelChange(index);
                SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 0);
                return TRUE;
            }
            return FALSE;
        }
        case WM_SYSCOMMAND:
            if ((wp & 0xFFF0) == IDM_ABOUTBOX) {
                DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd_, AboutProc, 0);
                return TRUE;
            }
            // The title-bar close, Alt+F4 and the menu's Close go on to
            // WM_CLOSE only where the controller allows them.
            if ((wp & 0xFFF0) == SC_CLOSE && !controller_.SystemCloseAllowed()) return TRUE;
            return FALSE;
        case WM_CLOSE:
            // Also a request from outside (the task manager, a script): it
            // ends the window as the close button does, even while locked.
            controller_.RequestQuit();
            return TRUE;
        case WM_QUERYENDSESSION:
            // The session may end without another message: save now.
            controller_.Model().SaveConfig();
            SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case WM_ENDSESSION:
            if (wp) controller_.RequestQuit();
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(icon_);
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(windowBrush_);
        case WM_CTLCOLORSTATIC: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
            if (id == IDC_STATIC_COUNTS || id == IDC_STATIC_BENCH_FAULT ||
                id == IDC_STATIC_BENCH_MESSAGE || id == IDC_GROUP_BENCH) {
                SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
                return reinterpret_cast<INT_PTR>(windowBrush_);
            }
            return FALSE;
        }
        case WM_DRAWITEM:
            return DrawSideItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lp)) ? TRUE : FALSE;
        case kPostedTaskMsg: {
            std::unique_ptr<std::function<void()>> task(
                reinterpret_cast<std::function<void()>*>(lp));
            WindowController::Handling handling(controller_);
            if (*task) (*task)();
            return TRUE;
        }
        case kDeviceEventsMsg: {
            WindowController::Handling handling(controller_);
            controller_.OnDeviceEvents();
            if (eventsTaken_) SetEvent(eventsTaken_);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

void MainWindow::OnCommand(int id, int code) {
    BenchModel* bench = controller_.Bench();
    if (id == IDC_COMBO_BENCH_FAULT && code == CBN_SELCHANGE && bench) {
        const LRESULT index =
            SendMessageW(GetDlgItem(hwnd_, IDC_COMBO_BENCH_FAULT), CB_GETCURSEL, 0, 0);
        if (index >= 0) bench->SetFault(static_cast<int>(index));
        return;
    }
    if (code != BN_CLICKED) return;
    if (id == IDC_CHECK_GANG) {
        controller_.OnGangMode(SendMessageW(GetDlgItem(hwnd_, IDC_CHECK_GANG), BM_GETCHECK, 0, 0) ==
                               BST_CHECKED);
        return;
    }
    switch (id) {
        case IDC_RADIO_WRITE:
            controller_.OnWriteMode();
            break;
        case IDC_RADIO_READ:
            controller_.OnReadMode();
            break;
        case IDC_BTN_CLEARLOG:
            controller_.OnClearLog();
            break;
        case IDC_BTN_CLOSE:
            controller_.OnCloseButton();
            break;
        case IDC_BTN_BENCH_BLANK:
            if (bench) bench->PlugBlank();
            break;
        case IDC_BTN_BENCH_KEPT:
            if (bench) bench->PlugKept();
            break;
        case IDC_BTN_BENCH_DISK:
            if (bench) bench->PlugDisk();
            break;
        case IDC_BTN_BENCH_UNPLUG:
            if (bench) bench->Unplug();
            break;
        case IDC_BTN_BENCH_PLUG_SEVERAL:
            if (bench) bench->PlugSeveral();
            break;
        case IDC_BTN_BENCH_UNPLUG_SEVERAL:
            if (bench) bench->UnplugSeveral();
            break;
        default:
            break;
    }
}

// ---------------------------------------------------------------- drawing ---

void MainWindow::ShowControls() {
    if (!hwnd_) return;
    const MainDialog& model = controller_.Model();
    ++syncing_;
    SetCheck(hwnd_, IDC_RADIO_WRITE, model.writeRadioChecked);
    SetCheck(hwnd_, IDC_RADIO_READ, model.readRadioChecked);
    Enable(hwnd_, IDC_RADIO_WRITE, model.writeRadioEnabled);
    Enable(hwnd_, IDC_RADIO_READ, model.readRadioEnabled);
    Enable(hwnd_, IDC_BTN_CLOSE, model.closeEnabled);
    SetCheck(hwnd_, IDC_CHECK_GANG, model.gangMode);
    Enable(hwnd_, IDC_CHECK_GANG, model.closeEnabled && !controller_.GangRunning());
    PlaceStrip();
    if (HMENU sys = GetSystemMenu(hwnd_, FALSE))
        EnableMenuItem(sys, SC_CLOSE, MF_BYCOMMAND | (model.closeEnabled ? MF_ENABLED : MF_GRAYED));
    Enable(hwnd_, IDC_TAB_PAGES, model.tabEnabled);
    HWND tab = GetDlgItem(hwnd_, IDC_TAB_PAGES);
    if (model.tabIndex >= 0 && model.tabIndex < kTabCount) {
        if (SendMessageW(tab, TCM_GETCURSEL, 0, 0) != model.tabIndex)
            SendMessageW(tab, TCM_SETCURSEL, model.tabIndex, 0);
        for (int i = 0; i < kTabCount; ++i) {
            if (!pages_[i]) continue;
            const bool show = i == model.tabIndex;
            // The page's own flag: before the window shows, every page
            // counts as invisible, and a page left shown would cover another.
            const bool shown = (GetWindowLongPtrW(pages_[i], GWL_STYLE) & WS_VISIBLE) != 0;
            if (shown != show) ShowWindow(pages_[i], show ? SW_SHOW : SW_HIDE);
        }
    }
    --syncing_;
}

void MainWindow::ShowResult() {
    if (!hwnd_) return;
    const LastResult& model = controller_.Result();
    const PortResult& port = model.Port();
    // The texts are the controls' own, so that they read back as shown; the
    // panel draws a long ID by its start and end.
    std::u16string text = port.headline;
    if (!port.id.empty()) text += u"\r\nID: " + port.id;
    SetWindowTextIfChanged(GetDlgItem(hwnd_, IDC_STATIC_RESULT), text);
    SetWindowTextIfChanged(GetDlgItem(hwnd_, IDC_STATIC_COUNTS), model.Counts().Text());
    SetWindowTextIfChanged(GetDlgItem(hwnd_, IDC_PROGRESS), port.ProgressText());
    for (int id : {IDC_STATIC_RESULT, IDC_PROGRESS}) {
        if (HWND c = GetDlgItem(hwnd_, id)) InvalidateRect(c, nullptr, FALSE);
    }
    ShowPorts();
}

void MainWindow::Post(std::function<void()> task) {
    auto* owned = new std::function<void()>(std::move(task));
    if (!hwnd_ || !PostMessageW(hwnd_, kPostedTaskMsg, 0, reinterpret_cast<LPARAM>(owned)))
        delete owned;
}

void MainWindow::PlaceStrip() {
    HWND strip = GetDlgItem(hwnd_, IDC_LIST_PORTS);
    if (!strip || clientHeight_ == 0) return;
    const bool gang = controller_.Model().gangMode;
    if (stripShown_ == static_cast<int>(gang)) return;
    stripShown_ = gang;
    ShowWindow(strip, gang ? SW_SHOWNA : SW_HIDE);
    RECT extra = {0, 0, 0, controller_.Layout().stripHeight};
    MapDialogRect(hwnd_, &extra);
    RECT client;
    GetClientRect(hwnd_, &client);
    RECT frame = {0, 0, client.right, clientHeight_ + (gang ? extra.bottom : 0)};
    AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(hwnd_, GWL_EXSTYLE)));
    SetWindowPos(hwnd_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::ShowPorts() {
    HWND strip = GetDlgItem(hwnd_, IDC_LIST_PORTS);
    if (!strip) return;
    const std::vector<PortResult>& ports = controller_.Result().Ports();
    const int rows = static_cast<int>(ports.size());
    SendMessageW(strip, WM_SETREDRAW, FALSE, 0);
    while (SendMessageW(strip, LVM_GETITEMCOUNT, 0, 0) > rows)
        SendMessageW(strip, LVM_DELETEITEM, rows, 0);
    for (int row = 0; row < rows; ++row) {
        const PortResult& port = ports[static_cast<size_t>(row)];
        const std::wstring texts[] = {W(port.drive), W(port.headline), W(port.id),
                                      W(port.TimeText())};
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        if (SendMessageW(strip, LVM_GETITEMCOUNT, 0, 0) <= row) {
            item.pszText = const_cast<wchar_t*>(texts[0].c_str());
            SendMessageW(strip, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
        }
        for (int col = 0; col < 4; ++col) {
            item.iSubItem = col;
            item.pszText = const_cast<wchar_t*>(texts[col].c_str());
            SendMessageW(strip, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
        }
    }
    SendMessageW(strip, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(strip, nullptr, FALSE);
}

LRESULT MainWindow::DrawPortRow(NMLVCUSTOMDRAW& draw) {
    // The state column in the last result's colours.
    switch (draw.nmcd.dwDrawStage) {
        case CDDS_PREPAINT:
            return CDRF_NOTIFYITEMDRAW;
        case CDDS_ITEMPREPAINT:
            return CDRF_NOTIFYSUBITEMDRAW;
        case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
            const std::vector<PortResult>& ports = controller_.Result().Ports();
            const size_t row = draw.nmcd.dwItemSpec;
            if (draw.iSubItem == 1 && row < ports.size()) {
                const ResultColours c = ColoursOf(ports[row].state);
                draw.clrTextBk = Colour(c.back);
                draw.clrText = Colour(c.fore);
            } else {
                draw.clrTextBk = GetSysColor(COLOR_WINDOW);
                draw.clrText = GetSysColor(COLOR_WINDOWTEXT);
            }
            return CDRF_NEWFONT;
        }
        default:
            return CDRF_DODEFAULT;
    }
}

void MainWindow::ShowBench() {
    const BenchModel* bench = controller_.Bench();
    if (!hwnd_ || !bench) return;
    SetWindowTextIfChanged(GetDlgItem(hwnd_, IDC_STATIC_BENCH_MESSAGE), bench->Message());
    Enable(hwnd_, IDC_BTN_BENCH_KEPT, bench->KeptAvailable());
    HWND faults = GetDlgItem(hwnd_, IDC_COMBO_BENCH_FAULT);
    if (faults && SendMessageW(faults, CB_GETCURSEL, 0, 0) != bench->FaultIndex())
        SendMessageW(faults, CB_SETCURSEL, static_cast<WPARAM>(bench->FaultIndex()), 0);
}

bool MainWindow::DrawSideItem(const DRAWITEMSTRUCT& di) {
    const PortResult& port = controller_.Result().Port();
    HDC dc = di.hDC;
    RECT rc = di.rcItem;
    if (di.CtlID == IDC_STATIC_RESULT) {
        const ResultColours colours = ColoursOf(port.state);
        HBRUSH back = CreateSolidBrush(Colour(colours.back));
        FillRect(dc, &rc, back);
        DeleteObject(back);
        DrawEdge(dc, &rc, BDR_SUNKENOUTER, BF_RECT);
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, Colour(colours.fore));
        const std::wstring headline = W(port.headline);
        const std::wstring id = port.id.empty() ? std::wstring() : L"ID: " + W(ShortId(port.id));
        RECT inner = rc;
        InflateRect(&inner, -6, -6);
        // Headline and ID as one block, centred in the panel.
        RECT h = inner, i = inner;
        HGDIOBJ old = SelectObject(dc, headlineFont_);
        DrawTextW(dc, headline.c_str(), -1, &h, DT_CENTER | DT_WORDBREAK | DT_CALCRECT);
        SelectObject(dc, idFont_);
        if (!id.empty()) DrawTextW(dc, id.c_str(), -1, &i, DT_CENTER | DT_SINGLELINE | DT_CALCRECT);
        const int hh = h.bottom - h.top;
        const int ih = id.empty() ? 0 : i.bottom - i.top;
        int top = inner.top + std::max(0, static_cast<int>(inner.bottom - inner.top - hh - ih) / 2);
        RECT line = {inner.left, top, inner.right, top + hh};
        SelectObject(dc, headlineFont_);
        DrawTextW(dc, headline.c_str(), -1, &line, DT_CENTER | DT_WORDBREAK);
        if (!id.empty()) {
            line = {inner.left, top + hh, inner.right, top + hh + ih};
            SelectObject(dc, idFont_);
            DrawTextW(dc, id.c_str(), -1, &line, DT_CENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
        }
        SelectObject(dc, old);
        return true;
    }
    if (di.CtlID == IDC_PROGRESS) {
        FillRect(dc, &rc, GetSysColorBrush(COLOR_WINDOW));
        RECT done = rc;
        InflateRect(&done, -2, -2);
        const int full = done.right - done.left;
        done.right = done.left + (port.progressShown ? full * port.progressPermille / 1000 : 0);
        if (done.right > done.left) FillRect(dc, &done, GetSysColorBrush(COLOR_HIGHLIGHT));
        DrawEdge(dc, &rc, EDGE_SUNKEN, BF_RECT);
        const std::wstring text = W(port.ProgressText());
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        HGDIOBJ old =
            SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd_, WM_GETFONT, 0, 0)));
        DrawTextW(dc, text.c_str(), -1, &rc, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        SelectObject(dc, old);
        return true;
    }
    return false;
}

void MainWindow::FocusScanBox() {
    if (pages_[1]) SetFocus(GetDlgItem(pages_[1], IDC_EDIT_SCANID));
}

void MainWindow::DismissModals() {
    // A flow waiting in a message box or the picker ends first, each as its
    // Esc would; the window ends once the flow has returned.
    boxer_.Dismiss();
    if (picker_) PostMessageW(picker_, WM_COMMAND, IDCANCEL, 0);
}

void MainWindow::EndRun(bool) {
    runEnded_ = true;
    PostQuitMessage(0);
}

// ----------------------------------------------------------- device events ---

void MainWindow::StartEventWatch() {
    DeviceEventSource* events = controller_.StartDeviceEvents();
    if (!events) return;
    stopWatch_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    eventsTaken_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!stopWatch_ || !eventsTaken_) return;
    HANDLE ready = reinterpret_cast<HANDLE>(static_cast<intptr_t>(events->Fd()));
    HWND target = hwnd_;
    HANDLE stop = stopWatch_;
    HANDLE taken = eventsTaken_;
    // Wakes the window when events are pending, then waits until it has
    // taken them, so that one wake-up is posted per batch.
    watcher_ = std::thread([ready, target, stop, taken] {
        for (;;) {
            HANDLE waitReady[2] = {stop, ready};
            if (WaitForMultipleObjects(2, waitReady, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
            PostMessageW(target, kDeviceEventsMsg, 0, 0);
            HANDLE waitTaken[2] = {stop, taken};
            if (WaitForMultipleObjects(2, waitTaken, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return;
        }
    });
}

void MainWindow::StopEventWatch() {
    if (stopWatch_) SetEvent(stopWatch_);
    if (watcher_.joinable()) watcher_.join();
    if (stopWatch_) CloseHandle(stopWatch_);
    if (eventsTaken_) CloseHandle(eventsTaken_);
    stopWatch_ = eventsTaken_ = nullptr;
    controller_.StopDeviceEvents();
}

// ------------------------------------------------------------------ pages ---

INT_PTR CALLBACK MainWindow::PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) {
        auto* self = reinterpret_cast<MainWindow*>(lp);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, lp);
        SetPropW(hwnd, L"TagsmithPage",
                 reinterpret_cast<HANDLE>(static_cast<intptr_t>(self->creatingPage_ + 1)));
        // The labels are painted by the page: on the window colour, centred.
        for (int id : {IDC_STATIC_SCAN, IDC_STATIC_PREFIX, IDC_STATIC_COUNTER, IDC_STATIC_SUFFIX}) {
            if (HWND label = GetDlgItem(hwnd, id)) {
                const LONG_PTR style = GetWindowLongPtrW(label, GWL_STYLE);
                SetWindowLongPtrW(label, GWL_STYLE, (style & ~SS_TYPEMASK) | SS_OWNERDRAW);
            }
        }
        return TRUE;
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    const int page =
        static_cast<int>(reinterpret_cast<intptr_t>(GetPropW(hwnd, L"TagsmithPage"))) - 1;
    if (!self || page < 0) return FALSE;
    return self->OnPageMessage(page, hwnd, msg, wp, lp);
}

INT_PTR MainWindow::OnPageMessage(int page, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND: {
            if (syncing_) return TRUE;
            WindowController::Handling handling(controller_);
            OnPageCommand(page, hwnd, LOWORD(wp), HIWORD(wp));
            return TRUE;
        }
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(windowBrush_);
        case WM_CTLCOLORSTATIC: {
            const int id = GetDlgCtrlID(reinterpret_cast<HWND>(lp));
            if (id == IDC_STATIC_CURID || id == IDC_RADIO_INCREASE || id == IDC_RADIO_DECREASE) {
                SetBkMode(reinterpret_cast<HDC>(wp), TRANSPARENT);
                return reinterpret_cast<INT_PTR>(windowBrush_);
            }
            return FALSE;
        }
        case WM_DRAWITEM: {
            const auto* di = reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
            if (!IsTranStatic(static_cast<int>(di->CtlID))) return FALSE;
            HBRUSH fill = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
            RECT rc = di->rcItem;
            FillRect(di->hDC, &rc, fill);
            SetBkMode(di->hDC, TRANSPARENT);
            const std::wstring text = W(WindowText(di->hwndItem));
            HGDIOBJ oldFont = SelectObject(
                di->hDC, reinterpret_cast<HGDIOBJ>(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
            DrawTextW(di->hDC, text.c_str(), static_cast<int>(text.size()), &rc,
                      DT_CENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
            SelectObject(di->hDC, oldFont);
            DeleteObject(fill);
            return TRUE;
        }
        default:
            return FALSE;
    }
}

void MainWindow::OnPageCommand(int page, HWND hwnd, int id, int code) {
    if (code == EN_CHANGE) {
        const std::u16string text = WindowText(GetDlgItem(hwnd, id));
        if (page == 0 && id == IDC_EDIT_IDFILE) controller_.Model().m_page1.SetPathText(text);
        if (page == 1 && id == IDC_EDIT_SCANID) controller_.Model().m_page2.SetScanId(text);
        if (page == 2 && id == IDC_EDIT_PREFIX) controller_.Model().m_page3.SetPrefix(text);
        if (page == 2 && id == IDC_EDIT_COUNTER) controller_.Model().m_page3.SetCounter(text);
        if (page == 2 && id == IDC_EDIT_SUFFIX) controller_.Model().m_page3.SetSuffix(text);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (page * 10000 + id) {
        case IDC_BTN_IDFILE:
            ChooseIdFile();
            break;
        case IDC_BTN_MANUAL:
            controller_.Model().m_page1.OnBnClickedManualWrite();
            break;
        case IDC_BTN_AUTO:
            controller_.Model().m_page1.OnBnClickedAutoWrite();
            break;
        case 10000 + IDC_BTN_WRITE:
            controller_.Model().m_page2.OnBnClickedWrite();
            break;
        case 20000 + IDC_RADIO_INCREASE:
            controller_.Model().m_page3.OnBnClickedIncrease();
            break;
        case 20000 + IDC_RADIO_DECREASE:
            controller_.Model().m_page3.OnBnClickedDecrease();
            break;
        case 20000 + IDC_BTN_WRITE:
            controller_.Model().m_page3.OnBnClickedWrite();
            break;
        default:
            break;
    }
}

void MainWindow::RefreshPage(int page) {
    HWND p = page >= 0 && page < kTabCount ? pages_[page] : nullptr;
    if (!p) return;
    ++syncing_;
    if (page == 0) {
        const CDlgCh1& l = controller_.Model().m_page1;
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_IDFILE), l.pathText);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_CURID), l.currentIdText);
        Enable(p, IDC_BTN_IDFILE, l.idFileButtonEnabled);
        Enable(p, IDC_BTN_MANUAL, l.manualWriteEnabled);
        Enable(p, IDC_BTN_AUTO, l.autoWriteButtonEnabled);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_BTN_AUTO), l.autoWriteButtonText);
    } else if (page == 1) {
        const CDlgCh2& l = controller_.Model().m_page2;
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_SCANID), l.scanText);
        Enable(p, IDC_BTN_WRITE, l.writeButtonEnabled);
    } else {
        const CDlgCh3& l = controller_.Model().m_page3;
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_PREFIX), l.prefixText);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_COUNTER), l.counterText);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_SUFFIX), l.suffixText);
        SetCheck(p, IDC_RADIO_INCREASE, l.increaseChecked);
        SetCheck(p, IDC_RADIO_DECREASE, l.decreaseChecked);
        for (int id : {IDC_EDIT_PREFIX, IDC_EDIT_COUNTER, IDC_EDIT_SUFFIX, IDC_RADIO_INCREASE,
                       IDC_RADIO_DECREASE})
            Enable(p, id, l.inputsEnabled);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_BTN_WRITE), l.writeButtonText);
    }
    --syncing_;
}

void MainWindow::ChooseIdFile() {
    wchar_t path[MAX_PATH * 4] = {};
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = hwnd_;
    ofn.lpstrFilter = L"ID Files (*.ids)\0*.ids\0ID Files (*.IDS)\0*.IDS\0";
    ofn.lpstrFile = path;
    ofn.nMaxFile = static_cast<DWORD>(std::size(path));
    // A name typed without extension gets ".ids" (the filter's own
    // extension), not the first letters of the filter's description.
    ofn.lpstrDefExt = L"ids";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    if (!GetOpenFileNameW(&ofn)) return;
    controller_.Model().m_page1.OnIdFileChosen(U16(path));
}

// ----------------------------------------------------------------- picker ---

bool MainWindow::RunPicker(CDlgListID& picker) {
    pickerLogic_ = &picker;
    const INT_PTR result = DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_DLG_LISTID), hwnd_,
                                           PickerProc, reinterpret_cast<LPARAM>(this));
    pickerLogic_ = nullptr;
    picker_ = nullptr;
    return result == IDOK;
}

INT_PTR CALLBACK MainWindow::PickerProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_INITDIALOG) SetWindowLongPtrW(hwnd, GWLP_USERDATA, lp);
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    return self ? self->OnPickerMessage(hwnd, msg, wp, lp) : FALSE;
}

INT_PTR MainWindow::OnPickerMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDlgListID* logic = pickerLogic_;
    HWND list = GetDlgItem(hwnd, IDC_LIST_IDS);
    // The rows are the logic's: the list view only asks for the ones it shows.
    auto showRows = [&] {
        const size_t n = logic ? logic->Rows().size() : 0;
        SendMessageW(list, LVM_SETITEMCOUNT, n, LVSICF_NOSCROLL);
        InvalidateRect(list, nullptr, TRUE);
    };
    switch (msg) {
        case WM_INITDIALOG: {
            picker_ = hwnd;
            SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE,
                         LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES,
                         LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
            LVCOLUMNW col = {};
            col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
            col.fmt = LVCFMT_LEFT;
            col.cx = 260;
            col.pszText = const_cast<wchar_t*>(L"ID");
            SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&col));
            showRows();
            return TRUE;
        }
        case WM_NOTIFY: {
            const auto* nm = reinterpret_cast<const NMHDR*>(lp);
            if (nm->idFrom != IDC_LIST_IDS || !logic) return FALSE;
            if (nm->code == LVN_GETDISPINFOW) {
                auto* di = reinterpret_cast<NMLVDISPINFOW*>(lp);
                const size_t row = static_cast<size_t>(di->item.iItem);
                if ((di->item.mask & LVIF_TEXT) && di->item.pszText && di->item.cchTextMax > 0) {
                    std::u16string_view text;
                    if (row < logic->Rows().size() && logic->GetIdList())
                        text = logic->GetIdList()->Text(logic->Rows()[row]);
                    const size_t n =
                        std::min(text.size(), static_cast<size_t>(di->item.cchTextMax - 1));
                    for (size_t i = 0; i < n; ++i)
                        di->item.pszText[i] = static_cast<wchar_t>(text[i]);
                    di->item.pszText[n] = 0;
                }
                return TRUE;
            }
            const auto* act = reinterpret_cast<const NMITEMACTIVATE*>(lp);
            if (nm->code == NM_CLICK && act->iItem >= 0) {
                logic->OnRowClicked(static_cast<size_t>(act->iItem));
                return TRUE;
            }
            if (nm->code == NM_DBLCLK && act->iItem >= 0) {
                if (logic->OnRowDoubleClicked(static_cast<size_t>(act->iItem)))
                    EndDialog(hwnd, IDOK);
                return TRUE;
            }
            return FALSE;
        }
        case WM_COMMAND: {
            const int id = LOWORD(wp);
            if (id == IDC_EDIT_FILTER && HIWORD(wp) == EN_CHANGE && logic) {
                logic->OnFilterChanged(WindowText(GetDlgItem(hwnd, IDC_EDIT_FILTER)));
                showRows();
                return TRUE;
            }
            if ((id == IDC_BTN_CHOOSE || id == IDOK) && logic) {
                if (controller_.Quitting()) {
                    EndDialog(hwnd, IDCANCEL);
                    return TRUE;
                }
                switch (logic->OnChooseClicked()) {
                    case CDlgListID::ChooseResult::CloseOk:
                        EndDialog(hwnd, IDOK);
                        break;
                    case CDlgListID::ChooseResult::CloseCancel:
                        EndDialog(hwnd, IDCANCEL);
                        break;
                    case CDlgListID::ChooseResult::StayOpen:
                        break;
                }
                return TRUE;
            }
            if (id == IDCANCEL) {
                EndDialog(hwnd, IDCANCEL);
                return TRUE;
            }
            return FALSE;
        }
        default:
            return FALSE;
    }
}

// ------------------------------------------------------------------ About ---

INT_PTR CALLBACK MainWindow::AboutProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM) {
    if (msg == WM_INITDIALOG) return TRUE;
    if (msg == WM_COMMAND && (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL)) {
        EndDialog(hwnd, LOWORD(wp));
        return TRUE;
    }
    return FALSE;
}

}  // namespace ts::win32
