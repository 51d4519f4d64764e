#include "platform/KillPoint.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/LocalSystem.h"

namespace ts {

namespace {

// Whether `name` is the point `spec` names (NAME or NAME:N) for the N-th time.
bool Reached(const char* spec, const char* name, long& reached) {
    if (!spec || !*spec) return false;
    const char* colon = std::strchr(spec, ':');
    const size_t len = colon ? static_cast<size_t>(colon - spec) : std::strlen(spec);
    if (std::strlen(name) != len || std::strncmp(spec, name, len) != 0) return false;
    const long nth = colon ? std::strtol(colon + 1, nullptr, 10) : 1;
    return ++reached == nth;
}

}  // namespace

void KillPoint(const char* name) {
    static const char* const spec = std::getenv("TAGSMITH_KILL_AT");
    static long reached = 0;
    if (Reached(spec, name, reached)) KillThisProcess();
#ifndef _WIN32
    // The process stops there (SIGSTOP) until the test lets it go on
    // (SIGCONT): a run that is alive in the middle of a write.
    static const char* const stop = std::getenv("TAGSMITH_STOP_AT");
    static long stopped = 0;
    if (Reached(stop, name, stopped)) ::raise(SIGSTOP);
#endif
}

}  // namespace ts
