// The plug-in's one entry point, looked up by the plug-in manager.
#include "VolkitCore.h"

extern "C" TAGSMITH_EXPORT const VolkitApi* VolkitGetApi(void) { return ts::volkit::Api(); }
