#include "MainWindow.h"

#include <windows.h>
// after windows.h
#include <commctrl.h>
#include <commdlg.h>

#include <utility>
#include <vector>

#include "resource.h"

namespace ts::win32 {

namespace {

constexpr UINT kDeviceEventsMsg = WM_APP + 1;
constexpr int kTabCount = 3;
const int kPageTemplates[kTabCount] = {IDD_DLG_CH1, IDD_DLG_CH2, IDD_DLG_CH3};
const wchar_t* const kTabTitles[kTabCount] = {L"ID列表方式", L"扫描方式", L"自动递增/递减"};

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

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, std::unique_ptr<DriveSystem> drives)
    : instance_(instance), drives_(std::move(drives)) {
    windowBrush_ = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
    icon_ =
        static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                               IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    model_.runPicker = [this](CDlgListID& picker) { return RunPicker(picker); };
    model_.onChange = [this] { Refresh(); };
    model_.m_page1.onChange = [this] { RefreshPage(0); };
    model_.m_page2.onChange = [this] { RefreshPage(1); };
    model_.m_page3.onChange = [this] { RefreshPage(2); };
}

MainWindow::~MainWindow() {
    StopEventWatch();
    model_.onChange = nullptr;
    model_.m_page1.onChange = nullptr;
    model_.m_page2.onChange = nullptr;
    model_.m_page3.onChange = nullptr;
    model_.runPicker = nullptr;
    model_.core.SetClock(nullptr);
    clock_.preTranslate = nullptr;
    model_.core.SetDrainHook(nullptr);
    model_.core.SetLogView(nullptr);
    model_.core.SetMessageBoxer(nullptr);
    model_.core.SetDrives(nullptr);
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    if (icon_) DestroyIcon(icon_);
    if (smallIcon_) DestroyIcon(smallIcon_);
    if (windowBrush_) DeleteObject(windowBrush_);
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
    while (!finished_ && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (PreTranslate(msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    FinishWindow();
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
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(kTabTitles[i]);
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
    SetWindowTextW(hwnd_, L"Tagforge V200");

    StationParts parts;
    parts.drives = drives_.get();
    parts.log = &log_;
    parts.boxes = &boxer_;
    parts.clock = &clock_;
    clock_.preTranslate = [this](MSG& msg) { return PreTranslate(msg); };
    clock_.heldMessage = kDeviceEventsMsg;
    // The scan handles pending messages before each handshake.
    parts.drain = [this] { Drain(); };
    // The ledger tagsmith.cfg names, as every station opens it.
    parts.ledger = true;
    model_.OnInitDialog(std::move(parts));
    Refresh();
    for (int i = 0; i < kTabCount; ++i) RefreshPage(i);
    StartEventWatch();
}

INT_PTR MainWindow::OnMainMessage(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_COMMAND:
            BeginBusy();
            OnCommand(LOWORD(wp), HIWORD(wp));
            EndBusy();
            return TRUE;
        case WM_NOTIFY: {
            const auto* nm = reinterpret_cast<const NMHDR*>(lp);
            if (nm->idFrom == IDC_TAB_PAGES && nm->code == TCN_SELCHANGE) {
                BeginBusy();
                const int index = static_cast<int>(SendMessageW(nm->hwndFrom, TCM_GETCURSEL, 0, 0));
                model_.OnTabSelChange(index);
                if (index == 1 && pages_[1]) SetFocus(GetDlgItem(pages_[1], IDC_EDIT_SCANID));
                SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, 0);
                EndBusy();
                return TRUE;
            }
            return FALSE;
        }
        case WM_SYSCOMMAND:
            if ((wp & 0xFFF0) == IDM_ABOUTBOX) {
                DialogBoxParamW(instance_, MAKEINTRESOURCEW(IDD_ABOUTBOX), hwnd_, AboutProc, 0);
                return TRUE;
            }
            // The title-bar close, Alt+F4 and the menu's Close are refused
            // while the controls are locked, unless automatic writing waits
            // for its ledger's server (nothing is being sent then).
            if ((wp & 0xFFF0) == SC_CLOSE && !model_.closeEnabled && !clock_.Pausing()) return TRUE;
            return FALSE;
        case WM_CLOSE:
            // Also a request from outside (the task manager, a script): it
            // ends the window as the close button does, even while locked.
            RequestQuit();
            return TRUE;
        case WM_QUERYENDSESSION:
            // The session may end without another message: save now.
            model_.SaveConfig();
            SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, TRUE);
            return TRUE;
        case WM_ENDSESSION:
            if (wp) RequestQuit();
            return TRUE;
        case WM_QUERYDRAGICON:
            return reinterpret_cast<INT_PTR>(icon_);
        case WM_CTLCOLORDLG:
            return reinterpret_cast<INT_PTR>(windowBrush_);
        case kDeviceEventsMsg:
            BeginBusy();
            OnDeviceEvents();
            if (eventsTaken_) SetEvent(eventsTaken_);
            EndBusy();
            return TRUE;
        default:
            return FALSE;
    }
}

void MainWindow::OnCommand(int id, int code) {
    if (code != BN_CLICKED) return;
    switch (id) {
        case IDC_RADIO_WRITE:
            model_.OnWriteMode();
            break;
        case IDC_RADIO_READ:
            model_.OnReadMode();
            break;
        case IDC_BTN_CLEARLOG:
            model_.OnClearLog();
            break;
        case IDC_BTN_CLOSE:
            if (model_.closeEnabled) RequestQuit();
            break;
        default:
            break;
    }
}

void MainWindow::Refresh() {
    if (!hwnd_) return;
    ++syncing_;
    SetCheck(hwnd_, IDC_RADIO_WRITE, model_.writeRadioChecked);
    SetCheck(hwnd_, IDC_RADIO_READ, model_.readRadioChecked);
    Enable(hwnd_, IDC_RADIO_WRITE, model_.writeRadioEnabled);
    Enable(hwnd_, IDC_RADIO_READ, model_.readRadioEnabled);
    Enable(hwnd_, IDC_BTN_CLOSE, model_.closeEnabled);
    if (HMENU sys = GetSystemMenu(hwnd_, FALSE))
        EnableMenuItem(sys, SC_CLOSE,
                       MF_BYCOMMAND | (model_.closeEnabled ? MF_ENABLED : MF_GRAYED));
    Enable(hwnd_, IDC_TAB_PAGES, model_.tabEnabled);
    HWND tab = GetDlgItem(hwnd_, IDC_TAB_PAGES);
    if (model_.tabIndex >= 0 && model_.tabIndex < kTabCount) {
        if (SendMessageW(tab, TCM_GETCURSEL, 0, 0) != model_.tabIndex)
            SendMessageW(tab, TCM_SETCURSEL, model_.tabIndex, 0);
        for (int i = 0; i < kTabCount; ++i) {
            if (!pages_[i]) continue;
            const bool show = i == model_.tabIndex;
            if ((IsWindowVisible(pages_[i]) != FALSE) != show)
                ShowWindow(pages_[i], show ? SW_SHOW : SW_HIDE);
        }
    }
    --syncing_;
}

void MainWindow::OnDeviceEvents() {
    if (!events_ || finished_) return;
    for (DeviceEvent ev : events_->ReadEvents()) {
        if (finished_ || quitting_) return;
        model_.core.WindowProc(ev);
    }
    if (!quitting_ && model_.core.IsWriteMode() && model_.tabIndex == 1 &&
        model_.core.CurrentDevice() && pages_[1])
        SetFocus(GetDlgItem(pages_[1], IDC_EDIT_SCANID));
}

void MainWindow::StartEventWatch() {
    if (drives_) events_ = drives_->WatchEvents();
    if (!events_ || events_->Fd() == -1) return;
    stopWatch_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    eventsTaken_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!stopWatch_ || !eventsTaken_) return;
    HANDLE ready = reinterpret_cast<HANDLE>(static_cast<intptr_t>(events_->Fd()));
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
    events_.reset();
}

