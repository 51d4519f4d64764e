#include "deviceops/PluginLoader.h"

#include <dlfcn.h>

#include "platform/RegularFile.h"

namespace ts {

const VolkitApi* LoadVolkit(const std::string& appDir) {
    // A path without a '/' is looked up in the system's library folders, not
    // in the application folder.
    std::string manPath = appDir + "modhost.so";
    if (manPath.find('/') == std::string::npos) return nullptr;
    // dlopen would wait forever on a FIFO: load only regular files.
    if (KindOf(manPath) != FileKind::Regular) return nullptr;
    if (KindOf(appDir + "Volkit.so") != FileKind::Regular) return nullptr;
    void* lib = dlopen(manPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    auto get = reinterpret_cast<GetPluginManFn>(dlsym(lib, "GetPluginMan"));
    if (!get) return nullptr;
    const PluginManager* man = get();
    if (!man || !man->LoadPlugin || !man->QueryPlugin) return nullptr;
    PluginRequest req{};
    std::string id = VOLKIT_PLUGIN_ID;
    std::string path = appDir + "Volkit.so";
    static_assert(sizeof req.path - 1 - kMaxPluginDirBytes == sizeof "Volkit.so" - 1);
    if (path.size() >= sizeof req.path) return nullptr;
    id.copy(req.id, sizeof req.id - 1);
    path.copy(req.path, sizeof req.path - 1);
    man->LoadPlugin(&req);
    return man->QueryPlugin(&req);
}

}  // namespace ts
