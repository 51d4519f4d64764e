// Placeholder; the plug-in is built in its own change.
#include "deviceops/Volkit.h"
