#include "platform/DriveSystem.h"
#include "platform/UdevDrives.h"

namespace ts {
std::unique_ptr<DriveSystem> MakeSystemDrives() { return MakeUdevDrives(); }
}  // namespace ts
