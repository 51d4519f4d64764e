#pragma once
#include <string>

#include "plugin_api/Volkit.h"

namespace ts {

// The longest application folder (in bytes, with its final '/') whose
// plug-in path still fits the request's path field with its closing zero.
inline constexpr size_t kMaxPluginDirBytes = sizeof(PluginRequest::path) - 1 - 9;  // "Volkit.so"

// Loads modhost.so from the application folder (ending in '/') and obtains
// the file-system plug-in's table. Null when any piece is missing; nothing is
// reported and nothing is ever unloaded.
const VolkitApi* LoadVolkit(const std::string& appDir);

}  // namespace ts
