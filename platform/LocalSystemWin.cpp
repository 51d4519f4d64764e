#include <windows.h>

#include "platform/LocalSystem.h"
#include "platform/WinText.h"

namespace ts {

void KillThisProcess() {
    TerminateProcess(GetCurrentProcess(), 137);
    ExitProcess(137);
}

int ErrnoOfSystemCode(int code) { return code == 0 ? 0 : win::ErrnoOf(static_cast<DWORD>(code)); }

// No signal ends a process at a size limit there: the write fails.
void FailWritesPastSizeLimit() {}

bool LocalCalendarTime(int64_t seconds, std::tm* out) {
    const time_t t = static_cast<time_t>(seconds);
    return localtime_s(out, &t) == 0;
}

std::string HostName() {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(buf, &n) || n == 0) return "localhost";
    return win::Utf8(std::wstring_view(buf, n));
}

}  // namespace ts
