#include "platform/Codepage.h"
#include "platform/DriveSystem.h"
#include "platform/UdevDrives.h"

namespace ts {

DriveDetails DriveSystem::Details(const std::u16string& root) {
    DriveDetails d;
    d.node = WideToUtf8(root);
    return d;
}

std::unique_ptr<DriveSystem> MakeSystemDrives() { return MakeUdevDrives(); }
}  // namespace ts
