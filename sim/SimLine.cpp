// Placeholder until the simulated line lands.
#include "sim/SimLine.h"

namespace ts {
std::unique_ptr<DriveSystem> MakeSimLine(const std::string&) { return nullptr; }
}  // namespace ts
