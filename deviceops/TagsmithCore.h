#pragma once
// The station: its shared state (StationState.h) and every flow over it,
// discovery and dispatch, read-ID and write-ID. No Qt: the desktop program
// and tagsmith-cli open one through OpenStation (Station.h) and wire it to
// their views through the ports.
#include "deviceops/Discovery.h"

namespace ts {

class TagsmithCore : public Discovery {};

}  // namespace ts
