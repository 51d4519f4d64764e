#include "platform/DriveSystem.h"

#include "platform/Codepage.h"

namespace ts {

DriveDetails DriveSystem::Details(const std::u16string& root) {
    DriveDetails d;
    d.node = WideToUtf8(root);
    return d;
}

}  // namespace ts
