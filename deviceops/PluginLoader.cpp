#include "deviceops/PluginLoader.h"

#include <dlfcn.h>

namespace ts {

const VolkitApi* LoadVolkit(const std::string& appDir) {
    void* lib = dlopen((appDir + "modhost.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    auto get = reinterpret_cast<GetPluginManFn>(dlsym(lib, "GetPluginMan"));
    if (!get) return nullptr;
    const PluginManager* man = get();
    if (!man || !man->LoadPlugin || !man->QueryPlugin) return nullptr;
    PluginRequest req{};
    std::string id = VOLKIT_PLUGIN_ID;
    std::string path = appDir + "Volkit.so";
    if (path.size() >= sizeof req.path) return nullptr;
    id.copy(req.id, sizeof req.id - 1);
    path.copy(req.path, sizeof req.path - 1);
    man->LoadPlugin(&req);
    return man->QueryPlugin(&req);
}

}  // namespace ts
