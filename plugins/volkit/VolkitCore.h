#pragma once
// The plug-in's table of operations on image files. Handles come from one
// table shared by images and files, so a handle of one kind, of another
// image, or one already closed is refused instead of reaching freed state.
#include "plugin_api/Volkit.h"

namespace ts::volkit {

const VolkitApi* Api();

}  // namespace ts::volkit
