#pragma once
#include <string>

#include "deviceops/Volkit.h"

namespace ts {

// Loads modhost.so from the application folder (ending in '/') and obtains
// the file-system plug-in's table. Null when any piece is missing; nothing is
// reported and nothing is ever unloaded.
const VolkitApi* LoadVolkit(const std::string& appDir);

}  // namespace ts
