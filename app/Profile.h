#pragma once
// The configuration file lives with the platform layer so that the device
// flows below the application can read the installation keys too.
#include "platform/Profile.h"
