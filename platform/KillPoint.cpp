#include "platform/KillPoint.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/LocalSystem.h"

namespace ts {

void KillPoint(const char* name) {
    static const char* const spec = std::getenv("TAGSMITH_KILL_AT");
    if (!spec || !*spec) return;
    static long reached = 0;
    const char* colon = std::strchr(spec, ':');
    const size_t len = colon ? static_cast<size_t>(colon - spec) : std::strlen(spec);
    if (std::strlen(name) != len || std::strncmp(spec, name, len) != 0) return;
    const long nth = colon ? std::strtol(colon + 1, nullptr, 10) : 1;
    if (++reached == nth) KillThisProcess();
}

}  // namespace ts
