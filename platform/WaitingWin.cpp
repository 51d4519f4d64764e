#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/Waiting.h"
#include "platform/WinText.h"

namespace ts {

using win::FromWaitable;
using win::ToWaitable;

int WaitForAny(const Waitable* items, size_t count, int timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) {
        errno = EINVAL;
        return -2;
    }
    std::vector<HANDLE> handles(count);
    for (size_t i = 0; i < count; ++i) handles[i] = FromWaitable(items[i]);
    const DWORD r =
        WaitForMultipleObjects(static_cast<DWORD>(count), handles.data(), FALSE,
                               timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
    if (r == WAIT_TIMEOUT) return -1;
    if (r < WAIT_OBJECT_0 + count) return static_cast<int>(r - WAIT_OBJECT_0);
    if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count)
        return static_cast<int>(r - WAIT_ABANDONED_0);
    errno = win::ErrnoOf(GetLastError());
    return -2;
}

WakeSignal::WakeSignal() {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    w_ = h ? ToWaitable(h) : kNoWaitable;
}

WakeSignal::~WakeSignal() {
    if (Ok()) CloseHandle(FromWaitable(w_));
}

void WakeSignal::Signal() { SetEvent(FromWaitable(w_)); }

bool WakeSignal::Drain() {
    const bool was = IsReady(w_);
    ResetEvent(FromWaitable(w_));
    return was;
}

namespace {

// The console handler runs on a thread of its own: it only sets the event.
std::atomic<HANDLE> g_stopEvent{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (HANDLE h = g_stopEvent.load()) {
                SetEvent(h);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

StopRequests::StopRequests() {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!h) return;
    HANDLE none = nullptr;
    // One object at a time takes the requests.
    if (!g_stopEvent.compare_exchange_strong(none, h) ||
        !SetConsoleCtrlHandler(OnConsoleControl, TRUE)) {
        g_stopEvent.compare_exchange_strong(h, nullptr);
        CloseHandle(h);
        return;
    }
    w_ = ToWaitable(h);
}

StopRequests::~StopRequests() {
    if (!Ok()) return;
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    g_stopEvent.store(nullptr);
    CloseHandle(FromWaitable(w_));
}

}  // namespace ts
