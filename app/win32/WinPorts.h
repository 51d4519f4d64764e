#pragma once
// The core's log box and message boxes on the Win32 API.
#include <windows.h>

#include <string>

#include "ports/UiPorts.h"

namespace ts::win32 {

std::wstring W(const std::u16string& s);
std::u16string U16(const std::wstring& s);
std::u16string WindowText(HWND hwnd);
// Sets the text only when it differs, so that no change notification is
// sent for nothing (the views mirror the model on every change).
void SetWindowTextIfChanged(HWND hwnd, const std::u16string& text);

// The log box 1010: an edit control that holds the core's text as it is
// ("\r\n" between lines), so the text reads back unchanged.
class EditLogView : public LogView {
public:
    void Attach(HWND edit) { edit_ = edit; }
    std::u16string GetText() override;
    void SetText(const std::u16string& text) override;
    void ScrollToEnd() override;

private:
    HWND edit_ = nullptr;
    std::u16string text_;
};

// MessageBoxW owned by the active window of this thread, its buttons
// captioned in Chinese. While quitting, every box answers at once as its
// Esc would (No, or OK), so that a flow can run to its end unattended.
class WinMessageBoxer : public MessageBoxer {
public:
    explicit WinMessageBoxer(HWND fallbackOwner = nullptr) : owner_(fallbackOwner) {}
    void SetOwner(HWND owner) { owner_ = owner; }
    MsgAnswer Show(const MessageRequest& request) override;
    // Ends the box being shown (if any) as its Esc would; later boxes
    // answer without showing.
    void Dismiss();

private:
    HWND owner_ = nullptr;
    HWND current_ = nullptr;
    bool currentYesNo_ = false;
    bool dismissed_ = false;
};

}  // namespace ts::win32
