#include <windows.h>

#include "platform/LocalSystem.h"
#include "platform/WinText.h"

namespace ts {

std::string HostName() {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(buf, &n) || n == 0) return "localhost";
    return win::Utf8(std::wstring_view(buf, n));
}

}  // namespace ts