void MainWindow::EndBusy() {
    if (busy_ > 0) --busy_;
    if (busy_ == 0 && quitting_) FinishWindow();
}

void MainWindow::RequestQuit() {
    quitting_ = true;
    clock_.EndPauses();
    // A flow waiting in a message box or the picker ends first, each as its
    // Esc would; the window ends once the flow has returned.
    boxer_.Dismiss();
    if (picker_) PostMessageW(picker_, WM_COMMAND, IDCANCEL, 0);
    if (busy_ == 0) FinishWindow();
}

void MainWindow::FinishWindow() {
    if (finished_) return;
    finished_ = true;
    StopEventWatch();
    model_.DestroyWindow();
    if (hwnd_ && IsWindow(hwnd_)) DestroyWindow(hwnd_);
    hwnd_ = nullptr;
    PostQuitMessage(0);
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
        case WM_COMMAND:
            if (syncing_) return TRUE;
            BeginBusy();
            OnPageCommand(page, hwnd, LOWORD(wp), HIWORD(wp));
            EndBusy();
            return TRUE;
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
        if (page == 0 && id == IDC_EDIT_IDFILE) model_.m_page1.SetPathText(text);
        if (page == 1 && id == IDC_EDIT_SCANID) model_.m_page2.SetScanId(text);
        if (page == 2 && id == IDC_EDIT_PREFIX) model_.m_page3.SetPrefix(text);
        if (page == 2 && id == IDC_EDIT_COUNTER) model_.m_page3.SetCounter(text);
        if (page == 2 && id == IDC_EDIT_SUFFIX) model_.m_page3.SetSuffix(text);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (page * 10000 + id) {
        case IDC_BTN_IDFILE:
            ChooseIdFile();
            break;
        case IDC_BTN_MANUAL:
            model_.m_page1.OnBnClickedManualWrite();
            break;
        case IDC_BTN_AUTO:
            model_.m_page1.OnBnClickedAutoWrite();
            break;
        case 10000 + IDC_BTN_WRITE:
            model_.m_page2.OnBnClickedWrite();
            break;
        case 20000 + IDC_RADIO_INCREASE:
            model_.m_page3.OnBnClickedIncrease();
            break;
        case 20000 + IDC_RADIO_DECREASE:
            model_.m_page3.OnBnClickedDecrease();
            break;
        case 20000 + IDC_BTN_WRITE:
            model_.m_page3.OnBnClickedWrite();
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
        const CDlgCh1& l = model_.m_page1;
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_IDFILE), l.pathText);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_CURID), l.currentIdText);
        Enable(p, IDC_BTN_IDFILE, l.idFileButtonEnabled);
        Enable(p, IDC_BTN_MANUAL, l.manualWriteEnabled);
        Enable(p, IDC_BTN_AUTO, l.autoWriteButtonEnabled);
        SetWindowTextIfChanged(GetDlgItem(p, IDC_BTN_AUTO), l.autoWriteButtonText);
    } else if (page == 1) {
        const CDlgCh2& l = model_.m_page2;
        SetWindowTextIfChanged(GetDlgItem(p, IDC_EDIT_SCANID), l.scanText);
        Enable(p, IDC_BTN_WRITE, l.writeButtonEnabled);
    } else {
        const CDlgCh3& l = model_.m_page3;
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
    model_.m_page1.OnIdFileChosen(U16(path));
}

// ----------------------------------------------------------------- picker ---

bool MainWindow::RunPicker(CDlgListID& picker) {
    if (quitting_) return false;
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
                if (quitting_) {
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
