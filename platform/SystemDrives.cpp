// Placeholder until the udev backend lands.
#include "platform/DriveSystem.h"

namespace ts {
std::unique_ptr<DriveSystem> MakeSystemDrives() { return nullptr; }
}  // namespace ts
