#include "deviceops/PluginLoader.h"

#include "platform/RegularFile.h"
#include "platform/SharedLibrary.h"

namespace ts {

std::string VolkitFileName(std::string_view suffix) { return "Volkit" + std::string(suffix); }

size_t MaxPluginDirBytes(std::string_view suffix) {
    return sizeof(PluginRequest::path) - 1 - VolkitFileName(suffix).size();
}

const VolkitApi* LoadVolkit(const std::string& appDir) {
    // A path without a '/' is looked up in the system's library folders, not
    // in the application folder.
    const std::string suffix = ModuleSuffix();
    std::string manPath = appDir + "modhost" + suffix;
    if (manPath.find('/') == std::string::npos) return nullptr;
    // The loader would wait forever on a FIFO: load only regular files.
    if (KindOf(manPath) != FileKind::Regular) return nullptr;
    if (KindOf(appDir + VolkitFileName(suffix)) != FileKind::Regular) return nullptr;
    void* lib = LoadModule(manPath);
    if (!lib) return nullptr;
    auto get = reinterpret_cast<GetPluginManFn>(ModuleSymbol(lib, "GetPluginMan"));
    if (!get) return nullptr;
    const PluginManager* man = get();
    if (!man || !man->LoadPlugin || !man->QueryPlugin) return nullptr;
    PluginRequest req{};
    std::string id = VOLKIT_PLUGIN_ID;
    // The request carries the system's narrow path; a folder that code page
    // cannot hold gives no plug-in.
    std::string path = NarrowPathOf(appDir + VolkitFileName(suffix));
    if (path.empty() || path.size() >= sizeof req.path) return nullptr;
    id.copy(req.id, sizeof req.id - 1);
    path.copy(req.path, sizeof req.path - 1);
    man->LoadPlugin(&req);
    return man->QueryPlugin(&req);
}

}  // namespace ts
