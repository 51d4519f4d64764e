#pragma once
// Loading a shared library (a plug-in) and finding its entry points: dlopen
// on Linux, LoadLibrary on Windows. Libraries are never unloaded.
#include <string>

namespace ts {

// The characters that end a folder's name in a library's path.
#ifdef _WIN32
inline constexpr char kModulePathSeparators[] = "/\\:";
#else
inline constexpr char kModulePathSeparators[] = "/";
#endif

// The file name ending of a plug-in library: ".so" or ".dll".
const char* ModuleSuffix();

// The library at `path` (a full path, UTF-8); null when it cannot be loaded.
void* LoadModule(const std::string& path);
// The exported function `name` of a loaded library; null when it has none.
void* ModuleSymbol(void* module, const char* name);

// A path as the plug-in request carries it (the system's narrow path: the
// ANSI code page on Windows). Empty when that code page cannot hold it.
std::string NarrowPathOf(const std::string& utf8Path);
// And back: the UTF-8 path a narrow path of a request names.
std::string PathOfNarrow(const std::string& narrowPath);

}  // namespace ts
