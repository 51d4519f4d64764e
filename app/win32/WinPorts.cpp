#include "WinPorts.h"

#include <vector>

namespace ts::win32 {

std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }

std::u16string U16(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

std::u16string WindowText(HWND hwnd) {
    if (!hwnd) return {};
    const int n = GetWindowTextLengthW(hwnd);
    if (n <= 0) return {};
    std::vector<wchar_t> buf(static_cast<size_t>(n) + 1);
    const int got = GetWindowTextW(hwnd, buf.data(), n + 1);
    return U16(std::wstring(buf.data(), got > 0 ? static_cast<size_t>(got) : 0));
}

void SetWindowTextIfChanged(HWND hwnd, const std::u16string& text) {
    if (hwnd && WindowText(hwnd) != text) SetWindowTextW(hwnd, W(text).c_str());
}

std::u16string EditLogView::GetText() {
    if (!edit_) return text_;
    // Changed through the context menu (cut, delete, paste): take what it shows.
    return WindowText(edit_);
}

void EditLogView::SetText(const std::u16string& text) {
    text_ = text;
    if (edit_) SetWindowTextW(edit_, W(text).c_str());
}

void EditLogView::ScrollToEnd() {
    if (!edit_) return;
    const LRESULT end = GetWindowTextLengthW(edit_);
    SendMessageW(edit_, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(edit_, EM_SCROLLCARET, 0, 0);
}

namespace {

// The box being shown on this thread: its buttons get Chinese captions once
// it is activated, and its handle is kept so that it can be dismissed.
thread_local HHOOK g_hook = nullptr;
thread_local HWND* g_boxSlot = nullptr;

LRESULT CALLBACK CbtProc(int code, WPARAM wp, LPARAM lp) {
    if (code == HCBT_ACTIVATE && g_boxSlot && !*g_boxSlot) {
        HWND box = reinterpret_cast<HWND>(wp);
        wchar_t cls[16] = {};
        GetClassNameW(box, cls, 16);
        if (std::wstring(cls) == L"#32770") {
            *g_boxSlot = box;
            struct Caption {
                int id;
                const wchar_t* text;
            };
            static const Caption captions[] = {
                {IDOK, L"确定"}, {IDYES, L"是(&Y)"}, {IDNO, L"否(&N)"}};
            for (const Caption& c : captions) {
                if (HWND b = GetDlgItem(box, c.id)) SetWindowTextW(b, c.text);
            }
        }
    }
    return CallNextHookEx(g_hook, code, wp, lp);
}

}  // namespace

MsgAnswer WinMessageBoxer::Show(const MessageRequest& r) {
    const bool yesNo = r.buttons == MsgButtons::YesNo;
    if (dismissed_) return yesNo ? MsgAnswer::No : MsgAnswer::Ok;
    UINT type = yesNo ? MB_YESNO : MB_OK;
    switch (r.icon) {
        case MsgIcon::Error:
            type |= MB_ICONERROR;
            break;
        case MsgIcon::Question:
            type |= MB_ICONQUESTION;
            break;
        case MsgIcon::Information:
            type |= MB_ICONINFORMATION;
            break;
        case MsgIcon::None:
            break;
    }
    HWND owner = GetActiveWindow();
    if (!owner || !IsWindowEnabled(owner)) owner = owner_;
    // A box shown from inside another one keeps the outer's slot intact.
    HWND outer = current_;
    const bool outerYesNo = currentYesNo_;
    current_ = nullptr;
    currentYesNo_ = yesNo;
    HWND* savedSlot = g_boxSlot;
    HHOOK savedHook = g_hook;
    g_boxSlot = &current_;
    g_hook = SetWindowsHookExW(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
    const int answer = MessageBoxW(owner, W(r.text).c_str(), W(r.caption).c_str(), type);
    if (g_hook) UnhookWindowsHookEx(g_hook);
    g_hook = savedHook;
    g_boxSlot = savedSlot;
    current_ = outer;
    currentYesNo_ = outerYesNo;
    if (yesNo) return answer == IDYES ? MsgAnswer::Yes : MsgAnswer::No;
    return MsgAnswer::Ok;
}

void WinMessageBoxer::Dismiss() {
    dismissed_ = true;
    if (current_ && IsWindow(current_))
        PostMessageW(current_, WM_COMMAND, currentYesNo_ ? IDNO : IDOK, 0);
}

}  // namespace ts::win32
