#pragma once
// A simulated station: a folder stands for the USB ports. See the README for
// the files (E.img, E.disk, E.fault).
#include <memory>
#include <string>

#include "platform/DriveSystem.h"

namespace ts {

std::unique_ptr<DriveSystem> MakeSimLine(const std::string& folder);

}  // namespace ts
