#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/AppFolder.h"
#include "platform/WinText.h"

namespace ts {

const char* ExecutableFolderSource() { return ""; }

// The running module's own path; `selfLink` has no meaning here. Paths are
// given with '/' separators, which every file call takes as well.
std::optional<std::string> ExecutableFolder(const char*) {
    std::vector<wchar_t> buf(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return std::nullopt;
        if (n < buf.size()) {
            std::string path = win::Utf8(std::wstring_view(buf.data(), n));
            std::replace(path.begin(), path.end(), '\\', '/');
            const size_t slash = path.rfind('/');
            if (slash == std::string::npos) return std::nullopt;
            return path.substr(0, slash + 1);
        }
        if (buf.size() >= 32768) return std::nullopt;
        buf.resize(buf.size() * 2);
    }
}

}  // namespace ts
