#include <windows.h>

#include "platform/Codepage.h"
#include "platform/SharedLibrary.h"
#include "platform/WinText.h"

namespace ts {

const char* ModuleSuffix() { return ".dll"; }

void* LoadModule(const std::string& path) {
    // Only the named file: no search of the system's folders for a name
    // that is not found, and no error box for a broken library.
    const UINT old = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE m = LoadLibraryExW(win::Wide(path).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    SetErrorMode(old);
    return reinterpret_cast<void*>(m);
}

void* ModuleSymbol(void* module, const char* name) {
    if (!module) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

std::string NarrowPathOf(const std::string& utf8Path) {
    const std::u16string wide = Utf8ToWide(utf8Path);
    std::string ansi = WideToAnsi(wide);
    // A character the code page lacks would name another file.
    if (AnsiToWide(ansi) != wide) return {};
    return ansi;
}

std::string PathOfNarrow(const std::string& narrowPath) {
    return WideToUtf8(AnsiToWide(narrowPath));
}

}  // namespace ts
