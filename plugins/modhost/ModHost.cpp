// The plug-in manager: loads the file-system plug-in named in a request and
// hands out its table of operations. Loaded libraries stay loaded for the
// life of the process, as the tables handed out point into them.
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/SharedLibrary.h"
#include "plugin_api/Volkit.h"

namespace {

using GetApiFn = const VolkitApi* (*)(void);

std::mutex g_mu;
const VolkitApi* g_api = nullptr;

// The request's fields may lack their terminating zero; never read past them.
std::string Field(const char* p, size_t size) { return std::string(p, strnlen(p, size)); }

bool IsVolkitRequest(const PluginRequest* r) {
    if (!r) return false;
    std::string id = Field(r->id, sizeof r->id);
    const std::string_view want = VOLKIT_PLUGIN_ID;
    if (id.size() != want.size()) return false;
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < id.size(); ++i)
        if (lower(id[i]) != lower(want[i])) return false;
    return true;
}

bool Complete(const VolkitApi* a) {
    return a && a->VolOpen && a->VolFormat && a->VolCreateFile && a->VolSetFilePointer &&
           a->VolWriteFile && a->VolReadFile && a->VolImportDir && a->VolCloseFile && a->VolClose;
}

int32_t LoadPlugin(const PluginRequest* r) {
    if (!IsVolkitRequest(r)) return -1;
    std::string path = Field(r->path, sizeof r->path);
    if (path.empty()) return -1;
    std::lock_guard lock(g_mu);
    if (g_api) return 0;
    path = ts::PathOfNarrow(path);
    // A bare name would make the loader search the system's library folders.
    if (path.find_first_of(ts::kModulePathSeparators) == std::string::npos) path = "./" + path;
    void* lib = ts::LoadModule(path);
    if (!lib) return -1;
    auto get = reinterpret_cast<GetApiFn>(ts::ModuleSymbol(lib, "VolkitGetApi"));
    const VolkitApi* api = get ? get() : nullptr;
    if (!Complete(api)) return -1;  // stays loaded all the same: nothing is ever unloaded
    g_api = api;
    return 0;
}

const VolkitApi* QueryPlugin(const PluginRequest* r) {
    if (!IsVolkitRequest(r)) return nullptr;
    std::lock_guard lock(g_mu);
    return g_api;
}

const PluginManager kManager = {LoadPlugin, QueryPlugin};

}  // namespace

extern "C" TAGSMITH_EXPORT const PluginManager* GetPluginMan(void) { return &kManager; }
