#include "platform/KillPoint.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/LocalSystem.h"

namespace ts {

namespace {

// Whether `name` is the point `wanted` names (NAME or NAME:N) for the N-th time.
bool Reached(const char* wanted, const char* name, long& reached) {
    if (!wanted || !*wanted) return false;
    const char* colon = std::strchr(wanted, ':');
    const size_t len = colon ? static_cast<size_t>(colon - wanted) : std::strlen(wanted);
    if (std::strlen(name) != len || std::strncmp(wanted, name, len) != 0) return false;
    const long nth = colon ? std::strtol(colon + 1, nullptr, 10) : 1;
    return ++reached == nth;
}

}  // namespace

void KillPoint(const char* name) {
    static const char* const wanted = std::getenv("TAGSMITH_KILL_AT");
    static long reached = 0;
    if (Reached(wanted, name, reached)) KillThisProcess();
#ifndef _WIN32
    // The process stops there (SIGSTOP) until the test lets it go on
    // (SIGCONT): a run that is alive in the middle of a write.
    static const char* const stop = std::getenv("TAGSMITH_STOP_AT");
    static long stopped = 0;
    if (Reached(stop, name, stopped)) ::raise(SIGSTOP);
#endif
}

}  // namespace ts
