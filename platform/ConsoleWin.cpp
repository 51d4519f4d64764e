#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <cstdio>

#include "platform/Console.h"
#include "platform/WinText.h"

namespace ts {

std::vector<std::string> ProgramArguments(int, char**) {
    std::vector<std::string> out;
    int n = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!args) return out;
    for (int i = 1; i < n; ++i) out.push_back(win::Utf8(args[i]));
    LocalFree(args);
    return out;
}

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

void UseBinaryStdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
}

}  // namespace ts
