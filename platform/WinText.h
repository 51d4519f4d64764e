#pragma once
// Helpers shared by the Windows sources of this layer: UTF-8 paths as the
// system's wide strings, and its error codes as errno values.
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/Codepage.h"

namespace ts::win {

inline std::wstring Wide(std::string_view utf8) {
    const std::u16string w = Utf8ToWide(utf8);
    return std::wstring(w.begin(), w.end());
}

inline std::string Utf8(std::wstring_view wide) {
    return WideToUtf8(
        std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// GetLastError's code as the errno value the layers above test for.
int ErrnoOf(DWORD code);

// The descriptor's handle, or INVALID_HANDLE_VALUE (errno EBADF).
HANDLE HandleOf(int fd);

// A waitable number (see Waiting.h) and back.
inline int ToWaitable(HANDLE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h)); }
inline HANDLE FromWaitable(int w) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(w)); }

}  // namespace ts::win
