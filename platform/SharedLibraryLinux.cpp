#include <dlfcn.h>

#include "platform/SharedLibrary.h"

namespace ts {

const char* ModuleSuffix() { return ".so"; }

void* LoadModule(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

void* ModuleSymbol(void* module, const char* name) {
    return module ? ::dlsym(module, name) : nullptr;
}

// Paths are bytes here, taken as they are.
std::string NarrowPathOf(const std::string& utf8Path) { return utf8Path; }
std::string PathOfNarrow(const std::string& narrowPath) { return narrowPath; }

}  // namespace ts
