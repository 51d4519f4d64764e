// The plug-in's one entry point, looked up by the plug-in manager.
#include "VolkitCore.h"

extern "C" __attribute__((visibility("default"))) const VolkitApi* VolkitGetApi(void) {
    return ts::volkit::Api();
}
