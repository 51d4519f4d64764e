// Placeholder; the plug-in manager is built in its own change.
#include "deviceops/Volkit.h"

extern "C" __attribute__((visibility("default"))) const PluginManager* GetPluginMan(void) {
    return nullptr;
}
