#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/SharedLibrary.h"
#include "plugin_api/Volkit.h"

namespace ts {

// The file-system plug-in's file name for libraries ending in `suffix`:
// "Volkit.so" on Linux, "Volkit.dll" on Windows.
std::string VolkitFileName(std::string_view suffix = ModuleSuffix());

// The longest application folder (in bytes, with its final '/') whose
// plug-in path still fits the request's path field with its closing zero.
size_t MaxPluginDirBytes(std::string_view suffix = ModuleSuffix());

// Loads modhost.so from the application folder (ending in '/') and obtains
// the file-system plug-in's table. Null when any piece is missing; nothing is
// reported and nothing is ever unloaded.
const VolkitApi* LoadVolkit(const std::string& appDir);

}  // namespace ts
